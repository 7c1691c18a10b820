// What only a POSIX system shows of the file, process and locale services: permissions, a device
// that fills up, the program's own path in /proc, and the C locale's time and date formats.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "Platform.h"
#include "TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;

class PlatformFilesPosixTest : public TemporaryDirectoryTest {
  protected:
    void TearDown() override {
        if (!dir.empty())
            chmod(dir.c_str(), 0700);  // let the removal in
        TemporaryDirectoryTest::TearDown();
    }
};

TEST_F(PlatformFilesPosixTest, WritesIntoUnwritablePlacesFail) {
    if (geteuid() != 0) {  // root writes anywhere
        ASSERT_EQ(chmod(dir.c_str(), 0500), 0);
        EXPECT_EQ(platform::WriteLines(At("ro.txt"), {"x"}), platform::WriteOutcome::Failed);
        EXPECT_EQ(platform::WriteLinesNew(At("ro.txt"), {"x"}), platform::WriteOutcome::Failed);
        EXPECT_FALSE(platform::CreateDirectoryAt(At("LogFileS")));
    }
    // A write that the device refuses is a failure, not a file written.
    ASSERT_TRUE(fs::exists("/dev/full"));
    EXPECT_EQ(platform::WriteLines("/dev/full", {"x"}), platform::WriteOutcome::Failed);
}

TEST(PlatformProcessPosix, ExeDirectoryIsTheProgramsOwnWithSlash) {
    EXPECT_EQ(platform::PathSeparator(), '/');
    const std::string exeDir = platform::ExeDirectory();
    ASSERT_FALSE(exeDir.empty());
    EXPECT_EQ(exeDir.back(), '/');
    const fs::path self = fs::canonical("/proc/self/exe");
    EXPECT_EQ(fs::path(exeDir), self.parent_path() / "");
}

TEST(PlatformProcessPosix, TimeAndDateInTheCLocale) {
    const char* chosen = nullptr;
    for (const char* v : {getenv("LC_ALL"), getenv("LC_TIME"), getenv("LANG")}) {
        if (v != nullptr && *v != 0) {
            chosen = v;
            break;
        }
    }
    const std::string name = chosen ? chosen : "C";
    if (!(name == "C" || name == "POSIX" || name.rfind("C.", 0) == 0)) {
        GTEST_SKIP() << "a user locale is set: " << name;
    }
    EXPECT_TRUE(std::regex_match(platform::LongTimeText(), std::regex(R"(\d\d:\d\d:\d\d)")))
        << platform::LongTimeText();
    EXPECT_TRUE(std::regex_match(platform::ShortDateText(), std::regex(R"(\d{4}-\d\d-\d\d)")))
        << platform::ShortDateText();
}

}  // namespace
