// Cut and video export of a 10 s 1280 x 720 recording, generated at start-up in the temporary
// folder (or ZELVAN_BENCH_DIR) and deleted at exit, at 1 and 5 Mev/s (a quiet and a busy scene):
// - export: frames encoded per second and the ratio to real time (10 s of events per run), beside
//   the same export drawn in BGR and scaled to the encoder's format at the converter's default
//   settings, run in turn with it (speedup = its time / the export's); the CPU time of both, all
//   threads (less sensitive than wall time to other work on the machine); the size of both videos
//   and the PSNR of their luma against the exact frames drawn;
// - cut of the whole recording: MB/s copied (warm page cache).
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tools/FfmpegHandles.h"
#include "zelvan/ApsFileReader.h"
#include "zelvan/DataToVideoConverter.h"
#include "zelvan/EVT3Encoder.h"
#include "zelvan/FileHeader.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileReader.h"
#include "zelvan/SyntheticScene.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kSeconds = 10;

fs::path benchDir() {
    const char* dir = std::getenv("ZELVAN_BENCH_DIR");
    return dir ? fs::path(dir) : fs::temp_directory_path();
}

struct Recording {
    std::string path;
    uint64_t bytes = 0;
    ~Recording() {
        std::error_code ec;
        fs::remove(path, ec);
        fs::remove(zelvan::RawFileReader::bookmarkPathFor(path), ec);
    }
};

const Recording& recording(uint64_t rate) {
    static std::map<uint64_t, Recording> recordings;
    Recording& rec = recordings[rate];
    if (!rec.path.empty()) return rec;
    rec.path = (benchDir() /
                ("zelvan-video-bench-" + std::to_string(::getpid()) + "-" + std::to_string(rate) + ".raw"))
                   .string();
    zelvan::DvsFileInfo info;
    info.serial_number = "BENCH";
    std::ofstream out(rec.path, std::ios::binary | std::ios::trunc);
    const std::string header = zelvan::generateDvsFileHeader(info);
    out.write(header.data(), std::streamsize(header.size()));
    zelvan::SyntheticScene scene(1280, 720, rate, 1);
    zelvan::EVT3Encoder encoder(1280);
    std::vector<zelvan::Event2D> events;
    std::vector<uint8_t> bytes;
    for (uint64_t t = 0; t < kSeconds * 1'000'000 + 100'000; t += 10'000) {
        events.clear();
        bytes.clear();
        scene.generate(t, t + 10'000, events);
        encoder.advanceTime(t, bytes);
        encoder.encode(events.data(), events.data() + events.size(), bytes);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    out.close();
    rec.bytes = fs::file_size(rec.path);
    return rec;
}

std::unique_ptr<zelvan::RawFileReader> openRecording(uint64_t rate) {
    auto reader = std::make_unique<zelvan::RawFileReader>(recording(rate).path);
    if (!reader->loadFile()) return nullptr;
    return reader;
}

using Clock = std::chrono::steady_clock;
using zelvan::RawFileReader;

// CPU time of the process so far (every thread), seconds.
double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + 1e-6 * double(t.tv_usec); };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The frames of the export of [0, end_us), one per period with events, in the order of the video:
// the luma plane the export draws, or the BGR picture drawn before frames were drawn in the
// encoder's format (grey 112, ON white, OFF black), which the scaler turns into the same luma.
class ExportFrames {
public:
    ExportFrames(RawFileReader& reader, uint64_t end_us) : reader_(reader), end_us_(end_us) {
        reader_.getStartTimeStamp(t_);
        reader_.getEndTimeStamp(last_);
        ok_ = reader_.seekTime(t_);
    }
    // Draws the next frame; false after the last one.
    bool nextLuma(std::vector<uint8_t>& luma) {
        if (!nextEvents()) return false;
        luma.assign(kPixels, RawFileReader::kExportBackgroundLuma);
        for (const zelvan::Event2D& e : *events_) {
            if (e.x >= kWidth || e.y >= kHeight) continue;
            luma[size_t(e.y) * kWidth + e.x] =
                e.polarity == 1 ? RawFileReader::kExportOnLuma : RawFileReader::kExportOffLuma;
        }
        return true;
    }
    bool nextBgr(std::vector<uint8_t>& bgr) {
        if (!nextEvents()) return false;
        bgr.assign(3 * kPixels, uint8_t{112});
        for (const zelvan::Event2D& e : *events_) {
            if (e.x >= kWidth || e.y >= kHeight) continue;
            std::fill_n(bgr.data() + 3 * (size_t(e.y) * kWidth + e.x), 3, e.polarity == 1 ? 255 : 0);
        }
        return true;
    }

    static constexpr size_t kWidth = 1280;
    static constexpr size_t kHeight = 720;
    static constexpr size_t kPixels = kWidth * kHeight;

private:
    bool nextEvents() {
        constexpr uint64_t kPeriod = 1'000'000 / RawFileReader::kExportFrameRate;
        while (ok_ && t_ < end_us_ && t_ <= last_) {
            events_ = reader_.getNTimeEvents(kPeriod);
            t_ += kPeriod;
            if (events_ && !events_->empty()) return true;
        }
        return false;
    }

    RawFileReader& reader_;
    uint64_t end_us_;
    uint64_t t_ = 0;
    uint64_t last_ = 0;
    bool ok_ = false;
    std::shared_ptr<std::vector<zelvan::Event2D>> events_;
};

// The export as it was before frames were drawn in the encoder's format: BGR frames through the
// converter's scaling context, encoded at the converter's default settings.
bool exportThroughBgr(RawFileReader& reader, uint64_t end_us, const std::string& out) {
    zelvan::DataToVideoConverter converter;
    constexpr int kW = int(ExportFrames::kWidth), kH = int(ExportFrames::kHeight);
    if (converter.setConverterFrameSize(kH, kW, kH, kW) != 0 ||
        converter.setConverterFmt(zelvan::DataToVideoConverter::kPixFmtBgr24,
                                  zelvan::DataToVideoConverter::kPixFmtYuv420p) != 0 ||
        converter.initVideoConverter() != 0 || converter.setOutputFile(out) != 0) {
        return false;
    }
    ExportFrames frames(reader, end_us);
    std::vector<uint8_t> bgr;
    while (frames.nextBgr(bgr)) {
        if (converter.rgbToVideo(bgr.data(), -1) != 0) return false;
    }
    return converter.flushAndCloseVideo() == 0;
}

// PSNR (dB) of the luma of every frame of the video at `path` against the frames the export draws;
// 0 when the video cannot be decoded or holds another number of frames.
double lumaPsnr(const std::string& path, RawFileReader& reader, uint64_t end_us) {
    namespace ff = zelvan::ffmpeg;
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0) return 0;
    const ff::InputFormatPtr format(opened);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) return 0;
    const int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0) return 0;
    const AVCodecParameters* parameters = format->streams[stream]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    const ff::CodecContextPtr decoder(avcodec_alloc_context3(codec));
    if (codec == nullptr || decoder == nullptr ||
        avcodec_parameters_to_context(decoder.get(), parameters) < 0 ||
        avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        return 0;
    }
    const ff::PacketPtr packet(av_packet_alloc());
    const ff::FramePtr frame(av_frame_alloc());
    ExportFrames reference(reader, end_us);
    std::vector<uint8_t> luma;
    double squared_error = 0;
    size_t compared = 0;
    bool mismatch = false;
    auto compare = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
            if (!reference.nextLuma(luma) || frame->width != int(ExportFrames::kWidth) ||
                frame->height != int(ExportFrames::kHeight)) {
                mismatch = true;
            } else {
                for (size_t y = 0; y < ExportFrames::kHeight; ++y) {
                    const uint8_t* row = frame->data[0] + ptrdiff_t(y) * frame->linesize[0];
                    const uint8_t* want = luma.data() + y * ExportFrames::kWidth;
                    for (size_t x = 0; x < ExportFrames::kWidth; ++x) {
                        const double d = double(row[x]) - double(want[x]);
                        squared_error += d * d;
                    }
                }
                ++compared;
            }
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        if (packet->stream_index == stream) avcodec_send_packet(decoder.get(), packet.get());
        av_packet_unref(packet.get());
        compare();
    }
    avcodec_send_packet(decoder.get(), nullptr);
    compare();
    if (mismatch || compared == 0 || reference.nextLuma(luma)) return 0;
    const double mse = squared_error / (double(compared) * double(ExportFrames::kPixels));
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

void BM_ExportTenSecondsToVideo(benchmark::State& state) {
    zelvan::Logger::Instance().setLevel(zelvan::LOG_ERROR);
    const uint64_t rate = uint64_t(state.range(0));
    auto reader = openRecording(rate);
    if (!reader) {
        state.SkipWithError("cannot open the recording");
        return;
    }
    const std::string stem = (benchDir() / ("zelvan-video-bench-" + std::to_string(::getpid()))).string();
    const std::string out = stem + ".mp4";
    const std::string out_bgr = stem + "-bgr.mp4";
    constexpr uint64_t kEnd = kSeconds * 1'000'000;
    double seconds = 0, seconds_bgr = 0;
    double cpu = 0, cpu_bgr = 0;
    for (auto _ : state) {
        // The earlier way in turn with the export, so that both see the same machine.
        state.PauseTiming();
        const auto bgr_start = Clock::now();
        const double bgr_cpu_start = processCpuSeconds();
        if (!exportThroughBgr(*reader, kEnd, out_bgr)) state.SkipWithError("BGR export failed");
        cpu_bgr += processCpuSeconds() - bgr_cpu_start;
        seconds_bgr += std::chrono::duration<double>(Clock::now() - bgr_start).count();
        state.ResumeTiming();
        const auto start = Clock::now();
        const double cpu_start = processCpuSeconds();
        if (!reader->exportEventDataToVideo(0, kEnd, out)) state.SkipWithError("export failed");
        cpu += processCpuSeconds() - cpu_start;
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
    size_t frames = 0;
    if (auto video = zelvan::ApsFileReader::createFileReader(out); video && video->loadFile()) {
        std::vector<uint64_t> ts;
        video->getTimeStamps(ts);
        frames = ts.size();
    }
    state.counters["frames"] = double(frames);
    state.counters["fps"] =
        benchmark::Counter(double(frames) * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["x_realtime"] =
        benchmark::Counter(double(kSeconds) * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["x_realtime_bgr"] = double(kSeconds) * double(state.iterations()) / seconds_bgr;
    state.counters["speedup"] = seconds_bgr / seconds;
    state.counters["CPU_s"] = cpu / double(state.iterations());
    state.counters["CPU_s_bgr"] = cpu_bgr / double(state.iterations());
    state.counters["MB_video"] = double(fs::file_size(out)) / 1e6;
    state.counters["MB_video_bgr"] = double(fs::file_size(out_bgr)) / 1e6;
    state.counters["PSNR_dB"] = lumaPsnr(out, *reader, kEnd);
    state.counters["PSNR_bgr_dB"] = lumaPsnr(out_bgr, *reader, kEnd);
    std::error_code ec;
    fs::remove(out, ec);
    fs::remove(out_bgr, ec);
}
BENCHMARK(BM_ExportTenSecondsToVideo)
    ->Arg(1'000'000)
    ->Arg(5'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_CutWholeRecording(benchmark::State& state) {
    zelvan::Logger::Instance().setLevel(zelvan::LOG_ERROR);
    const uint64_t rate = uint64_t(state.range(0));
    auto reader = openRecording(rate);
    if (!reader) {
        state.SkipWithError("cannot open the recording");
        return;
    }
    uint64_t start = 0, end = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    const std::string out =
        (benchDir() / ("zelvan-video-bench-cut-" + std::to_string(::getpid()) + ".raw")).string();
    for (auto _ : state) {
        if (!reader->extractEventData(start, end, out)) state.SkipWithError("cut failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(recording(rate).bytes));
    state.counters["MB_file"] = double(recording(rate).bytes) / 1e6;
    std::error_code ec;
    fs::remove(out, ec);
    fs::remove(RawFileReader::bookmarkPathFor(out), ec);
}
BENCHMARK(BM_CutWholeRecording)->Arg(1'000'000)->Arg(5'000'000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
