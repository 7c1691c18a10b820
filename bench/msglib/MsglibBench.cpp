// Nanoseconds per call of the library's exports as a host calls them: error texts over all 65536
// codes in both languages, and the 0xFD decoder over a mix of packets that reaches its branches.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

#include "PELMORAERRI.h"
#include "StatusPacket.h"

namespace {

void EnglishErrorAllCodes(benchmark::State& state) {
    unsigned int code = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetEglishErrorMessageinformationRTX(code));
        code = (code + 1) & 0xFFFF;
    }
}
BENCHMARK(EnglishErrorAllCodes);

void ChineseErrorAllCodes(benchmark::State& state) {
    unsigned int code = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetChineseErrorMessageinformationRTX(code));
        code = (code + 1) & 0xFFFF;
    }
}
BENCHMARK(ChineseErrorAllCodes);

void SelectedLanguageErrorAllCodes(benchmark::State& state) {
    unsigned int code = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetErrorMessageinformationRTX(code, code & 4));
        code = (code + 1) & 0xFFFF;
    }
}
BENCHMARK(SelectedLanguageErrorAllCodes);

using Packet = std::array<uint8_t, 8>;

// Every operation code with a few parameters and values, plus packets with a wrong check byte.
std::vector<Packet> PacketMix() {
    std::vector<Packet> packets;
    const uint8_t params[] = {0, 1, 2, 3, 6, 0x0F, 0x45, 0x53, 0xA0};
    for (int opCode = 0; opCode < 256; ++opCode) {
        for (uint8_t param : params) {
            packets.push_back(MakeStatusPacket(static_cast<uint8_t>(opCode), param,
                                               static_cast<uint16_t>(opCode * 257), 0x4F43));
        }
    }
    Packet broken = MakeStatusPacket(0xF0, 6, 0x1234, 0x5678);
    broken[7] ^= 1;
    packets.push_back(broken);
    return packets;
}

void PktFDMix(benchmark::State& state) {
    const std::vector<Packet> packets = PacketMix();
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetPktFDxStatuInfomationStrRT(packets[next].data()));
        next = next + 1 == packets.size() ? 0 : next + 1;
    }
}
BENCHMARK(PktFDMix);

void StatusDispatchMix(benchmark::State& state) {
    const std::vector<Packet> packets = PacketMix();
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetStatuInfomationStrRT(packets[next].data()));
        next = next + 1 == packets.size() ? 0 : next + 1;
    }
}
BENCHMARK(StatusDispatchMix);

}  // namespace

BENCHMARK_MAIN();
