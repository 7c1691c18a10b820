// What the tests ask the system about a started program, apart from the contract under test.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

#include "ProcessControl.h"

// Whether condition holds within limitMs, looking every few milliseconds.
template <typename Condition>
bool Within(std::uint64_t limitMs, Condition condition) {
    const std::uint64_t end = platform::MonotonicMilliseconds() + limitMs;
    while (!condition()) {
        if (platform::MonotonicMilliseconds() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The system's number for the program (not the contract's handle).
long SystemProcessId(const platform::ChildProcess& process);
// Whether the program with that number still runs (an ended one not yet collected does not).
bool ProcessRunning(long pid);
// Whether nothing is held any more for the program once known as before: no handle, no
// uncollected end.
bool NothingHeldFor(const platform::ChildProcess& before);
// Gives the test program a standard input holding bytes (then its end) while it lives, so that a
// started program reading the caller's input would find them.
class StandardInputHolding {
  public:
    explicit StandardInputHolding(const char* bytes);
    ~StandardInputHolding();
    StandardInputHolding(const StandardInputHolding&) = delete;
    StandardInputHolding& operator=(const StandardInputHolding&) = delete;

  private:
    int saved_ = -1;
};
// Whether this system ends a started program together with its starter.
bool SystemEndsProgramsWithStarter();
