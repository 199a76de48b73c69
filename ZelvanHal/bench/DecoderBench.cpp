// Decoder throughput: the EVT 3.0 decoder (spans to a callback, and into caller-owned arrays) against a
// plain switch-per-word decoder, on the real recordings of the test data folder and on synthetic dense
// and sparse streams. At the end a table gives the speed-ups against the switch decoder measured in
// this run. `--loop=plain|avx2|avx512` caps the fast decoder's loop (default: the widest this processor
// runs), so that one machine can measure each.
//
// A shared machine's speed drifts by tens of percent within a minute, so by default every benchmark runs
// five times in a random order among the others, and the table takes the medians: the fast and the switch
// decoder then see the same machine. Google Benchmark's own flags given on the command line win.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "testing/ReferenceEvt3Decoder.h"
#include "zelvan/EVT3Decoder.h"
#include "zelvan/RawFileHeader.h"

namespace {

using zelvan::Event2D;
using zelvan::EventTriggerIn;

struct Stream {
    std::vector<uint8_t> bytes;
    bool has_time_base = false;
    uint64_t time_base = 0;
};

void putWord(std::vector<uint8_t>& v, uint32_t w) {
    v.push_back(uint8_t(w & 0xFF));
    v.push_back(uint8_t(w >> 8));
}

// Rows of full vector groups (VECT_BASE_X + VECT_12 + VECT_12 + VECT_8), as a busy sensor writes them;
// masks have three of four pixels set on average.
Stream denseStream() {
    Stream s;
    std::mt19937_64 rng(7);
    uint32_t th = 0;
    for (int slice = 0; s.bytes.size() < (8u << 20); ++slice) {
        putWord(s.bytes, 0x8000 | (th++ & 0xFFF));
        putWord(s.bytes, 0x6000 | uint32_t(rng() & 0xFFF));
        for (int row = 0; row < 64; ++row) {
            putWord(s.bytes, uint32_t(rng() % 720));
            const uint32_t pol = uint32_t(rng() & 1) << 11;
            for (int g = 0; g < 4; ++g) {
                const uint32_t mask = uint32_t(rng() | rng());
                putWord(s.bytes, 0x3000 | pol | uint32_t(rng() % 40) * 32);
                putWord(s.bytes, 0x4000 | (mask & 0xFFF));
                putWord(s.bytes, 0x4000 | ((mask >> 12) & 0xFFF));
                putWord(s.bytes, 0x5000 | ((mask >> 24) & 0xFF));
            }
        }
    }
    return s;
}

// Single ADDR_X events on changing rows with a TIME_LOW between most of them: a quiet scene.
Stream sparseStream() {
    Stream s;
    std::mt19937_64 rng(11);
    uint32_t th = 0, tl = 0;
    putWord(s.bytes, 0x8000);
    while (s.bytes.size() < (8u << 20)) {
        const uint64_t r = rng();
        tl += uint32_t(r % 3);
        if (tl > 0xFFF) {
            tl = 0;
            putWord(s.bytes, 0x8000 | (++th & 0xFFF));
        }
        if ((r >> 8) % 4 != 0) putWord(s.bytes, 0x6000 | tl);
        if ((r >> 12) % 3 != 0) putWord(s.bytes, uint32_t((r >> 16) % 720));
        putWord(s.bytes, 0x2000 | uint32_t((r >> 32) & 0x800) | uint32_t((r >> 40) % 1280));
    }
    return s;
}

bool loadRecording(const std::filesystem::path& path, Stream& s) {
    zelvan::RawFileHeader header;
    std::string error;
    std::ifstream in(path, std::ios::binary);
    if (!in || !zelvan::readRawFileHeader(in, header, error)) return false;
    in.seekg(std::streamoff(header.payload_offset));
    s.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    s.has_time_base = header.has_dvs_start_timestamp;
    s.time_base = header.info.dvs_start_timestamp;
    return !s.bytes.empty();
}

// The widest loop the fast decoder may use (--loop).
zelvan::EVT3Decoder::Instructions g_loop = zelvan::EVT3Decoder::Instructions::Best;

void runFast(benchmark::State& state, const Stream* s) {
    zelvan::EVT3Decoder decoder(1280, 720, g_loop);
    uint64_t events = 0;
    decoder.setEventsStreamHandleCallback([&](Event2D* b, Event2D* e) { events += uint64_t(e - b); });
    decoder.setTriggerInCallback([&](EventTriggerIn) {});
    for (auto _ : state) {
        decoder.resetTimeBase();
        if (s->has_time_base) decoder.setTimeBase(s->time_base);
        decoder.decode(s->bytes.data(), s->bytes.data() + s->bytes.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s->bytes.size()));
    state.SetItemsProcessed(int64_t(events));
    state.counters["Mev/s"] = benchmark::Counter(double(events) / 1e6, benchmark::Counter::kIsRate);
}

// decodeInto with arrays of 64 Ki entries, refilled until the stream is used up.
void runArrays(benchmark::State& state, const Stream* s) {
    constexpr size_t kCapacity = 65536;
    std::vector<uint16_t> x(kCapacity), y(kCapacity);
    std::vector<uint8_t> p(kCapacity);
    std::vector<uint64_t> t(kCapacity);
    const zelvan::EVT3Decoder::EventArrays arrays{x.data(), y.data(), p.data(), t.data(), kCapacity};
    zelvan::EVT3Decoder decoder(1280, 720, g_loop);
    uint64_t events = 0;
    decoder.setTriggerInCallback([&](EventTriggerIn) {});
    for (auto _ : state) {
        decoder.resetTimeBase();
        if (s->has_time_base) decoder.setTimeBase(s->time_base);
        const uint8_t* pos = s->bytes.data();
        const uint8_t* const end = pos + s->bytes.size();
        while (pos < end) {
            const auto r = decoder.decodeInto(pos, end, arrays);
            events += r.events;
            pos += r.bytes;
            benchmark::DoNotOptimize(t[0]);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s->bytes.size()));
    state.SetItemsProcessed(int64_t(events));
    state.counters["Mev/s"] = benchmark::Counter(double(events) / 1e6, benchmark::Counter::kIsRate);
}

void runSwitch(benchmark::State& state, const Stream* s) {
    uint64_t events = 0;
    for (auto _ : state) {
        zelvan::testing::ReferenceEvt3Decoder decoder;
        decoder.on_events = [&](Event2D* b, Event2D* e) { events += uint64_t(e - b); };
        decoder.on_trigger = [&](EventTriggerIn) {};
        if (s->has_time_base) decoder.setTimeBase(s->time_base);
        decoder.decode(s->bytes.data(), s->bytes.data() + s->bytes.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s->bytes.size()));
    state.SetItemsProcessed(int64_t(events));
    state.counters["Mev/s"] = benchmark::Counter(double(events) / 1e6, benchmark::Counter::kIsRate);
}

// Console output plus a closing table of speed-ups (fast / switch, arrays / switch) per stream.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        // With repetitions, the median stands for each benchmark (the other aggregates are no rates).
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            const auto it = run.counters.find("items_per_second");
            if (it == run.counters.end()) continue;
            rates_[run.run_name.function_name] = it->second.value;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const auto loop = zelvan::EVT3Decoder(1280, 720, g_loop).instructions();
        std::printf("\nfast decoder: the %s loop\n",
                    loop == zelvan::EVT3Decoder::Instructions::Avx512 ? "AVX-512"
                    : loop == zelvan::EVT3Decoder::Instructions::Avx2 ? "AVX2"
                                                                      : "plain");
        std::printf("%-58s %12s %12s %12s %8s %8s\n", "stream", "fast Mev/s", "arrays Mev/s", "switch Mev/s",
                    "ratio", "arrays");
        for (const auto& [name, rate] : rates_) {
            if (name.rfind("Fast/", 0) != 0) continue;
            const std::string key = name.substr(5);
            const auto other = rates_.find("Switch/" + key);
            if (other == rates_.end() || other->second <= 0) continue;
            const auto arrays = rates_.find("Arrays/" + key);
            const double arrays_rate = arrays == rates_.end() ? 0.0 : arrays->second;
            std::printf("%-58s %12.1f %12.1f %12.1f %8.2f %8.2f\n", key.c_str(), rate / 1e6,
                        arrays_rate / 1e6, other->second / 1e6, rate / other->second,
                        arrays_rate / other->second);
        }
    }

private:
    std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
    // Our own flag goes before Google Benchmark sees the rest.
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--loop=", 0) != 0) continue;
        const std::string name = arg.substr(7);
        using I = zelvan::EVT3Decoder::Instructions;
        if (name == "plain") {
            g_loop = I::Plain;
        } else if (name == "avx2") {
            g_loop = I::Avx2;
        } else if (name == "avx512") {
            g_loop = I::Avx512;
        } else {
            std::fprintf(stderr, "unknown --loop value '%s' (plain, avx2 or avx512)\n", name.c_str());
            return 2;
        }
        for (int j = i; j < argc; ++j) argv[j] = argv[j + 1];  // argv[argc] is the null pointer
        --argc;
        --i;
    }
    static std::vector<std::pair<std::string, Stream>> streams;
    streams.emplace_back("dense_vectors", denseStream());
    streams.emplace_back("sparse_addr_x", sparseStream());
    const std::filesystem::path dir = ZELVAN_TESTDATA_DIR;
    std::error_code ec;
    if (std::filesystem::is_directory(dir, ec)) {
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            if (entry.path().extension() == ".raw") files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        for (const auto& f : files) {
            Stream s;
            if (loadRecording(f, s)) streams.emplace_back(f.filename().string(), std::move(s));
        }
    }
    for (const auto& [name, stream] : streams) {
        benchmark::RegisterBenchmark(("Fast/" + name).c_str(), runFast, &stream)->MinTime(0.4);
        benchmark::RegisterBenchmark(("Arrays/" + name).c_str(), runArrays, &stream)->MinTime(0.4);
        benchmark::RegisterBenchmark(("Switch/" + name).c_str(), runSwitch, &stream)->MinTime(0.4);
    }
    // Defaults for the drifting machine (see the top of this file), behind the caller's own flags.
    std::vector<char*> args(argv, argv + argc);
    if (args.empty()) args.push_back(const_cast<char*>("ZelvanHalBench"));
    static char repetitions[] = "--benchmark_repetitions=5";
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    static char aggregates[] = "--benchmark_report_aggregates_only=true";
    for (char* flag : {repetitions, interleave, aggregates}) {
        const std::string name = std::string(flag).substr(0, std::string(flag).find('='));
        const bool given = std::any_of(args.begin() + 1, args.end(),
                                       [&](const char* a) { return std::string(a).rfind(name, 0) == 0; });
        if (!given) args.insert(args.begin() + 1, flag);
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
