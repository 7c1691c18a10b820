// Converts code page 936 bytes to UTF-8 with glibc's iconv, independently of the library's own
// tables, so a test can compare the library's Chinese output with characters written in UTF-8.
#pragma once

#include <string>
#include <string_view>

std::string Cp936ToUtf8(std::string_view cp936);
