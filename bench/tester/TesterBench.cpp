// Throughput of the tester's receive path, framing and run-log saving.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "CommPort.h"
#include "DefZqCmdLX.h"
#include "GenComSX.h"
#include "MainZqCmdL.h"
#include "Platform.h"
#include "RunLog.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class IdlePort : public CommPort {
  public:
    const std::string& CommName() const override { return name_; }
    void SetCommName(const std::string& n) override { name_ = n; }
    void OpenPort() override {}
    void ClosePort() override {}
    bool SendData(const std::uint8_t*, std::uint16_t) override { return false; }
    std::uintptr_t PortHandle() const override { return 0; }

  private:
    std::string name_ = "COM2";
};

Bytes StatusFrame(std::uint8_t opCode, std::uint8_t param) {
    Bytes p{0xFD, opCode, param, 0x34, 0x12, 0x78, 0x56, 0};
    std::uint8_t sum = 0;
    for (int i = 0; i < 7; ++i) sum = static_cast<std::uint8_t>(sum + p[i]);
    p[7] = static_cast<std::uint8_t>(0x100 - sum);
    Bytes frame(2 * p.size() + 7);
    frame.resize(SlipEncode(p.data(), frame.data(), static_cast<std::uint16_t>(p.size())));
    return frame;  // with the sender's fill, as noise between frames
}

Bytes RandomBytes(std::size_t n) {
    std::mt19937 rng(42);
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
}

// Block-programming status packets, as a programmer reports them, through the receive event with
// the real time stamps: each packet writes one log line.
void BM_StatusPacketsThroughReceive(benchmark::State& state) {
    TFormMain form(std::make_unique<IdlePort>());
    FormMain = &form;
    const int perChunk = static_cast<int>(state.range(0));
    Bytes chunk;
    for (int i = 0; i < perChunk; ++i) {
        const Bytes f = StatusFrame(0x4F, static_cast<std::uint8_t>(i));
        chunk.insert(chunk.end(), f.begin(), f.end());
    }
    for (auto _ : state) {
        form.CommCXReceiveData(&form, chunk.data(), static_cast<std::uint16_t>(chunk.size()));
        if (form.InfoMemo.Size() > 200000)
            form.InfoMemo.Clear();  // part of the cost, kept
    }
    state.SetItemsProcessed(state.iterations() * perChunk);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(chunk.size()));
    FormMain = nullptr;
}
BENCHMARK(BM_StatusPacketsThroughReceive)->Arg(1)->Arg(16)->Arg(120);

// The same packets one byte per chunk: the worst cutting a serial driver can do.
void BM_StatusPacketsByteByByte(benchmark::State& state) {
    TFormMain form(std::make_unique<IdlePort>());
    FormMain = &form;
    const Bytes frame = StatusFrame(0x4F, 7);
    for (auto _ : state) {
        for (std::uint8_t b : frame) form.CommCXReceiveData(&form, &b, 1);
        if (form.InfoMemo.Size() > 200000)
            form.InfoMemo.Clear();
    }
    state.SetItemsProcessed(state.iterations());
    FormMain = nullptr;
}
BENCHMARK(BM_StatusPacketsByteByByte);

// Lines added past the run log's bound, each one leaving the oldest of the tail out: the cost
// per line must stay flat however many lines came before (range: lines added before timing).
void BM_RunLogPastBound(benchmark::State& state) {
    RunLog log(1024 * 1024);
    const std::string line = "> 14:05:09 Do Main Flash Block 17 Programming ......";
    for (std::int64_t i = 0; i < state.range(0); ++i) log.Add(line, RunLog::Role::Progress);
    for (auto _ : state) log.Add(line, RunLog::Role::Progress);
    benchmark::DoNotOptimize(log.Lines().size());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RunLogPastBound)->Arg(100000)->Arg(1000000);

void BM_PacketCrc16(benchmark::State& state) {
    const Bytes data = RandomBytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            PacketCrc16(data.data(), 0, static_cast<std::uint32_t>(data.size() - 1)));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PacketCrc16)->Arg(10)->Arg(8191);

void BM_SlipEncode(benchmark::State& state) {
    const Bytes data = RandomBytes(static_cast<std::size_t>(state.range(0)));
    Bytes target(2 * data.size() + 7);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            SlipEncode(data.data(), target.data(), static_cast<std::uint16_t>(data.size())));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SlipEncode)->Arg(10)->Arg(4000);

void BM_SlipDecode(benchmark::State& state) {
    const Bytes data = RandomBytes(static_cast<std::size_t>(state.range(0)));
    Bytes frame(2 * data.size() + 7);
    frame.resize(SlipEncode(data.data(), frame.data(), static_cast<std::uint16_t>(data.size())));
    Bytes buffer(frame.size());
    Bytes packet(PacketRoom);
    for (auto _ : state) {
        std::copy(frame.begin(), frame.end(), buffer.begin());  // decoding consumes the buffer
        std::uint16_t count = static_cast<std::uint16_t>(frame.size());
        std::uint16_t length = 0;
        benchmark::DoNotOptimize(SlipDecode(buffer.data(), packet.data(), length, count));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(frame.size()));
}
BENCHMARK(BM_SlipDecode)->Arg(10)->Arg(4000);

// Saving the run log: time must grow linearly with the number of lines.
void BM_SaveRunLog(benchmark::State& state) {
    std::string dir = "/tmp/zq_bench_XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        state.SkipWithError("no temporary directory");
        return;
    }
    const std::string path = dir + "/RptZq_COM3.Txt";
    std::vector<std::string> lines;
    for (std::int64_t i = 0; i < state.range(0); ++i) {
        lines.push_back("> 14:05:09 Do Main Flash Block " + std::to_string(i % 4096 + 1) +
                        " Programming ......");
    }
    std::int64_t bytes = 0;
    for (const auto& l : lines) bytes += static_cast<std::int64_t>(l.size()) + 2;
    for (auto _ : state) {
        if (platform::WriteLines(path, lines) != platform::WriteOutcome::Written) {
            state.SkipWithError("write failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    state.SetComplexityN(state.range(0));
    unlink(path.c_str());
    rmdir(dir.c_str());
}
BENCHMARK(BM_SaveRunLog)
    ->RangeMultiplier(4)
    ->Range(1 << 10, 1 << 18)
    ->Arg(100000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
