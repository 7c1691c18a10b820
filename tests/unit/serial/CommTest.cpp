// TComm against a pseudo-terminal: the test holds the terminal's far side and plays the line.
// Each test maps a port name of its own (dosdevices/comN beside the test program) to the
// terminal, so tests may run in parallel.

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Comm.h"
#include "Platform.h"
#include "SerialDevice.h"
#include "TerminalSpeed.h"
#include "posix/SerialPosix.h"
#include "gtest/gtest.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

struct LoopWait {
    std::function<bool()> done;
    Clock::time_point deadline;
};

void CheckLoopWait(void* context) {
    auto* wait = static_cast<LoopWait*>(context);
    if (wait->done() || Clock::now() >= wait->deadline)
        platform::QuitMessageLoop();
}

// Runs the message loop until done() holds or the time is up; returns done().
bool RunLoopUntil(const std::function<bool()>& done, int timeoutMs = 3000) {
    LoopWait wait{done, Clock::now() + std::chrono::milliseconds(timeoutMs)};
    const std::uint32_t timer = platform::StartTimer(1, &CheckLoopWait, &wait);
    platform::RunMessageLoop();
    platform::StopTimer(timer);
    return done();
}

// Runs the message loop for a while, so that late notifications show.
void RunLoopFor(int ms) {
    RunLoopUntil([] { return false; }, ms);
}

class CommTest : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        slavePath_ = ptsname(master_);
        termios t{};
        const int slave = open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        close(slave);

        const int port = 100000 + static_cast<int>(getpid() % 800000);
        portName_ = "COM" + std::to_string(port);
        const std::string dir = platform::ExeDirectory() + "dosdevices";
        mkdir(dir.c_str(), 0755);
        link_ = dir + "/com" + std::to_string(port);
        unlink(link_.c_str());
        ASSERT_EQ(symlink(slavePath_.c_str(), link_.c_str()), 0);

        comm_.SetCommName(portName_);
        comm_.SetBaudRate(1000000);
        comm_.SetReadIntervalTimeout(5);
        comm_.OnReceiveData = [this](void* sender, const std::uint8_t* buffer,
                                     std::uint16_t length) {
            EXPECT_EQ(sender, &comm_);
            EXPECT_EQ(std::this_thread::get_id(), uiThread_);
            chunks_.emplace_back(buffer, buffer + length);
            zeroAfterChunk_.push_back(buffer[length] == 0);
        };
        comm_.OnSendDataEmpty = [this](void*) { ++empties_; };
        comm_.OnRequestHangup = [this](void*) { ++hangups_; };
        // A pseudo-terminal reports neither line errors nor modem events.
        comm_.OnReceiveError = [this](void*, std::uint32_t) { ++lineEvents_; };
        comm_.OnModemStateChange = [this](void*, std::uint32_t) { ++lineEvents_; };
    }

    void TearDown() override {
        comm_.ClosePort();
        platform::ProcessPendingNotifications();  // releases blocks still queued
        EXPECT_EQ(lineEvents_, 0);
        unlink(link_.c_str());
        if (master_ >= 0)
            close(master_);
    }

    void WriteLine(const Bytes& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Reads what the component wrote to the line, up to count bytes or until the time is up.
    Bytes ReadLine(std::size_t count, int timeoutMs = 3000) {
        Bytes got;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count && Clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            std::uint8_t buffer[4096];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0)
                got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    std::size_t ReceivedBytes() const {
        std::size_t n = 0;
        for (const Bytes& c : chunks_) n += c.size();
        return n;
    }

    int master_ = -1;
    std::string slavePath_;
    std::string portName_;
    std::string link_;
    TComm comm_;
    std::thread::id uiThread_ = std::this_thread::get_id();
    std::vector<Bytes> chunks_;
    std::vector<bool> zeroAfterChunk_;
    int empties_ = 0;
    int hangups_ = 0;
    int lineEvents_ = 0;
};

TEST(CommProperties, DefaultsAreThoseOfTheComponent) {
    TComm comm;
    EXPECT_EQ(comm.CommName(), "COM2");
    EXPECT_EQ(comm.BaudRate(), 9600u);
    EXPECT_FALSE(comm.ParityCheck());
    EXPECT_FALSE(comm.Outx_CtsFlow());
    EXPECT_FALSE(comm.Outx_DsrFlow());
    EXPECT_EQ(comm.DtrControl(), TDtrControl::DtrDisable);
    EXPECT_FALSE(comm.DsrSensitivity());
    EXPECT_FALSE(comm.TxContinueOnXoff());
    EXPECT_FALSE(comm.Outx_XonXoffFlow());
    EXPECT_FALSE(comm.Inx_XonXoffFlow());
    EXPECT_FALSE(comm.ReplaceWhenParityError());
    EXPECT_FALSE(comm.IgnoreNullChar());
    EXPECT_EQ(comm.RtsControl(), TRtsControl::RtsDisable);
    EXPECT_EQ(comm.XonLimit(), 500);
    EXPECT_EQ(comm.XoffLimit(), 500);
    EXPECT_EQ(comm.ByteSize(), TByteSize::_8);
    EXPECT_EQ(comm.Parity(), TParity::None);
    EXPECT_EQ(comm.StopBits(), TStopBits::_2);
    EXPECT_EQ(comm.XonChar(), 0x11);
    EXPECT_EQ(comm.XoffChar(), 0x13);
    EXPECT_EQ(comm.ReplacedChar(), 0);
    EXPECT_EQ(comm.ReadIntervalTimeout(), 3u);
    EXPECT_EQ(comm.ReadTotalTimeoutMultiplier(), 0u);
    EXPECT_EQ(comm.ReadTotalTimeoutConstant(), 0u);
    EXPECT_EQ(comm.WriteTotalTimeoutMultiplier(), 0u);
    EXPECT_EQ(comm.WriteTotalTimeoutConstant(), 0u);
    EXPECT_EQ(comm.PortHandle(), 0u);
}

TEST(CommProperties, EnumerationOrdinals) {
    const std::vector<std::pair<int, int>> ordinals = {
        {static_cast<int>(TParity::None), 0},
        {static_cast<int>(TParity::Odd), 1},
        {static_cast<int>(TParity::Even), 2},
        {static_cast<int>(TParity::Mark), 3},
        {static_cast<int>(TParity::Space), 4},
        {static_cast<int>(TStopBits::_1), 0},
        {static_cast<int>(TStopBits::_1_5), 1},
        {static_cast<int>(TStopBits::_2), 2},
        {static_cast<int>(TByteSize::_5), 0},
        {static_cast<int>(TByteSize::_6), 1},
        {static_cast<int>(TByteSize::_7), 2},
        {static_cast<int>(TByteSize::_8), 3},
        {static_cast<int>(TDtrControl::DtrEnable), 0},
        {static_cast<int>(TDtrControl::DtrDisable), 1},
        {static_cast<int>(TDtrControl::DtrHandshake), 2},
        {static_cast<int>(TRtsControl::RtsEnable), 0},
        {static_cast<int>(TRtsControl::RtsDisable), 1},
        {static_cast<int>(TRtsControl::RtsHandshake), 2},
        {static_cast<int>(TRtsControl::RtsTransmissionAvailable), 3},
    };
    for (std::size_t i = 0; i < ordinals.size(); ++i)
        EXPECT_EQ(ordinals[i].first, ordinals[i].second) << "entry " << i;
}

TEST(CommProperties, LineSettingsTranslateTheProperties) {
    TComm comm;
    comm.SetByteSize(TByteSize::_7);
    comm.SetParity(TParity::Mark);
    comm.SetStopBits(TStopBits::_1);
    comm.SetDtrControl(TDtrControl::DtrEnable);
    comm.SetRtsControl(TRtsControl::RtsTransmissionAvailable);
    comm.SetXonChar('A');
    const platform::SerialLineSettings s = comm.LineSettings();
    EXPECT_EQ(s.dataBits, 7);
    EXPECT_EQ(s.parity, 3);
    EXPECT_EQ(s.stopBits, 0);
    EXPECT_EQ(s.dtrControl, platform::DtrMode::Enable);
    EXPECT_EQ(s.rtsControl, platform::RtsMode::Toggle);
    EXPECT_EQ(s.xonChar, 'A');
    EXPECT_EQ(s.baudRate, 9600u);
}

TEST(CommOpening, EmptyNameRaisesNoSpecificPort) {
    TComm comm;
    comm.SetCommName("");
    try {
        comm.OpenPort();
        FAIL() << "no exception";
    } catch (const ECommsError& e) {
        EXPECT_STREQ(e.what(), "No Specific COM Port");
    }
    EXPECT_EQ(comm.PortHandle(), 0u);
}

TEST(CommOpening, NamesThatCouldLeaveTheDeviceDirectoryNeverOpen) {
    const std::vector<std::string> refused = {
        "",        "COM",         "COM0", "COM03", "COMX",  "COM3/", "COM3/../com3",
        "../COM3", "COM3\\..\\x", "LPT1", "COM 3", "COM-3", "C0M3",  "COM1234567",
    };
    for (const std::string& name : refused) {
        EXPECT_EQ(platform::SerialDevicePath(name, "/tmp/x/"), "") << name;
        EXPECT_EQ(platform::OpenSerialDevice(name, "/tmp/x/"), platform::kNoSerialDevice) << name;
    }
    // Without a link the system's device for the port is used; letter case does not matter.
    EXPECT_EQ(platform::SerialDevicePath("COM1", "/nonexistent/"), "/dev/ttyS0");
    EXPECT_EQ(platform::SerialDevicePath("com12", "/nonexistent/"), "/dev/ttyS11");
}

TEST_F(CommTest, MissingOrUnsuitableDevicesLeaveThePortClosed) {
    const std::string regularFile =
        platform::ExeDirectory() + "serial-test-regular-" + std::to_string(getpid());
    FILE* f = std::fopen(regularFile.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    struct Case {
        const char* what;
        std::string target;
    };
    const std::vector<Case> cases = {
        {"missing device", "/nonexistent/ttyUSB9"},
        {"regular file", regularFile},
        {"character device that is no terminal", "/dev/null"},
        {"directory", "/"},
    };
    for (const Case& c : cases) {
        unlink(link_.c_str());
        ASSERT_EQ(symlink(c.target.c_str(), link_.c_str()), 0);
        comm_.OpenPort();
        EXPECT_EQ(comm_.PortHandle(), 0u) << c.what;
        const std::uint8_t byte = 0x55;
        EXPECT_FALSE(comm_.SendData(&byte, 1)) << c.what;
    }
    unlink(regularFile.c_str());
}

TEST_F(CommTest, SecondOpenerFailsAsInUse) {
    comm_.OpenPort();
    ASSERT_NE(comm_.PortHandle(), 0u);
    TComm other;
    other.SetCommName(portName_);
    other.OpenPort();
    EXPECT_EQ(other.PortHandle(), 0u);
    comm_.ClosePort();
    other.OpenPort();  // free again once closed
    EXPECT_NE(other.PortHandle(), 0u);
    other.ClosePort();
    platform::ProcessPendingNotifications();
}

TEST_F(CommTest, OpeningAnOpenPortRaisesAndLeavesItUntouched) {
    comm_.OpenPort();
    const std::uintptr_t handle = comm_.PortHandle();
    ASSERT_NE(handle, 0u);
    try {
        comm_.OpenPort();
        FAIL() << "no exception";
    } catch (const ECommsError& e) {
        EXPECT_EQ(std::string(e.what()), "Serial port \"" + portName_ + "\" already opened");
    }
    EXPECT_EQ(comm_.PortHandle(), handle);
    const Bytes sent = {0xC0, 0x01, 0xC0};
    EXPECT_TRUE(comm_.SendData(sent.data(), 3));
    EXPECT_EQ(ReadLine(3), sent);
}

TEST_F(CommTest, SendDataRefusesWhenClosedOrEmpty) {
    const std::uint8_t byte = 1;
    EXPECT_FALSE(comm_.SendData(&byte, 1));
    comm_.OpenPort();
    ASSERT_NE(comm_.PortHandle(), 0u);
    EXPECT_FALSE(comm_.SendData(&byte, 0));
    comm_.ClosePort();
    EXPECT_FALSE(comm_.SendData(&byte, 1));
    EXPECT_EQ(ReadLine(1, 100).size(), 0u);
}

TEST_F(CommTest, SentBytesAreACopyWrittenInOrder) {
    comm_.OpenPort();
    ASSERT_NE(comm_.PortHandle(), 0u);
    Bytes first = {0xC0, 0xF9, 0x41, 0x50, 0x52, 0x47, 0x9F, 0x00, 0x00, 0xE3, 0x4D, 0xC0};
    Bytes second(3000);
    for (std::size_t i = 0; i < second.size(); ++i) second[i] = static_cast<std::uint8_t>(i * 7);
    ASSERT_TRUE(comm_.SendData(first.data(), static_cast<std::uint16_t>(first.size())));
    const Bytes expectedFirst = first;
    first.assign(first.size(), 0xEE);  // the caller reuses its buffer at once
    ASSERT_TRUE(comm_.SendData(second.data(), static_cast<std::uint16_t>(second.size())));
    Bytes expected = expectedFirst;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(ReadLine(expected.size()), expected);
}

TEST_F(CommTest, ChunksEndAtTheReadIntervalGap) {
    comm_.OpenPort();
    ASSERT_NE(comm_.PortHandle(), 0u);
    const Bytes a = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const Bytes b = {0xC0, 0xDB, 0xFF};
    WriteLine(a);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));  // far longer than the gap
    WriteLine(b);
    ASSERT_TRUE(RunLoopUntil([&] { return ReceivedBytes() >= a.size() + b.size(); }));
    ASSERT_EQ(chunks_.size(), 2u);
    EXPECT_EQ(chunks_[0], a);
    EXPECT_EQ(chunks_[1], b);
    for (bool zero : zeroAfterChunk_) EXPECT_TRUE(zero);
}

TEST_F(CommTest, ChunksNeverExceedTheReadBufferAndKeepTheirOrder) {
    comm_.OpenPort();
    ASSERT_NE(comm_.PortHandle(), 0u);
    Bytes sent(10000);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i % 251);
    std::thread writer([&] {
        for (std::size_t at = 0; at < sent.size(); at += 1000)
            WriteLine(Bytes(sent.begin() + static_cast<std::ptrdiff_t>(at),
                            sent.begin() + static_cast<std::ptrdiff_t>(at + 1000)));
    });
    const bool all = RunLoopUntil([&] { return ReceivedBytes() >= sent.size(); });
    writer.join();
    ASSERT_TRUE(all);
    Bytes joined;
    bool someFull = false;
    for (const Bytes& c : chunks_) {
        EXPECT_GE(c.size(), 1u);
        EXPECT_LE(c.size(), 2048u);
        someFull = someFull || c.size() == 2048;
        joined.insert(joined.end(), c.begin(), c.end());
    }
    EXPECT_TRUE(someFull);  // back-to-back bytes fill the buffer before any gap
    EXPECT_EQ(hangups_, 0);
    EXPECT_EQ(joined, sent);
    for (bool zero : zeroAfterChunk_) EXPECT_TRUE(zero);
}

TEST_F(CommTest, DataWithoutAHandlerIsDroppedAndTheNextHandlerSeesNewDataOnly) {
    comm_.OnReceiveData = nullptr;
    comm_.OpenPort();
    ASSERT_NE(comm_.PortHandle(), 0u);
    WriteLine({1, 2, 3});
    RunLoopFor(100);
    Bytes seen;
    comm_.OnReceiveData = [&](void*, const std::uint8_t* buffer, std::uint16_t length) {
        seen.insert(seen.end(), buffer, buffer + length);
    };
    WriteLine({4, 5});
    ASSERT_TRUE(RunLoopUntil([&] { return seen.size() >= 2; }));
    EXPECT_EQ(seen, (Bytes{4, 5}));
}

TEST_F(CommTest, OneEmptyReportAfterStartAndOneAfterARunOfWrites) {
    comm_.OpenPort();
    ASSERT_NE(comm_.PortHandle(), 0u);
    ASSERT_TRUE(RunLoopUntil([&] { return empties_ >= 1; }));
    RunLoopFor(50);
    EXPECT_EQ(empties_, 1);

    // The first large request blocks on the full line until the test reads it, so the ten
    // requests after it are queued together.
    const Bytes big(60000, 0x5A);
    ASSERT_TRUE(comm_.SendData(big.data(), static_cast<std::uint16_t>(big.size())));
    ASSERT_TRUE(comm_.SendData(big.data(), static_cast<std::uint16_t>(big.size())));
    const Bytes small = {1, 2, 3};
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(comm_.SendData(small.data(), 3));
    EXPECT_EQ(ReadLine(2 * big.size() + 30).size(), 2 * big.size() + 30);
    ASSERT_TRUE(RunLoopUntil([&] { return empties_ >= 2; }));
    RunLoopFor(50);
    EXPECT_EQ(empties_, 2);
}

TEST_F(CommTest, ClosePortEndsWaitingThreadsPromptly) {
    struct Case {
        const char* what;
        bool blockedWriting;
    };
    for (const Case c : {Case{"idle waits", false}, Case{"write waiting on a full line", true}}) {
        comm_.OpenPort();
        ASSERT_NE(comm_.PortHandle(), 0u) << c.what;
        if (c.blockedWriting) {
            const Bytes big(60000, 0x33);
            for (int i = 0; i < 4; ++i)
                ASSERT_TRUE(comm_.SendData(big.data(), static_cast<std::uint16_t>(big.size())));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const auto start = Clock::now();
        comm_.ClosePort();
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << c.what;
        EXPECT_EQ(comm_.PortHandle(), 0u) << c.what;
        platform::ProcessPendingNotifications();
        // Drain what reached the line, so the next round starts empty.
        while (ReadLine(65536, 50).size() > 0) {
        }
    }
    // A closed component opens again normally.
    comm_.OpenPort();
    ASSERT_NE(comm_.PortHandle(), 0u);
    WriteLine({7, 8, 9});
    ASSERT_TRUE(RunLoopUntil([&] { return ReceivedBytes() >= 3; }));
    EXPECT_EQ(chunks_.back(), (Bytes{7, 8, 9}));
}

TEST_F(CommTest, ClosingDuringTheGapDropsTheUnfinishedChunk) {
    comm_.SetReadIntervalTimeout(400);
    comm_.OpenPort();
    ASSERT_NE(comm_.PortHandle(), 0u);
    WriteLine({1, 2, 3});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // arrived, gap not yet over
    comm_.ClosePort();
    platform::ProcessPendingNotifications();
    EXPECT_TRUE(chunks_.empty());
}

// A close purges the input the receive thread may just have been told about; the thread must
// then end quietly, not report a vanished device. The race is narrow, so it is run many times
// against a line that is never quiet.
TEST_F(CommTest, ClosingWhileBytesStreamInRequestsNoHangup) {
    std::atomic<bool> stop{false};
    // Room for some bytes is not room for 64: a blocking write could then wait for a reader that
    // never comes once the port is closed for good.
    ASSERT_EQ(fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK), 0);
    std::thread writer([&] {
        const std::uint8_t bytes[64] = {0x5A};
        while (!stop) {
            pollfd p{master_, POLLOUT, 0};
            if (poll(&p, 1, 5) > 0)
                (void)!write(master_, bytes, sizeof bytes);
        }
    });
    int hangupRounds = 0;
    for (int round = 0; round < 1000; ++round) {
        comm_.OpenPort();
        ASSERT_NE(comm_.PortHandle(), 0u);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        comm_.ClosePort();
        platform::ProcessPendingNotifications();
        if (hangups_ != 0)
            ++hangupRounds;
        hangups_ = 0;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(hangupRounds, 0);
}

TEST_F(CommTest, DeviceVanishingRequestsHangupAndLeavesThePortOpen) {
    comm_.OpenPort();
    ASSERT_NE(comm_.PortHandle(), 0u);
    WriteLine({0x11, 0x22});
    ASSERT_TRUE(RunLoopUntil([&] { return ReceivedBytes() >= 2; }));
    close(master_);
    master_ = -1;
    ASSERT_TRUE(RunLoopUntil([&] { return hangups_ >= 1; }));
    RunLoopFor(50);
    EXPECT_EQ(hangups_, 1);
    EXPECT_NE(comm_.PortHandle(), 0u);  // the owner closes it
    const auto start = Clock::now();
    comm_.ClosePort();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

// An adapter pulled out mid-run leaves its terminal hung up: reads return 0 (end of file) again
// and again and poll() reports input, a hang-up and an error at once. TIOCVHANGUP does that to a
// pseudo-terminal. The component asks its owner once to hang up and its receive thread stops
// instead of spinning on the end of file; the port stays open until the owner closes it.
TEST_F(CommTest, HungUpTerminalRequestsOneHangupWithoutSpinning) {
    comm_.OpenPort();
    ASSERT_NE(comm_.PortHandle(), 0u);
    const int second = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (second < 0)
        GTEST_SKIP() << "the terminal side cannot be opened a second time (not root)";
    const int hungUp = ioctl(second, TIOCVHANGUP);
    const int error = errno;
    close(second);
    if (hungUp != 0)
        GTEST_SKIP() << "TIOCVHANGUP refused: " << std::strerror(error);

    ASSERT_TRUE(RunLoopUntil([&] { return hangups_ >= 1; }));
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    RunLoopFor(300);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const auto cpuMs = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000L +
               (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000L;
    };
    EXPECT_EQ(hangups_, 1);
    // A thread that went on reading the end of file would take most of a core meanwhile.
    EXPECT_LT(cpuMs(after) - cpuMs(before), 150L);
    EXPECT_NE(comm_.PortHandle(), 0u);
    comm_.ClosePort();
    EXPECT_EQ(comm_.PortHandle(), 0u);
}

// The settings the terminal side holds, seen through the master side: the component opens the
// terminal side exclusively, so an unprivileged test cannot open it a second time.
termios TerminalSettings(int master) {
    termios t{};
    EXPECT_EQ(tcgetattr(master, &t), 0);
    return t;
}

TEST_F(CommTest, OpeningWritesTheLineSettings) {
    comm_.SetStopBits(TStopBits::_2);
    comm_.OpenPort();
    ASSERT_NE(comm_.PortHandle(), 0u);
    const termios t = TerminalSettings(master_);
    EXPECT_EQ(TerminalSpeed(master_), 1000000u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
}

// A pseudo-terminal keeps no parity, so whether a setter rewrote the settings shows by the speed:
// the test changes it behind the component's back, and only a rewrite restores the property's.
TEST_F(CommTest, SettersRewriteTheOpenPortExceptForParityAndUnchangedValues) {
    comm_.OpenPort();
    ASSERT_NE(comm_.PortHandle(), 0u);
    struct Case {
        const char* what;
        std::function<void()> change;
        bool rewrites;
    };
    const std::vector<Case> cases = {
        {"new baud rate", [&] { comm_.SetBaudRate(115200); }, true},
        {"same baud rate", [&] { comm_.SetBaudRate(115200); }, false},
        {"parity", [&] { comm_.SetParity(TParity::Even); }, false},
        {"stop bits", [&] { comm_.SetStopBits(TStopBits::_1); }, true},
        {"xon character", [&] { comm_.SetXonChar(0x12); }, true},
        {"same xon character", [&] { comm_.SetXonChar(0x12); }, false},
        {"rts control", [&] { comm_.SetRtsControl(TRtsControl::RtsEnable); }, true},
        {"read interval (time-outs only)", [&] { comm_.SetReadIntervalTimeout(7); }, false},
        {"port name", [&] { comm_.SetCommName("COM1"); }, false},
    };
    for (const Case& c : cases) {
        SetTerminalSpeed(master_, 4800);
        c.change();
        EXPECT_EQ(TerminalSpeed(master_), c.rewrites ? 115200u : 4800u) << c.what;
    }
    // The stop bits reached the port, and the open port stays in use under its old name.
    EXPECT_EQ(TerminalSettings(master_).c_cflag & CSTOPB, 0u);
    const Bytes sent = {9, 9};
    EXPECT_TRUE(comm_.SendData(sent.data(), 2));
    EXPECT_EQ(ReadLine(2), sent);
}

TEST_F(CommTest, ReadIntervalChangedWhileOpenDecidesTheChunks) {
    comm_.OpenPort();
    ASSERT_NE(comm_.PortHandle(), 0u);
    comm_.SetReadIntervalTimeout(300);
    WriteLine({1, 2});
    std::this_thread::sleep_for(std::chrono::milliseconds(40));  // within the longer gap
    WriteLine({3});
    ASSERT_TRUE(RunLoopUntil([&] { return ReceivedBytes() >= 3; }));
    ASSERT_EQ(chunks_.size(), 1u);
    EXPECT_EQ(chunks_[0], (Bytes{1, 2, 3}));
}

}  // namespace

// A driver that answers success but holds another speed (a 16550 asked for 1,000,000 baud keeps
// the one it had) is told apart from one that rounds to its clock's nearest rate.
TEST(SerialLineSpeed, KeptOnlyWithinTheToleranceOfTheLine) {
    struct Case {
        std::uint32_t requested;
        std::uint32_t held;
        bool kept;
    };
    const std::vector<Case> cases = {
        {1000000, 1000000, true},  {1000000, 9600, false},    {1000000, 115200, false},
        {921600, 923076, true},    {1000000, 1030000, true},  {1000000, 1030001, false},
        {1000000, 970000, true},   {1000000, 969999, false},  {1000000, 0, false},
        {4294967295u, 9600, false}, {9600, 4294967295u, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::serial_posix::LineSpeedKept(c.requested, c.held), c.kept)
            << c.requested << " " << c.held;
}
