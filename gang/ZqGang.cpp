// zq-gang: one ZqCmdLin per port at once, one verdict for all of them. Exit status 0 when every
// port is OK, 1 when any is NG, 2 when the command line is turned down (then nothing starts).

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "GangConsole.h"
#include "GangOptions.h"
#include "GangReports.h"
#include "GangRunner.h"
#include "Platform.h"
#include "ProcessControl.h"

namespace {

constexpr int ExitAllOK = 0;
constexpr int ExitSomeNG = 1;
constexpr int ExitUsage = 2;

int UsageError(const std::string& message) {
    (void)std::fprintf(stderr,
                       "zq-gang: %s\n(zq-gang --help tells how to call it; nothing was run)\n",
                       message.c_str());
    return ExitUsage;
}

// A report file must have a directory to go to; found out before any tester starts.
bool DirectoryOfFileExists(const std::string& path) {
    std::error_code error;
    const std::filesystem::path parent = std::filesystem::absolute(path, error).parent_path();
    return !error && std::filesystem::is_directory(parent, error);
}

}  // namespace

int main(int argc, char** argv) {
    platform::SetCommandLine(argc, argv);
    const gang::ParsedOptions parsed = gang::ParseGangOptions(platform::CommandLineArguments());
    if (!parsed.options)
        return UsageError(parsed.error);
    const gang::GangOptions& options = *parsed.options;
    if (options.help) {
        (void)std::fputs(gang::UsageText, stdout);
        return ExitAllOK;
    }

    const std::string testerPath =
        options.testerPath.empty()
            ? platform::ExeDirectory() + "ZqCmdLin" + platform::ProgramSuffix()
            : options.testerPath;
    if (!platform::IsRunnableFile(testerPath))
        return UsageError("no tester found: " + testerPath + " is not a program that can run");
    for (const std::string* file : {&options.junitPath, &options.jsonPath}) {
        if (!file->empty() && !DirectoryOfFileExists(*file))
            return UsageError("no directory to write " + *file + " into");
    }
    const gang::TesterLocation tester = gang::LocateTester(testerPath);

    gang::GangSummary summary;
    summary.tester = tester.path;
    summary.switches = options.testerSwitches;
    summary.startedUtc = gang::UtcTimestamp();
    const std::uint64_t started = platform::MonotonicMilliseconds();
    if (platform::StandardOutputIsLiveTerminal()) {
        gang::LiveConsole console(stdout);
        summary.ports = gang::RunGang(options, tester, console);
    } else {
        gang::PlainConsole console(stdout);
        summary.ports = gang::RunGang(options, tester, console);
    }
    summary.durationMs = platform::MonotonicMilliseconds() - started;

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
    return allOK ? ExitAllOK : ExitSomeNG;
}
