// What zq-programmer-sim is asked to do: its options, the usage text, and the parsing of its
// command line, which turns down a bad command line before any line is made.
#pragma once

#include <cstdint>
#include <string>

#include "SimulatorWire.h"

namespace sim {

// The byte rate of the programmer's line, 1,000,000 baud 8N2: 11 bits a byte.
constexpr double kLineBytesPerSecond = 1000000.0 / 11;

struct Options {
    std::string device;
    unsigned baud = 1000000;
    double paceBytesPerSecond = 0;  // 0: bytes are written as fast as the line takes them
    std::string linkDir;
    unsigned com = 0;
    std::string record;
    long exitAfter = -1;
    std::uint8_t status = 0x06;
    int retryStatus = -1;
    std::uint8_t completion = 0xF0;
    std::string answerAs;
    bool errorCommand = false;
    bool silent = false;
    unsigned blocks = 4;
    unsigned long progress = 0;
    std::string info = "plain";
    bool haveId = false;
    Bytes id;
    bool haveReturnData = false;
    std::uint8_t returnDataId = 0;
    Bytes returnData;
    bool badReturnCheck = false;
    unsigned delayMs = 0;
    unsigned split = 0;
    unsigned splitGapMs = 20;
    bool merge = false;
    bool fill = false;
    bool noise = false;
    bool badEscape = false;
    bool badCheck = false;
    bool unknownTypes = false;
    bool shortFrames = false;
    long vanishAfter = -1;
    unsigned idleFillMs = 0;
};

// Fills in the options; false after a refused command line (its reason is on standard error).
// --help and --version print their text and exit at once, as does an option that needs a value
// and has none (status 2).
bool ParseOptions(int argc, char** argv, Options& o);

}  // namespace sim
