// The command line of zq-programmer-sim: the usage text and the parsing of the options.
#include "SimulatorOptions.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace sim {

namespace {

const char* const kHelp = R"(usage: zq-programmer-sim [options]

Plays the device programmer on a serial line. Without --device it creates a
pseudo-terminal and prints "PTY <path>"; then "READY" once it listens. It answers
every command it receives until it is stopped (SIGTERM, SIGINT) or --exit-after
commands have been answered.

Line:
  --device PATH        use a real serial device (1,000,000 baud, 8 data bits,
                       no parity, 2 stop bits, no flow control) instead of a pty
  --baud N             line speed for --device (default 1000000)
  --pace               write no faster than the programmer's line: 90,909
                       bytes/s, the byte rate of 1,000,000 baud 8N2 (11 bits a
                       byte), with --device too; pauses (--delay, --split-gap)
                       come on top
  --pace=RATE          the same at RATE bytes/s
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

// The rate of --pace=RATE in bytes/s; 0 unless RATE is a whole number of at most nine digits
// above 0.
double PaceRate(const std::string& text) {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    return static_cast<double>(std::strtoul(text.c_str(), nullptr, 10));
}

}  // namespace

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
        } else if (a == "--pace") {
            o.paceBytesPerSecond = kLineBytesPerSecond;
        } else if (a.rfind("--pace=", 0) == 0) {
            o.paceBytesPerSecond = PaceRate(a.substr(7));
            if (o.paceBytesPerSecond <= 0) {
                std::fprintf(stderr, "zq-programmer-sim: --pace= takes a rate in bytes/s, not %s\n",
                             a.substr(7).c_str());
                return false;
            }
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
                std::fprintf(stderr,
                             "zq-programmer-sim: --answer-as takes APRG, CKPG, REST, "
                             "CKSK, RDSX or ERAS, not %s\n",
                             o.answerAs.c_str());
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

}  // namespace sim
