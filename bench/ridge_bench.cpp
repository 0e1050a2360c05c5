// The render's cost against the floor: copying an image of the same size.
#include "ridge.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>

#include "image.hpp"

namespace {

ImageBuffer image;
ImageBuffer source;

void BM_render_ridge(benchmark::State& state)
{
    for (auto _ : state) {
        render_ridge(image);
        benchmark::DoNotOptimize(image.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(IMAGE_BYTES));
}
BENCHMARK(BM_render_ridge);

void BM_copy_image(benchmark::State& state)
{
    source.fill(1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(source.data());
        std::memcpy(image.data(), source.data(), IMAGE_BYTES);
        benchmark::DoNotOptimize(image.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(IMAGE_BYTES));
}
BENCHMARK(BM_copy_image);

}  // namespace

BENCHMARK_MAIN();
