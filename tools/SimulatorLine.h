// The simulator's end of the serial line and the faults and timing of what it sends: the line
// made (a pseudo-terminal or a device), the Receiver that takes in commands while an answer goes
// on, the Line that writes packets with their delays, splits, noise and vanishing, the pacing of
// bytes at the line's byte rate, and the wait for the tester to take the last answer.
#pragma once

#include <signal.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

#include "SimulatorOptions.h"
#include "SimulatorWire.h"

namespace sim {

// Set by SIGTERM and SIGINT: every wait ends at once, and so does the answer under way.
extern volatile sig_atomic_t stopRequested;

// Prints what failed with errno's text, removes the --link link and exits with status 2.
[[noreturn]] void Fail(const std::string& what);

void SleepMs(unsigned ms);

// The simulator's end of the line. For a pty, slaveFd holds its terminal side open.
struct LineEnds {
    int fd = -1;
    int slaveFd = -1;
};

// Opens --device, or makes the pseudo-terminal and its --link; prints DEVICE, PTY and LINK.
// Fails (exit status 2) when the line cannot be made.
LineEnds OpenLine(const Options& options);

// Removes the --link link, if one was placed.
void RemoveLink();

// Appends bytes received from the tester to the --record file, at once, so that a test reading
// it sees them even while the simulator runs on.
void Record(FILE* record, const std::uint8_t* bytes, std::size_t count);

// Takes in what the tester sends: records it, cuts it into packets and keeps each command until
// it is answered. The main loop hands it what it reads while the programmer is idle; while the
// programmer answers, the pauses of the answer listen through it. A reset received while an
// answer is under way is kept apart: it ends that answer and is answered before the commands
// that wait.
class Receiver {
  public:
    Receiver(int fd, FILE* record) : fd_(fd), record_(record) {}

    void Take(const std::uint8_t* bytes, std::size_t count);

    // Takes in whatever comes within ms milliseconds; with 0, one look at the line. A stop
    // request ends the wait.
    void Listen(unsigned ms);

    void SetBusy(bool busy) { busy_ = busy; }
    bool ResetWaiting() const { return !resets_.empty(); }
    bool HasCommand() const { return !resets_.empty() || !waiting_.empty(); }
    Bytes NextCommand();

  private:
    int fd_;
    FILE* record_;
    FrameReader reader_;
    bool busy_ = false;
    std::deque<Bytes> waiting_;
    std::deque<Bytes> resets_;
};

// Holds the bytes written to the line to a byte rate, as a UART sends them: byte k of a burst
// leaves no earlier than start + k / rate, on a clock that runs from the burst's first byte, so
// that the rate holds on average whatever time the writes and the wakeups take. A burst ends once
// the line has been idle (every byte written has had its time on the wire) for longer than a
// wakeup may come late: a pause of the answer (--delay, --split-gap) is never made up for by
// faster bytes after it.
class Pacer {
  public:
    explicit Pacer(double bytesPerSecond);

    bool Pacing() const { return nsPerByte_ > 0; }

    // Waits until the last of the next count bytes may leave; returns at once when not pacing.
    void AwaitTurnOf(std::size_t count);

    // Counts bytes that the line took.
    void Sent(std::size_t count) { sent_ += count; }

  private:
    double nsPerByte_ = 0;
    std::int64_t startNs_ = 0;
    std::uint64_t sent_ = 0;
};

// Writes the programmer's packets with the faults and timing asked for; see SendPacket.
class Line {
  public:
    Line(int fd, const Options& options, Receiver& receiver)
        : fd_(fd), options_(options), receiver_(receiver), pacer_(options.paceBytesPerSecond) {}

    // Writes bytes, in pieces when asked to split frames.
    void Write(const Bytes& bytes);

    // One byte of the fill a programmer may send between frames. It never waits for room on the
    // line (which is non-blocking): with nobody reading, the fill is simply not sent.
    void Fill();

    void Flush();

    // A pause of the answer; the line is read meanwhile.
    void Pause(unsigned ms);

    // Starts an answer: its packets are counted from zero, and it runs until a reset ends it.
    void BeginAnswer();

    bool Aborted() const { return aborted_; }

    // One packet with the faults asked for around it. The line is read before it, during the
    // --delay pause or in one look at the line; a reset received by then ends the answer instead:
    // neither this packet nor any other of the answer is sent, nor what --merge still holds of it.
    // A stop request ends it too.
    void SendPacket(const Bytes& packet);

  private:
    Bytes Frame(const Bytes& packet);
    unsigned Random();
    void WriteAll(const std::uint8_t* data, std::size_t count);
    bool WritePiece(const std::uint8_t* data, std::size_t count);

    int fd_;
    const Options& options_;
    Receiver& receiver_;
    Pacer pacer_;
    Bytes pending_;
    long packetsSent_ = 0;
    bool aborted_ = false;
    unsigned seed_ = 12345;
};

// Closing the master side of a pseudo-terminal hangs up the terminal side, and the kernel throws
// away whatever the tester has not read yet: the last answer would be lost. So the simulator
// lets go of its own hold on the terminal side and waits until the tester has closed it too (the
// master then reports a hang-up), which the tester does only once it has its verdict; bytes that
// still come meanwhile are recorded. The wait is bounded. On a real device the answer only has to
// be on the wire: its output is drained.
void AwaitLastAnswerTaken(int fd, int& slaveFd, FILE* record);

}  // namespace sim
