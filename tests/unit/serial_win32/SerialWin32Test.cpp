#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "SerialDevice.h"
#include "SerialWin32.h"

namespace {

using namespace platform;

// ---------------------------------------------------------------------------------------------
// Opening rules.

struct PathCase {
    const char* name;
    const char* path;  // empty: never opens
};

TEST(SerialDevicePathWin32, OnlyComNamesWithAPortNumberBecomeDevicePaths) {
    const PathCase cases[] = {
        {"COM3", "\\\\.\\COM3"},
        {"COM12", "\\\\.\\COM12"},
        {"com7", "\\\\.\\com7"},
        {"COM999999", "\\\\.\\COM999999"},
        {"COM0", ""},
        {"COM03", ""},
        {"COM", ""},
        {"COM3:", ""},
        {"COM-1", ""},
        {"COM1234567", ""},
        {"LPT1", ""},
        {"NUL", ""},
        {"..\\COM3", ""},
        {"\\\\.\\COM3", ""},
        {"C:\\COM3", ""},
        {"", ""},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(SerialDevicePath(c.name, "C:\\ignored\\"), c.path) << c.name;
        if (c.path[0] == '\0') {
            EXPECT_EQ(OpenSerialDevice(c.name, ""), kNoSerialDevice) << c.name;
        }
    }
}

TEST(OpenSerialDeviceWin32, MissingPortStaysClosed) {
    EXPECT_EQ(OpenSerialDevice("COM199", ""), kNoSerialDevice);
}

TEST(OpenSerialDeviceWin32, SettingsOnAClosedPortAreRefused) {
    EXPECT_FALSE(ApplySerialLineSettings(kNoSerialDevice, SerialLineSettings{}));
    EXPECT_FALSE(ApplySerialTimeouts(kNoSerialDevice, SerialTimeouts{}));
}

// ---------------------------------------------------------------------------------------------
// Data blocks.

TEST(DataBlockWin32, IsALocalBlockOneByteLongerAndZeroFilled) {
    for (std::size_t count : {std::size_t{1}, std::size_t{17}, kSerialReadChunk}) {
        std::uint8_t* block = AllocateDataBlock(count);
        ASSERT_NE(block, nullptr);
        EXPECT_GE(LocalSize(block), count + 1) << count;
        EXPECT_EQ(LocalHandle(block), static_cast<HLOCAL>(block)) << "a fixed block";
        for (std::size_t i = 0; i <= count; ++i) ASSERT_EQ(block[i], 0) << count << " at " << i;
        ReleaseDataBlock(block);
    }
}

// ---------------------------------------------------------------------------------------------
// Device control block.

struct FlagCase {
    const char* what;
    SerialLineSettings settings;
    DWORD flags;
};

SerialLineSettings With(void (*change)(SerialLineSettings&)) {
    SerialLineSettings s;
    change(s);
    return s;
}

TEST(DeviceControlBlock, FlagWordFromTheLineSettings) {
    const FlagCase cases[] = {
        {"defaults", SerialLineSettings{}, 0x0001},
        {"parity check", With([](SerialLineSettings& s) { s.parityCheck = true; }), 0x0003},
        {"CTS flow", With([](SerialLineSettings& s) { s.outxCtsFlow = true; }), 0x0005},
        {"DSR flow", With([](SerialLineSettings& s) { s.outxDsrFlow = true; }), 0x0009},
        {"DTR enable", With([](SerialLineSettings& s) { s.dtrControl = DtrMode::Enable; }), 0x0011},
        {"DTR handshake", With([](SerialLineSettings& s) { s.dtrControl = DtrMode::Handshake; }),
         0x0021},
        {"DSR sensitivity", With([](SerialLineSettings& s) { s.dsrSensitivity = true; }), 0x0041},
        {"TX continue", With([](SerialLineSettings& s) { s.txContinueOnXoff = true; }), 0x0081},
        {"XON/XOFF out", With([](SerialLineSettings& s) { s.outxXonXoffFlow = true; }), 0x0101},
        {"XON/XOFF in", With([](SerialLineSettings& s) { s.inxXonXoffFlow = true; }), 0x0201},
        {"error char", With([](SerialLineSettings& s) { s.replaceWhenParityError = true; }),
         0x0401},
        {"null", With([](SerialLineSettings& s) { s.ignoreNullChar = true; }), 0x0801},
        {"RTS enable", With([](SerialLineSettings& s) { s.rtsControl = RtsMode::Enable; }), 0x1001},
        {"RTS handshake", With([](SerialLineSettings& s) { s.rtsControl = RtsMode::Handshake; }),
         0x2001},
        {"RTS toggle", With([](SerialLineSettings& s) { s.rtsControl = RtsMode::Toggle; }), 0x3001},
        {"parity replaced",
         With([](SerialLineSettings& s) { s.parityCheck = s.replaceWhenParityError = true; }),
         0x0403},
        {"everything", With([](SerialLineSettings& s) {
             s.parityCheck = s.outxCtsFlow = s.outxDsrFlow = s.dsrSensitivity = true;
             s.txContinueOnXoff = s.outxXonXoffFlow = s.inxXonXoffFlow = true;
             s.replaceWhenParityError = s.ignoreNullChar = true;
             s.dtrControl = DtrMode::Handshake;
             s.rtsControl = RtsMode::Toggle;
         }),
         0x3FEF},
    };
    for (const FlagCase& c : cases) {
        EXPECT_EQ(serial_win32::DcbFlagWord(c.settings), c.flags) << c.what;
    }
}

DWORD RawFlagWord(const DCB& dcb) {
    DWORD word;
    std::memcpy(&word, reinterpret_cast<const char*>(&dcb) + 2 * sizeof(DWORD), sizeof word);
    return word;
}

TEST(DeviceControlBlock, FlagWordReplacesTheWholeWordAndKeepsTheOtherMembers) {
    DCB dcb;
    std::memset(&dcb, 0xA5, sizeof dcb);  // whatever the driver reported
    dcb.DCBlength = sizeof dcb;
    SerialLineSettings s;
    s.baudRate = 1000000;
    s.parityCheck = true;
    s.replaceWhenParityError = true;
    s.dtrControl = DtrMode::Enable;
    s.xonLimit = 123;
    s.xoffLimit = 456;
    s.dataBits = 7;
    s.parity = 2;
    s.stopBits = 0;
    s.xonChar = 0x01;
    s.xoffChar = 0x02;
    s.replacedChar = '?';
    serial_win32::FillDcb(dcb, s);

    EXPECT_EQ(RawFlagWord(dcb), 0x0413u);
    EXPECT_EQ(dcb.DCBlength, sizeof dcb);
    EXPECT_EQ(dcb.BaudRate, 1000000u);
    EXPECT_EQ(dcb.XonLim, 123);
    EXPECT_EQ(dcb.XoffLim, 456);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, 2);
    EXPECT_EQ(dcb.StopBits, 0);
    EXPECT_EQ(dcb.XonChar, 0x01);
    EXPECT_EQ(dcb.XoffChar, 0x02);
    EXPECT_EQ(dcb.ErrorChar, '?');
    EXPECT_EQ(static_cast<unsigned char>(dcb.EofChar), 0xA5u);
    EXPECT_EQ(static_cast<unsigned char>(dcb.EvtChar), 0xA5u);
    EXPECT_EQ(dcb.wReserved, 0xA5A5u);
}

// ---------------------------------------------------------------------------------------------
// Transmit thread, writing into a named pipe that stands in for the port.

struct Notifications {
    std::vector<std::uint32_t> messages;
    static void Handle(void* context, std::uint32_t message, std::uintptr_t, std::intptr_t) {
        static_cast<Notifications*>(context)->messages.push_back(message);
    }
    int Count(std::uint32_t message) const {
        int n = 0;
        for (std::uint32_t m : messages) n += m == message;
        return n;
    }
};

class TransmitThread : public ::testing::Test {
  protected:
    void SetUp() override {
        static int serial = 0;
        const std::string name = "\\\\.\\pipe\\zq-transmit-" +
                                 std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(++serial);
        reader_ = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 64, 0, nullptr);
        ASSERT_NE(reader_, INVALID_HANDLE_VALUE);
        port_ = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
        target_ = CreateNotificationTarget(&Notifications::Handle, &seen_);
        ASSERT_NE(target_, 0u);
        closeEvent_ = CreateCloseEvent();
        ASSERT_NE(closeEvent_, 0);
        queue_ = CreateWriteQueue();
        ASSERT_NE(queue_, 0);
    }

    void TearDown() override {
        StopThread();
        if (queue_ != 0)
            DestroyWriteQueue(queue_);
        if (closeEvent_ != 0)
            DestroyCloseEvent(closeEvent_);
        if (target_ != 0)
            DestroyNotificationTarget(target_);
        if (port_ != nullptr && port_ != INVALID_HANDLE_VALUE)
            CloseHandle(port_);
        if (reader_ != INVALID_HANDLE_VALUE)
            CloseHandle(reader_);
    }

    static DWORD WINAPI ThreadBody(void* self) {
        auto* t = static_cast<TransmitThread*>(self);
        RunSerialTransmitLoop(reinterpret_cast<SerialDevice>(t->port_), t->closeEvent_, t->queue_,
                              t->target_);
        return 0;
    }

    void StartThread() {
        thread_ = CreateThread(nullptr, 0, &ThreadBody, this, 0, nullptr);
        ASSERT_NE(thread_, nullptr);
    }

    // True when the thread ended within the time; the close event is not touched.
    bool ThreadEndsWithin(DWORD ms) { return WaitForSingleObject(thread_, ms) == WAIT_OBJECT_0; }

    void StopThread() {
        if (thread_ == nullptr)
            return;
        SignalCloseEvent(closeEvent_);
        WaitForSingleObject(thread_, 10000);
        CloseHandle(thread_);
        thread_ = nullptr;
    }

    // Handles notifications until the predicate holds; false after five seconds.
    template <typename Predicate>
    bool PumpUntil(Predicate done) {
        for (int i = 0; i < 5000; ++i) {
            ProcessPendingNotifications();
            if (done())
                return true;
            Sleep(1);
        }
        return false;
    }

    bool Post(const std::string& bytes) {
        std::uint8_t* block = AllocateDataBlock(bytes.size());
        std::memcpy(block, bytes.data(), bytes.size());
        if (PostWriteRequest(queue_, block, static_cast<std::uint16_t>(bytes.size())))
            return true;
        ReleaseDataBlock(block);
        return false;
    }

    // Reads exactly count bytes from the far end of the pipe; what arrived when it fails.
    std::string ReadFromLine(std::size_t count) {
        std::string got;
        OVERLAPPED record{};
        record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        char buffer[4096];
        while (got.size() < count) {
            DWORD n = 0;
            const DWORD want =
                static_cast<DWORD>(std::min<std::size_t>(sizeof buffer, count - got.size()));
            if (!ReadFile(reader_, buffer, want, &n, &record)) {
                if (GetLastError() != ERROR_IO_PENDING)
                    break;
                if (WaitForSingleObject(record.hEvent, 5000) != WAIT_OBJECT_0) {
                    CancelIo(reader_);
                    GetOverlappedResult(reader_, &record, &n, TRUE);
                    break;
                }
                if (!GetOverlappedResult(reader_, &record, &n, FALSE))
                    break;
            }
            got.append(buffer, n);
        }
        CloseHandle(record.hEvent);
        return got;
    }

    DWORD TransmitThreadId() { return serial_win32::QueueOf(queue_)->threadId.load(); }

    HANDLE reader_ = INVALID_HANDLE_VALUE;
    HANDLE port_ = nullptr;
    Notifications seen_;
    NotificationTarget target_ = 0;
    CloseEvent closeEvent_ = 0;
    WriteQueue queue_ = 0;
    HANDLE thread_ = nullptr;
};

TEST_F(TransmitThread, RefusesRequestsBeforeItsLoopRuns) {
    EXPECT_FALSE(Post("early"));
    StartThread();
    ASSERT_TRUE(PumpUntil([&] { return seen_.Count(WM_COMM_EMPTY) == 1; }));
    EXPECT_TRUE(Post("late"));
    EXPECT_EQ(ReadFromLine(4), "late");
}

TEST_F(TransmitThread, WritesQueuedRequestsInOrderAndReportsEmptyOnceForTheRun) {
    StartThread();
    ASSERT_TRUE(PumpUntil([&] { return seen_.Count(WM_COMM_EMPTY) == 1; }));
    // The first request fills the pipe, so the next nine queue up behind it.
    const std::string big(20000, 'x');
    std::string expected = big;
    ASSERT_TRUE(Post(big));
    for (int i = 0; i < 9; ++i) {
        const std::string piece = "req" + std::to_string(i) + ";";
        ASSERT_TRUE(Post(piece));
        expected += piece;
    }
    EXPECT_EQ(ReadFromLine(expected.size()), expected);
    ASSERT_TRUE(PumpUntil([&] { return seen_.Count(WM_COMM_EMPTY) == 2; }));
    Sleep(50);
    ProcessPendingNotifications();
    EXPECT_EQ(seen_.Count(WM_COMM_EMPTY), 2);
    EXPECT_EQ(seen_.Count(WM_COMM_HANGUP), 0);
}

TEST_F(TransmitThread, AnotherThreadMessageLeavesTheEmptyReportAsItWas) {
    StartThread();
    ASSERT_TRUE(PumpUntil([&] { return seen_.Count(WM_COMM_EMPTY) == 1; }));
    ASSERT_TRUE(PostThreadMessageA(TransmitThreadId(), WM_APP + 7, 1, 2));
    ASSERT_TRUE(PostThreadMessageA(TransmitThreadId(), WM_COMM_EMPTY, 0, 0));
    Sleep(50);
    ProcessPendingNotifications();
    EXPECT_EQ(seen_.Count(WM_COMM_EMPTY), 1);
    ASSERT_TRUE(Post("after"));
    EXPECT_EQ(ReadFromLine(5), "after");
    ASSERT_TRUE(PumpUntil([&] { return seen_.Count(WM_COMM_EMPTY) == 2; }));
}

TEST_F(TransmitThread, EndsByItselfWhenItsTargetIsGone) {
    DestroyNotificationTarget(target_);
    StartThread();
    EXPECT_TRUE(ThreadEndsWithin(5000)) << "the failed post must end the thread";
    target_ = 0;
}

TEST_F(TransmitThread, CloseEndsTheIdleThreadAndLaterRequestsAreRefused) {
    StartThread();
    ASSERT_TRUE(PumpUntil([&] { return seen_.Count(WM_COMM_EMPTY) == 1; }));
    SignalCloseEvent(closeEvent_);
    ASSERT_TRUE(ThreadEndsWithin(5000));
    EXPECT_FALSE(Post("too late"));
    ProcessPendingNotifications();
    EXPECT_EQ(seen_.Count(WM_COMM_HANGUP), 0);
}

TEST_F(TransmitThread, CloseEndsAnOutstandingWriteWithoutHangup) {
    StartThread();
    ASSERT_TRUE(PumpUntil([&] { return seen_.Count(WM_COMM_EMPTY) == 1; }));
    ASSERT_TRUE(Post(std::string(20000, 'y')));  // nobody reads: the write stays outstanding
    Sleep(50);
    SignalCloseEvent(closeEvent_);
    ASSERT_TRUE(ThreadEndsWithin(5000));
    ProcessPendingNotifications();
    EXPECT_EQ(seen_.Count(WM_COMM_HANGUP), 0);
    EXPECT_EQ(seen_.Count(WM_COMM_EMPTY), 1);
}

#ifdef _WIN64
// The 64-bit test program links with --wrap for ReleaseDataBlock, so that the test sees when the
// transmit thread lets go of a request's block: then no write may still be reading from it. A
// write still outstanding keeps its bytes queued in the pipe; one that has ended does not.
std::atomic<HANDLE> lineWatchedAtRelease{nullptr};
std::atomic<long> bytesQueuedAtRelease{-1};

}  // namespace

extern "C" void __real__ZN8platform16ReleaseDataBlockEPv(void* block);
extern "C" void __wrap__ZN8platform16ReleaseDataBlockEPv(void* block) {
    if (HANDLE line = lineWatchedAtRelease.exchange(nullptr)) {
        DWORD queued = 0;
        PeekNamedPipe(line, nullptr, 0, nullptr, &queued, nullptr);
        bytesQueuedAtRelease = static_cast<long>(queued);
    }
    __real__ZN8platform16ReleaseDataBlockEPv(block);
}

namespace {

TEST_F(TransmitThread, CloseEndsTheOutstandingWriteBeforeItsBlockIsReleased) {
    StartThread();
    ASSERT_TRUE(PumpUntil([&] { return seen_.Count(WM_COMM_EMPTY) == 1; }));
    ASSERT_TRUE(Post(std::string(20000, 'w')));  // nobody reads: the write stays outstanding
    Sleep(50);
    lineWatchedAtRelease = reader_;
    SignalCloseEvent(closeEvent_);
    ASSERT_TRUE(ThreadEndsWithin(5000));
    lineWatchedAtRelease = nullptr;
    ASSERT_GE(bytesQueuedAtRelease.load(), 0) << "the block was not released";
    // At most what the pipe's 64-byte buffer took in before the write was cancelled.
    EXPECT_LE(bytesQueuedAtRelease.load(), 64) << "the block went while its write was queued";
}
#endif

TEST_F(TransmitThread, BrokenLineRaisesHangupAndEndsTheThread) {
    StartThread();
    ASSERT_TRUE(PumpUntil([&] { return seen_.Count(WM_COMM_EMPTY) == 1; }));
    CloseHandle(reader_);
    reader_ = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(Post("lost"));
    ASSERT_TRUE(ThreadEndsWithin(5000));
    ASSERT_TRUE(PumpUntil([&] { return seen_.Count(WM_COMM_HANGUP) == 1; }));
}

TEST_F(TransmitThread, VanishedPortHandleEndsTheThreadQuietly) {
    StartThread();
    ASSERT_TRUE(PumpUntil([&] { return seen_.Count(WM_COMM_EMPTY) == 1; }));
    CloseHandle(port_);
    port_ = nullptr;
    ASSERT_TRUE(Post("gone"));
    ASSERT_TRUE(ThreadEndsWithin(5000));
    ProcessPendingNotifications();
    EXPECT_EQ(seen_.Count(WM_COMM_HANGUP), 0);
}

}  // namespace
