#include "zelvan/DataToVideoConverter.h"

#include <cstdio>
#include <mutex>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "tools/FfmpegHandles.h"
#include "zelvan/Logger.h"
#include "zelvan/StringUtils.h"

namespace zelvan {

namespace {

constexpr int kFrameAlign = 32;

// FFmpeg and its encoders print progress and statistics on stderr at their default level; keep
// only real errors there. A program that chose a level of its own keeps it.
void quietFfmpegLogs() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
    });
}

// A frame of this size and format with its buffers, or nothing.
ffmpeg::FramePtr allocFrame(int width, int height, int format) {
    ffmpeg::FramePtr frame(av_frame_alloc());
    if (frame == nullptr) return nullptr;
    frame->width = width;
    frame->height = height;
    frame->format = format;
    if (av_frame_get_buffer(frame.get(), kFrameAlign) < 0) return nullptr;
    return frame;
}

}  // namespace

struct DataToVideoConverter::Ffmpeg {
    ffmpeg::OutputFormatPtr format;  // the MP4 being written
    AVStream* stream = nullptr;      // its video stream (owned by `format`)
    ffmpeg::CodecContextPtr codec;   // H.264
    ffmpeg::ScalerPtr scaler;
    ffmpeg::FramePtr dst_frame;
    ffmpeg::FramePtr src_frame;
    ffmpeg::PacketPtr packet;
    ffmpeg::CodecContextPtr jpeg;
};

DataToVideoConverter::DataToVideoConverter() : ffmpeg_(std::make_unique<Ffmpeg>()) { quietFfmpegLogs(); }

DataToVideoConverter::~DataToVideoConverter() = default;

int DataToVideoConverter::fail(VideoError code, std::string message, const char* file, int line) {
    Logger::Instance().log_(LOG_ERROR, file, line, "%s", message.c_str());
    error_ = code;
    error_message_ = std::move(message);
    return -1;
}

void DataToVideoConverter::clearError() {
    error_ = VideoError::None;
    error_message_.clear();
}

std::string DataToVideoConverter::encoderName() const { return codec_ != nullptr ? codec_->name : ""; }

const AVCodec* DataToVideoConverter::chooseH264Encoder(const std::vector<std::string>& preferred) {
    for (const std::string& name : preferred) {
        void* it = nullptr;
        while (const AVCodec* c = av_codec_iterate(&it)) {
            if (c->id == AV_CODEC_ID_H264 && av_codec_is_encoder(c) && name == c->name) return c;
        }
    }
    void* it = nullptr;
    while (const AVCodec* c = av_codec_iterate(&it)) {
        if (c->id == AV_CODEC_ID_H264 && av_codec_is_encoder(c)) return c;
    }
    return nullptr;
}

std::string DataToVideoConverter::chooseH264EncoderName(const std::vector<std::string>& preferred) {
    const AVCodec* c = chooseH264Encoder(preferred);
    return c != nullptr ? c->name : "";
}

int DataToVideoConverter::setConverterFrameSize(int src_height, int src_width, int dst_height,
                                                int dst_width) {
    clearError();
    src_height_ = src_height;
    src_width_ = src_width;
    dst_height_ = dst_height;
    dst_width_ = dst_width;
    return 0;
}

int DataToVideoConverter::setConverterFmt(int src_fmt, int dst_fmt) {
    clearError();
    ffmpeg_->scaler.reset();
    src_fmt_ = src_fmt;
    dst_fmt_ = dst_fmt;
    if (src_width_ <= 0 || src_height_ <= 0 || dst_width_ <= 0 || dst_height_ <= 0) {
        return fail(VideoError::InvalidArgument,
                    "Could not create the scaling context: frame sizes must be positive.");
    }
    ffmpeg_->scaler.reset(sws_getContext(src_width_, src_height_, static_cast<AVPixelFormat>(src_fmt),
                                         dst_width_, dst_height_, static_cast<AVPixelFormat>(dst_fmt),
                                         SWS_POINT, nullptr, nullptr, nullptr));
    if (ffmpeg_->scaler == nullptr) {
        return fail(VideoError::WrongPixelFormat, "Could not create the scaling context from format " +
                                                      std::to_string(src_fmt) + " to format " +
                                                      std::to_string(dst_fmt) + ".");
    }
    return 0;
}

int DataToVideoConverter::setEncoderOptions(const VideoEncoderOptions& options) {
    clearError();
    if (options.constant_qp > 51) {
        return fail(VideoError::InvalidArgument,
                    "setEncoderOptions: quantiser " + std::to_string(options.constant_qp) + " is above 51.");
    }
    if (options.key_frame_interval < 1 || options.key_frame_interval > kFrameRate) {
        return fail(VideoError::InvalidArgument, "setEncoderOptions: key frame interval " +
                                                     std::to_string(options.key_frame_interval) +
                                                     " is outside 1.." + std::to_string(kFrameRate) + ".");
    }
    options_ = options;
    return 0;
}

int DataToVideoConverter::openVideoCodec() {
    ffmpeg_->codec.reset();
    frames_sent_ = 0;
    ffmpeg::CodecContextPtr codec(avcodec_alloc_context3(codec_));
    if (codec == nullptr) return fail(VideoError::EncoderSetup, "Could not allocate codec context.");
    const bool x264 = std::string(codec_->name) == "libx264";
    const bool constant_qp = x264 && options_.constant_qp >= 0;
    codec->width = dst_width_;
    codec->height = dst_height_;
    codec->pix_fmt = static_cast<AVPixelFormat>(dst_fmt_);
    codec->time_base = AVRational{1, 1'000'000};
    codec->framerate = AVRational{kFrameRate, 1};
    // A constant quantiser leaves the bit rate to the pictures (and spares the encoder the
    // look-ahead that rate control needs).
    if (!constant_qp) codec->bit_rate = kBitRate;
    // Picture structure: a key frame at least once a second, no reordered frames (timestamps may
    // be irregular, and every frame decodes as soon as it arrives).
    codec->gop_size = options_.key_frame_interval;
    codec->max_b_frames = 0;
    // One reference frame and key frames allowed anywhere (scene changes): cheap to encode,
    // decodable by every player profile, and seeking never has to decode far.
    codec->refs = 1;
    codec->keyint_min = 1;
    // As many encoder threads as the machine has to offer (FFmpeg's default is one).
    codec->thread_count = 0;
    // MP4 keeps the parameter sets in the track header.
    codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (x264) {
        // Event frames are mostly scattered single pixels, costly to code at this bit rate: the
        // fastest preset keeps exports ahead of real time, and its constrained-baseline output
        // plays everywhere.
        av_opt_set(codec->priv_data, "preset", options_.preset.c_str(), 0);
        if (!options_.tune.empty()) av_opt_set(codec->priv_data, "tune", options_.tune.c_str(), 0);
        if (constant_qp) av_opt_set_int(codec->priv_data, "qp", options_.constant_qp, 0);
    }
    if (avcodec_open2(codec.get(), codec_, nullptr) < 0)
        return fail(VideoError::EncoderSetup, "Could not open codec.");
    ffmpeg_->codec = std::move(codec);
    return 0;
}

int DataToVideoConverter::initVideoConverter() {
    clearError();
    codec_ = chooseH264Encoder({"libx264", "h264_mf"});
    if (codec_ == nullptr) return fail(VideoError::NoEncoder, "H.264 encoder not found.");
    ZV_LOG(LOG_INFO, "Using encoder: %s", codec_->name);
    if (src_fmt_ < 0 || dst_fmt_ < 0) return fail(VideoError::NotReady, "Could not open codec.");
    if (openVideoCodec() != 0) return -1;

    ffmpeg_->dst_frame.reset(av_frame_alloc());
    if (ffmpeg_->dst_frame == nullptr) {
        return fail(VideoError::EncoderSetup, "Could not allocate destination frame.");
    }
    AVFrame* dst = ffmpeg_->dst_frame.get();
    dst->width = dst_width_;
    dst->height = dst_height_;
    dst->format = dst_fmt_;
    if (av_frame_get_buffer(dst, kFrameAlign) < 0) {
        ffmpeg_->dst_frame.reset();
        return fail(VideoError::EncoderSetup, "Could not allocate the video frame data");
    }
    ffmpeg_->src_frame = allocFrame(src_width_, src_height_, src_fmt_);
    if (ffmpeg_->src_frame == nullptr)
        return fail(VideoError::EncoderSetup, "Could not allocate source frame.");

    const AVCodec* jpeg = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (jpeg == nullptr) return fail(VideoError::NoEncoder, "JPEG codec not found.");
    ffmpeg_->jpeg.reset(avcodec_alloc_context3(jpeg));
    if (ffmpeg_->jpeg == nullptr)
        return fail(VideoError::EncoderSetup, "Could not allocate JPEG codec context.");
    AVCodecContext* still = ffmpeg_->jpeg.get();
    still->pix_fmt = AV_PIX_FMT_YUVJ420P;
    still->width = dst_width_;
    still->height = dst_height_;
    still->time_base = AVRational{1, 25};
    if (avcodec_open2(still, jpeg, nullptr) < 0) {
        ffmpeg_->jpeg.reset();
        return fail(VideoError::EncoderSetup, "Could not open JPEG codec.");
    }

    ffmpeg_->packet.reset(av_packet_alloc());
    if (ffmpeg_->packet == nullptr) return fail(VideoError::EncoderSetup, "Could not allocate packet.");
    return 0;
}

void DataToVideoConverter::closeOutput() {
    ffmpeg_->stream = nullptr;
    ffmpeg_->format.reset();
}

int DataToVideoConverter::setOutputFile(const std::string& path, const std::string& shown_as) {
    clearError();
    const std::string utf8 = local8bitToUtf8(path);
    const std::string shown = shown_as.empty() ? utf8 : local8bitToUtf8(shown_as);
    if (ffmpeg_->codec == nullptr) {
        return fail(VideoError::NotReady,
                    "setOutputFile: codec_ctx_ not initialized. Please call initVideoConverter() first.");
    }
    closeOutput();
    // Frames of an abandoned video may still sit in the encoder: start from a fresh one.
    if (frames_sent_ > 0 && openVideoCodec() != 0) return -1;

    AVFormatContext* allocated = nullptr;
    if (avformat_alloc_output_context2(&allocated, nullptr, "mp4", utf8.c_str()) < 0 ||
        allocated == nullptr) {
        return fail(VideoError::EncoderSetup, "Failed to allocate output format context.");
    }
    ffmpeg::OutputFormatPtr format(allocated);
    AVStream* stream = avformat_new_stream(format.get(), nullptr);
    if (stream == nullptr) return fail(VideoError::EncoderSetup, "Failed to create new stream.");
    const AVCodecContext* codec = ffmpeg_->codec.get();
    if (avcodec_parameters_from_context(stream->codecpar, codec) < 0) {
        return fail(VideoError::EncoderSetup, "Failed to copy codec parameters to stream.");
    }
    stream->time_base = codec->time_base;
    stream->avg_frame_rate = codec->framerate;
    if (!(format->oformat->flags & AVFMT_NOFILE) &&
        avio_open(&format->pb, utf8.c_str(), AVIO_FLAG_WRITE) < 0) {
        return fail(VideoError::CannotCreateOutput, "Could not open output file: " + shown);
    }
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+faststart", 0);
    const int written = avformat_write_header(format.get(), &options);
    av_dict_free(&options);
    if (written < 0) return fail(VideoError::CannotWrite, "Failed to write video header.");
    ffmpeg_->format = std::move(format);
    ffmpeg_->stream = stream;
    ZV_LOG(LOG_INFO, "Output file set to: %s", shown.c_str());
    return 0;
}

int64_t DataToVideoConverter::takeTimestamp(int64_t timestamp) {
    const int64_t t = timestamp == -1 ? next_timestamp_ : timestamp;
    next_timestamp_ = t + kAutoTimestampStepUs;
    return t;
}

int DataToVideoConverter::encodeDestinationFrame(int64_t timestamp) {
    ffmpeg_->dst_frame->pts = timestamp;
    ffmpeg_->src_frame->pts = timestamp;
    if (avcodec_send_frame(ffmpeg_->codec.get(), ffmpeg_->dst_frame.get()) < 0) {
        return fail(VideoError::EncodeFailed, "Error sending a frame for encoding");
    }
    ++frames_sent_;
    return receiveAndWriteVideoPackets();
}

int DataToVideoConverter::rgbToVideo(const uint8_t* data, int64_t timestamp) {
    clearError();
    const Ffmpeg& f = *ffmpeg_;
    if (f.codec == nullptr || f.dst_frame == nullptr || f.src_frame == nullptr || f.scaler == nullptr ||
        f.format == nullptr || f.packet == nullptr) {
        return fail(VideoError::NotReady, "rgbToVideo: Converter is not fully initialized.");
    }
    if (data == nullptr) return fail(VideoError::InvalidArgument, "rgbToVideo: no frame data.");
    if (src_fmt_ != kPixFmtBgr24)
        return fail(VideoError::WrongPixelFormat, "Sws scale fmt is not AV_PIX_FMT_BGR24");
    if (av_frame_make_writable(f.dst_frame.get()) < 0) {
        return fail(VideoError::EncodeFailed, "Error sending a frame for encoding");
    }
    // The caller's rows are packed; scaling reads them in place.
    const uint8_t* planes[1] = {data};
    const int strides[1] = {3 * src_width_};
    sws_scale(f.scaler.get(), planes, strides, 0, src_height_, f.dst_frame->data, f.dst_frame->linesize);
    return encodeDestinationFrame(takeTimestamp(timestamp));
}

int DataToVideoConverter::nv12ToVideo(const uint8_t* data, int64_t timestamp) {
    clearError();
    const Ffmpeg& f = *ffmpeg_;
    if (f.codec == nullptr || f.dst_frame == nullptr || f.src_frame == nullptr || f.scaler == nullptr ||
        f.format == nullptr || f.packet == nullptr) {
        return fail(VideoError::NotReady, "nv12ToVideo: Converter is not fully initialized.");
    }
    if (data == nullptr) return fail(VideoError::InvalidArgument, "nv12ToVideo: no frame data.");
    if (src_fmt_ != kPixFmtNv12)
        return fail(VideoError::WrongPixelFormat, "Sws scale fmt is not AV_PIX_FMT_NV12");
    if (av_frame_make_writable(f.dst_frame.get()) < 0) {
        return fail(VideoError::EncodeFailed, "Error sending a frame for encoding");
    }
    const uint8_t* planes[2] = {data,
                                data + static_cast<size_t>(src_width_) * static_cast<size_t>(src_height_)};
    const int strides[2] = {src_width_, src_width_};
    sws_scale(f.scaler.get(), planes, strides, 0, src_height_, f.dst_frame->data, f.dst_frame->linesize);
    return encodeDestinationFrame(takeTimestamp(timestamp));
}

int DataToVideoConverter::yuv420pToVideo(const uint8_t* const planes[3], const int strides[3],
                                         int64_t timestamp) {
    clearError();
    const Ffmpeg& f = *ffmpeg_;
    if (f.codec == nullptr || f.dst_frame == nullptr || f.format == nullptr || f.packet == nullptr) {
        return fail(VideoError::NotReady, "yuv420pToVideo: Converter is not fully initialized.");
    }
    if (planes == nullptr || strides == nullptr || planes[0] == nullptr || planes[1] == nullptr ||
        planes[2] == nullptr) {
        return fail(VideoError::InvalidArgument, "yuv420pToVideo: no frame data.");
    }
    if (dst_fmt_ != kPixFmtYuv420p) {
        return fail(VideoError::WrongPixelFormat,
                    "yuv420pToVideo: destination format " + std::to_string(dst_fmt_) + " is not yuv420p.");
    }
    const int chroma_width = (dst_width_ + 1) / 2;
    if (strides[0] < dst_width_ || strides[1] < chroma_width || strides[2] < chroma_width) {
        return fail(VideoError::InvalidArgument, "yuv420pToVideo: rows shorter than the frame.");
    }
    AVFrame* frame = f.dst_frame.get();
    if (av_frame_make_writable(frame) < 0) {
        return fail(VideoError::EncodeFailed, "Error sending a frame for encoding");
    }
    const int chroma_height = (dst_height_ + 1) / 2;
    av_image_copy_plane(frame->data[0], frame->linesize[0], planes[0], strides[0], dst_width_, dst_height_);
    av_image_copy_plane(frame->data[1], frame->linesize[1], planes[1], strides[1], chroma_width,
                        chroma_height);
    av_image_copy_plane(frame->data[2], frame->linesize[2], planes[2], strides[2], chroma_width,
                        chroma_height);
    return encodeDestinationFrame(takeTimestamp(timestamp));
}

int DataToVideoConverter::nv12ToRGB(const uint8_t* data, uint8_t* out) {
    clearError();
    if (ffmpeg_->scaler == nullptr) {
        return fail(VideoError::NotReady, "nv12ToRGB: Converter is not fully initialized.");
    }
    if (data == nullptr || out == nullptr)
        return fail(VideoError::InvalidArgument, "nv12ToRGB: no frame data.");
    if (src_fmt_ != kPixFmtNv12)
        return fail(VideoError::WrongPixelFormat, "Sws scale fmt is not AV_PIX_FMT_NV12");
    if (dst_fmt_ != kPixFmtBgr24 && dst_fmt_ != AV_PIX_FMT_RGB24) {
        return fail(
            VideoError::WrongPixelFormat,
            "nv12ToRGB: destination format " + std::to_string(dst_fmt_) + " is not a packed 3-byte format.");
    }
    const uint8_t* planes[2] = {data,
                                data + static_cast<size_t>(src_width_) * static_cast<size_t>(src_height_)};
    const int strides[2] = {src_width_, src_width_};
    uint8_t* dst[1] = {out};
    const int dst_strides[1] = {3 * dst_width_};
    sws_scale(ffmpeg_->scaler.get(), planes, strides, 0, src_height_, dst, dst_strides);
    return 0;
}

int DataToVideoConverter::setJpegOutputPath(const std::string& dir) {
    clearError();
    jpeg_dir_ = dir;
    return 0;
}

int DataToVideoConverter::rgbToJpeg(const uint8_t* data, int64_t timestamp) {
    clearError();
    const Ffmpeg& f = *ffmpeg_;
    if (f.jpeg == nullptr || f.dst_frame == nullptr || f.scaler == nullptr || f.packet == nullptr) {
        return fail(VideoError::NotReady, "rgbToJpeg: Converter is not fully initialized.");
    }
    if (data == nullptr) return fail(VideoError::InvalidArgument, "rgbToJpeg: no frame data.");
    if (dst_fmt_ != kPixFmtYuv420p && dst_fmt_ != AV_PIX_FMT_YUVJ420P) {
        return fail(VideoError::WrongPixelFormat,
                    "rgbToJpeg: destination format " + std::to_string(dst_fmt_) + " is not 4:2:0 YUV.");
    }
    AVFrame* frame = f.dst_frame.get();
    AVPacket* packet = f.packet.get();
    if (av_frame_make_writable(frame) < 0) {
        return fail(VideoError::EncodeFailed, "Failed to send frame to JPEG encoder.");
    }
    const uint8_t* planes[1] = {data};
    const int strides[1] = {3 * src_width_};
    sws_scale(f.scaler.get(), planes, strides, 0, src_height_, frame->data, frame->linesize);
    // Same planes; the still encoder names the layout by its full-range alias.
    const int video_format = frame->format;
    frame->format = f.jpeg->pix_fmt;
    frame->pts = jpeg_frames_++;
    const int sent = avcodec_send_frame(f.jpeg.get(), frame);
    frame->format = video_format;
    if (sent < 0) return fail(VideoError::EncodeFailed, "Failed to send frame to JPEG encoder.");
    if (avcodec_receive_packet(f.jpeg.get(), packet) < 0) {
        return fail(VideoError::EncodeFailed, "Failed to receive packet from JPEG encoder.");
    }
    const std::string name = jpeg_dir_ + "/" + std::to_string(timestamp) + ".jpg";
    ZV_LOG(LOG_INFO, "JPEG image saved as: %s", name.c_str());
    ffmpeg::FilePtr file(std::fopen(name.c_str(), "wb"));
    if (file == nullptr) {
        av_packet_unref(packet);
        return fail(VideoError::CannotCreateOutput, "Could not open output JPEG file.");
    }
    const size_t size = static_cast<size_t>(packet->size);
    const bool ok = std::fwrite(packet->data, 1, size, file.get()) == size;
    // Closing writes what is still buffered: its result belongs to the write.
    const bool closed = std::fclose(file.release()) == 0;
    av_packet_unref(packet);
    if (!ok || !closed) return fail(VideoError::CannotWrite, "Could not write output JPEG file: " + name);
    return 0;
}

int DataToVideoConverter::receiveAndWriteVideoPackets() {
    const Ffmpeg& f = *ffmpeg_;
    if (f.packet == nullptr || f.format == nullptr || f.codec == nullptr || f.stream == nullptr) {
        return fail(VideoError::NotReady,
                    "receiveAndWriteVideoPackets: Missing packet, format, codec, or stream context.");
    }
    AVPacket* packet = f.packet.get();
    for (;;) {
        const int ret = avcodec_receive_packet(f.codec.get(), packet);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return 0;
        if (ret < 0) return fail(VideoError::EncodeFailed, "Error during encoding: " + std::to_string(ret));
        av_packet_rescale_ts(packet, f.codec->time_base, f.stream->time_base);
        packet->stream_index = f.stream->index;
        const int written = av_interleaved_write_frame(f.format.get(), packet);
        av_packet_unref(packet);
        if (written < 0) return fail(VideoError::CannotWrite, "Failed to write packet.");
    }
}

int DataToVideoConverter::flushAndCloseVideo() {
    clearError();
    const Ffmpeg& f = *ffmpeg_;
    if (f.format == nullptr || f.codec == nullptr || f.stream == nullptr) {
        return fail(VideoError::NotReady, "flushAndCloseVideo: Missing format or codec context.");
    }
    AVPacket* packet = f.packet.get();
    int result = 0;
    if (avcodec_send_frame(f.codec.get(), nullptr) < 0) {
        result = fail(VideoError::EncodeFailed, "Failed to send flush frame to encoder.");
    } else {
        for (;;) {
            const int ret = avcodec_receive_packet(f.codec.get(), packet);
            if (ret == AVERROR_EOF || ret == AVERROR(EAGAIN)) break;
            if (ret < 0) {
                result = fail(VideoError::EncodeFailed,
                              "Error receiving packet during flush: " + std::to_string(ret));
                break;
            }
            av_packet_rescale_ts(packet, f.codec->time_base, f.stream->time_base);
            packet->stream_index = f.stream->index;
            if (av_interleaved_write_frame(f.format.get(), packet) < 0) {
                result = fail(VideoError::CannotWrite, "Failed to write frame during flush.");
            }
            av_packet_unref(packet);
        }
    }
    if (av_write_trailer(f.format.get()) < 0)
        result = fail(VideoError::CannotWrite, "Failed to write the video trailer.");
    // Closing writes what is still buffered: its result belongs to the video.
    if (!(f.format->oformat->flags & AVFMT_NOFILE) && avio_closep(&f.format->pb) < 0) {
        result = fail(VideoError::CannotWrite, "Failed to close the video file.");
    }
    closeOutput();
    next_timestamp_ = 0;
    if (openVideoCodec() != 0) return fail(VideoError::EncoderSetup, "Could not open codec after flush.");
    if (result == 0) ZV_LOG(LOG_INFO, "Video flushed and closed successfully.");
    return result;
}

}  // namespace zelvan
