#include "GangRunner.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>

#include "Platform.h"
#include "ProcessControl.h"
#include "StationServices.h"

namespace gang {
namespace {

constexpr unsigned PollIntervalMs = 50;
// Ports that ended are judged together, at most this often while others still run: each look
// at LogFileS reads a directory that holds every run the station ever made.
constexpr std::uint64_t JudgeIntervalMs = 500;
// The line speed ZqCmdLin runs the programmer's line at, which a port must take.
constexpr std::uint32_t ProgrammerLineSpeed = 1000000;

enum class Phase { Waiting, Running, Ended, Resetting, Done };

struct PortSlot {
    PortResult result;
    Phase phase = Phase::Waiting;
    platform::ChildProcess process;
    std::uint64_t startedMs = 0;
    TesterRun run;
    platform::FileLock lock = platform::kNoFileLock;
    // The reset run after the gang ended this port's tester.
    std::string resetCause;
    TesterRun resetRun;
    std::uint64_t resetStartedMs = 0;
    // How many of the names seen appearing for this port its runs have taken.
    std::size_t namesTaken = 0;
};

std::vector<std::string> TesterArguments(const TesterLocation& tester,
                                         std::vector<std::string> switches) {
    std::vector<std::string> arguments{tester.path};
    for (std::string& s : switches) arguments.push_back(std::move(s));
    return arguments;
}

// Starts a tester for slot with run's data; false (and run.startError) when it did not start.
bool StartTester(const TesterLocation& tester, std::vector<std::string> switches,
                 std::string_view portName, TesterRun& run, platform::ChildProcess& process) {
    run.reportBefore = LastWriteTime(ReportPath(tester.directory, portName));
    run.started = platform::StartProcess(tester.path, TesterArguments(tester, std::move(switches)),
                                         tester.directory, process, run.startError);
    return run.started;
}

class Gang {
  public:
    Gang(const GangOptions& options, const TesterLocation& tester, GangDisplay& display,
         const ErrorTextLookup& errorTexts)
        : options_(options),
          tester_(tester),
          display_(display),
          errorTexts_(errorTexts),
          slots_(options.ports.size()),
          logDirectory_(tester.directory + std::string(LogDirectoryName)) {}

    std::vector<PortResult> Run() {
        TakeLocks();
        // What the runs add to LogFileS is learnt from the system as it happens where it can
        // tell; otherwise from reading the directory before and after.
        watch_ = platform::WatchDirectory(logDirectory_);
        if (watch_ == platform::kNoDirectoryWatch) {
            KnownLogs ports;
            for (unsigned port : options_.ports) ports[port] = nullptr;
            const PortLogs before = ListPortLogs(logDirectory_, ports);
            for (PortSlot& slot : slots_) {
                const auto logs = before.find(slot.result.port);
                if (logs != before.end())
                    slot.run.logsBefore = logs->second;
            }
        }
        const std::size_t jobs = options_.jobs == 0 ? slots_.size() : options_.jobs;
        const std::uint64_t limitMs = std::uint64_t{options_.timeoutSeconds} * 1000;
        std::size_t next = 0;
        std::uint64_t lastJudgedMs = platform::MonotonicMilliseconds();
        for (;;) {
            if (platform::PendingInterrupt() != 0 && !interrupted_)
                Interrupt();
            if (platform::InterruptCount() > 1)
                AbandonResets();
            while (!interrupted_ && Count(Phase::Running) < jobs && next < slots_.size())
                Start(slots_[next++]);

            const std::uint64_t now = platform::MonotonicMilliseconds();
            for (PortSlot& slot : slots_) {
                if (slot.phase == Phase::Running) {
                    if (platform::ProcessEnded(slot.process, slot.run.end)) {
                        End(slot, now);
                    } else if (limitMs != 0 && now - slot.startedMs >= limitMs) {
                        platform::KillProcess(slot.process, slot.run.end);
                        slot.run.timedOut = slot.run.end.killed;
                        End(slot, now);
                        if (slot.run.timedOut)
                            slot.resetCause = "time limit";
                    }
                } else if (slot.phase == Phase::Resetting) {
                    if (platform::ProcessEnded(slot.process, slot.resetRun.end)) {
                        FinishReset(slot);
                    } else if (now - slot.resetStartedMs >= std::uint64_t{ResetLimitSeconds} * 1000) {
                        platform::KillProcess(slot.process, slot.resetRun.end);
                        slot.resetRun.timedOut = true;
                        FinishReset(slot);
                    }
                }
            }
            // A port to reset is judged at once: its reset run overwrites the report.
            const bool anyToReset = std::any_of(slots_.begin(), slots_.end(), [](const PortSlot& s) {
                return s.phase == Phase::Ended && !s.resetCause.empty();
            });
            if (Count(Phase::Ended) > 0 &&
                (anyToReset || Count(Phase::Running) == 0 || now - lastJudgedMs >= JudgeIntervalMs)) {
                JudgeEnded();
                lastJudgedMs = now;
            }
            Show(now);
            if (Count(Phase::Done) == slots_.size())
                break;
            CollectNewNames();
            platform::SleepMs(PollIntervalMs);
        }
        platform::EndDirectoryWatch(watch_);
        std::vector<PortResult> results;
        results.reserve(slots_.size());
        for (PortSlot& slot : slots_) {
            platform::ReleaseFileLock(slot.lock);
            results.push_back(std::move(slot.result));
        }
        return results;
    }

  private:
    std::size_t Count(Phase phase) const {
        return static_cast<std::size_t>(std::count_if(
            slots_.begin(), slots_.end(), [phase](const PortSlot& s) { return s.phase == phase; }));
    }

    void Done(PortSlot& slot) {
        slot.phase = Phase::Done;
        display_.PortFinished(slot.result);
    }

    // One gang per station directory and port: two testers of one port would share its report.
    void TakeLocks() {
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            PortSlot& slot = slots_[i];
            slot.result.port = options_.ports[i];
            slot.result.portName = "COM" + std::to_string(options_.ports[i]);
            slot.result.command = options_.command;
            slot.run.testerDirectory = tester_.directory;
            slot.run.command = options_.command;
            slot.run.expectedData = options_.expectedData;
            slot.run.timeoutSeconds = options_.timeoutSeconds;
            std::string error;
            switch (platform::TryLockFile(PortLockPath(tester_.directory, slot.result.portName),
                                          slot.lock, error)) {
                case platform::LockOutcome::Taken:
                    break;
                case platform::LockOutcome::Busy:
                    slot.result.reason = "in use by another zq-gang";
                    Done(slot);
                    break;
                case platform::LockOutcome::Failed:
                    slot.result.reason = error;
                    Done(slot);
                    break;
            }
        }
    }

    void Start(PortSlot& slot) {
        if (slot.phase != Phase::Waiting)
            return;
        slot.startedMs = platform::MonotonicMilliseconds();
        slot.result.device = platform::SerialDeviceTarget(slot.result.portName, tester_.directory);
        // What appeared before this run started is not its log.
        if (watch_ != platform::kNoDirectoryWatch) {
            CollectNewNames();
            slot.namesTaken = appeared_[slot.result.port].size();
        }
        if (StartTester(tester_, TesterSwitchesForPort(options_, slot.result.port),
                        slot.result.portName, slot.run, slot.process)) {
            slot.phase = Phase::Running;
        } else {
            ReadOutcome(slot.run, {}, slot.result);
            Done(slot);
        }
    }

    void End(PortSlot& slot, std::uint64_t now) {
        slot.result.durationMs = now - slot.startedMs;
        CaptureReport(slot.run, slot.result.portName);
        slot.phase = Phase::Ended;
    }

    // Ends every tester at once; their programmers are reset, the ports waiting never start.
    void Interrupt() {
        interrupted_ = true;
        const std::uint64_t now = platform::MonotonicMilliseconds();
        for (PortSlot& slot : slots_) {
            if (slot.phase == Phase::Waiting) {
                slot.result.reason = "interrupted before its tester started";
                Done(slot);
            } else if (slot.phase == Phase::Running) {
                platform::KillProcess(slot.process, slot.run.end);
                slot.run.interrupted = slot.run.end.killed;
                End(slot, now);
                if (slot.run.interrupted)
                    slot.resetCause = "interrupted";
            }
        }
    }

    // A second interrupt: the resets under way are ended too.
    void AbandonResets() {
        for (PortSlot& slot : slots_) {
            if (slot.phase != Phase::Resetting)
                continue;
            platform::KillProcess(slot.process, slot.resetRun.end);
            slot.resetRun.interrupted = true;
            FinishReset(slot);
        }
    }

    // The names the watch saw appearing, kept for the gang's ports; draining them often keeps
    // the system's queue from overflowing.
    void CollectNewNames() {
        if (watch_ == platform::kNoDirectoryWatch)
            return;
        std::vector<std::string> names;
        if (!platform::TakeNewNames(watch_, names))
            watchLost_ = true;
        for (std::string& name : names) {
            const unsigned port = PortOfLogName(name);
            if (std::find(options_.ports.begin(), options_.ports.end(), port) !=
                options_.ports.end())
                appeared_[port].push_back(std::move(name));
        }
    }

    // The logs of the port that appeared since its run started (a tester's log is in place
    // before the tester ends, and the runs of one port follow each other).
    std::vector<std::string> NewLogs(PortSlot& slot, const std::vector<std::string>& known) {
        if (watch_ == platform::kNoDirectoryWatch) {
            const PortLogs created = ListPortLogs(logDirectory_, {{slot.result.port, &known}});
            const auto logs = created.find(slot.result.port);
            return logs != created.end() ? logs->second : std::vector<std::string>{};
        }
        CollectNewNames();
        const std::vector<std::string>& seen = appeared_[slot.result.port];
        std::vector<std::string> created(seen.begin() + static_cast<std::ptrdiff_t>(slot.namesTaken),
                                         seen.end());
        slot.namesTaken = seen.size();
        std::sort(created.begin(), created.end());
        return created;
    }

    // With names lost, a run's own log cannot be told from another's: never an OK then.
    void DistrustIfNamesLost(PortResult& result) const {
        if (watchLost_ && result.outcome == Outcome::OK) {
            result.outcome = Outcome::NG;
            result.reason = "LogFileS changed faster than it could be followed: this run's log "
                            "cannot be told";
        }
    }

    void JudgeEnded() {
        PortLogs created;
        if (watch_ == platform::kNoDirectoryWatch) {
            KnownLogs ports;
            for (const PortSlot& slot : slots_)
                if (slot.phase == Phase::Ended)
                    ports[slot.result.port] = &slot.run.logsBefore;
            created = ListPortLogs(logDirectory_, ports);
        } else {
            for (PortSlot& slot : slots_)
                if (slot.phase == Phase::Ended)
                    created[slot.result.port] = NewLogs(slot, {});
        }
        for (PortSlot& slot : slots_) {
            if (slot.phase != Phase::Ended)
                continue;
            const std::vector<std::string>& logs = created[slot.result.port];
            ReadOutcome(slot.run, logs, slot.result);
            DistrustIfNamesLost(slot.result);
            Explain(slot);
            if (slot.resetCause.empty()) {
                Done(slot);
            } else {
                StartReset(slot, logs);
            }
        }
    }

    // What the record needs beyond the tester's files: the library's texts of the error code,
    // and why a port that never answered may not have been reached at all.
    void Explain(PortSlot& slot) {
        PortResult& result = slot.result;
        if (result.record.errorCode && errorTexts_) {
            const ErrorTexts texts = errorTexts_(*result.record.errorCode);
            result.errorTextEn = texts.en;
            result.errorTextCn = texts.cn;
        }
        // Only now that its tester has ended: opening a port can move its lines.
        if (result.end == TesterEnd::Exited && result.record.silentTimeout) {
            const std::string problem =
                platform::SerialPortOpenProblem(result.portName, tester_.directory,
                                                ProgrammerLineSpeed);
            if (!problem.empty())
                result.reason = result.portName + " (" + result.device + "): " + problem;
        }
    }

    // The programmer of a tester the gang ended may still be at its operation, whose answers
    // would reach the port's next run: it is reset before anything else uses the port.
    void StartReset(PortSlot& slot, const std::vector<std::string>& created) {
        slot.resetRun = TesterRun{};
        slot.resetRun.testerDirectory = tester_.directory;
        slot.resetRun.command = GangCommand::Reset;
        // Known to the reset run: the logs before the port's run and the one that run wrote.
        slot.resetRun.logsBefore = slot.run.logsBefore;
        slot.resetRun.logsBefore.insert(slot.resetRun.logsBefore.end(), created.begin(),
                                        created.end());
        std::sort(slot.resetRun.logsBefore.begin(), slot.resetRun.logsBefore.end());
        slot.resetRun.timeoutSeconds = ResetLimitSeconds;
        slot.resetStartedMs = platform::MonotonicMilliseconds();
        if (StartTester(tester_,
                        {"-COM=" + std::to_string(slot.result.port),
                         SwitchOfCommand(GangCommand::Reset)},
                        slot.result.portName, slot.resetRun, slot.process)) {
            slot.phase = Phase::Resetting;
        } else {
            FinishReset(slot);
        }
    }

    void FinishReset(PortSlot& slot) {
        PortResult reset;
        reset.port = slot.result.port;
        reset.portName = slot.result.portName;
        if (slot.resetRun.started)
            CaptureReport(slot.resetRun, reset.portName);
        ReadOutcome(slot.resetRun, NewLogs(slot, slot.resetRun.logsBefore), reset);
        DistrustIfNamesLost(reset);
        ResetRecord record;
        record.cause = slot.resetCause;
        record.outcome = reset.outcome;
        record.reason = slot.resetRun.interrupted ? "interrupted again" : reset.reason;
        record.logFile = reset.logFile;
        slot.result.resetAfter = record;
        Done(slot);
    }

    void Show(std::uint64_t now) {
        std::vector<PortView> views(slots_.size());
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            const PortSlot& slot = slots_[i];
            PortView& view = views[i];
            view.portName = slot.result.portName;
            switch (slot.phase) {
                case Phase::Waiting:
                    view.state = PortState::Waiting;
                    break;
                case Phase::Running:
                    view.state = PortState::Running;
                    view.elapsedMs = now - slot.startedMs;
                    break;
                case Phase::Ended:
                case Phase::Resetting:
                    view.state = PortState::Running;
                    view.elapsedMs = slot.result.durationMs;
                    break;
                case Phase::Done:
                    view.state = PortState::Done;
                    view.elapsedMs = slot.result.durationMs;
                    view.result = &slot.result;
                    break;
            }
        }
        display_.Show(views);
    }

    const GangOptions& options_;
    const TesterLocation& tester_;
    GangDisplay& display_;
    const ErrorTextLookup& errorTexts_;
    std::vector<PortSlot> slots_;
    std::string logDirectory_;
    bool interrupted_ = false;
    platform::DirectoryWatch watch_ = platform::kNoDirectoryWatch;
    bool watchLost_ = false;
    std::map<unsigned, std::vector<std::string>> appeared_;  // port: names in order seen
};

}  // namespace

TesterLocation LocateTester(const std::string& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(PathOfUtf8(path), error);
    if (error)
        absolute = PathOfUtf8(path);
    TesterLocation location;
    location.path = Utf8OfPath(absolute);
    const std::size_t separator = location.path.find_last_of(
        platform::PathSeparator() == '/' ? std::string("/") : std::string("/\\"));
    location.directory = separator == std::string::npos
                             ? std::string(".") + platform::PathSeparator()
                             : location.path.substr(0, separator + 1);
    return location;
}

std::string PortLockPath(const std::string& directory, std::string_view portName) {
    return directory + ".zq-gang-" + std::string(portName) + ".lock";
}

std::vector<PortResult> RunGang(const GangOptions& options, const TesterLocation& tester,
                                GangDisplay& display, const ErrorTextLookup& errorTexts) {
    return Gang(options, tester, display, errorTexts).Run();
}

}  // namespace gang
