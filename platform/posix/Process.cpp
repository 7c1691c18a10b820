// Process and user-locale services on POSIX: arguments, the program's own directory, sleeping,
// and the user's time and date formats (LC_TIME).

#include <langinfo.h>
#include <limits.h>
#include <locale.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "Platform.h"

namespace platform {
namespace {

std::vector<std::string> gArguments;
// The directory the program was started from, found when the command line was handed over;
// empty when argument 0 did not lead to the running program.
std::string gStartDirectory;

// The LC_TIME locale the user asked for (LC_ALL, then LC_TIME, then LANG), or none for the
// C/POSIX locale, whose formats are fixed below (ISO date rather than the C locale's %m/%d/%y,
// so that a log name sorts by date and never holds an ambiguous two-digit year).
struct UserTimeLocale {
    locale_t locale = static_cast<locale_t>(0);
    std::string timeFormat = "%H:%M:%S";
    std::string dateFormat = "%Y-%m-%d";

    UserTimeLocale() {
        const char* name = nullptr;
        for (const char* variable : {"LC_ALL", "LC_TIME", "LANG"}) {
            // Read once, on the user-interface thread; nothing in the program changes its
            // environment.
            const char* value = std::getenv(variable);  // NOLINT(concurrency-mt-unsafe)
            if (value != nullptr && *value != '\0') {
                name = value;
                break;
            }
        }
        if (name == nullptr)
            return;
        const std::string localeName(name);
        // C.UTF-8 and the like are the C locale with another character set.
        if (localeName == "C" || localeName == "POSIX" || localeName.rfind("C.", 0) == 0)
            return;
        locale = newlocale(LC_TIME_MASK, name, static_cast<locale_t>(0));
        if (locale == static_cast<locale_t>(0))
            return;
        const char* t = nl_langinfo_l(T_FMT, locale);
        const char* d = nl_langinfo_l(D_FMT, locale);
        if (t != nullptr && *t != '\0')
            timeFormat = t;
        if (d != nullptr && *d != '\0')
            dateFormat = d;
    }
    ~UserTimeLocale() {
        if (locale != static_cast<locale_t>(0))
            freelocale(locale);
    }
    UserTimeLocale(const UserTimeLocale&) = delete;
    UserTimeLocale& operator=(const UserTimeLocale&) = delete;
};

const UserTimeLocale& TimeLocale() {
    static const UserTimeLocale instance;
    return instance;
}

std::string FormatNow(const std::string& format, time_t now) {
    struct tm local {};
    if (localtime_r(&now, &local) == nullptr)
        return {};
    char text[128];
    const UserTimeLocale& user = TimeLocale();
    const std::size_t n = user.locale != static_cast<locale_t>(0)
                              ? strftime_l(text, sizeof text, format.c_str(), &local, user.locale)
                              : strftime(text, sizeof text, format.c_str(), &local);
    return std::string(text, n);
}

// Whether path names the running program (through any links), or, where the system cannot say
// which file is running, at least an executable file.
bool IsThisProgram(const std::string& path) {
    struct stat candidate {};
    if (stat(path.c_str(), &candidate) != 0 || !S_ISREG(candidate.st_mode))
        return false;
    struct stat running {};
    if (stat("/proc/self/exe", &running) != 0)
        return access(path.c_str(), X_OK) == 0;
    return candidate.st_dev == running.st_dev && candidate.st_ino == running.st_ino;
}

std::string CurrentDirectory() {
    std::vector<char> buffer(PATH_MAX);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE || buffer.size() >= (1u << 20))
            return {};
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

// path made absolute against the current directory. It is only spelled out, never resolved: a
// directory reached through a link stays the link.
std::string Absolute(const std::string& currentDirectory, std::string path) {
    if (path.empty() || path.front() != '/') {
        if (currentDirectory.empty())
            return {};
        path = currentDirectory + "/" + path;
    }
    // "/./" and "//" are the same directory spelled longer; ".." is kept, as it depends on links.
    std::string tidy;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '/' && !tidy.empty() && tidy.back() == '/')
            continue;
        if (path[i] == '.' && !tidy.empty() && tidy.back() == '/' &&
            (i + 1 == path.size() || path[i + 1] == '/')) {
            ++i;
            continue;
        }
        tidy += path[i];
    }
    return tidy;
}

// The directory of argument 0 as the program was started: a path (absolute, or relative to the
// current directory at the start) names it; a bare name was found by the shell along PATH, the
// way execvp searches (the first directory holding an executable file of that name; an empty
// entry is the current directory). Links are not resolved, so a station directory holding a link
// to an installed program is the program's directory. Empty when argument 0 does not lead to the
// running program (a caller may pass any argument 0).
std::string StartDirectory(const std::string& argument0) {
    if (argument0.empty())
        return {};
    const std::string current = CurrentDirectory();
    if (argument0.find('/') != std::string::npos) {
        const std::string program = Absolute(current, argument0);
        if (program.empty() || !IsThisProgram(program))
            return {};
        return program.substr(0, program.rfind('/') + 1);
    }
    // Read once, when the command line is handed over at the start, before any other thread.
    const char* searchPath = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe)
    const std::string entries = searchPath != nullptr ? searchPath : "/bin:/usr/bin";
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = entries.find(':', start);
        const std::string entry = entries.substr(start, colon - start);
        const std::string program =
            Absolute(current, (entry.empty() ? "." : entry) + "/" + argument0);
        if (!program.empty()) {
            struct stat info {};
            if (stat(program.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                access(program.c_str(), X_OK) == 0) {
                return IsThisProgram(program) ? program.substr(0, program.rfind('/') + 1)
                                              : std::string();
            }
        }
        if (colon == std::string::npos)
            return {};
        start = colon + 1;
    }
}

}  // namespace

void SetCommandLine(int argc, const char* const* argv) {
    gArguments.clear();
    gStartDirectory.clear();
    if (argv == nullptr || argc <= 0)
        return;
    if (argv[0] != nullptr)
        gStartDirectory = StartDirectory(argv[0]);
    for (int i = 1; i < argc; ++i) gArguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
}

std::vector<std::string> CommandLineArguments() {
    return gArguments;
}

std::string ExeDirectory() {
    if (!gStartDirectory.empty())
        return gStartDirectory;
    // Argument 0 missing or not leading to this program: the program file itself.
    std::string path;
    std::vector<char> buffer(4096);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n > 0 && static_cast<std::size_t>(n) < buffer.size())
        path.assign(buffer.data(), static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return "./";
    return path.substr(0, slash + 1);
}

char PathSeparator() {
    return '/';
}

std::string LongTimeText() {
    // Many log lines share one second: format each second once per thread.
    thread_local time_t cachedSecond = static_cast<time_t>(-1);
    thread_local std::string cachedText;
    const time_t now = time(nullptr);
    if (now != cachedSecond) {
        cachedText = FormatNow(TimeLocale().timeFormat, now);
        cachedSecond = now;
    }
    return cachedText;
}

std::string ShortDateText() {
    return FormatNow(TimeLocale().dateFormat, time(nullptr));
}

void SleepMs(unsigned ms) {
    struct timespec request {};
    request.tv_sec = static_cast<time_t>(ms / 1000);
    request.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&request, &request) != 0 && errno == EINTR) {
    }
}

void HideApplicationWindow() {}
void MinimizeApplication() {}

}  // namespace platform
