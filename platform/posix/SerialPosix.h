// What the POSIX serial files share: the open device record and the termios writer.
#pragma once

#include <atomic>
#include <cstdint>

#include "SerialDevice.h"

namespace platform::serial_posix {

// An open device: the descriptor, and the time-outs the receive thread reads while the
// user-interface thread may rewrite them (atomics, no lock).
struct OpenDevice {
    int fd = -1;
    std::atomic<std::uint32_t> readInterval{0};
    std::atomic<std::uint32_t> readTotalMultiplier{0};
    std::atomic<std::uint32_t> readTotalConstant{0};
    std::atomic<std::uint32_t> writeTotalMultiplier{0};
    std::atomic<std::uint32_t> writeTotalConstant{0};
};

inline OpenDevice* DeviceOf(SerialDevice device) {
    return reinterpret_cast<OpenDevice*>(device);
}

// Raw mode, the speed (any rate), data bits, stop bits, parity, flow control. False when the
// driver refuses; a driver may also answer success and keep another speed (a 16550 asked for
// more than its clock allows), which only RequestLineSpeed tells.
bool WriteTermios(int fd, const SerialLineSettings& settings);
// Asks the driver for a speed, leaving every other setting; the speed it then holds (0 when it
// cannot be read as a rate).
std::uint32_t RequestLineSpeed(int fd, std::uint32_t baudRate);
// Whether a speed read back is the one asked for: drivers round to the nearest rate their clock
// divides to, and a rate within 3 % still talks to the other end.
bool LineSpeedKept(std::uint32_t requested, std::uint32_t actual);
// Empties the driver's input and/or output queue.
void FlushQueues(int fd, bool input, bool output);

}  // namespace platform::serial_posix
