// zq-gang: one ZqCmdLin per port at once, one verdict for all of them. Exit status 0 when every
// port is OK, 1 when any is NG, 2 when the command line is turned down (then nothing starts),
// 128 + the signal when the gang was interrupted (its testers ended, their programmers reset, its
// files written all the same).

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "GangConsole.h"
#include "GangOptions.h"
#include "GangReports.h"
#include "GangRunner.h"
#include "PELMORAERRI.h"
#include "Platform.h"
#include "ProcessControl.h"
#include "StationServices.h"

namespace {

constexpr int ExitAllOK = 0;
constexpr int ExitSomeNG = 1;
constexpr int ExitUsage = 2;
constexpr int ExitBySignal = 128;

int UsageError(const std::string& message) {
    (void)std::fprintf(stderr,
                       "zq-gang: %s\n(zq-gang --help tells how to call it; nothing was run)\n",
                       message.c_str());
    return ExitUsage;
}

// A file the gang is to write, checked before any tester starts: its directory exists, it is no
// directory itself, and the other report file is not the same file under another name.
std::string ReportFileProblem(const std::string& path, const std::string& other) {
    std::error_code error;
    const std::filesystem::path file = std::filesystem::absolute(gang::PathOfUtf8(path), error);
    if (error || !std::filesystem::is_directory(file.parent_path(), error))
        return "no directory to write " + path + " into";
    if (std::filesystem::is_directory(file, error))
        return path + " is a directory";
    if (other.empty())
        return {};
    const std::filesystem::path otherFile =
        std::filesystem::absolute(gang::PathOfUtf8(other), error);
    const bool same = std::filesystem::exists(file, error) && std::filesystem::exists(otherFile, error)
                          ? std::filesystem::equivalent(file, otherFile, error)
                          : std::filesystem::weakly_canonical(file, error) ==
                                std::filesystem::weakly_canonical(otherFile, error);
    return same ? "--junit and --json name the same file" : std::string();
}

// The directories of the system's programs, those of the search path a system gives its users
// and its administrator. A tester installed there (the .deb's /usr/bin/ZqCmdLin) belongs to every
// station and to none; a station directory holds a link to it instead.
constexpr std::string_view SystemProgramDirectories[] = {
    "/bin",           "/sbin",           "/usr/bin",   "/usr/sbin",
    "/usr/local/bin", "/usr/local/sbin", "/usr/games", "/usr/local/games"};

bool IsSystemProgramDirectory(const std::filesystem::path& directory) {
    const std::string name = directory.generic_string();
    for (const std::string_view system : SystemProgramDirectories)
        if (name == system)
            return true;
    return false;
}

// Why the tester's directory (links kept, with its trailing separator) cannot be the station
// directory that it is for the gang: the tester writes its report and LogFileS there and the gang
// its port locks. Empty when it can.
std::string StationDirectoryProblem(const std::string& directory) {
    if (platform::PathSeparator() == '/') {
        const std::filesystem::path spelled =
            gang::PathOfUtf8(directory).lexically_normal().parent_path();
        if (IsSystemProgramDirectory(spelled))
            return "a directory of the system's programs";
        // A directory that is a link to one of them: the files would land there all the same.
        std::error_code error;
        const std::filesystem::path real = std::filesystem::canonical(spelled, error);
        if (!error && IsSystemProgramDirectory(real))
            return "leads to the system's " + gang::Utf8OfPath(real);
    }
    if (!platform::DirectoryWritable(directory))
        return "not writable for this user";
    return {};
}

int NoStationDirectory(const gang::TesterLocation& tester, const std::string& problem) {
    std::string directory = tester.directory;
    if (directory.size() > 1)
        directory.pop_back();
    const std::string name = tester.path.substr(tester.directory.size());
    // POSIX stations hold a link to the installed tester; Windows ones a copy of it.
    const std::string station = platform::PathSeparator() == '/'
                                    ? "a link to the tester (ln -s " + tester.path +
                                          " /srv/line1/" + name + "), see ZqCmdLin(1)"
                                    : "a copy of the tester (copy \"" + tester.path +
                                          "\" C:\\Stations\\Line1\\" + name + ")";
    (void)std::fprintf(stderr,
                       "zq-gang: %s is no station directory (%s): the tester writes its report "
                       "and LogFileS beside itself; run zq-gang from a station directory holding "
                       "%s\n",
                       directory.c_str(), problem.c_str(), station.c_str());
    return ExitUsage;
}

gang::ErrorTexts LibraryErrorTexts(unsigned code) {
    return {platform::Cp936ToUtf8(GetEglishErrorMessageinformationRTX(code)),
            platform::Cp936ToUtf8(GetChineseErrorMessageinformationRTX(code))};
}

int Run() {
    const gang::ParsedOptions parsed = gang::ParseGangOptions(platform::Utf8CommandLineArguments());
    if (!parsed.options)
        return UsageError(parsed.error);
    const gang::GangOptions& options = *parsed.options;
    if (options.help) {
        (void)std::fputs(gang::UsageText, stdout);
        return ExitAllOK;
    }
    if (options.version) {
        (void)std::fputs("zq-gang " ZQ_GANG_VERSION "\n", stdout);
        return ExitAllOK;
    }

    const std::string testerPath =
        options.testerPath.empty()
            ? platform::Utf8ExeDirectory() + "ZqCmdLin" + platform::ProgramSuffix()
            : options.testerPath;
    if (!platform::IsRunnableFile(testerPath))
        return UsageError("no tester found: " + testerPath + " is not a program that can run");
    const gang::TesterLocation tester = gang::LocateTester(testerPath);
    if (const std::string problem = StationDirectoryProblem(tester.directory); !problem.empty())
        return NoStationDirectory(tester, problem);
    for (const auto& [file, other] : {std::pair{&options.junitPath, &options.jsonPath},
                                      std::pair{&options.jsonPath, &options.junitPath}}) {
        if (file->empty())
            continue;
        const std::string problem = ReportFileProblem(*file, *other);
        if (!problem.empty())
            return UsageError(problem);
    }

    gang::GangSummary summary;
    summary.host = platform::HostName();
    summary.station = options.station.empty() ? summary.host : options.station;
    summary.version = ZQ_GANG_VERSION;
    summary.tester = tester.path;
    summary.switches = options.testerSwitches;
    summary.startedUtc = gang::UtcTimestamp();
    const std::uint64_t started = platform::MonotonicMilliseconds();
    if (platform::StandardOutputIsLiveTerminal()) {
        gang::LiveConsole console(stdout);
        summary.ports = gang::RunGang(options, tester, console, LibraryErrorTexts);
    } else {
        gang::PlainConsole console(stdout);
        summary.ports = gang::RunGang(options, tester, console, LibraryErrorTexts);
    }
    summary.durationMs = platform::MonotonicMilliseconds() - started;

    // A reader that went away makes these writes fail, never the gang.
    (void)std::fputs("\n", stdout);
    (void)std::fputs(gang::SummaryTable(summary).c_str(), stdout);
    (void)std::fflush(stdout);

    bool allOK = true;
    for (const gang::PortResult& port : summary.ports)
        allOK = allOK && port.outcome == gang::Outcome::OK;
    // The files a CI server or the line's system reads: a missing one must not pass for success.
    std::string error;
    if (!options.junitPath.empty() &&
        !gang::WriteReportFile(options.junitPath, gang::JUnitXml(summary), error)) {
        (void)std::fprintf(stderr, "zq-gang: %s\n", error.c_str());
        allOK = false;
    }
    if (!options.jsonPath.empty() &&
        !gang::WriteReportFile(options.jsonPath, gang::JsonText(summary), error)) {
        (void)std::fprintf(stderr, "zq-gang: %s\n", error.c_str());
        allOK = false;
    }
    if (const int interrupt = platform::PendingInterrupt(); interrupt != 0)
        return ExitBySignal + interrupt;
    return allOK ? ExitAllOK : ExitSomeNG;
}

}  // namespace

int main(int argc, char** argv) {
    platform::InstallInterruptHandlers();
    platform::SetCommandLine(argc, argv);
    const int status = Run();
    platform::InterruptHandled();
    return status;
}
