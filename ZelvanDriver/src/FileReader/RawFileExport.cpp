// Export of a raw recording to an H.264 MP4 video: one frame per period of event time that holds
// events, rendered through the reader's cursor.
#include <algorithm>

#include "FileReader/OutputFile.h"
#include "FileReader/StreamTime.h"
#include "zelvan/DataToVideoConverter.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileReader.h"

namespace zelvan {

namespace {

// The reader's reason for a failure of its converter: a write of the file, or the encoder.
ReaderError readerErrorOf(VideoError error) {
    switch (error) {
        case VideoError::CannotCreateOutput:
            return ReaderError::CannotCreateOutput;
        case VideoError::CannotWrite:
            return ReaderError::CannotWrite;
        default:
            return ReaderError::CannotEncode;
    }
}

// Exported videos are previews of scattered single pixels that change completely from one frame to
// the next: predicting a frame from the one before gains next to nothing, so every frame is a key
// frame (no motion search, and any frame decodes on its own), at a constant quantiser (no rate
// control look-ahead). Quantiser 21 codes key frames at 18, near transparent for these pictures.
VideoEncoderOptions exportEncoderOptions() {
    VideoEncoderOptions options;
    options.preset = "ultrafast";
    options.constant_qp = 21;
    options.key_frame_interval = 1;
    return options;
}

}  // namespace

bool RawFileReader::exportLocked(uint64_t start_us, uint64_t end_us, const std::string& path) {
    if (start_us > end_us) {
        return fail(ReaderError::InvalidRange, "Start time must be less than or equal to end time.");
    }
    if (start_us > end_timestamp_) return fail(ReaderError::OutOfRange, "No start timestamp found.");
    // A range that begins before the recording begins with the recording: the periods are counted
    // from the recording's start.
    const uint64_t from = std::max(start_us, start_timestamp_);
    if (from >= end_us) return fail(ReaderError::EmptyRange, "There is no data in the interval.");
    if (isRecordingItself(path)) {
        return fail(ReaderError::OutputIsRecording, "The output file is the recording itself: " + path + ".");
    }
    const int width = getWidth();
    const int height = getHeight();
    video_converter_ = std::make_unique<DataToVideoConverter>();
    // Frames are drawn in the encoder's own format: the scaling context is never used.
    if (video_converter_->setConverterFrameSize(height, width, height, width) != 0 ||
        video_converter_->setConverterFmt(DataToVideoConverter::kPixFmtYuv420p,
                                          DataToVideoConverter::kPixFmtYuv420p) != 0 ||
        video_converter_->setEncoderOptions(exportEncoderOptions()) != 0 ||
        video_converter_->initVideoConverter() != 0) {
        video_converter_.reset();
        return fail(ReaderError::CannotEncode,
                    "Video converter initialization failed, please confirm that the input file is correct.");
    }
    if (video_converter_->setOutputFile(path) != 0) {
        detail::removePartialOutput(path);
        // The converter has logged why.
        return fail(readerErrorOf(video_converter_->lastError()), video_converter_->lastErrorMessage(),
                    Report::NotLogged);
    }
    // Past the recording's end no period holds events: progress counts up to the earlier end.
    const uint64_t span = std::min(end_us, detail::saturatingAdd(end_timestamp_, 1)) - from;
    if (!renderVideo(from, end_us, span, path)) {
        // A video that fails part way is removed, like a failed cut.
        detail::removePartialOutput(path);
        return false;
    }
    if (progress_ && !progress_(span, span)) {
        detail::removePartialOutput(path);
        return failCancelledExport(path);
    }
    return true;
}

bool RawFileReader::failCancelledExport(const std::string& path) {
    return fail(ReaderError::Cancelled,
                "The export was cancelled: the progress callback asked to stop (" + path + ").",
                Report::Info);
}

bool RawFileReader::renderVideo(uint64_t from, uint64_t end_us, uint64_t span, const std::string& path) {
    if (!seekTimeLocked(from)) {
        fail(ReaderError::OutOfRange, "No start timestamp found.");
        // The video is abandoned: whether it could be finished does not matter any more.
        static_cast<void>(video_converter_->flushAndCloseVideo());
        return false;
    }
    const size_t w = static_cast<size_t>(getWidth());
    const size_t h = static_cast<size_t>(getHeight());
    // One luma plane, redrawn for each frame; both chroma planes are the same constant plane.
    std::vector<uint8_t> luma(w * h);
    const std::vector<uint8_t> chroma(((w + 1) / 2) * ((h + 1) / 2), kExportChroma);
    const uint8_t* const planes[3] = {luma.data(), chroma.data(), chroma.data()};
    const int strides[3] = {static_cast<int>(w), static_cast<int>((w + 1) / 2),
                            static_cast<int>((w + 1) / 2)};
    constexpr uint64_t kPeriod = 1'000'000 / kExportFrameRate;
    uint64_t frames = 0;
    for (uint64_t t = from; t < end_us; t = detail::saturatingAdd(t, kPeriod)) {
        // Past the end of the recording every period is empty: no more frames can come.
        if (current_timestamp_ > end_timestamp_) break;
        const auto events = readTimeLocked(kPeriod);
        if (events && !events->empty()) {
            // Clearing the whole plane costs less than clearing the pixels of the previous frame
            // already at 1 Mev/s.
            std::fill(luma.begin(), luma.end(), kExportBackgroundLuma);
            for (const Event2D& e : *events) {
                if (e.x >= w || e.y >= h) continue;
                luma[size_t(e.y) * w + e.x] = e.polarity == 1 ? kExportOnLuma : kExportOffLuma;
            }
            if (video_converter_->yuv420pToVideo(planes, strides, -1) != 0) {
                fail(
                    readerErrorOf(video_converter_->lastError()),
                    "Failed to write a video frame to " + path + ": " + video_converter_->lastErrorMessage());
                static_cast<void>(video_converter_->flushAndCloseVideo());  // abandoned, as above
                return false;
            }
            ++frames;
        }
        if (progress_ && !progress_(std::min(span, detail::saturatingAdd(t, kPeriod) - from), span)) {
            static_cast<void>(video_converter_->flushAndCloseVideo());  // abandoned, as above
            return failCancelledExport(path);
        }
    }
    if (lastError() == ReaderError::ReadError) {
        // The recording could not be read to the end of the range (its reason is kept): a video
        // that lacks part of the range is no export of it.
        static_cast<void>(video_converter_->flushAndCloseVideo());
        return false;
    }
    if (video_converter_->flushAndCloseVideo() != 0) {
        return fail(
            readerErrorOf(video_converter_->lastError()),
            "Failed to complete the video file " + path + ": " + video_converter_->lastErrorMessage());
    }
    if (frames == 0) return fail(ReaderError::EmptyRange, "There is no data in the interval.");
    return true;
}

}  // namespace zelvan
