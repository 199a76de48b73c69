// Video encoder and MP4 frame reader: every video written here is read back and decoded.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "VideoKeyFrames.h"
#include "VideoTestUtil.h"
#include "zelvan/ApsFileReader.h"
#include "zelvan/DataToVideoConverter.h"
#include "zelvan/Logger.h"
#include "zelvan/Mp4FileReader.h"
#include "zelvan/RawFileReader.h"

namespace fs = std::filesystem;
using namespace zelvan;
using zelvan::testing::grey;
using zelvan::testing::TempDir;

namespace {

constexpr int kW = 320;
constexpr int kH = 240;

// A grey BGR frame with a white 16 x 16 square whose left edge is at 16 * (index % 16).
std::vector<uint8_t> patternFrame(int index, int w = kW, int h = kH) {
    std::vector<uint8_t> img(size_t(w) * size_t(h) * 3, 112);
    const int x0 = 16 * (index % 16);
    for (int y = 100; y < 116 && y < h; ++y)
        for (int x = x0; x < x0 + 16 && x < w; ++x)
            std::fill_n(img.data() + 3 * (size_t(y) * size_t(w) + size_t(x)), 3, uint8_t{255});
    return img;
}

std::unique_ptr<DataToVideoConverter> makeConverter(int src_fmt, int dst_fmt, int w = kW, int h = kH) {
    auto c = std::make_unique<DataToVideoConverter>();
    if (c->setConverterFrameSize(h, w, h, w) != 0 || c->setConverterFmt(src_fmt, dst_fmt) != 0 ||
        c->initVideoConverter() != 0)
        return nullptr;
    return c;
}

// Writes `count` pattern frames with the given timestamps (-1 = automatic) into path.
void writeVideo(const std::string& path, const std::vector<int64_t>& timestamps) {
    auto c = makeConverter(DataToVideoConverter::kPixFmtBgr24, DataToVideoConverter::kPixFmtYuv420p);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(c->setOutputFile(path), 0);
    for (size_t i = 0; i < timestamps.size(); ++i) {
        ASSERT_EQ(c->rgbToVideo(patternFrame(int(i)).data(), timestamps[i]), 0) << i;
    }
    ASSERT_EQ(c->flushAndCloseVideo(), 0);
}

std::unique_ptr<ApsFileReader> load(const std::string& path) {
    auto r = ApsFileReader::createFileReader(path);
    if (!r || !r->loadFile()) return nullptr;
    return r;
}

std::vector<uint64_t> timestampsOf(ApsFileReader& r) {
    std::vector<uint64_t> ts;
    r.getTimeStamps(ts);
    return ts;
}

// ---- encoder choice and set-up ----

TEST(VideoEncoderChoice, PreferredNamesComeFirstThenAnyH264Encoder) {
    const std::string first = DataToVideoConverter::chooseH264EncoderName({});
    ASSERT_FALSE(first.empty()) << "this FFmpeg build has no H.264 encoder";
    // Unknown names and encoders of other codecs are passed over.
    EXPECT_EQ(DataToVideoConverter::chooseH264EncoderName({"no-such-encoder"}), first);
    EXPECT_EQ(DataToVideoConverter::chooseH264EncoderName({"mjpeg"}), first);
    if (DataToVideoConverter::chooseH264EncoderName({"libx264"}) != "libx264")
        GTEST_SKIP() << "FFmpeg is built without libx264";
    // The first preferred name present wins, whatever its place in FFmpeg's list.
    EXPECT_EQ(DataToVideoConverter::chooseH264EncoderName({"no-such-encoder", "libx264"}), "libx264");
    EXPECT_EQ(DataToVideoConverter::chooseH264EncoderName({"libx264rgb", "libx264"}), "libx264rgb");
    EXPECT_EQ(DataToVideoConverter::chooseH264EncoderName({"libx264", "libx264rgb"}), "libx264");

    DataToVideoConverter c;
    c.setConverterFrameSize(kH, kW, kH, kW);
    ASSERT_EQ(c.setConverterFmt(DataToVideoConverter::kPixFmtBgr24, DataToVideoConverter::kPixFmtYuv420p), 0);
    ScopedLogCapture log;
    ASSERT_EQ(c.initVideoConverter(), 0);
    EXPECT_EQ(c.encoderName(), "libx264");
    EXPECT_TRUE(log.contains(LOG_INFO, "Using encoder: libx264"));
}

TEST(VideoEncoderSetup, OperationsOutOfOrderFailWithTheirMessages) {
    TempDir dir;
    ScopedLogCapture log;
    DataToVideoConverter c;
    EXPECT_EQ(c.setOutputFile(dir / "a.mp4"), -1);
    EXPECT_TRUE(log.contains(
        LOG_ERROR, "setOutputFile: codec_ctx_ not initialized. Please call initVideoConverter() first."));
    const auto img = patternFrame(0);
    EXPECT_EQ(c.rgbToVideo(img.data(), -1), -1);
    EXPECT_TRUE(log.contains(LOG_ERROR, "rgbToVideo: Converter is not fully initialized."));
    EXPECT_EQ(c.nv12ToVideo(img.data(), -1), -1);
    EXPECT_TRUE(log.contains(LOG_ERROR, "nv12ToVideo: Converter is not fully initialized."));
    EXPECT_EQ(c.rgbToJpeg(img.data(), 1), -1);
    EXPECT_TRUE(log.contains(LOG_ERROR, "rgbToJpeg: Converter is not fully initialized."));
    EXPECT_EQ(c.flushAndCloseVideo(), -1);
    EXPECT_TRUE(log.contains(LOG_ERROR, "flushAndCloseVideo: Missing format or codec context."));
    EXPECT_FALSE(fs::exists(dir / "a.mp4"));

    // Initialised but without an output file, frames are refused too.
    auto ready = makeConverter(DataToVideoConverter::kPixFmtBgr24, DataToVideoConverter::kPixFmtYuv420p);
    ASSERT_NE(ready, nullptr);
    log.clear();
    EXPECT_EQ(ready->rgbToVideo(img.data(), -1), -1);
    EXPECT_TRUE(log.contains(LOG_ERROR, "rgbToVideo: Converter is not fully initialized."));

    // An odd frame size cannot be 4:2:0 H.264.
    log.clear();
    EXPECT_EQ(
        makeConverter(DataToVideoConverter::kPixFmtBgr24, DataToVideoConverter::kPixFmtYuv420p, 321, 240),
        nullptr);
    EXPECT_TRUE(log.contains(LOG_ERROR, "Could not open codec."));
}

TEST(VideoEncoderSetup, UnwritableOutputIsReported) {
    TempDir dir;
    auto c = makeConverter(DataToVideoConverter::kPixFmtBgr24, DataToVideoConverter::kPixFmtYuv420p);
    ASSERT_NE(c, nullptr);
    ScopedLogCapture log;
    const std::string path = dir / "missing-dir/out.mp4";
    EXPECT_EQ(c->setOutputFile(path), -1);
    EXPECT_TRUE(log.contains(LOG_ERROR, "Could not open output file: " + path));
    const auto img = patternFrame(0);
    EXPECT_EQ(c->rgbToVideo(img.data(), -1), -1);
    // The converter stays usable for a good path.
    ASSERT_EQ(c->setOutputFile(dir / "ok.mp4"), 0);
    EXPECT_TRUE(log.contains(LOG_INFO, "Output file set to: " + (dir / "ok.mp4")));
    ASSERT_EQ(c->rgbToVideo(img.data(), -1), 0);
    ASSERT_EQ(c->flushAndCloseVideo(), 0);
    auto r = load(dir / "ok.mp4");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(timestampsOf(*r).size(), 1u);
}

TEST(VideoEncoderReasons, EachFailureNamesItsReason) {
    TempDir dir;
    ScopedLogCapture log;
    const auto img = patternFrame(0);
    // Out of order: the message is the logged line.
    DataToVideoConverter bare;
    EXPECT_EQ(bare.setOutputFile(dir / "a.mp4"), -1);
    EXPECT_EQ(bare.lastError(), VideoError::NotReady);
    EXPECT_EQ(bare.lastErrorMessage(),
              "setOutputFile: codec_ctx_ not initialized. Please call initVideoConverter() first.");
    EXPECT_TRUE(log.contains(LOG_ERROR, bare.lastErrorMessage()));
    EXPECT_EQ(bare.flushAndCloseVideo(), -1);
    EXPECT_EQ(bare.lastError(), VideoError::NotReady);
    EXPECT_EQ(bare.lastErrorMessage(), "flushAndCloseVideo: Missing format or codec context.");

    // Sizes that are not positive, an odd size for 4:2:0 H.264.
    DataToVideoConverter sized;
    sized.setConverterFrameSize(0, kW, kH, kW);
    EXPECT_EQ(sized.setConverterFmt(DataToVideoConverter::kPixFmtBgr24, DataToVideoConverter::kPixFmtYuv420p),
              -1);
    EXPECT_EQ(sized.lastError(), VideoError::InvalidArgument);
    EXPECT_EQ(
        makeConverter(DataToVideoConverter::kPixFmtBgr24, DataToVideoConverter::kPixFmtYuv420p, 321, 240),
        nullptr);
    DataToVideoConverter odd;
    odd.setConverterFrameSize(240, 321, 240, 321);
    ASSERT_EQ(odd.setConverterFmt(DataToVideoConverter::kPixFmtBgr24, DataToVideoConverter::kPixFmtYuv420p),
              0);
    EXPECT_EQ(odd.initVideoConverter(), -1);
    EXPECT_EQ(odd.lastError(), VideoError::EncoderSetup);
    EXPECT_EQ(odd.lastErrorMessage(), "Could not open codec.");

    // Outputs that cannot be created: a missing folder, a folder that is a file, a missing still folder.
    auto c = makeConverter(DataToVideoConverter::kPixFmtBgr24, DataToVideoConverter::kPixFmtYuv420p);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->lastError(), VideoError::None);
    EXPECT_EQ(c->rgbToVideo(img.data(), -1), -1);
    EXPECT_EQ(c->lastError(), VideoError::NotReady);
    zelvan::testing::writeBytes(dir / "plain-file", {1, 2, 3});
    for (const std::string& path : {dir / "missing-dir/out.mp4", dir / "plain-file/out.mp4"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(c->setOutputFile(path), -1);
        EXPECT_EQ(c->lastError(), VideoError::CannotCreateOutput);
        EXPECT_EQ(c->lastErrorMessage(), "Could not open output file: " + path);
    }
    ASSERT_EQ(c->setJpegOutputPath(dir / "missing-dir"), 0);
    EXPECT_EQ(c->rgbToJpeg(img.data(), 7), -1);
    EXPECT_EQ(c->lastError(), VideoError::CannotCreateOutput);
    EXPECT_EQ(c->lastErrorMessage(), "Could not open output JPEG file.");

    // Frames of the wrong kind, and no frame at all.
    ASSERT_EQ(c->setOutputFile(dir / "ok.mp4"), 0);
    EXPECT_EQ(c->lastError(), VideoError::None);
    EXPECT_EQ(c->nv12ToVideo(img.data(), -1), -1);
    EXPECT_EQ(c->lastError(), VideoError::WrongPixelFormat);
    EXPECT_EQ(c->lastErrorMessage(), "Sws scale fmt is not AV_PIX_FMT_NV12");
    EXPECT_EQ(c->rgbToVideo(nullptr, -1), -1);
    EXPECT_EQ(c->lastError(), VideoError::InvalidArgument);
    // Each operation starts afresh.
    ASSERT_EQ(c->rgbToVideo(img.data(), -1), 0);
    EXPECT_EQ(c->lastError(), VideoError::None);
    EXPECT_EQ(c->lastErrorMessage(), "");
    ASSERT_EQ(c->flushAndCloseVideo(), 0);
    EXPECT_EQ(c->lastError(), VideoError::None);
}

// ---- timestamps and videos ----

TEST(VideoEncoderTimestamps, AutomaticTimestampsStepBy33333) {
    TempDir dir;
    writeVideo(dir / "auto.mp4", {-1, -1, -1});
    auto r = load(dir / "auto.mp4");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(timestampsOf(*r), (std::vector<uint64_t>{0, 33333, 66666}));
    EXPECT_EQ(r->getWidth(), kW);
    EXPECT_EQ(r->getHeight(), kH);
}

TEST(VideoEncoderTimestamps, GivenTimestampsAreKeptAndAutomaticOnesFollowThem) {
    TempDir dir;
    writeVideo(dir / "given.mp4", {1000, 5000, -1, 200000, -1});
    auto r = load(dir / "given.mp4");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(timestampsOf(*r), (std::vector<uint64_t>{1000, 5000, 38333, 200000, 233333}));
}

TEST(VideoEncoderVideos, ASecondVideoAfterFlushIsIndependent) {
    TempDir dir;
    auto c = makeConverter(DataToVideoConverter::kPixFmtBgr24, DataToVideoConverter::kPixFmtYuv420p);
    ASSERT_NE(c, nullptr);
    ScopedLogCapture log;
    ASSERT_EQ(c->setOutputFile(dir / "one.mp4"), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(c->rgbToVideo(patternFrame(i).data(), -1), 0);
    ASSERT_EQ(c->flushAndCloseVideo(), 0);
    EXPECT_TRUE(log.contains(LOG_INFO, "Video flushed and closed successfully."));
    ASSERT_EQ(c->setOutputFile(dir / "two.mp4"), 0);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(c->rgbToVideo(patternFrame(10 + i).data(), -1), 0);
    ASSERT_EQ(c->flushAndCloseVideo(), 0);

    auto one = load(dir / "one.mp4");
    auto two = load(dir / "two.mp4");
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(timestampsOf(*one), (std::vector<uint64_t>{0, 33333, 66666}));
    EXPECT_EQ(timestampsOf(*two), (std::vector<uint64_t>{0, 33333, 66666, 99999, 133332}));
    // The second video holds its own pictures: its first frame has the square of pattern 10.
    ApsFrame f;
    ASSERT_TRUE(two->getNFrame(0, f));
    EXPECT_GT(grey(f, 16 * 10 + 8, 108), 220);
    EXPECT_LT(grey(f, 8, 108), 130);
}

TEST(VideoEncoderVideos, Nv12InputIsEncodedAndConverted) {
    TempDir dir;
    // NV12: luma 235 (white) on the left half, 16 (black) on the right; neutral chroma.
    std::vector<uint8_t> nv12(size_t(kW) * kH * 3 / 2, 128);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) nv12[size_t(y) * kW + size_t(x)] = x < kW / 2 ? 235 : 16;

    auto to_rgb = std::make_unique<DataToVideoConverter>();
    to_rgb->setConverterFrameSize(kH, kW, kH, kW);
    ASSERT_EQ(to_rgb->setConverterFmt(DataToVideoConverter::kPixFmtNv12, DataToVideoConverter::kPixFmtBgr24),
              0);
    std::vector<uint8_t> bgr(size_t(kW) * kH * 3, 7);
    ASSERT_EQ(to_rgb->nv12ToRGB(nv12.data(), bgr.data()), 0);
    const ApsFrame converted(kW, kH, 0, 0, bgr.data(), bgr.size(), false);
    EXPECT_GT(grey(converted, 10, 10), 245);
    EXPECT_LT(grey(converted, kW - 10, kH - 10), 10);

    auto c = makeConverter(DataToVideoConverter::kPixFmtNv12, DataToVideoConverter::kPixFmtYuv420p);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(c->setOutputFile(dir / "nv12.mp4"), 0);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(c->nv12ToVideo(nv12.data(), -1), 0);
    ScopedLogCapture log;
    EXPECT_EQ(c->rgbToVideo(bgr.data(), -1), -1);
    EXPECT_TRUE(log.contains(LOG_ERROR, "Sws scale fmt is not AV_PIX_FMT_BGR24"));
    ASSERT_EQ(c->flushAndCloseVideo(), 0);
    auto r = load(dir / "nv12.mp4");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(timestampsOf(*r).size(), 4u);
    ApsFrame f;
    ASSERT_TRUE(r->getNFrame(2, f));
    EXPECT_GT(grey(f, 10, 10), 235);
    EXPECT_LT(grey(f, kW - 10, kH - 10), 20);

    // And the other way round: BGR input refuses NV12 frames.
    auto bgr_in = makeConverter(DataToVideoConverter::kPixFmtBgr24, DataToVideoConverter::kPixFmtYuv420p);
    ASSERT_NE(bgr_in, nullptr);
    ASSERT_EQ(bgr_in->setOutputFile(dir / "x.mp4"), 0);
    EXPECT_EQ(bgr_in->nv12ToVideo(nv12.data(), -1), -1);
    EXPECT_TRUE(log.contains(LOG_ERROR, "Sws scale fmt is not AV_PIX_FMT_NV12"));
    EXPECT_EQ(bgr_in->nv12ToRGB(nv12.data(), bgr.data()), -1);
}

// A grey BGR frame in the encoder's format, drawn as the export draws its frames: grey, white and
// black take the luma the scaler gives them, and every pixel the chroma of grey.
struct YuvFrame {
    std::vector<uint8_t> luma, chroma;
    int strides[3] = {kW, kW / 2, kW / 2};
    std::array<const uint8_t*, 3> planes() const { return {luma.data(), chroma.data(), chroma.data()}; }
};
YuvFrame toYuv(const std::vector<uint8_t>& bgr) {
    YuvFrame f;
    f.luma.resize(size_t(kW) * kH);
    for (size_t i = 0; i < f.luma.size(); ++i) {
        f.luma[i] = bgr[3 * i] == 255 ? RawFileReader::kExportOnLuma
                    : bgr[3 * i] == 0 ? RawFileReader::kExportOffLuma
                                      : RawFileReader::kExportBackgroundLuma;
    }
    f.chroma.assign(size_t(kW / 2) * (kH / 2), RawFileReader::kExportChroma);
    return f;
}

TEST(VideoEncoderVideos, Yuv420pFramesDecodeAsTheirBgrTwins) {
    TempDir dir;
    // The same pictures, with a black square too, through the scaler and straight to the encoder.
    std::vector<std::vector<uint8_t>> bgr;
    for (int i = 0; i < 5; ++i) {
        bgr.push_back(patternFrame(i));
        for (int y = 20; y < 30; ++y)
            std::fill_n(bgr.back().data() + 3 * (size_t(y) * kW + 200 + size_t(i)), 3 * 10, uint8_t{0});
    }
    auto through_bgr =
        makeConverter(DataToVideoConverter::kPixFmtBgr24, DataToVideoConverter::kPixFmtYuv420p);
    ASSERT_NE(through_bgr, nullptr);
    ASSERT_EQ(through_bgr->setOutputFile(dir / "bgr.mp4"), 0);
    for (const auto& frame : bgr) ASSERT_EQ(through_bgr->rgbToVideo(frame.data(), -1), 0);
    ASSERT_EQ(through_bgr->flushAndCloseVideo(), 0);

    auto direct = makeConverter(DataToVideoConverter::kPixFmtYuv420p, DataToVideoConverter::kPixFmtYuv420p);
    ASSERT_NE(direct, nullptr);
    ASSERT_EQ(direct->setOutputFile(dir / "yuv.mp4"), 0);
    for (const auto& frame : bgr) {
        const YuvFrame yuv = toYuv(frame);
        ASSERT_EQ(direct->yuv420pToVideo(yuv.planes().data(), yuv.strides, -1), 0);
    }
    // The BGR converter takes these frames too.
    const YuvFrame extra = toYuv(patternFrame(9));
    ASSERT_EQ(through_bgr->setOutputFile(dir / "extra.mp4"), 0);
    ASSERT_EQ(through_bgr->yuv420pToVideo(extra.planes().data(), extra.strides, 5000), 0);
    ASSERT_EQ(through_bgr->flushAndCloseVideo(), 0);
    ASSERT_EQ(direct->flushAndCloseVideo(), 0);

    auto a = load(dir / "bgr.mp4");
    auto b = load(dir / "yuv.mp4");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(timestampsOf(*a), timestampsOf(*b));
    for (int k = 0; k < 5; ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        ApsFrame fa, fb;
        ASSERT_TRUE(a->getNFrame(k, fa));
        ASSERT_TRUE(b->getNFrame(k, fb));
        ASSERT_EQ(fa.getDataSize(), fb.getDataSize());
        // The grey of each pixel within 2 levels; a channel within 3 (the scaler gives a block whose
        // sampled pixel is black a chroma one level off grey's).
        int worst_grey = 0, worst_channel = 0;
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                worst_grey = std::max(worst_grey, std::abs(grey(fa, x, y) - grey(fb, x, y)));
                for (size_t c = 0; c < 3; ++c) {
                    const size_t i = 3 * (size_t(y) * kW + size_t(x)) + c;
                    worst_channel = std::max(worst_channel, std::abs(int(fa.data()[i]) - int(fb.data()[i])));
                }
            }
        }
        EXPECT_LE(worst_grey, 2);
        EXPECT_LE(worst_channel, 3);
        EXPECT_GT(grey(fb, 16 * k + 8, 108), 245);  // white
        EXPECT_LT(grey(fb, 205 + k, 25), 10);       // black
        EXPECT_NEAR(grey(fb, 8, 200), 112, 4);      // grey
    }
    auto c = load(dir / "extra.mp4");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(timestampsOf(*c), (std::vector<uint64_t>{5000}));
}

TEST(VideoEncoderReasons, Yuv420pFramesAreChecked) {
    TempDir dir;
    ScopedLogCapture log;
    const YuvFrame f = toYuv(patternFrame(0));
    const auto planes = f.planes();
    // Before an output file.
    auto c = makeConverter(DataToVideoConverter::kPixFmtYuv420p, DataToVideoConverter::kPixFmtYuv420p);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->yuv420pToVideo(planes.data(), f.strides, -1), -1);
    EXPECT_EQ(c->lastError(), VideoError::NotReady);
    EXPECT_EQ(c->lastErrorMessage(), "yuv420pToVideo: Converter is not fully initialized.");
    EXPECT_TRUE(log.contains(LOG_ERROR, c->lastErrorMessage()));
    // No planes, a missing plane, rows shorter than the frame.
    ASSERT_EQ(c->setOutputFile(dir / "a.mp4"), 0);
    EXPECT_EQ(c->yuv420pToVideo(nullptr, f.strides, -1), -1);
    EXPECT_EQ(c->lastError(), VideoError::InvalidArgument);
    EXPECT_EQ(c->lastErrorMessage(), "yuv420pToVideo: no frame data.");
    const uint8_t* const missing[3] = {planes[0], nullptr, planes[2]};
    EXPECT_EQ(c->yuv420pToVideo(missing, f.strides, -1), -1);
    EXPECT_EQ(c->lastError(), VideoError::InvalidArgument);
    const int narrow[3] = {kW, kW / 2 - 1, kW / 2};
    EXPECT_EQ(c->yuv420pToVideo(planes.data(), narrow, -1), -1);
    EXPECT_EQ(c->lastError(), VideoError::InvalidArgument);
    EXPECT_EQ(c->lastErrorMessage(), "yuv420pToVideo: rows shorter than the frame.");
    // Wider rows are fine.
    std::vector<uint8_t> wide(size_t(kW + 64) * kH, RawFileReader::kExportBackgroundLuma);
    const uint8_t* const wide_planes[3] = {wide.data(), planes[1], planes[2]};
    const int wide_strides[3] = {kW + 64, kW / 2, kW / 2};
    ASSERT_EQ(c->yuv420pToVideo(wide_planes, wide_strides, -1), 0);
    EXPECT_EQ(c->lastError(), VideoError::None);
    ASSERT_EQ(c->flushAndCloseVideo(), 0);
    auto r = load(dir / "a.mp4");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(timestampsOf(*r).size(), 1u);

    // A converter whose destination is not yuv420p.
    DataToVideoConverter to_bgr;
    to_bgr.setConverterFrameSize(kH, kW, kH, kW);
    ASSERT_EQ(to_bgr.setConverterFmt(DataToVideoConverter::kPixFmtNv12, DataToVideoConverter::kPixFmtBgr24),
              0);
    EXPECT_EQ(to_bgr.yuv420pToVideo(planes.data(), f.strides, -1), -1);
    EXPECT_EQ(to_bgr.lastError(), VideoError::NotReady);
}

// ---- encoder options ----

TEST(VideoEncoderOptions, OutOfRangeValuesAreRefused) {
    DataToVideoConverter c;
    VideoEncoderOptions options;
    options.constant_qp = 52;
    EXPECT_EQ(c.setEncoderOptions(options), -1);
    EXPECT_EQ(c.lastError(), VideoError::InvalidArgument);
    EXPECT_EQ(c.lastErrorMessage(), "setEncoderOptions: quantiser 52 is above 51.");
    for (const int interval : {0, -3, DataToVideoConverter::kFrameRate + 1}) {
        SCOPED_TRACE(interval);
        options = VideoEncoderOptions{};
        options.key_frame_interval = interval;
        EXPECT_EQ(c.setEncoderOptions(options), -1);
        EXPECT_EQ(c.lastError(), VideoError::InvalidArgument);
    }
    // The refused options changed nothing.
    EXPECT_EQ(c.encoderOptions().constant_qp, -1);
    EXPECT_EQ(c.encoderOptions().key_frame_interval, 30);
    options = VideoEncoderOptions{};
    options.constant_qp = 0;
    options.key_frame_interval = 1;
    EXPECT_EQ(c.setEncoderOptions(options), 0);
    EXPECT_EQ(c.lastError(), VideoError::None);
    EXPECT_EQ(c.encoderOptions().key_frame_interval, 1);
}

TEST(VideoEncoderOptions, APresetLibx264DoesNotKnowFailsTheSetUp) {
    if (DataToVideoConverter::chooseH264EncoderName({"libx264"}) != "libx264")
        GTEST_SKIP() << "FFmpeg is built without libx264";
    ScopedLogCapture log;
    DataToVideoConverter c;
    c.setConverterFrameSize(kH, kW, kH, kW);
    ASSERT_EQ(c.setConverterFmt(DataToVideoConverter::kPixFmtBgr24, DataToVideoConverter::kPixFmtYuv420p), 0);
    VideoEncoderOptions options;
    options.preset = "no-such-preset";
    ASSERT_EQ(c.setEncoderOptions(options), 0);
    EXPECT_EQ(c.initVideoConverter(), -1);
    EXPECT_EQ(c.lastError(), VideoError::EncoderSetup);
    EXPECT_EQ(c.lastErrorMessage(), "Could not open codec.");
}

TEST(VideoEncoderOptions, KeyFramesAndQuantiserFollowTheOptions) {
    TempDir dir;
    // Default options: a key frame once a second. Every frame a key frame, at a fine and at a
    // coarse constant quantiser.
    struct Case {
        const char* name;
        int key_frame_interval;
        int constant_qp;
    };
    const Case cases[] = {{"default", 30, -1}, {"all key fine", 1, 10}, {"all key coarse", 1, 40}};
    std::map<std::string, uintmax_t> sizes;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        DataToVideoConverter c;
        c.setConverterFrameSize(kH, kW, kH, kW);
        ASSERT_EQ(c.setConverterFmt(DataToVideoConverter::kPixFmtBgr24, DataToVideoConverter::kPixFmtYuv420p),
                  0);
        VideoEncoderOptions options;
        options.key_frame_interval = k.key_frame_interval;
        options.constant_qp = k.constant_qp;
        ASSERT_EQ(c.setEncoderOptions(options), 0);
        ASSERT_EQ(c.initVideoConverter(), 0);
        // Two videos: the options hold for the encoders opened after the first.
        for (const char* name : {"a.mp4", "b.mp4"}) {
            const std::string path = dir / (std::string(k.name) + name);
            ASSERT_EQ(c.setOutputFile(path), 0);
            for (int i = 0; i < 61; ++i) ASSERT_EQ(c.rgbToVideo(patternFrame(i).data(), -1), 0);
            ASSERT_EQ(c.flushAndCloseVideo(), 0);
            const std::vector<bool> keys = zelvan::testing::keyFrames(path);
            ASSERT_EQ(keys.size(), 61u);
            for (size_t i = 0; i < keys.size(); ++i) {
                if (k.key_frame_interval == 1 || i % 30 == 0) {
                    EXPECT_TRUE(keys[i]) << i;
                } else if (c.encoderName() == "libx264") {
                    EXPECT_FALSE(keys[i]) << i;  // the static picture needs no other key frame
                }
            }
            auto r = load(path);
            ASSERT_NE(r, nullptr);
            ApsFrame f;
            ASSERT_TRUE(r->getNFrame(45, f));
            EXPECT_GT(grey(f, 16 * (45 % 16) + 8, 108), 200);
            EXPECT_NEAR(grey(f, 8, 200), 112, 6);
            sizes[k.name] = fs::file_size(path);
        }
    }
    if (DataToVideoConverter::chooseH264EncoderName({"libx264"}) == "libx264") {
        EXPECT_LT(sizes["all key coarse"], sizes["all key fine"]);
    }
}

TEST(VideoEncoderStills, JpegGoesToDirectorySlashTimestamp) {
    TempDir dir;
    auto c = makeConverter(DataToVideoConverter::kPixFmtBgr24, DataToVideoConverter::kPixFmtYuv420p);
    ASSERT_NE(c, nullptr);
    ScopedLogCapture log;
    fs::create_directories(dir / "d");
    ASSERT_EQ(c->setJpegOutputPath(dir / "d"), 0);
    ASSERT_EQ(c->rgbToJpeg(patternFrame(3).data(), 1234), 0);
    const std::string jpg = dir / "d/1234.jpg";
    EXPECT_TRUE(log.contains(LOG_INFO, "JPEG image saved as: " + jpg));
    const auto bytes = zelvan::testing::readBytes(jpg);
    ASSERT_GT(bytes.size(), 4u);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0xD8);  // start of image
    EXPECT_EQ(bytes[bytes.size() - 2], 0xFF);
    EXPECT_EQ(bytes[bytes.size() - 1], 0xD9);  // end of image

    ASSERT_EQ(c->setJpegOutputPath(dir / "no-such-dir"), 0);
    EXPECT_EQ(c->rgbToJpeg(patternFrame(3).data(), 5), -1);
    EXPECT_TRUE(log.contains(LOG_ERROR, "Could not open output JPEG file."));
}

// ---- frame reader ----

TEST(Mp4FileReaderFactory, OnlyLowerCaseMp4) {
    EXPECT_NE(ApsFileReader::createFileReader("clip.mp4"), nullptr);
    EXPECT_NE(ApsFileReader::createFileReader("a.b.mp4"), nullptr);
    EXPECT_EQ(ApsFileReader::createFileReader("clip.MP4"), nullptr);
    EXPECT_EQ(ApsFileReader::createFileReader("clip.mp4.bak"), nullptr);
    EXPECT_EQ(ApsFileReader::createFileReader("clip"), nullptr);
}

TEST(Mp4FileReaderFactory, BadFilesFailToLoad) {
    TempDir dir;
    ScopedLogCapture log;
    auto missing = ApsFileReader::createFileReader(dir / "missing.mp4");
    ASSERT_NE(missing, nullptr);
    EXPECT_FALSE(missing->loadFile());
    ApsFrame f;
    EXPECT_FALSE(missing->getNextFrame(f));
    EXPECT_FALSE(missing->seekTime(0));
    EXPECT_FALSE(missing->getFrameGivenTimeStamp(0, f));

    zelvan::testing::writeBytes(dir / "text.mp4", std::vector<uint8_t>(1000, 'x'));
    auto text = ApsFileReader::createFileReader(dir / "text.mp4");
    EXPECT_FALSE(text->loadFile());
}

class Mp4FileReaderAccess : public ::testing::Test {
protected:
    void SetUp() override {
        // 70 frames, 40 ms apart from 1 s on: three groups of pictures.
        for (int i = 0; i < 70; ++i) stamps_.push_back(1'000'000 + 40'000 * int64_t(i));
        writeVideo(dir_ / "clip.mp4", stamps_);
        reader_ = load(dir_ / "clip.mp4");
        ASSERT_NE(reader_, nullptr);
    }
    // The frame shows pattern i.
    static void expectPattern(const ApsFrame& f, int i) {
        ASSERT_EQ(f.width(), kW);
        ASSERT_EQ(f.height(), kH);
        EXPECT_GT(grey(f, 16 * (i % 16) + 8, 108), 220) << "pattern " << i;
        EXPECT_LT(grey(f, 16 * ((i + 8) % 16) + 8, 108), 130) << "pattern " << i;
    }
    TempDir dir_;
    std::vector<int64_t> stamps_;
    std::unique_ptr<ApsFileReader> reader_;
};

TEST_F(Mp4FileReaderAccess, ListsEveryFrameAndReadsThemInOrder) {
    const auto ts = timestampsOf(*reader_);
    ASSERT_EQ(ts.size(), stamps_.size());
    for (size_t i = 0; i < ts.size(); ++i) EXPECT_EQ(ts[i], uint64_t(stamps_[i]));
    ApsFrame f;
    for (int i = 0; i < 70; ++i) {
        ASSERT_TRUE(reader_->getNextFrame(f)) << i;
        EXPECT_EQ(f.startTimestamp(), uint64_t(stamps_[size_t(i)]));
        EXPECT_EQ(f.endTimestamp(), f.startTimestamp());
        expectPattern(f, i);
    }
    EXPECT_FALSE(reader_->getNextFrame(f));
}

TEST_F(Mp4FileReaderAccess, ALoadTellsItsProgressAndStopsWhenAskedTo) {
    const std::string path = dir_ / "clip.mp4";
    const uint64_t size = std::filesystem::file_size(path);
    // Told in bytes of the file, never backwards, up to the whole file.
    {
        Mp4FileReader reader(path);
        std::vector<std::pair<uint64_t, uint64_t>> told;
        reader.setProgressCallback([&](uint64_t done, uint64_t total) {
            told.emplace_back(done, total);
            return true;
        });
        ASSERT_TRUE(reader.loadFile());
        ASSERT_GE(told.size(), 2u) << "70 frames are told more than once";
        for (size_t i = 0; i < told.size(); ++i) {
            EXPECT_EQ(told[i].second, size);
            EXPECT_LE(told[i].first, size);
            if (i > 0) {
                EXPECT_GE(told[i].first, told[i - 1].first);
            }
        }
        EXPECT_EQ(told.back().first, size);
    }
    // A stop asked for at the second report fails the load; the reader loads in full afterwards.
    Mp4FileReader reader(path);
    int reports = 0;
    bool stop = true;
    reader.setProgressCallback([&](uint64_t, uint64_t) { return !(stop && ++reports == 2); });
    {
        ScopedLogCapture log;
        EXPECT_FALSE(reader.loadFile());
        EXPECT_TRUE(log.containsSubstring(LOG_WARNING, "was cancelled"));
    }
    EXPECT_EQ(reports, 2);
    std::vector<uint64_t> none;
    reader.getTimeStamps(none);
    EXPECT_TRUE(none.empty());
    stop = false;
    ASSERT_TRUE(reader.loadFile());
    EXPECT_EQ(timestampsOf(reader).size(), stamps_.size());
    ApsFrame f;
    ASSERT_TRUE(reader.getNextFrame(f));
    expectPattern(f, 0);
}

TEST_F(Mp4FileReaderAccess, FramesByIndexAndByTime) {
    ApsFrame f;
    EXPECT_FALSE(reader_->getNFrame(-1, f));
    EXPECT_FALSE(reader_->getNFrame(70, f));
    EXPECT_TRUE(f.empty());
    for (int i : {65, 3, 0, 31, 69, 30}) {
        ASSERT_TRUE(reader_->getNFrame(i, f)) << i;
        EXPECT_EQ(f.startTimestamp(), uint64_t(stamps_[size_t(i)]));
        expectPattern(f, i);
    }
    // Between two frames: the earlier one.
    ASSERT_TRUE(reader_->getFrameGivenTimeStamp(uint64_t(stamps_[44]) + 39'999, f));
    EXPECT_EQ(f.startTimestamp(), uint64_t(stamps_[44]));
    expectPattern(f, 44);
    // After the last frame: the last one; before the first: none.
    ASSERT_TRUE(reader_->getFrameGivenTimeStamp(99'000'000, f));
    EXPECT_EQ(f.startTimestamp(), uint64_t(stamps_.back()));
    EXPECT_FALSE(reader_->getFrameGivenTimeStamp(999'999, f));
}

TEST_F(Mp4FileReaderAccess, FramesOfTheStreamSizeAreDecodedInPlace) {
    // A frame of another size, or one marked as the last of a sequence, is replaced by one of the
    // stream's size.
    const uint8_t small[12] = {};
    ApsFrame f(2, 2, 7, 8, small, sizeof small, true);
    ASSERT_TRUE(reader_->getNextFrame(f));
    EXPECT_FALSE(f.isLast());
    EXPECT_EQ(f.getDataSize(), size_t(kW) * kH * 3);
    expectPattern(f, 0);
    // From then on every frame is written into the same bytes, by order and by time.
    const uint8_t* bytes = f.data();
    for (int i = 1; i < 20; ++i) {
        ASSERT_TRUE(reader_->getNextFrame(f)) << i;
        EXPECT_EQ(f.data(), bytes) << i;
        EXPECT_EQ(f.startTimestamp(), uint64_t(stamps_[size_t(i)]));
        EXPECT_EQ(f.endTimestamp(), f.startTimestamp());
        expectPattern(f, i);
    }
    for (int i : {55, 4, 33}) {
        ASSERT_TRUE(reader_->getFrameGivenTimeStamp(uint64_t(stamps_[size_t(i)]) + 1, f)) << i;
        EXPECT_EQ(f.data(), bytes) << i;
        EXPECT_EQ(f.startTimestamp(), uint64_t(stamps_[size_t(i)]));
        expectPattern(f, i);
    }
    // A time before every frame leaves the frame as it was.
    EXPECT_FALSE(reader_->getFrameGivenTimeStamp(999'999, f));
    EXPECT_EQ(f.data(), bytes);
    EXPECT_EQ(f.startTimestamp(), uint64_t(stamps_[33]));
    expectPattern(f, 33);
}

TEST_F(Mp4FileReaderAccess, SeekTimeNeedsALaterFrame) {
    ScopedLogCapture log;
    EXPECT_FALSE(reader_->seekTime(uint64_t(stamps_.back())));
    EXPECT_FALSE(reader_->seekTime(uint64_t(stamps_.back()) + 1));
    ApsFrame f;
    // Before every frame: the file stands at the first one.
    ASSERT_TRUE(reader_->seekTime(0));
    ASSERT_TRUE(reader_->getNextFrame(f));
    EXPECT_EQ(f.startTimestamp(), uint64_t(stamps_[0]));
    // Inside: at the key frame at or before the last frame at or before the time; reading on
    // reaches that frame.
    ASSERT_TRUE(reader_->seekTime(uint64_t(stamps_[50]) + 5));
    EXPECT_TRUE(log.containsSubstring(LOG_INFO, "Seek to time: " + std::to_string(stamps_[50])));
    bool reached = false;
    while (reader_->getNextFrame(f)) {
        EXPECT_LE(f.startTimestamp(), uint64_t(stamps_[50]));
        if (f.startTimestamp() == uint64_t(stamps_[50])) {
            reached = true;
            break;
        }
    }
    EXPECT_TRUE(reached);
}

}  // namespace
