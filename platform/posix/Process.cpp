// Process and user-locale services on POSIX: arguments, the program's own directory, sleeping,
// and the user's time and date formats (LC_TIME).

#include <langinfo.h>
#include <locale.h>
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
std::string gProgramPath;

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
            const char* value = std::getenv(variable);
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

}  // namespace

void SetCommandLine(int argc, const char* const* argv) {
    gArguments.clear();
    gProgramPath.clear();
    if (argv == nullptr || argc <= 0)
        return;
    if (argv[0] != nullptr)
        gProgramPath = argv[0];
    for (int i = 1; i < argc; ++i) gArguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
}

std::vector<std::string> CommandLineArguments() {
    return gArguments;
}

std::string ExeDirectory() {
    std::string path;
    std::vector<char> buffer(4096);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n > 0 && static_cast<std::size_t>(n) < buffer.size()) {
        path.assign(buffer.data(), static_cast<std::size_t>(n));
    } else {
        path = gProgramPath;  // no /proc: the path the program was started by
    }
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
