#include "Cp936.h"

#include <errno.h>
#include <iconv.h>

#include <stdexcept>

std::string Cp936ToUtf8(std::string_view cp936) {
    iconv_t converter = iconv_open("UTF-8", "CP936");
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        throw std::runtime_error("iconv has no CP936 converter");
    }
    std::string input(cp936);
    std::string output(input.size() * 3 + 4, '\0');
    char* in = input.data();
    size_t inLeft = input.size();
    char* out = output.data();
    size_t outLeft = output.size();
    size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
    iconv_close(converter);
    if (result == static_cast<size_t>(-1)) {
        throw std::runtime_error("bytes are not valid code page 936");
    }
    output.resize(output.size() - outLeft);
    return output;
}
