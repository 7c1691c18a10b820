// The Win32 file and process services the tester writes its reports with.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Platform.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class PlatformWin32Files : public ::testing::Test {
  protected:
    void SetUp() override {
        char base[MAX_PATH];
        ASSERT_NE(GetTempPathA(sizeof base, base), 0u);
        for (unsigned n = GetTickCount(); dir.empty(); ++n) {
            const std::string candidate = std::string(base) + "zq_files_" + std::to_string(n);
            if (CreateDirectoryA(candidate.c_str(), nullptr))
                dir = candidate + "\\";
            else
                ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        }
    }
    void TearDown() override {
        for (const char* name : {"out.txt", "r.txt", "n.txt", "f.txt", "big.log"})
            DeleteFileA((dir + name).c_str());
        RemoveDirectoryA((dir + "LogFileS").c_str());
        EXPECT_TRUE(RemoveDirectoryA(dir.c_str())) << "a file was left behind in " << dir;
    }
    std::string dir;
};

struct LinesCase {
    const char* name;
    std::vector<std::string> lines;
    std::string bytes;
};

TEST_F(PlatformWin32Files, WriteLinesEndsEveryLineWithCrLfAndKeepsBytes) {
    const LinesCase cases[] = {
        {"none", {}, ""},
        {"one empty line", {""}, "\r\n"},
        {"two lines",
         {"> 2:05:09 PM a", "End of Commad: Failed!"},
         "> 2:05:09 PM a\r\nEnd of Commad: Failed!\r\n"},
        {"8-bit bytes and a zero",
         {std::string("\xB2\xE2\xCA\xD4\x00z", 6)},
         std::string("\xB2\xE2\xCA\xD4\x00z\r\n", 8)},
        {"a line with its own LF", {"a\nb"}, "a\nb\r\n"},
    };
    for (const LinesCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(platform::WriteLines(dir + "out.txt", c.lines), platform::WriteOutcome::Written);
        EXPECT_EQ(ReadFile(dir + "out.txt"), c.bytes);
    }
}

TEST_F(PlatformWin32Files, LargeLogIsWrittenWhole) {
    std::vector<std::string> lines;
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        lines.push_back("> 12:00:00 line " + std::to_string(i));
        expected += lines.back() + "\r\n";
    }
    ASSERT_EQ(platform::WriteLines(dir + "big.log", lines), platform::WriteOutcome::Written);
    EXPECT_EQ(ReadFile(dir + "big.log"), expected);
}

TEST_F(PlatformWin32Files, WriteLinesOverwritesWriteLinesNewDoesNot) {
    const std::string path = dir + "r.txt";
    ASSERT_EQ(platform::WriteLines(path, {"a much longer first version"}),
              platform::WriteOutcome::Written);
    EXPECT_EQ(platform::WriteLines(path, {"b"}), platform::WriteOutcome::Written);
    EXPECT_EQ(ReadFile(path), "b\r\n");

    EXPECT_EQ(platform::WriteLinesNew(path, {"c"}), platform::WriteOutcome::AlreadyExists);
    EXPECT_EQ(ReadFile(path), "b\r\n");
    EXPECT_EQ(platform::WriteLinesNew(dir + "n.txt", {"c"}), platform::WriteOutcome::Written);
    EXPECT_EQ(ReadFile(dir + "n.txt"), "c\r\n");
}

TEST_F(PlatformWin32Files, WritesIntoMissingDirectoriesFail) {
    EXPECT_EQ(platform::WriteLines(dir + "no\\such\\dir.txt", {"x"}),
              platform::WriteOutcome::Failed);
    EXPECT_EQ(platform::WriteLinesNew(dir + "no\\such\\dir.txt", {"x"}),
              platform::WriteOutcome::Failed);
}

TEST_F(PlatformWin32Files, FilesAndDirectories) {
    const std::string file = dir + "f.txt";
    const std::string sub = dir + "LogFileS";
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
    EXPECT_FALSE(platform::CreateDirectoryAt(sub));           // exists already
    EXPECT_FALSE(platform::CreateDirectoryAt(dir + "a\\b"));  // one level only
    EXPECT_FALSE(platform::DirectoryExists(dir + "a"));
}

TEST(PlatformWin32Process, ArgumentsWithoutTheProgram) {
    const char* argv[] = {"C:\\Tools\\ZqCmdLin.exe", "-COM=3", "", "-DOPROGA"};
    platform::SetCommandLine(4, argv);
    EXPECT_EQ(platform::CommandLineArguments(),
              (std::vector<std::string>{"-COM=3", "", "-DOPROGA"}));
    platform::SetCommandLine(1, argv);
    EXPECT_TRUE(platform::CommandLineArguments().empty());
}

TEST(PlatformWin32Process, ExeDirectoryIsTheProgramsOwnWithBackslash) {
    EXPECT_EQ(platform::PathSeparator(), '\\');
    const std::string exeDir = platform::ExeDirectory();
    ASSERT_GE(exeDir.size(), 3u);
    EXPECT_EQ(exeDir.back(), '\\');
    EXPECT_EQ(exeDir[1], ':') << exeDir;  // a drive path such as Z:\...\ under Wine
    // The program file itself is in that directory.
    EXPECT_TRUE(platform::FileExists(exeDir + "zq_win32_platform_tests.exe")) << exeDir;
}

TEST(PlatformWin32Process, TimeAndDateFollowTheUserLocale) {
    char time[64];
    char date[64];
    ASSERT_GT(GetTimeFormatA(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, time, sizeof time), 0);
    ASSERT_GT(
        GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, date, sizeof date),
        0);
    // Within one second the texts agree with the system's formatting, without its terminating
    // zero and without truncation.
    const std::string t = platform::LongTimeText();
    if (t != time) {
        GetTimeFormatA(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, time, sizeof time);
        EXPECT_EQ(t.size(), std::string(time).size());
    }
    EXPECT_EQ(platform::ShortDateText(), std::string(date));
    EXPECT_EQ(t.find('\0'), std::string::npos);
    EXPECT_NE(t.find(':'), std::string::npos) << t;
}

}  // namespace
