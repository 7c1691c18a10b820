// What only a POSIX system shows of the file, process and locale services: permissions, a device
// that fills up, a write cut off half way, links, the program's directory as it was started, and
// the C locale's time and date formats.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

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
    // A write that the device refuses is a failure, not a file written; a device is written in
    // place, never replaced by a file (which root could do).
    ASSERT_TRUE(fs::exists("/dev/full"));
    EXPECT_EQ(platform::WriteLines("/dev/full", {"x"}), platform::WriteOutcome::Failed);
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
    EXPECT_EQ(platform::WriteLines("/dev/null", {"x"}), platform::WriteOutcome::Written);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

// A limit on the size of files this process writes (RLIMIT_FSIZE, with SIGXFSZ ignored) makes
// a write fail half way, as a full disk does, and needs no privileges.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved_;
        limited.rlim_cur = bytes;
        active_ = setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool active() const { return active_; }

  private:
    rlimit saved_{};
    void (*previous_)(int) = SIG_DFL;
    bool active_ = false;
};

TEST_F(PlatformFilesPosixTest, WriteCutOffHalfWayLeavesNoPartialAndNoTemporaryFile) {
    // Far more than the limit, so that the write fails in the middle of the file.
    const std::vector<std::string> big(20000, std::string(60, 'b') + " progress line");
    const std::string oldReport = "> 12:00:00 previous run\r\nEnd of Commad: Success!\r\n";
    struct Case {
        const char* what;
        bool newFile;
        bool reportBefore;
    };
    const Case cases[] = {
        {"report, none before", false, false},
        {"report over the previous one", false, true},
        {"log", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
        const std::string path = At(c.newFile ? "ZQ_COM3_OK_x.log" : "RptZq_COM3.Txt");
        if (c.reportBefore)
            std::ofstream(path, std::ios::binary) << oldReport;
        platform::WriteOutcome outcome;
        {
            FileSizeLimit limit(64 * 1024);
            ASSERT_TRUE(limit.active());
            outcome =
                c.newFile ? platform::WriteLinesNew(path, big) : platform::WriteLines(path, big);
        }
        EXPECT_EQ(outcome, platform::WriteOutcome::Failed);
        if (c.reportBefore) {
            const std::string kept = ReadFile(path);
            EXPECT_TRUE(kept == oldReport)
                << "the previous report is not kept as it was: " << kept.size() << " bytes";
            EXPECT_EQ(Names(dir), std::vector<std::string>{"RptZq_COM3.Txt"});
        } else {
            EXPECT_EQ(Names(dir), std::vector<std::string>{});
        }
    }
}

// A report that a site linked elsewhere is replaced there, the link kept; a log name held by a
// link, even one leading nowhere, is taken.
TEST_F(PlatformFilesPosixTest, LinksAreKeptAndNeverTakenOver) {
    fs::create_directory(dir / "shared");
    std::ofstream(dir / "shared" / "RptZq_COM3.Txt") << "old";
    fs::create_symlink(dir / "shared" / "RptZq_COM3.Txt", dir / "RptZq_COM3.Txt");
    fs::create_symlink(dir / "nowhere", dir / "taken.log");
    EXPECT_EQ(platform::WriteLines(At("RptZq_COM3.Txt"), {"new"}), platform::WriteOutcome::Written);
    EXPECT_EQ(platform::WriteLinesNew(At("taken.log"), {"x"}),
              platform::WriteOutcome::AlreadyExists);
    EXPECT_TRUE(fs::is_symlink(dir / "RptZq_COM3.Txt"));
    EXPECT_EQ(ReadFile(At(fs::path("shared") / "RptZq_COM3.Txt")), "new\r\n");
    EXPECT_EQ(Names(dir / "shared"), std::vector<std::string>{"RptZq_COM3.Txt"});
    EXPECT_EQ(Names(dir), (std::vector<std::string>{"RptZq_COM3.Txt", "shared", "taken.log"}));
}

// Restores the working directory and PATH, and forgets the command line, whatever a test did.
struct StartPlaceGuard {
    fs::path directory = fs::current_path();
    std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "/bin:/usr/bin";
    ~StartPlaceGuard() {
        fs::current_path(directory);
        setenv("PATH", path.c_str(), 1);
        platform::SetCommandLine(0, nullptr);
    }
};

// A station directory holds a link to the installed program: the program's directory is the
// station's, as argument 0 names it, not the one the link leads to.
TEST_F(PlatformFilesPosixTest, ExeDirectoryIsWhereArgumentZeroLedNotWhereLinksLead) {
    StartPlaceGuard guard;
    const fs::path program = fs::read_symlink("/proc/self/exe");
    const std::string programDir = program.parent_path().string() + "/";
    const std::string d = dir.string();
    for (const char* sub : {"station", "bin", "decoy", "other", "empty"})
        fs::create_directory(dir / sub);
    fs::create_symlink(program, dir / "station" / "ZqCmdLin");
    fs::create_symlink(program, dir / "bin" / "ZqCmdLin");
    std::ofstream(dir / "decoy" / "ZqCmdLin") << "not executable";
    fs::permissions(dir / "decoy" / "ZqCmdLin", fs::perms::owner_read | fs::perms::owner_write);
    std::ofstream(dir / "other" / "ZqCmdLin") << "#!/bin/sh\n";  // another program
    fs::permissions(dir / "other" / "ZqCmdLin", fs::perms::owner_all);

    struct Case {
        std::string what;
        std::string argument0;
        std::string workingDirectory;
        std::string path;
        std::string expected;  // "=": the working directory (as the system spells it)
    };
    const Case cases[] = {
        {"absolute path of the link", d + "/station/ZqCmdLin", d, "", d + "/station/"},
        {"relative to the working directory", "./ZqCmdLin", d + "/station", "", "="},
        {"relative path into a station", "station/ZqCmdLin", d, "", "=station/"},
        {"relative path with ..", "../station/ZqCmdLin", d + "/bin", "", "=../station/"},
        {"bare name: first executable along PATH", "ZqCmdLin", "/",
         d + "/empty:" + d + "/decoy:" + d + "/station:" + d + "/bin", d + "/station/"},
        {"bare name: empty PATH entry is the working directory", "ZqCmdLin", d + "/station",
         ":" + d + "/bin", "="},
        {"bare name leading to another program", "ZqCmdLin", "/", d + "/other:" + d + "/station",
         programDir},
        {"bare name found nowhere", "ZqCmdLin", "/", d + "/empty", programDir},
        {"path to nothing", d + "/empty/ZqCmdLin", "/", "", programDir},
        {"empty argument 0", "", "/", "", programDir},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::current_path(c.workingDirectory);
        setenv("PATH", c.path.c_str(), 1);
        std::string expected = c.expected;
        if (!expected.empty() && expected.front() == '=')
            expected = fs::current_path().string() + "/" + expected.substr(1);
        const char* argv[] = {c.argument0.c_str(), "-COM=3"};
        platform::SetCommandLine(2, argv);
        // The start place is taken when the command line is handed over, not when asked.
        fs::current_path("/");
        unsetenv("PATH");
        EXPECT_EQ(platform::ExeDirectory(), expected);
    }
    platform::SetCommandLine(0, nullptr);
    EXPECT_EQ(platform::ExeDirectory(), programDir);
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
