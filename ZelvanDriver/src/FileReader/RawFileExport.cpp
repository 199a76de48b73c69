// Export of a raw recording to an H.264 MP4 video: one frame per period of event time that holds
// events, rendered through the reader's cursor.
#include <algorithm>
#include <array>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

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

// Event time of one video frame.
constexpr uint64_t kPeriod = 1'000'000 / RawFileReader::kExportFrameRate;

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

// Encodes the frames an export draws on a thread of its own, so that the next period is read and
// drawn while the encoder takes the last one. kPlanes luma planes go round: the export draws into
// the one acquire() gives and hands it over with submit(); the encoder thread encodes the planes in
// order and gives them back. The first frame the converter refuses ends the encoding: acquire()
// then gives nothing, and finish() says so. From construction to finish() (or destruction) the
// converter belongs to the encoder thread; finish() joins it. Nothing is allocated per frame.
class FrameEncoderThread {
public:
    static constexpr size_t kPlanes = 3;

    FrameEncoderThread(DataToVideoConverter& converter, size_t width, size_t height)
        : converter_(converter),
          chroma_(((width + 1) / 2) * ((height + 1) / 2), RawFileReader::kExportChroma),
          strides_{static_cast<int>(width), static_cast<int>((width + 1) / 2),
                   static_cast<int>((width + 1) / 2)} {
        for (std::vector<uint8_t>& plane : planes_) plane.resize(width * height);
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            // No thread: started() says so.
        }
    }
    ~FrameEncoderThread() { static_cast<void>(finish(false)); }
    FrameEncoderThread(const FrameEncoderThread&) = delete;
    FrameEncoderThread& operator=(const FrameEncoderThread&) = delete;

    // Whether the encoder thread could be started (the system may refuse one).
    bool started() const { return thread_.joinable(); }
    // The plane to draw the next frame into, once the encoder has given it back; nullptr when a
    // frame failed.
    uint8_t* acquire() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return failed_ || submitted_ - encoded_ < kPlanes; });
        return failed_ ? nullptr : planes_[submitted_ % kPlanes].data();
    }
    // The plane acquire() gave holds the next frame.
    void submit() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++submitted_;
        }
        changed_.notify_all();
    }
    // Ends the thread, after it has encoded the frames submitted so far when `encode_submitted`
    // (otherwise after the frame it is encoding). True when no frame failed.
    [[nodiscard]] bool finish(bool encode_submitted) {
        if (!thread_.joinable()) return !failed_;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            abandon_ = !encode_submitted;
        }
        changed_.notify_all();
        thread_.join();
        return !failed_;
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return encoded_ < submitted_ || stopping_; });
            if (encoded_ == submitted_ || abandon_) return;
            const uint8_t* const planes[3] = {planes_[encoded_ % kPlanes].data(), chroma_.data(),
                                              chroma_.data()};
            lock.unlock();
            const bool ok = converter_.yuv420pToVideo(planes, strides_, -1) == 0;
            lock.lock();
            ++encoded_;
            if (!ok) failed_ = true;
            changed_.notify_all();
            if (failed_) return;
        }
    }

    DataToVideoConverter& converter_;
    std::array<std::vector<uint8_t>, kPlanes> planes_;
    const std::vector<uint8_t> chroma_;  // both chroma planes: every pixel is grey
    const int strides_[3];
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t submitted_ = 0;  // frames handed over
    uint64_t encoded_ = 0;    // frames the converter has taken (or refused)
    bool stopping_ = false;
    bool abandon_ = false;
    bool failed_ = false;
    std::thread thread_;  // last: it starts once the rest is ready
};

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
    // Before the output is touched: periods without events make no video, and an earlier file of the
    // output's name stays as it was.
    const bool holds_a_frame = exportHoldsAFrame(from, end_us);
    // The recording could not be read there: its reason is kept.
    if (lastError() == ReaderError::ReadError) return false;
    if (!holds_a_frame) return fail(ReaderError::EmptyRange, "There is no data in the interval.");
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
    // An earlier video of the output's name stays until the new one is complete.
    detail::OutputReplacement output(path);
    // The encoder's file layer takes names such as "clip:1.mp4" for a protocol's: a relative name is
    // named from the current folder. The user hears of the name the user gave.
    const std::string& name = output.writePath();
    const std::string encoder_name = name.starts_with('/') ? name : "./" + name;
    if (video_converter_->setOutputFile(encoder_name, path) != 0) {
        // Only a file the converter opened (a container header that could not be written) is a partial
        // output; a file it could not open is left as it was.
        output.abandon(video_converter_->lastError() == VideoError::CannotWrite);
        // The converter has logged why.
        return fail(readerErrorOf(video_converter_->lastError()), video_converter_->lastErrorMessage(),
                    Report::NotLogged);
    }
    // Past the recording's end no period holds events: progress counts up to the earlier end.
    const uint64_t span = std::min(end_us, detail::saturatingAdd(end_timestamp_, 1)) - from;
    if (!renderVideo(from, end_us, span, path)) {
        // A video that fails part way is removed, like a failed cut.
        output.abandon();
        return false;
    }
    if (progress_ && !progress_(span, span)) {
        output.abandon();
        return failCancelledExport(path);
    }
    if (std::string error; !output.commit(error)) return fail(ReaderError::CannotWrite, error + ".");
    return true;
}

bool RawFileReader::failCancelledExport(const std::string& path) {
    return fail(ReaderError::Cancelled,
                "The export was cancelled: the progress callback asked to stop (" + path + ").",
                Report::Info);
}

bool RawFileReader::exportHoldsAFrame(uint64_t from, uint64_t end_us) {
    // Where the cursor cannot go, the export itself says why.
    if (!seekTimeLocked(from)) return true;
    auto none = [](const Event2D*, const Event2D*) {};
    for (uint64_t t = from; t < end_us; t = detail::saturatingAdd(t, kPeriod)) {
        if (current_timestamp_ > end_timestamp_) break;
        if (visitTimeLocked(kPeriod, EventRuns(none)) > 0) return true;
    }
    return false;
}

bool RawFileReader::renderVideo(uint64_t from, uint64_t end_us, uint64_t span, const std::string& path) {
    // A video abandoned part way: whether it could be finished does not matter any more.
    auto abandonVideo = [this] { static_cast<void>(video_converter_->flushAndCloseVideo()); };
    if (!seekTimeLocked(from)) {
        fail(ReaderError::OutOfRange, "No start timestamp found.");
        abandonVideo();
        return false;
    }
    const size_t w = static_cast<size_t>(getWidth());
    const size_t h = static_cast<size_t>(getHeight());
    uint64_t frames = 0;
    {
        FrameEncoderThread encoder(*video_converter_, w, h);
        if (!encoder.started()) {
            fail(ReaderError::CannotEncode, "Could not start the video encoder thread for " + path + ".");
            abandonVideo();
            return false;
        }
        // Ends the encoder thread, after the frames handed over or, when the video is abandoned,
        // after the frame it is encoding. False, with the converter's reason kept, when a frame failed.
        auto stopEncoder = [&](bool abandon) {
            if (encoder.finish(!abandon)) return true;
            return fail(
                readerErrorOf(video_converter_->lastError()),
                "Failed to write a video frame to " + path + ": " + video_converter_->lastErrorMessage());
        };
        // The plane being drawn: taken from the encoder and cleared to the background before the
        // next period is read, so that the reader's events are drawn where they lie, without a
        // copy. A period without events leaves it clean for the next one.
        uint8_t* luma = nullptr;
        auto draw = [&luma, w, h](const Event2D* first, const Event2D* last) {
            for (; first != last; ++first) {
                const Event2D& e = *first;
                if (e.x >= w || e.y >= h) continue;
                luma[size_t(e.y) * w + e.x] = e.polarity == 1 ? kExportOnLuma : kExportOffLuma;
            }
        };
        for (uint64_t t = from; t < end_us; t = detail::saturatingAdd(t, kPeriod)) {
            // Past the end of the recording every period is empty: no more frames can come.
            if (current_timestamp_ > end_timestamp_) break;
            if (luma == nullptr) {
                luma = encoder.acquire();
                if (luma == nullptr) {
                    static_cast<void>(stopEncoder(true));
                    abandonVideo();
                    return false;
                }
                // Clearing the whole plane costs less than clearing only the pixels of the frame
                // drawn in it before, from 1 Mev/s on.
                std::fill_n(luma, w * h, kExportBackgroundLuma);
            }
            if (visitTimeLocked(kPeriod, EventRuns(draw)) > 0) {
                encoder.submit();
                luma = nullptr;
                ++frames;
            }
            if (progress_ && !progress_(std::min(span, detail::saturatingAdd(t, kPeriod) - from), span)) {
                // A frame that failed before the cancel is the reason.
                const bool encoded = stopEncoder(true);
                abandonVideo();
                return encoded ? failCancelledExport(path) : false;
            }
        }
        // The recording could not be read to the end of the range (its reason is kept): a video
        // that lacks part of the range is no export of it.
        const bool read_all = lastError() != ReaderError::ReadError;
        if (!stopEncoder(!read_all) || !read_all) {
            abandonVideo();
            return false;
        }
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
