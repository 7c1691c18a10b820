// Process and user-locale services on Win32: arguments, the program's own directory, and the
// user's long time and short date formats.

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Platform.h"

namespace platform {
namespace {

bool gCommandLineSet = false;
std::vector<std::string> gArguments;

std::vector<std::string> ArgumentsOfProcess() {
    std::vector<std::string> arguments;
    // The C runtime's arguments, split from GetCommandLineA by the usual quoting rules.
    for (int i = 1; i < __argc; ++i) arguments.emplace_back(__argv[i] != nullptr ? __argv[i] : "");
    return arguments;
}

// Formats with the user's locale; the length returned includes the terminating zero.
template <typename Format>
std::string LocaleText(Format format) {
    char text[128];
    const int n = format(text, static_cast<int>(sizeof text));
    if (n <= 1)
        return {};
    return std::string(text, static_cast<std::size_t>(n - 1));
}

}  // namespace

void SetCommandLine(int argc, const char* const* argv) {
    gArguments.clear();
    gCommandLineSet = true;
    if (argv == nullptr || argc <= 0)
        return;
    for (int i = 1; i < argc; ++i) gArguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
}

std::vector<std::string> CommandLineArguments() {
    return gCommandLineSet ? gArguments : ArgumentsOfProcess();
}

std::string ExeDirectory() {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD n =
            GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return ".\\";
        if (n < buffer.size()) {
            const std::string path(buffer.data(), n);
            const std::size_t separator = path.find_last_of("\\/");
            return separator == std::string::npos ? ".\\" : path.substr(0, separator + 1);
        }
        if (buffer.size() >= 32768)
            return ".\\";
        buffer.resize(buffer.size() * 2);  // the path was cut short
    }
}

char PathSeparator() {
    return '\\';
}

std::string LongTimeText() {
    return LocaleText([](char* text, int size) {
        return GetTimeFormatA(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, text, size);
    });
}

std::string ShortDateText() {
    return LocaleText([](char* text, int size) {
        return GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, text, size);
    });
}

}  // namespace platform
