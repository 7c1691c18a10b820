#include "GangRunner.h"

#include <filesystem>
#include <system_error>

#include "Platform.h"
#include "ProcessControl.h"

namespace gang {
namespace {

constexpr unsigned PollIntervalMs = 50;

struct PortSlot {
    PortResult result;
    PortState state = PortState::Waiting;
    platform::ChildProcess process;
    std::uint64_t startedMs = 0;
    TesterRun run;
};

void Finish(PortSlot& slot, std::uint64_t nowMs, GangDisplay& display) {
    slot.result.durationMs = nowMs - slot.startedMs;
    ReadOutcome(slot.run, slot.result);
    slot.state = PortState::Done;
    display.PortFinished(slot.result);
}

}  // namespace

TesterLocation LocateTester(const std::string& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error)
        absolute = path;
    TesterLocation location;
    location.path = absolute.string();
    const std::size_t separator = location.path.find_last_of(
        platform::PathSeparator() == '/' ? std::string("/") : std::string("/\\"));
    location.directory = separator == std::string::npos
                             ? std::string(".") + platform::PathSeparator()
                             : location.path.substr(0, separator + 1);
    return location;
}

std::vector<PortResult> RunGang(const GangOptions& options, const TesterLocation& tester,
                                GangDisplay& display) {
    std::vector<PortSlot> slots(options.ports.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
        slots[i].result.port = options.ports[i];
        slots[i].result.portName = "COM" + std::to_string(options.ports[i]);
        slots[i].run.testerDirectory = tester.directory;
        slots[i].run.timeoutSeconds = options.timeoutSeconds;
    }
    const std::size_t jobs = options.jobs == 0 ? slots.size() : options.jobs;
    const std::string logDirectory = tester.directory + std::string(LogDirectoryName);
    const std::uint64_t limitMs = std::uint64_t{options.timeoutSeconds} * 1000;

    std::size_t next = 0;
    std::size_t running = 0;
    std::size_t done = 0;
    std::vector<PortView> views(slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) views[i].portName = slots[i].result.portName;
    while (done < slots.size()) {
        std::vector<std::string> logsNow;
        if (running < jobs && next < slots.size())
            logsNow = FileNames(logDirectory);
        while (running < jobs && next < slots.size()) {
            PortSlot& slot = slots[next++];
            slot.run.logsBefore = PortLogNames(logsNow, slot.result.portName);
            slot.run.reportBefore =
                LastWriteTime(ReportPath(tester.directory, slot.result.portName));
            std::vector<std::string> arguments{tester.path};
            for (std::string& s : TesterSwitchesForPort(options, slot.result.port))
                arguments.push_back(std::move(s));
            slot.startedMs = platform::MonotonicMilliseconds();
            slot.run.started = platform::StartProcess(tester.path, arguments, tester.directory,
                                                      slot.process, slot.run.startError);
            if (slot.run.started) {
                slot.state = PortState::Running;
                ++running;
            } else {
                Finish(slot, slot.startedMs, display);
                ++done;
            }
        }

        const std::uint64_t now = platform::MonotonicMilliseconds();
        for (PortSlot& slot : slots) {
            if (slot.state != PortState::Running)
                continue;
            bool ended = platform::ProcessEnded(slot.process, slot.run.end);
            if (!ended && limitMs != 0 && now - slot.startedMs >= limitMs) {
                platform::KillProcess(slot.process, slot.run.end);
                slot.run.timedOut = slot.run.end.killed;
                ended = true;
            }
            if (ended) {
                Finish(slot, platform::MonotonicMilliseconds(), display);
                --running;
                ++done;
            }
        }

        for (std::size_t i = 0; i < slots.size(); ++i) {
            views[i].state = slots[i].state;
            views[i].elapsedMs = slots[i].state == PortState::Running ? now - slots[i].startedMs
                                 : slots[i].state == PortState::Done  ? slots[i].result.durationMs
                                                                      : 0;
            views[i].result = slots[i].state == PortState::Done ? &slots[i].result : nullptr;
        }
        display.Show(views);
        if (done < slots.size())
            platform::SleepMs(PollIntervalMs);
    }

    std::vector<PortResult> results;
    results.reserve(slots.size());
    for (PortSlot& slot : slots) results.push_back(std::move(slot.result));
    return results;
}

}  // namespace gang
