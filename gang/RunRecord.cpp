#include "RunRecord.h"

#include <algorithm>
#include <cctype>

namespace gang {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// A 12-hour clock puts its marker after the time ("2:05:09 PM"); it is part of the stamp.
bool IsDayHalfMarker(std::string_view word) {
    std::string upper(word);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper == "AM" || upper == "PM" || upper == "A.M." || upper == "P.M.";
}

// "> <time> text": the time is the first word and holds digits in every user format, which
// tells it from the lines of the programmer information ("> Current Programmer Information : ").
bool IsStamped(std::string_view line) {
    if (!StartsWith(line, "> "))
        return false;
    const std::string_view time = line.substr(2, line.find(' ', 2) - 2);
    return std::any_of(time.begin(), time.end(), [](char c) { return c >= '0' && c <= '9'; });
}


}  // namespace

std::string LastStampedText(std::string_view runLog) {
    std::string_view last;
    bool found = false;
    while (!runLog.empty()) {
        const std::size_t end = std::min(runLog.find('\n'), runLog.size());
        std::string_view line = runLog.substr(0, end);
        runLog.remove_prefix(std::min(end + 1, runLog.size()));
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (IsStamped(line)) {
            last = line;
            found = true;
        }
    }
    if (!found)
        return {};
    // "> " then the time of day in the user's format, then one blank, then the text.
    std::string_view rest = last.substr(2);
    std::size_t blank = rest.find(' ');
    if (blank == std::string_view::npos)
        return {};
    rest.remove_prefix(blank + 1);
    blank = rest.find(' ');
    if (blank != std::string_view::npos && IsDayHalfMarker(rest.substr(0, blank)))
        rest.remove_prefix(blank + 1);
    return std::string(rest);
}

}  // namespace gang
