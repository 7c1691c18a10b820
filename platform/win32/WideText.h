// Text between the 8-bit strings of the platform contract and the wide-character system calls on
// Win32, shared by the Win32 files.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace platform::win32 {

// text of the code page as wide text; empty when it is no text of that code page (with
// MB_ERR_INVALID_CHARS in flags) or empty.
std::wstring WideFromCodePage(std::string_view text, UINT codePage, DWORD flags);

// UTF-8 as wide text; empty when text is not UTF-8.
inline std::wstring WideFromUtf8(std::string_view text) {
    return WideFromCodePage(text, CP_UTF8, MB_ERR_INVALID_CHARS);
}

// The code page the narrow file calls take paths in.
inline UINT FileCodePage() {
    return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

std::string Utf8FromWide(std::wstring_view text);

// The system's text for an error as one UTF-8 line without the closing full stop.
std::string SystemErrorText(DWORD error);

}  // namespace platform::win32
