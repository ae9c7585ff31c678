// Throughput of the per-block work on the send path: packing, CRC, and the
// assembly of a whole 4096-byte WriteBlockRequest in the SendBuffer.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "engine/codec.h"
#include "engine/commands.h"

namespace {

using namespace q4m::engine;

std::vector<std::uint8_t> block(std::size_t n) {
    std::vector<std::uint8_t> data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i * 131 + 7);
    return data;
}

void BM_PackBlock(benchmark::State& state) {
    const auto data = block(4096);
    std::vector<std::uint8_t> out(packedLength(4096));
    for (auto _ : state) benchmark::DoNotOptimize(packBytes(out.data(), data.data(), 4096));
    state.SetBytesProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_PackBlock);

void BM_UnpackBlock(benchmark::State& state) {
    const auto data = block(4096);
    std::vector<std::uint8_t> packed(packedLength(4096));
    packBytes(packed.data(), data.data(), 4096);
    std::vector<std::uint8_t> out(4096);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            unpackBytes(out.data(), packed.data(), static_cast<std::int32_t>(packed.size())));
    state.SetBytesProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_UnpackBlock);

void BM_DataCrc(benchmark::State& state) {
    const auto data = block(4096);
    for (auto _ : state) benchmark::DoNotOptimize(dataCrc(data.data(), 4096));
    state.SetBytesProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_DataCrc);

// A sender that takes the message and does nothing, so only assembly is measured.
class NullSender : public SysexSender {
public:
    int sendSysex(const std::uint8_t*, std::uint32_t length) override {
        benchmark::DoNotOptimize(length);
        return 0;
    }
};

void BM_AssembleWriteBlock(benchmark::State& state) {
    const auto data = block(4096);
    NullSender sender;
    CommandSet commands(sender);
    for (auto _ : state) commands.sendWriteBlock(0x3C, data.data(), 0x40000, 4096);
    state.SetBytesProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_AssembleWriteBlock);

}  // namespace
