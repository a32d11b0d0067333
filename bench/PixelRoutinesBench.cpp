// Throughput of the host's pixel routines on one 4096 x 4096 plane, called
// through the table as the module calls them, against memcpy of the same bytes.
#include "pictra/PixelRoutines.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int32_t kSide = 4096;

// A plane with its one-pixel halo and a destination plane, the source filled
// with noise (the routines are branch-free, so content does not steer timing).
struct Planes {
    explicit Planes(int32_t bytesPerSample)
        : bytesPerSample(bytesPerSample),
          sourceRowBytes((kSide + 2) * bytesPerSample),
          destinationRowBytes(kSide * bytesPerSample),
          source(size_t(kSide + 2) * sourceRowBytes),
          destination(size_t(kSide) * destinationRowBytes)
    {
        std::mt19937 random(1);
        for (uint8_t& byte : source)
            byte = uint8_t(random());
    }

    const uint8_t* sourceOrigin() const { return source.data() + sourceRowBytes + bytesPerSample; }

    int32_t bytesPerSample, sourceRowBytes, destinationRowBytes;
    std::vector<uint8_t> source, destination;
};

void ReportPlane(benchmark::State& state, int32_t bytesPerSample)
{
    const int64_t pixels = int64_t(kSide) * kSide;
    state.SetItemsProcessed(state.iterations() * pixels);
    state.SetBytesProcessed(state.iterations() * pixels * bytesPerSample);
}

void BM_Memcpy(benchmark::State& state)
{
    const auto bytesPerSample = int32_t(state.range(0));
    Planes planes(bytesPerSample);
    for (auto _ : state) {
        std::memcpy(planes.destination.data(), planes.source.data(), planes.destination.size());
        benchmark::ClobberMemory();
    }
    ReportPlane(state, bytesPerSample);
}
BENCHMARK(BM_Memcpy)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_InvertBytes(benchmark::State& state)
{
    Planes planes(1);
    for (auto _ : state) {
        pictra::PixelRoutineTable().InvertBytes(kSide, kSide, planes.destination.data(), planes.destinationRowBytes);
        benchmark::ClobberMemory();
    }
    ReportPlane(state, 1);
}
BENCHMARK(BM_InvertBytes)->Unit(benchmark::kMillisecond);

using BlurRoutine = void (*)(int32_t, int32_t, const uint8_t*, uint8_t*, int32_t, int32_t);
using SharpenRoutine = void (*)(int32_t, int32_t, const uint8_t*, uint8_t*, int32_t, int32_t, int32_t);

void BM_Blur(benchmark::State& state, BlurRoutine routine)
{
    Planes planes(1);
    for (auto _ : state) {
        routine(kSide, kSide, planes.sourceOrigin(), planes.destination.data(), planes.sourceRowBytes,
                planes.destinationRowBytes);
        benchmark::ClobberMemory();
    }
    ReportPlane(state, 1);
}
BENCHMARK_CAPTURE(BM_Blur, Blur3x3_8bit, pictra::PixelRoutineTable().Blur3x3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Blur, BlurMore3x3_8bit, pictra::PixelRoutineTable().BlurMore3x3)->Unit(benchmark::kMillisecond);

void BM_Sharpen(benchmark::State& state, SharpenRoutine routine)
{
    const auto bitsPerSample = int32_t(state.range(0));
    Planes planes(bitsPerSample / 8);
    for (auto _ : state) {
        routine(kSide, kSide, planes.sourceOrigin(), planes.destination.data(), planes.sourceRowBytes,
                planes.destinationRowBytes, bitsPerSample);
        benchmark::ClobberMemory();
    }
    ReportPlane(state, bitsPerSample / 8);
}
BENCHMARK_CAPTURE(BM_Sharpen, Sharpen3x3, pictra::PixelRoutineTable().Sharpen3x3)
    ->ArgName("bits")
    ->Arg(8)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Sharpen, SharpenMore3x3, pictra::PixelRoutineTable().SharpenMore3x3)
    ->ArgName("bits")
    ->Arg(8)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Sharpen, SharpenEdges3x3, pictra::PixelRoutineTable().SharpenEdges3x3)
    ->ArgName("bits")
    ->Arg(8)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond);

}  // namespace
