// The run log behind the main window's InfoMemo: the lines of one run in the order the report
// and the log file show them. A device that never stops sending must not exhaust memory, so the
// log keeps every line only while its lines take at most RunLogBudgetBytes; past that it keeps
// the newest RunLogTailLines lines, counts the rest, and puts one line saying how many were left
// out before that tail. A run that stays within the bound is kept whole, line for line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A kept line costs its bytes in the files (text and CR LF) and its entry in the list.
constexpr std::size_t RunLogBudgetBytes = std::size_t{32} * 1024 * 1024;
constexpr std::size_t RunLogTailLines = 1000;

// The line that stands for the lines left out, with their number: our own text.
inline constexpr char LeftOutTextFormat[] = "... %llu lines left out ...";

class RunLog {
  public:
    // Where a line stands to the run's verdict, which decides what is kept past the bound.
    enum class Role : std::uint8_t {
        Progress,  // before the verdict: kept while among the newest lines
        Verdict,   // decides the run (RunResult, RunFinished): always among the newest lines
        Trailing,  // after the verdict: left out past the bound, so the files end with it
    };

    explicit RunLog(std::size_t budgetBytes = RunLogBudgetBytes,
                    std::size_t tailLines = RunLogTailLines);

    void Add(std::string line, Role role);
    // A verdict line added without allocating, in the room the log always keeps free: for the
    // line that records a failure of the tester itself, when memory may be exhausted.
    void AddInReservedRoom(std::string&& line) noexcept;

    // The lines in file order. Never allocates; adding may go on afterwards.
    const std::vector<std::string>& Lines() noexcept;

    std::size_t Size() const { return lines_.size(); }
    std::uint64_t LeftOut() const { return leftOut_; }
    void Clear();

  private:
    void Append(std::string&& line, Role role);
    void StartLeavingOut(Role role);

    std::vector<std::string> lines_;
    std::size_t budget_;
    std::size_t tailLines_;
    std::size_t keptBytes_ = 0;
    bool pastBound_ = false;
    std::size_t headEnd_ = 0;        // lines kept within the bound
    std::size_t trailingAtEnd_ = 0;  // Trailing lines that end lines_
    // Once lines are left out: lines_[tailStart_ - 1] counts them, lines_[tailStart_ ...] is a
    // ring of the newest lines whose oldest entry is at tailStart_ + oldest_.
    bool leavingOut_ = false;
    std::size_t tailStart_ = 0;
    std::size_t oldest_ = 0;
    std::uint64_t leftOut_ = 0;
};
