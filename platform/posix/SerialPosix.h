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
// driver refuses.
bool WriteTermios(int fd, const SerialLineSettings& settings);
// Empties the driver's input and/or output queue.
void FlushQueues(int fd, bool input, bool output);

}  // namespace platform::serial_posix
