// Feeds arbitrary bytes to the nine exports. The first four bytes double as an error code and a
// language selector; the whole input is also a packet, handed to each decoder only when it holds
// the bytes that decoder reads, in a heap buffer of exactly the input's length so that any read
// beyond the caller's bytes is caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "PELMORAERRI.h"

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

const char* Checked(const char* text) {
    Require(text != nullptr);
    return text;
}

void FuzzErrorTexts(const uint8_t* data, size_t size) {
    if (size < 4)
        return;
    unsigned int code = data[0] | (data[1] << 8) | (data[2] << 16) | (data[3] << 24);
    unsigned int selector = data[3] | (data[2] << 8) | (data[1] << 16) | (data[0] << 24);
    std::string englishText = Checked(GetEglishErrorMessageinformationRTX(code));
    std::string chineseText = Checked(GetChineseErrorMessageinformationRTX(code));
    Require(!englishText.empty() && !chineseText.empty());
    std::string selected = Checked(GetErrorMessageinformationRTX(code, selector));
    Require(selected == ((selector & 0xFFFF) == 4 ? chineseText : englishText));
    // Only the low 16 bits of the code count.
    Require(englishText == Checked(GetEglishErrorMessageinformationRTX(code & 0xFFFF)));
}

void FuzzStatusTexts(const uint8_t* data, size_t size) {
    if (size == 0)
        return;
    std::vector<unsigned char> packet(data, data + size);
    const unsigned char* p = packet.data();

    bool holdsFA = size >= 2;
    bool holdsFB = size >= 3 && size >= 3u + p[2];
    bool holdsFD = size >= 8;

    if (holdsFA)
        Checked(GetPktFAxStatuInfomationStrRT(p));
    if (holdsFB)
        Checked(GetPktFBxStatuInfomationStrRT(p));
    if (holdsFD) {
        std::string text = Checked(GetPktFDxStatuInfomationStrRT(p));
        uint8_t sum = 0;
        for (size_t i = 0; i < 8; ++i) sum = static_cast<uint8_t>(sum + p[i]);
        Require(sum == 0 || text.empty());
    }
    Require(*Checked(GetPktFCxStatuInfomationStrRT(p)) == '\0');
    Require(*Checked(GetPktFExStatuInfomationStrRT(p)) == '\0');

    bool holdsOwnType = p[0] == 0xFA   ? holdsFA
                        : p[0] == 0xFB ? holdsFB
                        : p[0] == 0xFD ? holdsFD
                                       : true;
    if (holdsOwnType) {
        std::string text = Checked(GetStatuInfomationStrRT(p));
        if (p[0] == 0xFC || p[0] == 0xFE)
            Require(text.empty());
        if (p[0] < 0xFA || p[0] > 0xFE)
            Require(text == "Unkow Information!");
    }
    Require(*Checked(GetStatuInfomationStrRT(nullptr)) == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzErrorTexts(data, size);
    FuzzStatusTexts(data, size);
    return 0;
}
