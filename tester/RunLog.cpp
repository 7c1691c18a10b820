#include "RunLog.h"

#include <algorithm>
#include <cstdio>

namespace {

// Entries kept free beyond the lines, so that AddInReservedRoom never has to grow the list.
constexpr std::size_t SpareEntries = 1;
constexpr std::size_t FirstCapacity = 64;
constexpr std::size_t LeftOutNoteRoom = sizeof LeftOutTextFormat + 20;  // 20 digits at most

std::size_t LineCost(const std::string& line) {
    return line.size() + 2 + sizeof(std::string);
}

}  // namespace

RunLog::RunLog(std::size_t budgetBytes, std::size_t tailLines)
    : budget_(budgetBytes), tailLines_(tailLines > 0 ? tailLines : 1) {
    lines_.reserve(FirstCapacity);
}

void RunLog::Clear() {
    lines_.clear();
    keptBytes_ = 0;
    pastBound_ = false;
    headEnd_ = 0;
    trailingAtEnd_ = 0;
    leavingOut_ = false;
    tailStart_ = 0;
    oldest_ = 0;
    leftOut_ = 0;
}

void RunLog::Append(std::string&& line, Role role) {
    if (lines_.size() + 1 + SpareEntries > lines_.capacity())
        lines_.reserve(2 * lines_.capacity() + SpareEntries);  // may throw: nothing changed yet
    lines_.push_back(std::move(line));
    trailingAtEnd_ = role == Role::Trailing ? trailingAtEnd_ + 1 : 0;
}

void RunLog::Add(std::string line, Role role) {
    if (!pastBound_) {
        const std::size_t cost = LineCost(line);
        if (cost <= budget_ - keptBytes_) {
            Append(std::move(line), role);
            keptBytes_ += cost;
            return;
        }
        pastBound_ = true;
        headEnd_ = lines_.size();
    }
    if (!leavingOut_) {
        if (role != Role::Trailing && lines_.size() - headEnd_ < tailLines_) {
            Append(std::move(line), role);
            return;
        }
        StartLeavingOut(role);
    }
    if (role == Role::Trailing) {
        ++leftOut_;
        return;
    }
    if (lines_.size() - tailStart_ < tailLines_) {
        Append(std::move(line), role);
        return;
    }
    lines_[tailStart_ + oldest_] = std::move(line);
    oldest_ = (oldest_ + 1) % tailLines_;
    ++leftOut_;
}

// The first line to leave out: from here on the log is its head, the note that counts what was
// left out, and the newest lines (the last lines kept so far among them).
void RunLog::StartLeavingOut(Role role) {
    std::string note;
    note.reserve(LeftOutNoteRoom);
    lines_.reserve(lines_.size() + 1 + tailLines_ + SpareEntries);
    if (role == Role::Trailing) {
        // Lines kept after the verdict would stand after it in the files: they are left out too.
        leftOut_ += trailingAtEnd_;
        lines_.erase(lines_.end() - static_cast<std::ptrdiff_t>(trailingAtEnd_), lines_.end());
        trailingAtEnd_ = 0;
    }
    const std::size_t tail = std::min(tailLines_, lines_.size());
    const std::size_t at = lines_.size() - tail;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), std::move(note));
    tailStart_ = at + 1;
    oldest_ = 0;
    leavingOut_ = true;
}

void RunLog::AddInReservedRoom(std::string&& line) noexcept {
    trailingAtEnd_ = 0;
    if (leavingOut_ && lines_.size() - tailStart_ == tailLines_) {
        lines_[tailStart_ + oldest_] = std::move(line);
        oldest_ = (oldest_ + 1) % tailLines_;
        ++leftOut_;
        return;
    }
    if (lines_.size() < lines_.capacity())
        lines_.push_back(std::move(line));
}

const std::vector<std::string>& RunLog::Lines() noexcept {
    if (!leavingOut_)
        return lines_;
    const auto ring = lines_.begin() + static_cast<std::ptrdiff_t>(tailStart_);
    std::rotate(ring, ring + static_cast<std::ptrdiff_t>(oldest_), lines_.end());
    oldest_ = 0;

    char note[LeftOutNoteRoom];
    const int length = std::snprintf(note, sizeof note, LeftOutTextFormat,
                                     static_cast<unsigned long long>(leftOut_));
    if (length > 0)
        lines_[tailStart_ - 1].assign(note, static_cast<std::size_t>(length));
    return lines_;
}
