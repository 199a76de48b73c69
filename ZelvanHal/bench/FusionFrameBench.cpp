// The simulated fusion camera's frames: the cost of drawing one 3840 x 2160 NV12 frame of the moving
// scene into a buffer of a small rotating set (as the frame endpoint's pool hands them out), which
// redraws only where the bars were and are; and, for comparison, a fresh buffer drawn in full.
#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "src/sim/FusionBoard.h"

namespace {

using zelvan::sim::FrameRenderer;

void BM_FusionFrameRender(benchmark::State& state) {
    const bool fresh = state.range(0) != 0;
    FrameRenderer renderer(3840, 2160, 1280, 720, {3.0, 12.0}, {3.0, 6.0}, true, 0);
    std::array<std::vector<uint8_t>, 3> buffers;
    uint64_t t = 0;
    size_t i = 0;
    for (auto _ : state) {
        t += 100'000;
        if (fresh) {
            std::vector<uint8_t> frame;
            renderer.render(t, frame);
            benchmark::DoNotOptimize(frame.data());
        } else {
            renderer.render(t, buffers[i++ % buffers.size()]);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_FusionFrameRender)->ArgName("fresh")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
