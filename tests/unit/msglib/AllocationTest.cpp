// Once a thread's result texts have grown to their working size, no export allocates. The test
// executable replaces the global allocation functions, which the library's calls also reach.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "PELMORAERRI.h"

namespace {
thread_local bool countingAllocations = false;
thread_local long allocationCount = 0;
}  // namespace

void* operator new(std::size_t size) {
    if (countingAllocations)
        ++allocationCount;
    if (void* memory = std::malloc(size == 0 ? 1 : size))
        return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace {

TEST(Allocation, NoExportAllocatesOnceTextsHaveGrown) {
    // The longest status text: a list of 255 bytes.
    std::vector<unsigned char> longList = {0xFB, 0xA5, 255};
    longList.resize(3 + 255, 0x5A);
    const unsigned char result[8] = {0xFD, 0xF0, 0x06, 0x34, 0x12, 0x78, 0x56, 0xF9};
    const unsigned char unlock[2] = {0xFA, 0x07};

    auto callAll = [&](unsigned int code) {
        GetEglishErrorMessageinformationRTX(code);
        GetChineseErrorMessageinformationRTX(code);
        GetErrorMessageinformationRTX(code, 4);
        GetStatuInfomationStrRT(longList.data());
        GetPktFBxStatuInfomationStrRT(longList.data());
        GetStatuInfomationStrRT(result);
        GetPktFDxStatuInfomationStrRT(result);
        GetPktFAxStatuInfomationStrRT(unlock);
        GetPktFCxStatuInfomationStrRT(result);
        GetPktFExStatuInfomationStrRT(result);
    };
    callAll(0x4011);
    callAll(0x4011);

    countingAllocations = true;
    for (unsigned int code = 0; code <= 0xFFFF; code += 7) {
        callAll(code);
    }
    countingAllocations = false;
    EXPECT_EQ(allocationCount, 0);
}

}  // namespace
