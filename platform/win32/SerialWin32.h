// What the Win32 serial files share: handle conversions, the device control block's flag word,
// and the transmit request queue record.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "SerialDevice.h"

namespace platform::serial_win32 {

inline HANDLE HandleOf(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// The port number of "COMn" (any letter case, n from 1 to 999999 without leading zeros); 0 for
// every other name, so that no name can reach a device other than a COM port.

// The device control block's flag word, replaced as a whole: fBinary always set, fAbortOnError
// never, the control-line modes in the driver's own codes.
DWORD DcbFlagWord(const SerialLineSettings& settings);
// Writes the flag word into the block's bit fields (all 32 bits, the unused ones cleared).
void StoreDcbFlagWord(DCB& dcb, DWORD flags);
// The whole block as ApplySerialLineSettings writes it over what the driver reported.
void FillDcb(DCB& dcb, const SerialLineSettings& settings);

// The transmit thread's request queue is the thread's own message queue. The queue object learns
// the thread's id when the transmit loop starts; until then, and again once the loop has ended,
// posting fails.
struct TransmitQueue {
    std::atomic<DWORD> threadId{0};
};

inline TransmitQueue* QueueOf(WriteQueue queue) {
    return reinterpret_cast<TransmitQueue*>(queue);
}

}  // namespace platform::serial_win32
