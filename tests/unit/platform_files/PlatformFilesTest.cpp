// The file and process services the tester writes its reports with, as every platform gives them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Platform.h"
#include "TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;

using PlatformFilesTest = TemporaryDirectoryTest;

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
        {"12-hour time", {"> 2:05:09 PM a"}, "> 2:05:09 PM a\r\n"},
        {"8-bit bytes and a zero",
         {std::string("\xB2\xE2\xCA\xD4\x00z", 6)},
         std::string("\xB2\xE2\xCA\xD4\x00z\r\n", 8)},
        {"a line with its own LF", {"a\nb"}, "a\nb\r\n"},
        {"a line with its own CR LF", {"a\r\n", "b"}, "a\r\n\r\nb\r\n"},
        {"DOS end of file", {"\x1A", "z"}, "\x1A\r\nz\r\n"},
    };
    for (const LinesCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = At("out.txt");
        EXPECT_EQ(platform::WriteLines(path, c.lines), platform::WriteOutcome::Written);
        EXPECT_EQ(ReadFile(path), c.bytes);
        EXPECT_TRUE(platform::DeleteFileAt(path));
        EXPECT_EQ(platform::WriteLinesNew(path, c.lines), platform::WriteOutcome::Written);
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
    lines.push_back(std::string(200000, '\xB2'));  // one line longer than any write block
    expected += lines.back() + "\r\n";
    ASSERT_EQ(platform::WriteLines(At("big.log"), lines), platform::WriteOutcome::Written);
    EXPECT_EQ(ReadFile(At("big.log")), expected);
    ASSERT_EQ(platform::WriteLinesNew(At("new.log"), lines), platform::WriteOutcome::Written);
    EXPECT_EQ(ReadFile(At("new.log")), expected);
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

TEST_F(PlatformFilesTest, WritesIntoMissingDirectoriesOrOntoADirectoryFail) {
    const std::string missing = At(fs::path("no") / "such" / "dir.txt");
    EXPECT_EQ(platform::WriteLines(missing, {"x"}), platform::WriteOutcome::Failed);
    EXPECT_EQ(platform::WriteLinesNew(missing, {"x"}), platform::WriteOutcome::Failed);
    EXPECT_FALSE(fs::exists(dir / "no"));

    const std::string sub = At("LogFileS");
    ASSERT_TRUE(platform::CreateDirectoryAt(sub));
    EXPECT_EQ(platform::WriteLines(sub, {"x"}), platform::WriteOutcome::Failed);
    // The name is taken: either outcome lets a caller move on, but nothing is written.
    EXPECT_NE(platform::WriteLinesNew(sub, {"x"}), platform::WriteOutcome::Written);
    EXPECT_TRUE(platform::DirectoryExists(sub));
    EXPECT_EQ(Names(dir), std::vector<std::string>{"LogFileS"}) << "a temporary file was left";
    EXPECT_TRUE(fs::is_empty(sub));
}

TEST_F(PlatformFilesTest, FilesAndDirectories) {
    const std::string file = At("f.txt");
    const std::string sub = At("LogFileS");
    EXPECT_FALSE(platform::FileExists(file));
    EXPECT_FALSE(platform::DeleteFileAt(file));
    std::ofstream(file) << "x";
    EXPECT_TRUE(platform::FileExists(file));
    EXPECT_FALSE(platform::DirectoryExists(file));
    EXPECT_FALSE(platform::CreateDirectoryAt(file));  // a file has the name
    EXPECT_TRUE(platform::DeleteFileAt(file));
    EXPECT_FALSE(platform::FileExists(file));

    EXPECT_FALSE(platform::DirectoryExists(sub));
    EXPECT_TRUE(platform::CreateDirectoryAt(sub));
    EXPECT_TRUE(platform::DirectoryExists(sub));
    EXPECT_FALSE(platform::FileExists(sub));
    EXPECT_FALSE(platform::CreateDirectoryAt(sub));  // exists already
    EXPECT_FALSE(platform::DeleteFileAt(sub));       // files only
    EXPECT_TRUE(platform::DirectoryExists(sub));

    EXPECT_FALSE(platform::CreateDirectoryAt(At(fs::path("a") / "b")));  // one level only
    EXPECT_FALSE(platform::DirectoryExists(At("a")));
    EXPECT_FALSE(platform::FileExists(At(fs::path("a") / "b")));
}

// Testers on several ports share one directory, and two started on one port by mistake must still
// leave one whole report, never a mixture; one of them takes the log name, the others see it taken.
TEST_F(PlatformFilesTest, WritersAtOnceLeaveWholeFilesAndNoTemporaryOnes) {
    constexpr char kWriters = 6;
    const std::string report = At("RptZq_COM3.Txt");
    const std::string log = At("ZQ_COM3_OK_x.log");
    // Each writer's file has a size of its own, so that a mixture shows in size or content.
    const auto version = [](char w) {
        return std::vector<std::string>(1000 + 700 * static_cast<std::size_t>(w),
                                        std::string(99, static_cast<char>('a' + w)));
    };
    std::vector<platform::WriteOutcome> logOutcomes(kWriters);
    std::vector<std::thread> writers;
    for (char w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int round = 0; round < 5; ++round) (void)platform::WriteLines(report, version(w));
            logOutcomes[static_cast<std::size_t>(w)] = platform::WriteLinesNew(log, version(w));
        });
    }
    for (auto& t : writers) t.join();

    const auto whole = [&](const std::string& bytes) {
        const char w = static_cast<char>(bytes.empty() ? 0 : bytes[0] - 'a');
        return w >= 0 && w < kWriters && bytes.size() == version(w).size() * 101 &&
               bytes.find_first_not_of(std::string(1, bytes[0]) + "\r\n") == std::string::npos;
    };
    EXPECT_TRUE(whole(ReadFile(report))) << "a mixture of reports";
    EXPECT_TRUE(whole(ReadFile(log))) << "a mixture of logs";
    EXPECT_EQ(std::count(logOutcomes.begin(), logOutcomes.end(), platform::WriteOutcome::Written),
              1);
    EXPECT_EQ(std::count(logOutcomes.begin(), logOutcomes.end(), platform::WriteOutcome::Failed),
              0);
    EXPECT_EQ(Names(dir), (std::vector<std::string>{"RptZq_COM3.Txt", "ZQ_COM3_OK_x.log"}));
}

TEST(PlatformProcess, ArgumentsWithoutTheProgram) {
    const char* argv[] = {"ZqCmdLin", "-COM=3", "", "-DOPROGA", "-COM=a b"};
    platform::SetCommandLine(5, argv);
    EXPECT_EQ(platform::CommandLineArguments(),
              (std::vector<std::string>{"-COM=3", "", "-DOPROGA", "-COM=a b"}));
    platform::SetCommandLine(1, argv);
    EXPECT_TRUE(platform::CommandLineArguments().empty());
}

TEST(PlatformProcess, ExeDirectoryHoldsTheProgramAndEndsWithTheSeparator) {
    const std::string exeDir = platform::ExeDirectory();
    ASSERT_FALSE(exeDir.empty());
    EXPECT_EQ(exeDir.back(), platform::PathSeparator());
    EXPECT_TRUE(platform::DirectoryExists(exeDir)) << exeDir;
    EXPECT_TRUE(platform::FileExists(exeDir + ZQ_TEST_PROGRAM_FILE)) << exeDir;
}

}  // namespace
