// The POSIX file, process and locale services the tester writes its reports with.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "Platform.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class PlatformFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zq_files_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        chmod(dir.c_str(), 0700);
        fs::remove_all(dir);
    }
    std::string At(const std::string& name) const { return (dir / name).string(); }
    fs::path dir;
};

struct LinesCase {
    const char* name;
    std::vector<std::string> lines;
    std::string bytes;
};

TEST_F(PlatformFilesTest, WriteLinesEndsEveryLineWithCrLfAndKeepsBytes) {
    const LinesCase cases[] = {
        {"none", {}, ""},
        {"one empty line", {""}, "\r\n"},
        {"two lines",
         {"> 12:00:00 a", "End of Commad: Failed!"},
         "> 12:00:00 a\r\nEnd of Commad: Failed!\r\n"},
        {"8-bit bytes and a zero",
         {std::string("\xB2\xE2\xCA\xD4\x00z", 6)},
         std::string("\xB2\xE2\xCA\xD4\x00z\r\n", 8)},
        {"a line with its own LF", {"a\nb"}, "a\nb\r\n"},
    };
    for (const LinesCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = At("out.txt");
        EXPECT_EQ(platform::WriteLines(path, c.lines), platform::WriteOutcome::Written);
        EXPECT_EQ(ReadFile(path), c.bytes);
    }
}

TEST_F(PlatformFilesTest, LargeLogIsWrittenWhole) {
    std::vector<std::string> lines;
    std::string expected;
    for (int i = 0; i < 50000; ++i) {
        lines.push_back("> 12:00:00 line " + std::to_string(i));
        expected += lines.back() + "\r\n";
    }
    ASSERT_EQ(platform::WriteLines(At("big.log"), lines), platform::WriteOutcome::Written);
    EXPECT_EQ(ReadFile(At("big.log")), expected);
}

TEST_F(PlatformFilesTest, WriteLinesOverwritesWriteLinesNewDoesNot) {
    const std::string path = At("r.txt");
    ASSERT_EQ(platform::WriteLines(path, {"a much longer first version"}),
              platform::WriteOutcome::Written);
    EXPECT_EQ(platform::WriteLines(path, {"b"}), platform::WriteOutcome::Written);
    EXPECT_EQ(ReadFile(path), "b\r\n");

    EXPECT_EQ(platform::WriteLinesNew(path, {"c"}), platform::WriteOutcome::AlreadyExists);
    EXPECT_EQ(ReadFile(path), "b\r\n");
    EXPECT_EQ(platform::WriteLinesNew(At("n.txt"), {"c"}), platform::WriteOutcome::Written);
    EXPECT_EQ(ReadFile(At("n.txt")), "c\r\n");
}

TEST_F(PlatformFilesTest, WritesIntoMissingOrUnwritablePlacesFail) {
    EXPECT_EQ(platform::WriteLines(At("no/such/dir.txt"), {"x"}), platform::WriteOutcome::Failed);
    EXPECT_EQ(platform::WriteLinesNew(At("no/such/dir.txt"), {"x"}),
              platform::WriteOutcome::Failed);
    if (geteuid() != 0) {  // root writes anywhere
        chmod(dir.c_str(), 0500);
        EXPECT_EQ(platform::WriteLines(At("ro.txt"), {"x"}), platform::WriteOutcome::Failed);
    }
    ASSERT_TRUE(fs::exists("/dev/full"));
    EXPECT_EQ(platform::WriteLines("/dev/full", {"x"}), platform::WriteOutcome::Failed);
}

TEST_F(PlatformFilesTest, FilesAndDirectories) {
    const std::string file = At("f.txt");
    const std::string sub = At("LogFileS");
    EXPECT_FALSE(platform::FileExists(file));
    EXPECT_FALSE(platform::DeleteFileAt(file));
    std::ofstream(file) << "x";
    EXPECT_TRUE(platform::FileExists(file));
    EXPECT_FALSE(platform::DirectoryExists(file));
    EXPECT_TRUE(platform::DeleteFileAt(file));
    EXPECT_FALSE(platform::FileExists(file));

    EXPECT_FALSE(platform::DirectoryExists(sub));
    EXPECT_TRUE(platform::CreateDirectoryAt(sub));
    EXPECT_TRUE(platform::DirectoryExists(sub));
    EXPECT_FALSE(platform::FileExists(sub));
    EXPECT_FALSE(platform::CreateDirectoryAt(sub));        // exists already
    EXPECT_FALSE(platform::CreateDirectoryAt(At("a/b")));  // one level only
    EXPECT_FALSE(platform::DirectoryExists(At("a")));
}

TEST(PlatformProcess, ArgumentsWithoutTheProgram) {
    const char* argv[] = {"/opt/zq/ZqCmdLin", "-COM=3", "", "-DOPROGA"};
    platform::SetCommandLine(4, argv);
    EXPECT_EQ(platform::CommandLineArguments(),
              (std::vector<std::string>{"-COM=3", "", "-DOPROGA"}));
    platform::SetCommandLine(1, argv);
    EXPECT_TRUE(platform::CommandLineArguments().empty());
}

TEST(PlatformProcess, ExeDirectoryIsTheProgramsOwnWithTrailingSeparator) {
    const std::string exeDir = platform::ExeDirectory();
    ASSERT_FALSE(exeDir.empty());
    EXPECT_EQ(exeDir.back(), '/');
    EXPECT_EQ(platform::PathSeparator(), '/');
    const fs::path self = fs::canonical("/proc/self/exe");
    EXPECT_EQ(fs::path(exeDir), self.parent_path() / "");
}

TEST(PlatformProcess, TimeAndDateInTheCLocale) {
    const char* all = getenv("LC_ALL");
    const char* time = getenv("LC_TIME");
    const char* lang = getenv("LANG");
    const char* chosen = nullptr;
    for (const char* v : {all, time, lang}) {
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
