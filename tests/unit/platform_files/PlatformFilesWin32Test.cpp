// What only Windows shows of the file, process and locale services: read-only files, drive paths
// with backslashes, and the user's time and date formats.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "Platform.h"
#include "TemporaryDirectory.h"

namespace {

class PlatformFilesWin32Test : public TemporaryDirectoryTest {
  protected:
    void TearDown() override {
        if (!dir.empty())
            SetFileAttributesA(At("ro.txt").c_str(), FILE_ATTRIBUTE_NORMAL);  // let the removal in
        TemporaryDirectoryTest::TearDown();
    }
};

// Whether the system refuses to open this file for writing (Wine run by root does not).
bool WritingIsRefused(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return true;
    CloseHandle(file);
    return false;
}

TEST_F(PlatformFilesWin32Test, ReadOnlyFileIsNeitherOverwrittenNorDeleted) {
    const std::string path = At("ro.txt");
    ASSERT_EQ(platform::WriteLines(path, {"kept"}), platform::WriteOutcome::Written);
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(platform::WriteLinesNew(path, {"x"}), platform::WriteOutcome::AlreadyExists);
    EXPECT_FALSE(platform::DeleteFileAt(path));
    EXPECT_TRUE(platform::FileExists(path));
    if (WritingIsRefused(path)) {
        EXPECT_EQ(platform::WriteLines(path, {"x"}), platform::WriteOutcome::Failed);
    }
    EXPECT_EQ(ReadFile(path), "kept\r\n");
}

TEST_F(PlatformFilesWin32Test, ForwardSlashesReachTheSameFiles) {
    std::string slashed = At("LogFileS");
    for (char& c : slashed) {
        if (c == '\\')
            c = '/';
    }
    ASSERT_TRUE(platform::CreateDirectoryAt(slashed));
    EXPECT_TRUE(platform::DirectoryExists(At("LogFileS")));
    ASSERT_EQ(platform::WriteLines(slashed + "/a.log", {"a"}), platform::WriteOutcome::Written);
    EXPECT_EQ(ReadFile(At("LogFileS\\a.log")), "a\r\n");
    EXPECT_EQ(platform::WriteLinesNew(At("LogFileS\\a.log"), {"b"}),
              platform::WriteOutcome::AlreadyExists);
}

TEST(PlatformProcessWin32, ExeDirectoryIsTheProgramsOwnWithBackslash) {
    EXPECT_EQ(platform::PathSeparator(), '\\');
    const std::string exeDir = platform::ExeDirectory();
    ASSERT_GE(exeDir.size(), 3u);
    EXPECT_EQ(exeDir.back(), '\\');
    EXPECT_EQ(exeDir[1], ':') << exeDir;  // a drive path such as Z:\...\ under Wine
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, sizeof self);
    EXPECT_EQ(exeDir + ZQ_TEST_PROGRAM_FILE, std::string(self, n));
}

TEST(PlatformProcessWin32, TimeAndDateFollowTheUserLocale) {
    char time[64];
    char date[64];
    ASSERT_GT(GetTimeFormatA(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, time, sizeof time), 0);
    ASSERT_GT(
        GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, date, sizeof date),
        0);
    // The texts are the system's formatting, without its terminating zero and without
    // truncation; the second may have turned between the two calls.
    const std::string t = platform::LongTimeText();
    if (t != time) {
        ASSERT_GT(GetTimeFormatA(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, time, sizeof time), 0);
        EXPECT_EQ(t, std::string(time));
    }
    EXPECT_EQ(platform::ShortDateText(), std::string(date));
    EXPECT_EQ(t.find('\0'), std::string::npos);
    EXPECT_NE(t.find(':'), std::string::npos) << t;
}

}  // namespace
