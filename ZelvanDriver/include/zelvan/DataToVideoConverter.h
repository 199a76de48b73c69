// Frames to H.264 video in MP4, to JPEG stills, or to another pixel format (over FFmpeg).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVCodec;

namespace zelvan {

// Why the last operation of a DataToVideoConverter failed.
enum class VideoError : uint8_t {
    None,                // no failure
    NotReady,            // an operation before the set-up steps it needs
    InvalidArgument,     // frame sizes that are not positive, or no frame data
    WrongPixelFormat,    // the source or destination format does not fit the operation
    NoEncoder,           // FFmpeg offers no H.264 (or no MJPEG) encoder
    EncoderSetup,        // an encoder, the scaler, a frame, a packet or the container could not be set up
    CannotCreateOutput,  // the video or still file cannot be created
    EncodeFailed,        // the encoder refused a frame or failed to produce its output
    CannotWrite,         // writing to the video or still file failed
};

// How the H.264 encoder trades speed for size and quality. The defaults suit camera videos: the
// fastest libx264 preset at an average of kBitRate, a key frame once a second. Other H.264 encoders
// take only the key frame interval (and the bit rate); preset, tune and constant quantiser are
// libx264's.
struct VideoEncoderOptions {
    std::string preset = "ultrafast";
    std::string tune;             // empty: none
    int constant_qp = -1;         // 0..51: every frame at this quantiser instead of the average bit rate
    int key_frame_interval = 30;  // frames from one key frame to the next (1: each frame is a key frame)
};

// One scaling context turns the caller's frames (source size and pixel format) into the encoder's
// (destination size and format); one H.264 encoder writes MP4 files, one MJPEG encoder writes stills.
//
// Order of use:
//   setConverterFrameSize -> setConverterFmt -> [setEncoderOptions] -> initVideoConverter
//     -> (setOutputFile -> rgbToVideo / nv12ToVideo / yuv420pToVideo ... -> flushAndCloseVideo)*
// Stills need initVideoConverter, setJpegOutputPath and rgbToJpeg; plain conversion (nv12ToRGB)
// needs only the first two steps. Every operation returns 0 on success and -1 on failure; failures
// are logged at the error level, and the reason of the last one is kept: lastError() and
// lastErrorMessage() (the logged line) until the next operation starts. Nothing here throws for a
// failure it reports. One thread at a time; the converter holds no lock.
//
// Videos: yuv420p H.264 ("libx264" when the FFmpeg build has it, then "h264_mf", then the first
// H.264 encoder), no B-frames, a key frame at least once a second of 30 fps video (VideoEncoderOptions
// can ask for them more often), one reference frame, and the index at the front of the file so that
// players can start and seek at once.
class DataToVideoConverter {
public:
    // FFmpeg pixel format numbers used by the callers.
    static constexpr int kPixFmtYuv420p = 0;
    static constexpr int kPixFmtBgr24 = 3;
    static constexpr int kPixFmtNv12 = 23;

    static constexpr int kFrameRate = 30;
    // Step of the automatic timestamps (1 / 30 s, microseconds).
    static constexpr int64_t kAutoTimestampStepUs = 1'000'000 / kFrameRate;
    static constexpr int64_t kBitRate = 60'000'000;

    DataToVideoConverter();
    ~DataToVideoConverter();
    DataToVideoConverter(const DataToVideoConverter&) = delete;
    DataToVideoConverter& operator=(const DataToVideoConverter&) = delete;

    // Stores the sizes (note the order: source height, source width, destination height, width).
    // Always succeeds; the sizes are checked by setConverterFmt.
    int setConverterFrameSize(int src_height, int src_width, int dst_height, int dst_width);
    // Builds the scaling context (nearest neighbour) from the stored sizes and these formats.
    [[nodiscard]] int setConverterFmt(int src_fmt, int dst_fmt);
    // Settings of the H.264 encoders opened from now on (initVideoConverter opens the first; call it
    // before). Fails (InvalidArgument) for a quantiser above 51 or a key frame interval below 1 or
    // above one second of video; libx264 checks the preset and tune names when it opens.
    [[nodiscard]] int setEncoderOptions(const VideoEncoderOptions& options);
    const VideoEncoderOptions& encoderOptions() const { return options_; }
    // Chooses and opens the H.264 encoder, allocates the frames, opens the MJPEG encoder.
    [[nodiscard]] int initVideoConverter();

    // Starts a new MP4 file (any earlier unfinished one is dropped). Messages name it `shown_as` when
    // given (the name the user chose for a file written under another one first).
    [[nodiscard]] int setOutputFile(const std::string& path, const std::string& shown_as = {});
    // Encodes one packed BGR24 frame (source size, rows of 3 * width bytes). A timestamp of -1
    // takes the next automatic one (0, 33333, 66666, ... us); any other value is the frame's time
    // in microseconds, and automatic timestamps go on 1/30 s after it.
    [[nodiscard]] int rgbToVideo(const uint8_t* data, int64_t timestamp);
    // Encodes one NV12 frame (luma plane of width * height bytes, then the interleaved chroma).
    [[nodiscard]] int nv12ToVideo(const uint8_t* data, int64_t timestamp);
    // Encodes one planar 4:2:0 frame of the destination size as it is, without the scaling context:
    // planes[0] is the luma (rows of strides[0] bytes), planes[1] and planes[2] the Cb and Cr planes
    // of half the width and height (rounded up). Needs a yuv420p destination (WrongPixelFormat
    // otherwise), whatever the source format. Timestamps as for rgbToVideo.
    [[nodiscard]] int yuv420pToVideo(const uint8_t* const planes[3], const int strides[3], int64_t timestamp);
    // Converts one NV12 frame into `out`: packed 3-byte pixels, rows of 3 * destination width.
    [[nodiscard]] int nv12ToRGB(const uint8_t* data, uint8_t* out);

    // Directory of the stills: rgbToJpeg(data, 1234) writes DIR/1234.jpg. Always succeeds; the
    // directory is checked when a still is written.
    int setJpegOutputPath(const std::string& dir);
    [[nodiscard]] int rgbToJpeg(const uint8_t* data, int64_t timestamp);

    // Drains the encoder, finishes the file, and readies a fresh encoder for the next
    // setOutputFile; automatic timestamps of the next video start at 0 again.
    [[nodiscard]] int flushAndCloseVideo();

    // Why the last operation failed (None after one that succeeded), and the line logged for it.
    VideoError lastError() const { return error_; }
    std::string lastErrorMessage() const { return error_message_; }

    // Name of the chosen H.264 encoder (empty before initVideoConverter).
    std::string encoderName() const;
    // Timestamp (us) the next frame sent with -1 will get.
    int64_t nextAutoTimestamp() const { return next_timestamp_; }

    // Name of the H.264 encoder that FFmpeg offers under the first of `preferred` it has, else of
    // its first H.264 encoder; empty when there is none.
    static std::string chooseH264EncoderName(const std::vector<std::string>& preferred);

private:
    struct Ffmpeg;  // the FFmpeg objects, owned (DataToVideoConverter.cpp)

    static const AVCodec* chooseH264Encoder(const std::vector<std::string>& preferred);
    // Keeps the reason of the current operation's failure, logs `message` at the error level with
    // the caller's position (filled in by the compiler), and returns -1.
    int fail(VideoError code, std::string message, const char* file = __builtin_FILE(),
             int line = __builtin_LINE());
    void clearError();
    [[nodiscard]] int openVideoCodec();
    void closeOutput();
    int64_t takeTimestamp(int64_t timestamp);
    [[nodiscard]] int encodeDestinationFrame(int64_t timestamp);
    [[nodiscard]] int receiveAndWriteVideoPackets();

    std::unique_ptr<Ffmpeg> ffmpeg_;
    const AVCodec* codec_ = nullptr;
    int src_fmt_ = -1;
    int dst_fmt_ = -1;
    int dst_width_ = 3840;
    int dst_height_ = 2160;
    int src_width_ = 3840;
    int src_height_ = 2160;
    VideoEncoderOptions options_;
    int64_t next_timestamp_ = 0;
    int64_t frames_sent_ = 0;  // since the encoder was opened
    std::string jpeg_dir_;
    int64_t jpeg_frames_ = 0;  // stills encoded (their encoder wants rising timestamps)
    VideoError error_ = VideoError::None;
    std::string error_message_;
};

}  // namespace zelvan
