// A tester main window on a fake port: records what is sent, feeds chunks, fixed clock, no
// real sleeping, output files in a temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "CommPort.h"
#include "DefZqCmdLX.h"
#include "GenComSX.h"
#include "MainZqCmdL.h"
#include "Platform.h"

using Bytes = std::vector<std::uint8_t>;

class FakePort : public CommPort {
  public:
    const std::string& CommName() const override { return name; }
    void SetCommName(const std::string& n) override { name = n; }
    void OpenPort() override {
        ++openCalls;
        if (throwOnOpen)
            throw ECommsError("Could not open");
        if (opens && handle == 0)
            handle = 1;
    }
    void ClosePort() override {
        ++closeCalls;
        handle = 0;
    }
    bool SendData(const std::uint8_t* buffer, std::uint16_t count) override {
        if (onSend)
            onSend();
        sent.emplace_back(buffer, buffer + count);
        return handle != 0;
    }
    std::uintptr_t PortHandle() const override { return handle; }

    std::string name = "COM2";
    bool opens = true;
    bool throwOnOpen = false;
    std::uintptr_t handle = 0;
    int openCalls = 0;
    int closeCalls = 0;
    std::vector<Bytes> sent;
    std::function<void()> onSend;  // runs before a send, may throw
};

// While set, every allocation of the test program fails, as when memory has run out.
extern bool gFailAllocations;

inline std::string& TestExeDir() {
    static std::string dir;
    return dir;
}

inline std::vector<unsigned>& RecordedSleeps() {
    static std::vector<unsigned> sleeps;
    return sleeps;
}

// Joins names below the test's program directory with the platform's separator, as the tester
// does; with a trailing separator when the last name is empty.
inline std::string InExeDir(std::initializer_list<std::string> names) {
    std::string path = TestExeDir();
    bool first = true;
    for (const std::string& name : names) {
        if (!first)
            path += platform::PathSeparator();
        path += name;
        first = false;
    }
    return path;
}

// A new, empty directory of its own under the system's temporary directory (created exclusively,
// so parallel test programs never share one); empty when none could be made.
inline std::filesystem::path MakeTemporaryDirectory(const std::string& prefix) {
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path();
    static unsigned counter = 0;
    const auto seed = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const fs::path candidate =
            base / (prefix + std::to_string(seed) + "_" + std::to_string(++counter));
        if (fs::create_directory(candidate))
            return candidate;
    }
    return {};
}

constexpr const char* kTime = "12:34:56";
constexpr const char* kDate = "2024-01-31";

// A time-stamped log line as AddLogLine writes it with the fixed clock.
inline std::string Stamped(const std::string& text) {
    return std::string("> ") + kTime + " " + text;
}

class TesterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestExeDir().clear();
        const std::filesystem::path dir = MakeTemporaryDirectory("zq_tester_");
        ASSERT_FALSE(dir.empty());
        TestExeDir() = dir.string() + platform::PathSeparator();
        NewForm();
    }

    // A fresh window on a fresh fake port, as at program start.
    void NewForm() {
        form.reset();
        RecordedSleeps().clear();
        auto port = std::make_unique<FakePort>();
        fake = port.get();
        form = std::make_unique<TFormMain>(std::move(port));
        FormMain = form.get();
        form->LongTimeText = [] { return std::string(kTime); };
        form->ShortDateText = [] { return std::string(kDate); };
        form->ExeDirectory = [] { return TestExeDir(); };
        form->SleepMs = [](unsigned ms) { RecordedSleeps().push_back(ms); };
    }

    void TearDown() override {
        form.reset();
        if (!TestExeDir().empty())
            std::filesystem::remove_all(TestExeDir());
    }

    // Runs the window's creation with these arguments (argument 0 is the program).
    void Start(const std::vector<std::string>& arguments) {
        std::vector<const char*> argv{"ZqCmdLin"};
        for (const std::string& a : arguments) argv.push_back(a.c_str());
        platform::SetCommandLine(static_cast<int>(argv.size()), argv.data());
        form->FormCreate();
    }

    void Feed(const Bytes& chunk) {
        ASSERT_TRUE(fake->OnReceiveData);
        fake->OnReceiveData(fake, chunk.data(), static_cast<std::uint16_t>(chunk.size()));
    }

    const std::vector<std::string>& Log() const { return form->InfoMemo.Lines(); }

    // Replaces the run log with these lines.
    void SetLog(const std::vector<std::string>& lines) {
        form->InfoMemo.Clear();
        for (const std::string& l : lines) form->InfoMemo.Add(l, RunLog::Role::Progress);
    }

    FakePort* fake = nullptr;
    std::unique_ptr<TFormMain> form;
};

// Frames a packet as the programmer would: END, stuffed bytes, END.
inline Bytes Frame(const Bytes& packet) {
    Bytes out(packet.size() * 2 + 7);
    const std::uint16_t n =
        SlipEncode(packet.data(), out.data(), static_cast<std::uint16_t>(packet.size()));
    out.resize(n - 5);  // without the sender's fill
    return out;
}

// A status packet with its check byte: bytes 0 to 7 sum to 0.
inline Bytes Status(std::uint8_t opCode, std::uint8_t param, std::uint16_t valueLo,
                    std::uint16_t valueHi) {
    Bytes p{0xFD,
            opCode,
            param,
            static_cast<std::uint8_t>(valueLo & 0xFF),
            static_cast<std::uint8_t>(valueLo >> 8),
            static_cast<std::uint8_t>(valueHi & 0xFF),
            static_cast<std::uint8_t>(valueHi >> 8),
            0};
    std::uint8_t sum = 0;
    for (int i = 0; i < 7; ++i) sum = static_cast<std::uint8_t>(sum + p[i]);
    p[7] = static_cast<std::uint8_t>(0x100 - sum);
    return p;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline const Bytes kStartProgrammingWire{0xC0, 0xF9, 0x41, 0x50, 0x52, 0x47, 0x9F, 0x00, 0x00,
                                         0xE3, 0x4D, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
inline const Bytes kResetWire{0xC0, 0x8A, 0x52, 0x45, 0x53, 0x54, 0xA8, 0x02, 0x00, 0x00,
                              0x00, 0xCD, 0x02, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
