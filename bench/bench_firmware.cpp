// Decoding and reading the compiled-in firmware module, as every update starts: image reset,
// module lines assigned, every line decoded and parsed into the image.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "firmware_image.h"
#include "firmware_module.h"
#include "hex_reader.h"

namespace {

class NoBoxes final : public mirovane::MessageBoxes {
  public:
    void ErrorBox(const std::string& message) override {
        std::fprintf(stderr, "bench_firmware: %s\n", message.c_str());
        std::abort();
    }
};

void ReadModule(benchmark::State& state) {
    mirovane::FirmwareImage image;
    NoBoxes boxes;
    for (auto _ : state) {
        image.ResetImage();
        mirovane::FWFileInit();
        benchmark::DoNotOptimize(mirovane::ReadFWFile(image, mirovane::FWFile, boxes));
        benchmark::ClobberMemory();
    }
    state.counters["lines"] = static_cast<double>(mirovane::FWFile.size());
    state.counters["high"] = image.FWHighAddr;
}
BENCHMARK(ReadModule)->Unit(benchmark::kMicrosecond);

// The decoding and parsing alone, on lines already assigned.
void ReadAssignedLines(benchmark::State& state) {
    mirovane::FirmwareImage image;
    NoBoxes boxes;
    mirovane::FWFileInit();
    for (auto _ : state) {
        image.ResetImage();
        benchmark::DoNotOptimize(mirovane::ReadFWFile(image, mirovane::FWFile, boxes));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(ReadAssignedLines)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
