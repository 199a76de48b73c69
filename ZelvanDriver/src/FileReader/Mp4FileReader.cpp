#include "zelvan/Mp4FileReader.h"

#include <algorithm>
#include <new>

extern "C" {
#include <libavutil/imgutils.h>
}

#include "tools/FfmpegHandles.h"
#include "zelvan/Logger.h"
#include "zelvan/StringUtils.h"

namespace zelvan {

struct Mp4FileReader::Ffmpeg {
    ffmpeg::InputFormatPtr format;
    ffmpeg::CodecContextPtr codec;  // decoder of the video stream
    ffmpeg::ScalerPtr scaler;       // decoded frames to BGR24
    ffmpeg::FramePtr frame;         // the last decoded frame
    ffmpeg::PacketPtr packet;
};

std::unique_ptr<ApsFileReader> ApsFileReader::createFileReader(const std::string& path) {
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || path.compare(dot, std::string::npos, ".mp4") != 0) return nullptr;
    return std::make_unique<Mp4FileReader>(path);
}

Mp4FileReader::Mp4FileReader(const std::string& path)
    : ApsFileReader(path), ffmpeg_(std::make_unique<Ffmpeg>()) {}

Mp4FileReader::~Mp4FileReader() = default;

uint64_t Mp4FileReader::frameTimestamp(bool best_effort) const {
    const AVFrame* frame = ffmpeg_->frame.get();
    int64_t pts = frame->pts;
    if (pts == AV_NOPTS_VALUE && best_effort) pts = frame->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE || pts < 0) return 0;
    const AVRational tb = ffmpeg_->format->streams[video_stream_]->time_base;
    // Exact integer arithmetic: pts * num * 1e6 / den, truncated.
    return static_cast<uint64_t>(av_rescale_rnd(pts, int64_t(tb.num) * 1'000'000, tb.den, AV_ROUND_DOWN));
}

bool Mp4FileReader::loadFile() {
    if (ffmpeg_->format != nullptr) {
        ZV_LOG(LOG_ERROR, "Frame file is already loaded: %s", path_.c_str());
        return false;
    }
    const std::string utf8 = local8bitToUtf8(path_);
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, utf8.c_str(), nullptr, nullptr) < 0) {
        ZV_LOG(LOG_ERROR, "Could not open frame file: %s", utf8.c_str());
        return false;
    }
    // Kept only once the file proves readable: a reader whose loading failed holds no file.
    ffmpeg::InputFormatPtr format(opened);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) {
        ZV_LOG(LOG_ERROR, "Could not read the stream information of: %s", utf8.c_str());
        return false;
    }
    int video_stream = -1;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            video_stream = static_cast<int>(i);
            break;
        }
    }
    if (video_stream < 0) {
        ZV_LOG(LOG_ERROR, "No video stream found!");
        return false;
    }
    const AVCodecParameters* par = format->streams[video_stream]->codecpar;
    if (par->width <= 0 || par->height <= 0 || par->width > 0xFFFF || par->height > 0xFFFF) {
        ZV_LOG(LOG_ERROR, "Unsupported frame size %dx%d in: %s", par->width, par->height, utf8.c_str());
        return false;
    }
    const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
    ffmpeg::CodecContextPtr codec(decoder != nullptr ? avcodec_alloc_context3(decoder) : nullptr);
    if (codec == nullptr || avcodec_parameters_to_context(codec.get(), par) < 0 ||
        avcodec_open2(codec.get(), decoder, nullptr) < 0) {
        ZV_LOG(LOG_ERROR, "Could not open the video decoder of: %s", utf8.c_str());
        return false;
    }
    ffmpeg::PacketPtr packet(av_packet_alloc());
    if (packet == nullptr) {
        ZV_LOG(LOG_ERROR, "Could not allocate packet.");
        return false;
    }
    width_ = static_cast<uint16_t>(par->width);
    height_ = static_cast<uint16_t>(par->height);
    video_stream_ = video_stream;
    ffmpeg_->format = std::move(format);
    ffmpeg_->codec = std::move(codec);
    ffmpeg_->packet = std::move(packet);
    if (!listTimestamps()) {
        ZV_LOG(LOG_WARNING, "Loading %s was cancelled.", utf8.c_str());
        timestamps_.clear();
        video_stream_ = -1;
        ffmpeg_ = std::make_unique<Ffmpeg>();
        width_ = height_ = 0;
        return false;
    }
    return true;
}

bool Mp4FileReader::listTimestamps() {
    timestamps_.clear();
    Ffmpeg& f = *ffmpeg_;
    if (f.frame == nullptr) f.frame.reset(av_frame_alloc());
    if (f.frame == nullptr) {
        ZV_LOG(LOG_ERROR, "Failed to allocate AVFrame");
        return true;
    }
    AVCodecContext* codec = f.codec.get();
    AVFrame* frame = f.frame.get();
    AVPacket* packet = f.packet.get();
    auto collect = [&] {
        while (avcodec_receive_frame(codec, frame) == 0) {
            if (frame->pts != AV_NOPTS_VALUE || frame->best_effort_timestamp != AV_NOPTS_VALUE)
                timestamps_.push_back(frameTimestamp(true));
            av_frame_unref(frame);
        }
    };
    // Progress in bytes of the file, told every few packets; a cancel ends the listing there.
    AVIOContext* const io = f.format->pb;
    const int64_t size = io != nullptr ? avio_size(io) : -1;
    uint64_t told = 0;
    const auto goOn = [&](bool at_end) {
        if (!progress_) return true;
        const int64_t at = io != nullptr ? avio_tell(io) : -1;
        const uint64_t total = size > 0 ? uint64_t(size) : 0;
        uint64_t done = at_end ? total : at > 0 ? std::min(uint64_t(at), total) : 0;
        done = std::max(done, told);  // never backwards (the demuxer may read ahead and seek back)
        told = done;
        return progress_(done, total);
    };
    for (uint32_t packets = 0; av_read_frame(f.format.get(), packet) >= 0; ++packets) {
        if (packet->stream_index == video_stream_ && avcodec_send_packet(codec, packet) >= 0) collect();
        av_packet_unref(packet);
        if (packets % 8 == 7 && !goOn(false)) return false;
    }
    if (!goOn(true)) return false;
    // Frames the decoder still holds at the end of the file.
    if (avcodec_send_packet(codec, nullptr) >= 0) collect();
    std::sort(timestamps_.begin(), timestamps_.end());
    if (timestamps_.empty()) {
        avcodec_flush_buffers(codec);
        return true;
    }
    // A failed seek is logged; the list stands, and every later seek tries again.
    seekStream(timestamps_.front());
    return true;
}

bool Mp4FileReader::seekStream(uint64_t timestamp) {
    const AVRational tb = ffmpeg_->format->streams[video_stream_]->time_base;
    const int64_t target =
        av_rescale_rnd(static_cast<int64_t>(timestamp), tb.den, int64_t(tb.num) * 1'000'000, AV_ROUND_DOWN);
    if (av_seek_frame(ffmpeg_->format.get(), video_stream_, target, AVSEEK_FLAG_BACKWARD) < 0) {
        ZV_LOG(LOG_ERROR, "Seek frame failed!");
        return false;
    }
    avcodec_flush_buffers(ffmpeg_->codec.get());
    draining_ = false;
    return true;
}

bool Mp4FileReader::getTimeStamps(std::vector<uint64_t>& timestamps) {
    timestamps = timestamps_;
    return true;
}

bool Mp4FileReader::decodeNext() {
    Ffmpeg& f = *ffmpeg_;
    if (f.codec == nullptr || f.frame == nullptr || f.packet == nullptr) return false;
    for (;;) {
        const int got = avcodec_receive_frame(f.codec.get(), f.frame.get());
        if (got == 0) return true;
        if (got != AVERROR(EAGAIN)) return false;  // end of the drained stream, or an error
        if (draining_) return false;
        if (av_read_frame(f.format.get(), f.packet.get()) < 0) {
            draining_ = true;
            if (avcodec_send_packet(f.codec.get(), nullptr) < 0) return false;
            continue;
        }
        // A packet the decoder refuses is dropped; the next one may decode.
        if (f.packet->stream_index == video_stream_) avcodec_send_packet(f.codec.get(), f.packet.get());
        av_packet_unref(f.packet.get());
    }
}

bool Mp4FileReader::convertDecoded(ApsFrame& frame) {
    Ffmpeg& f = *ffmpeg_;
    AVFrame* decoded = f.frame.get();
    if (f.scaler == nullptr || decoded->width != width_ || decoded->height != height_) {
        f.scaler.reset(sws_getContext(decoded->width, decoded->height,
                                      static_cast<AVPixelFormat>(decoded->format), width_, height_,
                                      AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr));
    }
    if (f.scaler == nullptr) {
        ZV_LOG(LOG_ERROR, "Could not create the scaling context for the frames of: %s", path_.c_str());
        av_frame_unref(decoded);
        return false;
    }
    const uint64_t ts = frameTimestamp(true);
    // A frame of the stream's size (the previous one, as a caller decoding in a loop passes it) is
    // written over in place; any other (or one marked as the last of a sequence) is replaced by a
    // frame of that size.
    const size_t bytes = size_t(width_) * size_t(height_) * ApsFrame::kBytesPerPixel;
    if (frame.width() != width_ || frame.height() != height_ || frame.getDataSize() != bytes ||
        frame.isLast()) {
        try {
            frame = ApsFrame(width_, height_, ts, ts);
        } catch (const std::bad_alloc&) {
            ZV_LOG(LOG_ERROR, "Not enough memory for frames of %dx%d in: %s", int(width_), int(height_),
                   path_.c_str());
            av_frame_unref(decoded);
            return false;
        }
    } else {
        frame.setTimestamps(ts, ts);
    }
    uint8_t* dst[1] = {frame.data()};
    const int strides[1] = {ApsFrame::kBytesPerPixel * int(width_)};
    sws_scale(f.scaler.get(), decoded->data, decoded->linesize, 0, decoded->height, dst, strides);
    av_frame_unref(decoded);
    return true;
}

bool Mp4FileReader::getNextFrame(ApsFrame& frame) {
    if (!decodeNext()) return false;
    return convertDecoded(frame);
}

bool Mp4FileReader::getFrameGivenTimeStamp(uint64_t timestamp, ApsFrame& frame) {
    if (ffmpeg_->format == nullptr) return false;
    const auto after = std::upper_bound(timestamps_.begin(), timestamps_.end(), timestamp);
    if (after == timestamps_.begin()) return false;
    const uint64_t target = *std::prev(after);
    ZV_LOG(LOG_INFO, "Seek to time: %lld", static_cast<long long>(target));
    if (!seekStream(target)) return false;
    // The frames before the target are decoded (the codec needs them) but not converted.
    while (decodeNext()) {
        const uint64_t ts = frameTimestamp(true);
        if (ts < target) {
            ZV_LOG(LOG_INFO, "Skip frame: %lld", static_cast<long long>(ts));
            av_frame_unref(ffmpeg_->frame.get());
            continue;
        }
        return convertDecoded(frame);
    }
    return false;
}

bool Mp4FileReader::getNFrame(int index, ApsFrame& frame) {
    if (index < 0 || static_cast<size_t>(index) >= timestamps_.size()) return false;
    return getFrameGivenTimeStamp(timestamps_[static_cast<size_t>(index)], frame);
}

bool Mp4FileReader::seekTime(uint64_t timestamp) {
    if (ffmpeg_->format == nullptr) return false;
    const auto after = std::upper_bound(timestamps_.begin(), timestamps_.end(), timestamp);
    if (after == timestamps_.end()) return false;
    const uint64_t target = after == timestamps_.begin() ? timestamps_.front() : *std::prev(after);
    if (!seekStream(target)) return false;
    ZV_LOG(LOG_INFO, "Seek to time: %lld", static_cast<long long>(target));
    return true;
}

}  // namespace zelvan
