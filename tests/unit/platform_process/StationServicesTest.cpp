// The station services as every system gives them: code page 936 text, UTF-8 paths for written
// files and locks, the lock held once, the computer's name, and port names that lead nowhere.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Platform.h"
#include "ProcessControl.h"
#include "StationServices.h"
#include "TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;
using platform::FileLock;
using platform::LockOutcome;

std::string Utf8Of(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

fs::path PathOfUtf8(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

std::string ReadUtf8Path(const std::string& path) {
    std::ifstream in(PathOfUtf8(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

using StationServicesTest = TemporaryDirectoryTest;

TEST(StationServicesText, Cp936BecomesUtf8) {
    struct Case {
        const char* name;
        std::string cp936;
        std::string utf8;
    };
    const Case cases[] = {
        {"nothing", "", ""},
        {"ASCII", "COM3: timeout 5 s\r\n", "COM3: timeout 5 s\r\n"},
        {"a zero byte is ASCII", std::string("a\0b", 3), std::string("a\0b", 3)},
        {"two characters", "\xB4\xF2\xBF\xAA", "\xE6\x89\x93\xE5\xBC\x80"},  // 打开
        {"full-width colon", "\xA3\xBA", "\xEF\xBC\x9A"},                    // ：
        {"mixed with ASCII", "Port \xB6\xCB\xBF\xDA 2", "Port \xE7\xAB\xAF\xE5\x8F\xA3 2"},  // 端口
        {"lone lead byte at the end", "abc\x81", "abc\xEF\xBF\xBD"},
        {"0x80 is no character", "\x80", "\xEF\xBF\xBD"},
        {"0x80 between ASCII", "a\x80z", "a\xEF\xBF\xBDz"},
        {"0xFF is no character", "\xFF", "\xEF\xBF\xBD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(platform::Cp936ToUtf8(c.cp936), c.utf8);
    }
}

TEST_F(StationServicesTest, LockIsHeldOnceUntilReleasedAndItsFileStays) {
    // Steps on two holders of the same file and one in a directory that does not exist.
    enum class Act { Take, Release };
    struct Step {
        const char* name;
        Act act;
        int holder;  // 0, 1: the station's lock file; 2: a file in a missing directory
        LockOutcome outcome;
    };
    const Step steps[] = {
        {"first holder takes it", Act::Take, 0, LockOutcome::Taken},
        {"second holder finds it busy", Act::Take, 1, LockOutcome::Busy},
        {"still busy on a second try", Act::Take, 1, LockOutcome::Busy},
        {"first holder lets go", Act::Release, 0, LockOutcome::Taken},
        {"second holder takes it", Act::Take, 1, LockOutcome::Taken},
        {"now the first finds it busy", Act::Take, 0, LockOutcome::Busy},
        {"second holder lets go", Act::Release, 1, LockOutcome::Taken},
        {"first holder takes it again", Act::Take, 0, LockOutcome::Taken},
        {"no directory for the file", Act::Take, 2, LockOutcome::Failed},
    };
    const std::string paths[] = {Utf8Of(dir / u8"站台 1.lock"), Utf8Of(dir / u8"站台 1.lock"),
                                 Utf8Of(dir / "missing" / "station.lock")};
    FileLock locks[3] = {platform::kNoFileLock, platform::kNoFileLock, platform::kNoFileLock};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        const int h = step.holder;
        if (step.act == Act::Release) {
            platform::ReleaseFileLock(locks[h]);
            locks[h] = platform::kNoFileLock;
            EXPECT_TRUE(fs::exists(PathOfUtf8(paths[h])));
            continue;
        }
        std::string error;
        const LockOutcome outcome = platform::TryLockFile(paths[h], locks[h], error);
        EXPECT_EQ(outcome, step.outcome);
        EXPECT_EQ(locks[h] != platform::kNoFileLock, outcome == LockOutcome::Taken);
        EXPECT_EQ(error.empty(), outcome != LockOutcome::Failed) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        if (outcome == LockOutcome::Taken) {
            EXPECT_TRUE(fs::exists(PathOfUtf8(paths[h])));
        }
    }
    for (const FileLock lock : locks) platform::ReleaseFileLock(lock);
}

TEST_F(StationServicesTest, LinesAreWrittenToUtf8PathsWithLineEnds) {
    struct Case {
        const char* name;
        fs::path file;
        std::vector<std::string> lines;
        bool written;
        std::string bytes;
    };
    const Case cases[] = {
        {"plain name", "report.txt", {"a", "b"}, true, "a\r\nb\r\n"},
        {"Chinese name",
         u8"报告 COM3.txt",
         {"\xE6\x89\x93\xE5\xBC\x80"},
         true,
         "\xE6\x89\x93\xE5\xBC\x80\r\n"},
        {"no lines", u8"空.txt", {}, true, ""},
        {"missing directory", fs::path("missing") / "report.txt", {"a"}, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Utf8Of(dir / c.file);
        EXPECT_EQ(platform::WriteLinesUtf8(path, c.lines), c.written);
        EXPECT_EQ(fs::exists(PathOfUtf8(path)), c.written);
        if (c.written) {
            EXPECT_EQ(ReadUtf8Path(path), c.bytes);
        }
    }
}

TEST_F(StationServicesTest, DirectoryIsWritableOnlyWhereFilesCanBeMade) {
    fs::create_directory(dir / u8"产线1");
    std::ofstream(dir / "file.txt") << "x";
    const std::vector<std::string> before = Names(dir);
    struct Case {
        const char* name;
        std::string path;
        bool writable;
    };
    const std::string separator(1, platform::PathSeparator());
    const Case cases[] = {
        {"a new directory", Utf8Of(dir), true},
        {"with its trailing separator", Utf8Of(dir) + separator, true},
        {"a directory named in Chinese", Utf8Of(dir / u8"产线1"), true},
        {"a missing directory", Utf8Of(dir / "missing"), false},
        {"a file", Utf8Of(dir / "file.txt"), false},
        {"no name", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(platform::DirectoryWritable(c.path), c.writable);
    }
    // Finding out leaves nothing behind.
    EXPECT_EQ(Names(dir), before);
    EXPECT_TRUE(fs::is_empty(dir / u8"产线1"));
}

TEST(StationServicesSystem, ComputerHasAOneLineName) {
    const std::string name = platform::HostName();
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find_first_of(std::string("\r\n\0", 3)), std::string::npos) << name;
}

TEST(StationServicesSystem, ProgramDirectoryHoldsTheTestPrograms) {
    const std::string directory = platform::Utf8ExeDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(directory.back(), platform::PathSeparator());
    EXPECT_TRUE(fs::exists(PathOfUtf8(directory + "zq_process_child" + platform::ProgramSuffix())))
        << directory;
}

TEST_F(StationServicesTest, NamesThatAreNoPortLeadNowhere) {
    const std::string directory = Utf8Of(dir) + platform::PathSeparator();
    for (const char* name : {"", "COM", "COM0", "COM01", "COM3x", "LPT1", "COM-1", "COM1234567"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(platform::SerialDeviceTarget(name, directory), "");
    }
}

}  // namespace
