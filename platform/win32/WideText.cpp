#include "WideText.h"

namespace platform::win32 {

std::wstring WideFromCodePage(std::string_view text, UINT codePage, DWORD flags) {
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(codePage, flags, text.data(), size, wide.data(), n);
    return wide;
}

std::string Utf8FromWide(std::wstring_view text) {
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return {};
    std::string narrow(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), n, nullptr, nullptr);
    return narrow;
}

std::string SystemErrorText(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string line;
    if (n > 0 && text != nullptr)
        line = Utf8FromWide(std::wstring_view(text, n));
    LocalFree(text);
    // One line: the system's texts end in CR LF and some hold more than one sentence line.
    for (char& c : line)
        if (c == '\r' || c == '\n')
            c = ' ';
    while (!line.empty() && (line.back() == ' ' || line.back() == '.')) line.pop_back();
    if (line.empty())
        line = "error " + std::to_string(error);
    return line;
}

}  // namespace platform::win32
