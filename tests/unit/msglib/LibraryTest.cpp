// The library as a host sees it: exactly nine exported names and its SONAME in the built file, and
// the lifetime of returned text per thread and per group of exports.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <barrier>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PELMORAERRI.h"

namespace {

std::string RunCommand(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    std::array<char, 512> buffer;
    while (fgets(buffer.data(), buffer.size(), pipe) != nullptr) {
        output += buffer.data();
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    return output;
}

TEST(Library, ExportsExactlyTheNineFunctions) {
    std::string table =
        RunCommand(std::string("nm -D --defined-only '") + PELMORAERRI_LIBRARY_FILE + "'");
    std::set<std::string> exported;
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address, type, name;
        fields >> address >> type >> name;
        if (name.empty()) {  // an undefined-address line holds only type and name
            name = type;
        }
        exported.insert(name.substr(0, name.find('@')));
    }
    const std::set<std::string> expected = {
        "GetErrorMessageinformationRTX",        "GetEglishErrorMessageinformationRTX",
        "GetChineseErrorMessageinformationRTX", "GetStatuInfomationStrRT",
        "GetPktFAxStatuInfomationStrRT",        "GetPktFBxStatuInfomationStrRT",
        "GetPktFCxStatuInfomationStrRT",        "GetPktFDxStatuInfomationStrRT",
        "GetPktFExStatuInfomationStrRT",
    };
    EXPECT_EQ(exported, expected) << table;
}

TEST(Library, HasVersionedSoname) {
    std::string dynamic = RunCommand(std::string("readelf -d '") + PELMORAERRI_LIBRARY_FILE + "'");
    EXPECT_NE(dynamic.find("Library soname: [libPELMORAERRI.so.1]"), std::string::npos) << dynamic;
}

const unsigned char kPowerOn[8] = {0xFD, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF9};
const unsigned char kErasing[8] = {0xFD, 0x30, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD3};

TEST(Library, ErrorAndStatusTextsLiveIndependently) {
    const char* error = GetEglishErrorMessageinformationRTX(0x1107);
    const char* status = GetStatuInfomationStrRT(kPowerOn);
    GetPktFDxStatuInfomationStrRT(kErasing);
    GetPktFCxStatuInfomationStrRT(kErasing);
    EXPECT_STREQ(error, "BLKC: Chip no Response!");  // status calls leave it alone

    status = GetPktFDxStatuInfomationStrRT(kErasing);
    GetChineseErrorMessageinformationRTX(0x4010);
    GetErrorMessageinformationRTX(0x4050, 0);
    EXPECT_STREQ(status, "Do Chip Erasing....");  // error calls leave it alone

    error = GetErrorMessageinformationRTX(0x0000, 4);
    EXPECT_STREQ(error, "Success!");  // the next error call replaces the text
}

// Threads take turns at a barrier so that each one's call falls between another's call and
// its reading of the returned text.
TEST(Library, EachThreadKeepsItsOwnText) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    const unsigned int codes[kThreads] = {0x1107, 0x4010, 0x8123, 0x0250};
    const char* englishTexts[kThreads] = {"BLKC: Chip no Response!", "Error: Open COM port error!",
                                          "Error: Chip Return Error Code=0x0123.",
                                          "Else: Opertaion Failed! Error Code = 0592/0x250."};
    const unsigned char* packets[kThreads] = {kPowerOn, kErasing, kPowerOn, kErasing};
    const char* statusTexts[kThreads] = {"Power On Self Data Checking......", "Do Chip Erasing....",
                                         "Power On Self Data Checking......",
                                         "Do Chip Erasing...."};
    std::barrier sync(kThreads);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const char* error = GetEglishErrorMessageinformationRTX(codes[t]);
                const char* status = GetPktFDxStatuInfomationStrRT(packets[t]);
                sync.arrive_and_wait();  // every thread has called
                if (std::string(error) != englishTexts[t])
                    ++mismatches;
                if (std::string(status) != statusTexts[t])
                    ++mismatches;
                sync.arrive_and_wait();  // every thread has read its text
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(Library, NewThreadStartsWithUsableTexts) {
    std::string error, status;
    std::thread([&] {
        error = GetChineseErrorMessageinformationRTX(0x0000);
        status = GetPktFExStatuInfomationStrRT(kPowerOn);
    }).join();
    EXPECT_EQ(error, "Success!");
    EXPECT_EQ(status, "");
}

}  // namespace
