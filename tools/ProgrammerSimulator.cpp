// zq-programmer-sim: plays the device programmer on the far end of a serial line.
//
// It creates a pseudo-terminal (or opens a real serial device), reads SLIP-framed command
// packets, checks their checksum, and answers each of the six commands with the status and
// information packets a programmer sends: progress, then the result. Options script failures,
// the reset-and-retry, silence, broken framing, noise and slowness, so that the tester can be
// driven through every path without hardware. This is the other end of the line and is written
// independently of the tester's own framing code.
//
// Like a real programmer it goes on listening while it answers: a reset that comes meanwhile
// ends the operation under way, and other commands wait their turn. An answer goes on at its own
// pace whether or not a tester still has the port open.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kEnd = 0xC0;
constexpr std::uint8_t kEsc = 0xDB;
constexpr std::uint8_t kEscEnd = 0xDC;
constexpr std::uint8_t kEscEsc = 0xDD;

const char* const kHelp = R"(usage: zq-programmer-sim [options]

Plays the device programmer on a serial line. Without --device it creates a
pseudo-terminal and prints "PTY <path>"; then "READY" once it listens. It answers
every command it receives until it is stopped (SIGTERM, SIGINT) or --exit-after
commands have been answered.

Line:
  --device PATH        use a real serial device (1,000,000 baud, 8 data bits,
                       no parity, 2 stop bits, no flow control) instead of a pty
  --baud N             line speed for --device (default 1000000)
  --link DIR           place the link DIR/dosdevices/comN to the pty (needs --com)
  --com N              port number for --link (COM3 -> dosdevices/com3)
  --record FILE        append every byte received from the tester to FILE
  --exit-after N       exit after answering N commands, once the tester has
                       closed its side (at most 3 s later), so that it has read
                       the last answer (an answer a reset ended counts too)

Answers (status bytes in hex):
  --status XX          result status of every answer (default 06, success)
  --retry XX           the first programming run ends with XX (86 or C0); the
                       reset that follows is answered with the programmer
                       information packet, the next run ends with --status
  --completion XX      completion answer of a programming run: F0 (default), F1, F2
  --answer-as LETTERS  answer every well-formed command as if it were LETTERS
                       (APRG, CKPG, REST, CKSK, RDSX, ERAS): a programmer that
                       answers with another operation's verdict
  --error-command      answer every command with the erroneous-command report
  --silent             receive, but never answer
  --blocks N           flash blocks per step of a run (default 4)
  --progress N         N extra block-programming packets in a programming run
  --info VARIANT       programmer information packet: plain (default), mke, xmc,
                       sn, hidden, badsig, longname
  --id HEX             send an identity packet with these ID bytes before the result
  --return-data ID:HEX send a return-data packet before the result (ID F0 is a
                       digest return); --bad-return-check spoils its check byte
  --bad-return-check

Line faults:
  --delay MS           pause before every packet (a slow programmer); a slow
                       programming run: --delay 150 with the default 4 blocks
                       spreads its 23 packets over about 3.5 s
  --split N            write every frame in pieces of N bytes ...
  --split-gap MS       ... with this pause between pieces (default 20)
  --merge              write all packets of an answer with one write
  --fill               five 0xFF after every frame
  --noise              random bytes (never END) before every frame
  --bad-escape         a frame with a bad escape sequence before every packet
  --bad-check          a copy with a wrong check byte before every status packet
  --unknown-types      an echo of the command and a packet of an unknown type
                       before every answer
  --short-frames       a frame of 4 bytes before every packet
  --vanish-after N     close the line after N packets of an answer and exit
  --idle-fill MS       after the first answer, one 0xFF fill byte every MS ms
                       while no command comes (a programmer that keeps talking)
  --version            the version
  --help               this text

Commands answered: start programming (APRG), check programmer (CKPG), reset
(REST), check socket (CKSK), read checksum (RDSX), erase (ERAS). A packet with a
wrong checksum or an unknown command gets the erroneous-command report. Every
command received prints "COMMAND <letters>" ("?" when not well-formed).

A busy programmer: it reads the line while it answers, in every pause of the
answer (--delay, --split-gap, the restart of a reset) and between any two
packets. A reset (REST) received meanwhile ends the answer under way at once:
nothing more of it is sent (with --merge, nothing of it at all), "ABORTED
<letters of the command received>" is printed, and the reset is answered next,
as any reset, ahead of commands still waiting. A reset is always a reset here;
--answer-as only changes what it is answered with. Any other command received
meanwhile waits and is answered once the answer ends, in the order received.

A tester that goes away: when the tester closes the port during an answer, the
answer goes on at its pace. What is sent while no tester has the port open is
buffered, not lost: it waits in the input queue of the pty's terminal side
(which the simulator holds open, so the line keeps its settings); only bytes
that find no room there within 1 s are dropped, as on a line nobody listens to.
A tester that opens the port next and clears its input on opening (ZqCmdLin
does) receives exactly what is sent after its open; one that does not clear it
receives what waited too. A failed write (EIO, a device gone) loses those bytes
only; the answer and the simulator go on.
)";

struct Options {
    std::string device;
    unsigned baud = 1000000;
    std::string linkDir;
    unsigned com = 0;
    std::string record;
    long exitAfter = -1;
    std::uint8_t status = 0x06;
    int retryStatus = -1;
    std::uint8_t completion = 0xF0;
    std::string answerAs;
    bool errorCommand = false;
    bool silent = false;
    unsigned blocks = 4;
    unsigned long progress = 0;
    std::string info = "plain";
    bool haveId = false;
    Bytes id;
    bool haveReturnData = false;
    std::uint8_t returnDataId = 0;
    Bytes returnData;
    bool badReturnCheck = false;
    unsigned delayMs = 0;
    unsigned split = 0;
    unsigned splitGapMs = 20;
    bool merge = false;
    bool fill = false;
    bool noise = false;
    bool badEscape = false;
    bool badCheck = false;
    bool unknownTypes = false;
    bool shortFrames = false;
    long vanishAfter = -1;
    unsigned idleFillMs = 0;
};

// ---------------------------------------------------------------------------------------------
// Wire format.

std::uint16_t Checksum16(const std::uint8_t* data, std::size_t count) {
    std::uint16_t c = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t feedback = (c & 1) ? 0x4A12 : 0;
        c = static_cast<std::uint16_t>((c >> 1) ^ data[i] ^ feedback);
    }
    return c;
}

void AppendStuffed(Bytes& out, const Bytes& packet) {
    for (std::uint8_t b : packet) {
        if (b == kEnd) {
            out.push_back(kEsc);
            out.push_back(kEscEnd);
        } else if (b == kEsc) {
            out.push_back(kEsc);
            out.push_back(kEscEsc);
        } else {
            out.push_back(b);
        }
    }
}

std::uint8_t SumCheck(const Bytes& bytes, std::size_t from, std::size_t to) {
    unsigned sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += bytes[i];
    return static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

Bytes StatusPacket(std::uint8_t opCode, std::uint8_t param, std::uint16_t valueLo,
                   std::uint16_t valueHi) {
    Bytes p{0xFD,
            opCode,
            param,
            static_cast<std::uint8_t>(valueLo & 0xFF),
            static_cast<std::uint8_t>(valueLo >> 8),
            static_cast<std::uint8_t>(valueHi & 0xFF),
            static_cast<std::uint8_t>(valueHi >> 8)};
    p.push_back(SumCheck(p, 0, 7));
    return p;
}

Bytes StateReport(std::uint8_t param, const char* tag) {
    Bytes p{0xFD, 0xFA, param};
    for (int i = 0; i < 4; ++i) p.push_back(static_cast<std::uint8_t>(tag[i]));
    p.push_back(SumCheck(p, 0, 7));
    return p;
}

void PutLe(Bytes& p, std::size_t at, std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i) p[at + static_cast<std::size_t>(i)] = (value >> (8 * i)) & 0xFF;
}

void PutText(Bytes& p, std::size_t at, const std::string& text, std::size_t width) {
    for (std::size_t i = 0; i < width && i < text.size(); ++i)
        p[at + i] = static_cast<std::uint8_t>(text[i]);
}

Bytes ProgrammerInformation(const std::string& variant) {
    Bytes p(158, 0);
    p[0] = 0xFA;
    p[1] = 'W';
    p[2] = 'D';
    p[3] = variant == "badsig" ? 'X' : 'I';
    p[14] = variant == "hidden" ? 0x01 : 0x00;
    PutLe(p, 16, 512, 2);     // ROM size, KB
    PutLe(p, 24, 0x3C5A, 2);  // flash CRC sum
    PutLe(p, 26, 0xB7E1, 2);  // flash ACC sum
    std::string chip = "S32K144";
    if (variant == "mke")
        chip = "MKE02Z64VLD4";
    else if (variant == "xmc" || variant == "longname")
        chip = "XMC1100Q024F0064";  // all 16 characters used, no zero byte
    PutText(p, 88, chip, 16);
    PutText(p, 104, "FIRMWARE_V1_02.HEX", 48);
    PutLe(p, 154, 0x0012ABCD, 4);  // file checksum
    if (variant == "sn") {
        p[40] = 0x01;
        PutLe(p, 42, 3, 2);
        PutLe(p, 44, 0x0800FF00, 4);
        PutLe(p, 48, 0x00001000, 4);
        PutLe(p, 52, 0x00001005, 4);
    }
    return p;
}

// A packet head followed by its variable part, allocated at its final size at once (growing a
// vector that an initializer list sized exactly makes GCC 12 see a copy out of bounds).
Bytes HeadAndBody(std::initializer_list<std::uint8_t> head, const Bytes& body) {
    Bytes p(head.size() + body.size());
    std::copy(body.begin(), body.end(), std::copy(head.begin(), head.end(), p.begin()));
    return p;
}

Bytes IdentityPacket(const Bytes& id) {
    Bytes p = HeadAndBody({0xFC, 0x00, static_cast<std::uint8_t>(id.size())}, id);
    while (p.size() < 8) p.push_back(0);  // a received packet has at least 8 bytes
    return p;
}

Bytes ReturnDataPacket(std::uint8_t dataId, const Bytes& data, bool spoilCheck) {
    const auto count = static_cast<std::uint8_t>(data.size());
    Bytes p;
    if (dataId == 0xF0) {
        // The byte after the count is not shown but counted in the check.
        p = HeadAndBody({0xFB, dataId, count, 0x00}, data);
        p.push_back(SumCheck(p, 0, p.size()));
    } else {
        p = HeadAndBody({0xFB, dataId, count}, data);
        p.push_back(SumCheck(p, 1, p.size()));
    }
    if (spoilCheck)
        p.back() = static_cast<std::uint8_t>(p.back() + 1);
    while (p.size() < 8) p.push_back(0);
    return p;
}

// ---------------------------------------------------------------------------------------------
// The line.

volatile sig_atomic_t stopRequested = 0;
std::string linkPath;

void OnStopSignal(int) {
    stopRequested = 1;
}

void Fail(const std::string& what) {
    std::fprintf(stderr, "zq-programmer-sim: %s: %s\n", what.c_str(), std::strerror(errno));
    if (!linkPath.empty())
        unlink(linkPath.c_str());
    std::exit(2);
}

// How long --exit-after waits for the tester to let go of the line after the last answer.
constexpr int kLastAnswerWaitMs = 3000;

void SleepMs(unsigned ms) {
    if (ms == 0)
        return;
    const timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

timespec Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

int MillisecondsSince(const timespec& start) {
    const timespec now = Now();
    return static_cast<int>((now.tv_sec - start.tv_sec) * 1000 +
                            (now.tv_nsec - start.tv_nsec) / 1000000);
}

// Raw mode, two stop bits, and the line speed when asked; false when the speed is one the
// device does not take, so that a dry run never goes on at a rate nobody asked for.
bool MakeRaw(int fd, unsigned baud, bool setSpeed) {
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return !setSpeed;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD | CSTOPB;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (setSpeed && cfsetspeed(&t, static_cast<speed_t>(baud == 1000000 ? B1000000 : baud)) != 0)
        return false;
    return tcsetattr(fd, TCSANOW, &t) == 0 || !setSpeed;
}

// Cuts SLIP frames out of the received bytes and hands each packet on. A frame starts with its
// own END and ends with the next END; bytes between frames (the tester's 0xFF fill) are skipped,
// and a run of END bytes is one frame start.
class FrameReader {
  public:
    template <class OnPacket>
    void Feed(const std::uint8_t* data, std::size_t count, OnPacket onPacket) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t b = data[i];
            if (b == kEnd) {
                if (inFrame_ && (!packet_.empty() || broken_)) {
                    if (!broken_)
                        onPacket(packet_);
                    inFrame_ = false;
                } else {
                    inFrame_ = true;
                }
                packet_.clear();
                escaped_ = false;
                broken_ = false;
                continue;
            }
            if (!inFrame_)
                continue;
            if (escaped_) {
                escaped_ = false;
                if (b == kEscEnd)
                    packet_.push_back(kEnd);
                else if (b == kEscEsc)
                    packet_.push_back(kEsc);
                else
                    broken_ = true;
                continue;
            }
            if (b == kEsc) {
                escaped_ = true;
                continue;
            }
            if (packet_.size() < 8192)
                packet_.push_back(b);
            else
                broken_ = true;
        }
    }

  private:
    Bytes packet_;
    bool inFrame_ = false;
    bool escaped_ = false;
    bool broken_ = false;
};

// Appends bytes received from the tester to the --record file, at once, so that a test reading
// it sees them even while the simulator runs on.
void Record(FILE* record, const std::uint8_t* bytes, std::size_t count) {
    if (record == nullptr)
        return;
    (void)std::fwrite(bytes, 1, count, record);
    (void)std::fflush(record);
}

// The command's four letters when the packet is a well-formed command, else empty.
std::string CommandOf(const Bytes& p) {
    if (p.size() < 10)
        return {};
    const std::uint16_t sum = Checksum16(p.data(), p.size() - 2);
    if (p[p.size() - 2] != (sum & 0xFF) || p[p.size() - 1] != (sum >> 8))
        return {};
    const std::uint8_t swapped = static_cast<std::uint8_t>((p[0] << 4) | (p[0] >> 4));
    if (p[5] != swapped)
        return {};
    std::string letters(p.begin() + 1, p.begin() + 5);
    struct Known {
        std::uint8_t type;
        const char* letters;
        std::size_t length;
    };
    static const Known known[] = {{0xF9, "APRG", 10}, {0xF6, "CKPG", 10}, {0x8A, "REST", 12},
                                  {0xF6, "CKSK", 10}, {0xF9, "RDSX", 10}, {0xF9, "ERAS", 10}};
    for (const Known& k : known)
        if (p[0] == k.type && letters == k.letters && p.size() == k.length)
            return letters;
    return {};
}


// How long a write waits for room on a line nobody reads before its bytes are dropped.
constexpr int kNoRoomMs = 1000;

// Takes in what the tester sends: records it, cuts it into packets and keeps each command until
// it is answered. The main loop hands it what it reads while the programmer is idle; while the
// programmer answers, the pauses of the answer listen through it. A reset received while an
// answer is under way is kept apart: it ends that answer and is answered before the commands
// that wait.
class Receiver {
  public:
    Receiver(int fd, FILE* record) : fd_(fd), record_(record) {}

    void Take(const std::uint8_t* bytes, std::size_t count) {
        Record(record_, bytes, count);
        reader_.Feed(bytes, count, [this](const Bytes& packet) {
            if (busy_ && CommandOf(packet) == "REST")
                resets_.push_back(packet);
            else
                waiting_.push_back(packet);
        });
    }

    // Takes in whatever comes within ms milliseconds; with 0, one look at the line. A stop
    // request ends the wait.
    void Listen(unsigned ms) {
        const timespec started = Now();
        for (;;) {
            if (stopRequested)
                return;
            const int left = std::max(0, static_cast<int>(ms) - MillisecondsSince(started));
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, left) > 0) {
                std::uint8_t buffer[4096];
                const ssize_t n = read(fd_, buffer, sizeof buffer);
                if (n > 0)
                    Take(buffer, static_cast<std::size_t>(n));
                else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                    SleepMs(static_cast<unsigned>(std::min(left, 10)));  // no one on the line
            }
            if (left == 0)
                return;
        }
    }

    void SetBusy(bool busy) { busy_ = busy; }
    bool ResetWaiting() const { return !resets_.empty(); }
    bool HasCommand() const { return !resets_.empty() || !waiting_.empty(); }

    Bytes NextCommand() {
        std::deque<Bytes>& from = resets_.empty() ? waiting_ : resets_;
        Bytes packet = std::move(from.front());
        from.pop_front();
        return packet;
    }

  private:
    int fd_;
    FILE* record_;
    FrameReader reader_;
    bool busy_ = false;
    std::deque<Bytes> waiting_;
    std::deque<Bytes> resets_;
};

class Line {
  public:
    Line(int fd, const Options& options, Receiver& receiver)
        : fd_(fd), options_(options), receiver_(receiver) {}

    // Writes bytes, in pieces when asked to split frames.
    void Write(const Bytes& bytes) {
        if (options_.merge) {
            pending_.insert(pending_.end(), bytes.begin(), bytes.end());
            return;
        }
        if (options_.split == 0) {
            WriteAll(bytes.data(), bytes.size());
            return;
        }
        for (std::size_t at = 0; at < bytes.size(); at += options_.split) {
            const std::size_t n = std::min<std::size_t>(options_.split, bytes.size() - at);
            WriteAll(bytes.data() + at, n);
            receiver_.Listen(options_.splitGapMs);
        }
    }

    // One byte of the fill a programmer may send between frames. It never waits for room on the
    // line (which is non-blocking): with nobody reading, the fill is simply not sent.
    void Fill() {
        const std::uint8_t fill = 0xFF;
        const ssize_t written = write(fd_, &fill, 1);
        (void)written;
    }

    void Flush() {
        if (!pending_.empty())
            WriteAll(pending_.data(), pending_.size());
        pending_.clear();
    }

    // A pause of the answer; the line is read meanwhile.
    void Pause(unsigned ms) {
        if (!aborted_)
            receiver_.Listen(ms);
    }

    // Starts an answer: its packets are counted from zero, and it runs until a reset ends it.
    void BeginAnswer() {
        packetsSent_ = 0;
        aborted_ = false;
    }

    bool Aborted() const { return aborted_; }

    // One packet with the faults asked for around it. The line is read before it, during the
    // --delay pause or in one look at the line; a reset received by then ends the answer instead:
    // neither this packet nor any other of the answer is sent, nor what --merge still holds of it.
    // A stop request ends it too.
    void SendPacket(const Bytes& packet) {
        if (aborted_ || stopRequested)
            return;
        if (options_.vanishAfter >= 0 && packetsSent_ >= options_.vanishAfter) {
            Flush();
            SleepMs(300);  // what was sent is on its way before the line goes dead
            std::fprintf(stdout, "VANISHED\n");
            std::fflush(stdout);
            close(fd_);
            if (!linkPath.empty())
                unlink(linkPath.c_str());
            std::exit(0);
        }
        receiver_.Listen(options_.delayMs);
        if (receiver_.ResetWaiting()) {
            aborted_ = true;
            pending_.clear();
            return;
        }
        if (stopRequested)
            return;
        if (options_.shortFrames)
            Write(Frame(Bytes{0xFD, 0x10, 0x00, 0xF3}));
        if (options_.badEscape) {
            Bytes bad{kEnd, 0xFD, kEsc, 0x41, 0x01, 0x02, 0x03, 0x04, 0x05, kEnd};
            Write(bad);
        }
        if (options_.badCheck && packet[0] == 0xFD) {
            Bytes spoiled = packet;
            spoiled[7] = static_cast<std::uint8_t>(spoiled[7] + 1);
            Write(Frame(spoiled));
        }
        Write(Frame(packet));
        ++packetsSent_;
    }

  private:
    Bytes Frame(const Bytes& packet) {
        Bytes out;
        if (options_.noise) {
            const unsigned n = 1 + Random() % 8;
            for (unsigned i = 0; i < n; ++i) {
                std::uint8_t b = static_cast<std::uint8_t>(Random());
                if (b == kEnd)
                    b = 0x5A;
                out.push_back(b);
            }
        }
        out.push_back(kEnd);
        AppendStuffed(out, packet);
        out.push_back(kEnd);
        if (options_.fill)
            out.insert(out.end(), 5, 0xFF);
        return out;
    }

    unsigned Random() {
        seed_ = seed_ * 1103515245u + 12345u;
        return (seed_ >> 16) & 0x7FFF;
    }

    // The line is non-blocking. While no tester has the pty open, what is written waits in the
    // input queue of the terminal side until a tester reads it or clears it on opening the port;
    // once that queue is full (or when a device takes nothing), bytes that find no room within
    // kNoRoomMs are dropped, as on a line that nobody listens to. A failed write (EIO: a device
    // gone) loses its bytes; the answer goes on.
    void WriteAll(const std::uint8_t* data, std::size_t count) {
        timespec lastRoom = Now();
        while (count > 0 && !stopRequested) {
            const ssize_t n = write(fd_, data, count);
            if (n > 0) {
                data += n;
                count -= static_cast<std::size_t>(n);
                lastRoom = Now();
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN && MillisecondsSince(lastRoom) < kNoRoomMs) {
                pollfd p{fd_, POLLOUT, 0};
                poll(&p, 1, 100);
                continue;
            }
            return;
        }
    }

    int fd_;
    const Options& options_;
    Receiver& receiver_;
    Bytes pending_;
    long packetsSent_ = 0;
    bool aborted_ = false;
    unsigned seed_ = 12345;
};

// ---------------------------------------------------------------------------------------------
// The programmer.

class Programmer {
  public:
    Programmer(Line& line, const Options& options, Receiver& receiver)
        : line_(line), options_(options), receiver_(receiver) {}

    // Answers one command, reading the line meanwhile (see Receiver and Line::SendPacket).
    void Serve(const Bytes& packet) {
        const std::string command = CommandOf(packet);
        const char* letters = command.empty() ? "?" : command.c_str();
        std::fprintf(stdout, "COMMAND %s\n", letters);
        std::fflush(stdout);
        if (options_.silent)
            return;
        receiver_.SetBusy(true);
        line_.BeginAnswer();
        Answer(command.empty() || options_.answerAs.empty() ? command : options_.answerAs,
               packet);
        line_.Flush();
        receiver_.SetBusy(false);
        if (line_.Aborted()) {
            std::fprintf(stdout, "ABORTED %s\n", letters);
            std::fflush(stdout);
        }
    }

  private:
    // The answer to a command, given its letters (empty when not well-formed).
    void Answer(const std::string& command, const Bytes& packet) {
        if (options_.unknownTypes) {
            line_.SendPacket(packet);  // an echo of the command
            line_.SendPacket(Bytes{0x55, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07});
        }
        if (command.empty() || options_.errorCommand) {
            line_.SendPacket(StateReport(3, "CERR"));
        } else if (command == "APRG") {
            Program();
        } else if (command == "CKPG") {
            CheckProgrammer();
        } else if (command == "REST") {
            Reset();
        } else if (command == "CKSK") {
            line_.SendPacket(StateReport(0, "PCNI"));
            Extras();
            line_.SendPacket(StatusPacket(0xF7, options_.status, 0, 0));
        } else if (command == "RDSX") {
            Extras();
            line_.SendPacket(StatusPacket(0xF6, options_.status, 0x3C5A, 0xB7E1));
        } else if (command == "ERAS") {
            line_.SendPacket(StatusPacket(0x30, 0, 0, 0));
            for (unsigned b = 0; b < options_.blocks; ++b)
                line_.SendPacket(StatusPacket(0x3F, static_cast<std::uint8_t>(b), 0, 0));
            Extras();
            line_.SendPacket(StatusPacket(0xF7, options_.status, 0, 0));
        }
    }

    void Extras() {
        if (options_.haveId)
            line_.SendPacket(IdentityPacket(options_.id));
        if (options_.haveReturnData)
            line_.SendPacket(ReturnDataPacket(options_.returnDataId, options_.returnData,
                                              options_.badReturnCheck));
    }

    void Program() {
        const unsigned blocks = options_.blocks;
        line_.SendPacket(StatusPacket(0x10, 0, 0x3C5A, 0xB7E1));
        line_.SendPacket(StatusPacket(0x20, 0, 0, 0));
        for (unsigned b = 0; b < blocks; ++b)
            line_.SendPacket(StatusPacket(0x2F, static_cast<std::uint8_t>(b), 0, 0));
        line_.SendPacket(StatusPacket(0x30, 0, 0, 0));
        for (unsigned b = 0; b < blocks; ++b)
            line_.SendPacket(StatusPacket(0x3F, static_cast<std::uint8_t>(b), 0, 0));
        line_.SendPacket(StatusPacket(0x40, 0, 0, 0));
        for (unsigned b = 0; b < blocks; ++b)
            line_.SendPacket(StatusPacket(0x4F, static_cast<std::uint8_t>(b), 0, 0));
        for (unsigned long i = 0; i < options_.progress; ++i)
            line_.SendPacket(StatusPacket(0x4F, static_cast<std::uint8_t>(i & 0xFF), 0, 0));
        line_.SendPacket(StatusPacket(0x70, 0, 0, 0));
        for (unsigned b = 0; b < blocks; ++b)
            line_.SendPacket(StatusPacket(0x7F, static_cast<std::uint8_t>(b), 0, 0));
        line_.SendPacket(StatusPacket(0xA0, 1, 0x1005, 0x0000));
        Extras();
        std::uint8_t status = options_.status;
        if (options_.retryStatus >= 0 && !retryUsed_) {
            status = static_cast<std::uint8_t>(options_.retryStatus);
            retryUsed_ = true;
        }
        switch (options_.completion) {
            case 0xF1:
                line_.SendPacket(StatusPacket(0xF1, status, 0x5678, 0x1234));
                break;
            case 0xF2:
                line_.SendPacket(StatusPacket(0xF2, status, 0xBEEF, 0xDEAD));
                break;
            default:
                line_.SendPacket(StatusPacket(0xF0, status, 0x3C5A, 0xB7E1));
                break;
        }
    }

    void CheckProgrammer() {
        if (options_.status != 0x06) {
            line_.SendPacket(StateReport(1, "WPGN"));
            Extras();
            line_.SendPacket(StatusPacket(0xF7, options_.status, 0, 0));
            return;
        }
        line_.SendPacket(StateReport(1, "WPKO"));
        Bytes state{0xFD, 0xFA, 0x02, 0x00, 0x06, 0x06, 0x00};
        state.push_back(SumCheck(state, 0, 7));
        line_.SendPacket(state);
        Extras();
        line_.SendPacket(ProgrammerInformation(options_.info));
    }

    void Reset() {
        if (options_.status != 0x06 && options_.retryStatus < 0) {
            line_.SendPacket(StatusPacket(0xF7, options_.status, 0, 0));
            return;
        }
        line_.Pause(50);  // the programmer restarts, then announces itself
        Extras();
        line_.SendPacket(ProgrammerInformation(options_.info));
    }

    Line& line_;
    const Options& options_;
    Receiver& receiver_;
    bool retryUsed_ = false;
};

// Closing the master side of a pseudo-terminal hangs up the terminal side, and the kernel throws
// away whatever the tester has not read yet: the last answer would be lost. So the simulator
// lets go of its own hold on the terminal side and waits until the tester has closed it too (the
// master then reports a hang-up), which the tester does only once it has its verdict; bytes that
// still come meanwhile are recorded. The wait is bounded. On a real device the answer only has to
// be on the wire: its output is drained.
void AwaitLastAnswerTaken(int fd, int& slaveFd, FILE* record) {
    if (slaveFd < 0) {
        tcdrain(fd);
        return;
    }
    close(slaveFd);
    slaveFd = -1;
    const timespec started = Now();
    for (;;) {
        const int left = kLastAnswerWaitMs - MillisecondsSince(started);
        if (left <= 0 || stopRequested)
            return;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, left);
        if (ready < 0 && errno != EINTR)
            return;
        if (ready <= 0)
            continue;
        if (!(p.revents & POLLIN))
            return;  // hung up: the tester has closed its side
        std::uint8_t buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0)
            Record(record, buffer, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EINTR && errno != EAGAIN))
            return;  // EIO once what the tester wrote last has been read
    }
}

bool ParseHexBytes(const std::string& text, Bytes& out) {
    out.clear();
    std::string digits;
    for (char c : text)
        if (c != ' ' && c != ',' && c != ':')
            digits.push_back(c);
    if (digits.size() % 2 != 0)
        return false;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = digits.substr(i, 2);
        const long v = std::strtol(pair.c_str(), &end, 16);
        if (end == nullptr || *end != 0)
            return false;
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return true;
}

bool ParseOptions(int argc, char** argv, Options& o) {
    auto need = [&](int& i) -> const char* {
        if (i + 1 >= argc) {
            std::fprintf(stderr, "zq-programmer-sim: %s needs a value\n", argv[i]);
            std::exit(2);
        }
        return argv[++i];
    };
    auto hexByte = [](const char* s) {
        return static_cast<std::uint8_t>(std::strtoul(s, nullptr, 16));
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kHelp, stdout);
            std::exit(0);
        } else if (a == "--version") {
            std::fputs("zq-programmer-sim " ZQ_SIMULATOR_VERSION "\n", stdout);
            std::exit(0);
        } else if (a == "--device") {
            o.device = need(i);
        } else if (a == "--baud") {
            o.baud = static_cast<unsigned>(std::strtoul(need(i), nullptr, 10));
        } else if (a == "--link") {
            o.linkDir = need(i);
        } else if (a == "--com") {
            o.com = static_cast<unsigned>(std::strtoul(need(i), nullptr, 10));
        } else if (a == "--record") {
            o.record = need(i);
        } else if (a == "--exit-after") {
            o.exitAfter = std::strtol(need(i), nullptr, 10);
        } else if (a == "--status") {
            o.status = hexByte(need(i));
        } else if (a == "--retry") {
            o.retryStatus = hexByte(need(i));
        } else if (a == "--completion") {
            o.completion = hexByte(need(i));
        } else if (a == "--answer-as") {
            o.answerAs = need(i);
            static const char* const commands[] = {"APRG", "CKPG", "REST", "CKSK", "RDSX", "ERAS"};
            if (std::find(std::begin(commands), std::end(commands), o.answerAs) ==
                std::end(commands)) {
                std::fprintf(stderr, "zq-programmer-sim: --answer-as takes APRG, CKPG, REST, "
                                     "CKSK, RDSX or ERAS, not %s\n", o.answerAs.c_str());
                return false;
            }
        } else if (a == "--error-command") {
            o.errorCommand = true;
        } else if (a == "--silent") {
            o.silent = true;
        } else if (a == "--blocks") {
            o.blocks = static_cast<unsigned>(std::strtoul(need(i), nullptr, 10));
        } else if (a == "--progress") {
            o.progress = std::strtoul(need(i), nullptr, 10);
        } else if (a == "--info") {
            o.info = need(i);
        } else if (a == "--id") {
            o.haveId = ParseHexBytes(need(i), o.id);
            if (!o.haveId || o.id.size() > 255)
                return false;
        } else if (a == "--return-data") {
            const std::string v = need(i);
            const auto colon = v.find(':');
            if (colon == std::string::npos)
                return false;
            o.returnDataId = hexByte(v.substr(0, colon).c_str());
            o.haveReturnData = ParseHexBytes(v.substr(colon + 1), o.returnData);
            if (!o.haveReturnData || o.returnData.size() > 255)
                return false;
        } else if (a == "--bad-return-check") {
            o.badReturnCheck = true;
        } else if (a == "--delay") {
            o.delayMs = static_cast<unsigned>(std::strtoul(need(i), nullptr, 10));
        } else if (a == "--split") {
            o.split = static_cast<unsigned>(std::strtoul(need(i), nullptr, 10));
        } else if (a == "--split-gap") {
            o.splitGapMs = static_cast<unsigned>(std::strtoul(need(i), nullptr, 10));
        } else if (a == "--merge") {
            o.merge = true;
        } else if (a == "--fill") {
            o.fill = true;
        } else if (a == "--noise") {
            o.noise = true;
        } else if (a == "--bad-escape") {
            o.badEscape = true;
        } else if (a == "--bad-check") {
            o.badCheck = true;
        } else if (a == "--unknown-types") {
            o.unknownTypes = true;
        } else if (a == "--short-frames") {
            o.shortFrames = true;
        } else if (a == "--vanish-after") {
            o.vanishAfter = std::strtol(need(i), nullptr, 10);
        } else if (a == "--idle-fill") {
            o.idleFillMs = static_cast<unsigned>(std::strtoul(need(i), nullptr, 10));
        } else {
            std::fprintf(stderr, "zq-programmer-sim: unknown option %s (see --help)\n", a.c_str());
            return false;
        }
    }
    if (!o.linkDir.empty() && o.com == 0) {
        std::fprintf(stderr, "zq-programmer-sim: --link needs --com\n");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options))
        return 2;

    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int fd = -1;
    int slaveFd = -1;
    if (!options.device.empty()) {
        fd = open(options.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            Fail("cannot open " + options.device);
        if (!MakeRaw(fd, options.baud, true))
            Fail("cannot set " + options.device + " to " + std::to_string(options.baud) + " baud");
        std::printf("DEVICE %s\n", options.device.c_str());
    } else {
        fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0)
            Fail("cannot create a pseudo-terminal");
        const char* name = ptsname(fd);
        if (name == nullptr)
            Fail("cannot name the pseudo-terminal");
        const std::string slaveName = name;
        // Holding the terminal side open keeps the line up between two runs of the tester.
        slaveFd = open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slaveFd < 0)
            Fail("cannot open " + slaveName);
        MakeRaw(slaveFd, options.baud, false);
        MakeRaw(fd, options.baud, false);
        std::printf("PTY %s\n", slaveName.c_str());
        if (!options.linkDir.empty()) {
            const std::string dir = options.linkDir + "/dosdevices";
            mkdir(dir.c_str(), 0755);
            linkPath = dir + "/com" + std::to_string(options.com);
            unlink(linkPath.c_str());
            if (symlink(slaveName.c_str(), linkPath.c_str()) != 0)
                Fail("cannot place " + linkPath);
            std::printf("LINK %s\n", linkPath.c_str());
        }
    }

    FILE* record = nullptr;
    if (!options.record.empty()) {
        record = std::fopen(options.record.c_str(), "ab");
        if (record == nullptr)
            Fail("cannot open " + options.record);
    }

    std::printf("READY\n");
    std::fflush(stdout);

    // Reads and writes never block: an answer listens in its pauses and never waits for ever on
    // a line that nobody reads.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    Receiver receiver(fd, record);
    Line line(fd, options, receiver);
    Programmer programmer(line, options, receiver);
    long answered = 0;
    std::uint8_t buffer[4096];
    while (!stopRequested && (options.exitAfter < 0 || answered < options.exitAfter)) {
        const bool idleFill = options.idleFillMs > 0 && answered > 0;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, idleFill ? static_cast<int>(options.idleFillMs) : 200);
        if (ready < 0 && errno != EINTR)
            Fail("poll");
        if (ready == 0 && idleFill)
            line.Fill();
        if (ready <= 0)
            continue;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0 && errno == EIO) {
            SleepMs(10);  // no one on the terminal side just now
            continue;
        }
        if (n <= 0)
            break;
        receiver.Take(buffer, static_cast<std::size_t>(n));
        while (receiver.HasCommand() && !stopRequested) {
            programmer.Serve(receiver.NextCommand());
            ++answered;
        }
    }

    if (!stopRequested && options.exitAfter >= 0)
        AwaitLastAnswerTaken(fd, slaveFd, record);

    if (record != nullptr)
        std::fclose(record);
    if (!linkPath.empty())
        unlink(linkPath.c_str());
    if (slaveFd >= 0)
        close(slaveFd);
    close(fd);
    return 0;
}
