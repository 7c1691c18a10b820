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
//
// This file is its command line and main loop: the options (SimulatorOptions), the line made and
// paced (SimulatorLine), the packets on the wire (SimulatorWire) and the programmer's answers
// (SimulatorProgrammer).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "SimulatorLine.h"
#include "SimulatorOptions.h"
#include "SimulatorProgrammer.h"

namespace sim {
namespace {

void OnStopSignal(int) {
    stopRequested = 1;
}

int Run(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options))
        return 2;

    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    LineEnds ends = OpenLine(options);
    const int fd = ends.fd;

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
        AwaitLastAnswerTaken(fd, ends.slaveFd, record);

    if (record != nullptr)
        std::fclose(record);
    RemoveLink();
    if (ends.slaveFd >= 0)
        close(ends.slaveFd);
    close(fd);
    return 0;
}

}  // namespace
}  // namespace sim

int main(int argc, char** argv) {
    return sim::Run(argc, argv);
}
