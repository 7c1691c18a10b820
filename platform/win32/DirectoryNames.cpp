// The names in a directory, read with FindFirstFileExW (names only, large fetches): a station's
// LogFileS holds every log ever written.

#include <windows.h>

#include <string>

#include "StationServices.h"
#include "WideText.h"

namespace platform {

bool ForEachDirectoryName(const std::string& directory,
                          const std::function<void(std::string_view name)>& take) {
    std::string pattern = directory;
    if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/')
        pattern += '\\';
    pattern += '*';
    const std::wstring wide = win32::WideFromUtf8(pattern);
    if (wide.empty())
        return false;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileExW(wide.c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    char name[MAX_PATH * 3 + 1];
    do {
        const wchar_t* w = found.cFileName;
        if ((w[0] == L'.' && w[1] == 0) || (w[0] == L'.' && w[1] == L'.' && w[2] == 0))
            continue;
        const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, name, sizeof name, nullptr, nullptr);
        if (n > 1)
            take(std::string_view(name, static_cast<std::size_t>(n - 1)));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

}  // namespace platform
