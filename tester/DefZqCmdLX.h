// Program-wide tester state: the run state and the four link buffers. Single instances, touched
// on the user-interface thread only.
#pragma once

#include <cstdint>
#include <string>

constexpr std::uint32_t LinkBufferSize = 8192;
constexpr std::uint16_t MaxRxCount = 8191;  // RxBuffer never holds more

constexpr std::uint8_t RunResultNoVerdict = 255;
constexpr std::uint8_t RunResultTesterFailure = 64;
constexpr std::uint8_t RunResultSuccess = 0;
constexpr std::uint8_t RunResultErrorCommand = 0x25;

constexpr std::uint16_t StartTimeoutTicks = 300;      // 4.5 s at 15 ms a tick
constexpr std::uint16_t DefaultTimeoutReload = 2000;  // 30 s
constexpr unsigned TimerIntervalMs = 15;

struct TRunState {
    std::uint8_t RunResult = RunResultNoVerdict;
    bool RunFinished = false;
    bool TraceMode = false;
    bool RetryStarted = false;
    std::uint16_t RetryCountdown = 0;
    std::uint16_t TimeoutCountdown = StartTimeoutTicks;
    std::uint16_t TimeoutReload = DefaultTimeoutReload;
    std::string ExeDir;
    std::string PortName;
};

struct TLinkBuffers {
    std::uint8_t PacketBuffer[LinkBufferSize];
    std::uint8_t TxBuffer[LinkBufferSize];
    std::uint8_t RxBuffer[LinkBufferSize];
    std::uint8_t FrameBuffer[LinkBufferSize];
    std::uint16_t RxCount;
    // Bytes of the packet now in PacketBuffer that really arrived; the decoders read no further.
    std::uint16_t PacketLength;
};

extern TRunState RunState;
extern TLinkBuffers Link;

// RunResult for a failure status reported by the programmer: status + 0x10, held at 0xFF so
// that no failure status can come out as 0 or 6 (which would name the log file OK).
constexpr std::uint8_t FailureRunResult(std::uint8_t status) {
    return status >= 0xEF ? 0xFF : static_cast<std::uint8_t>(status + 0x10);
}
