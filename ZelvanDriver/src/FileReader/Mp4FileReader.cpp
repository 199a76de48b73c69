#include "zelvan/Mp4FileReader.h"

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "zelvan/Logger.h"
#include "zelvan/StringUtils.h"

namespace zelvan {

std::unique_ptr<ApsFileReader> ApsFileReader::createFileReader(const std::string& path) {
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || path.compare(dot, std::string::npos, ".mp4") != 0) return nullptr;
    return std::make_unique<Mp4FileReader>(path);
}

Mp4FileReader::Mp4FileReader(const std::string& path) : ApsFileReader(path) {}

Mp4FileReader::~Mp4FileReader() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    sws_freeContext(sws_ctx_);
    avcodec_free_context(&codec_ctx_);
    avformat_close_input(&format_ctx_);
}

uint64_t Mp4FileReader::frameTimestamp(bool best_effort) const {
    int64_t pts = frame_->pts;
    if (pts == AV_NOPTS_VALUE && best_effort) pts = frame_->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE || pts < 0) return 0;
    const AVRational tb = format_ctx_->streams[video_stream_]->time_base;
    // Exact integer arithmetic: pts * num * 1e6 / den, truncated.
    return static_cast<uint64_t>(av_rescale_rnd(pts, int64_t(tb.num) * 1'000'000, tb.den, AV_ROUND_DOWN));
}

bool Mp4FileReader::loadFile() {
    if (format_ctx_ != nullptr) {
        ZV_LOG(LOG_ERROR, "Frame file is already loaded: %s", path_.c_str());
        return false;
    }
    const std::string utf8 = local8bitToUtf8(path_);
    if (avformat_open_input(&format_ctx_, utf8.c_str(), nullptr, nullptr) < 0) {
        ZV_LOG(LOG_ERROR, "Could not open frame file: %s", utf8.c_str());
        format_ctx_ = nullptr;
        return false;
    }
    if (avformat_find_stream_info(format_ctx_, nullptr) < 0) {
        ZV_LOG(LOG_ERROR, "Could not read the stream information of: %s", utf8.c_str());
        avformat_close_input(&format_ctx_);
        return false;
    }
    video_stream_ = -1;
    for (unsigned i = 0; i < format_ctx_->nb_streams; ++i) {
        if (format_ctx_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            video_stream_ = static_cast<int>(i);
            break;
        }
    }
    if (video_stream_ < 0) {
        ZV_LOG(LOG_ERROR, "No video stream found!");
        avformat_close_input(&format_ctx_);
        return false;
    }
    const AVCodecParameters* par = format_ctx_->streams[video_stream_]->codecpar;
    if (par->width <= 0 || par->height <= 0 || par->width > 0xFFFF || par->height > 0xFFFF) {
        ZV_LOG(LOG_ERROR, "Unsupported frame size %dx%d in: %s", par->width, par->height, utf8.c_str());
        avformat_close_input(&format_ctx_);
        return false;
    }
    width_ = static_cast<uint16_t>(par->width);
    height_ = static_cast<uint16_t>(par->height);
    picture_.assign(size_t(width_) * height_ * 3, 0);

    const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
    codec_ctx_ = decoder != nullptr ? avcodec_alloc_context3(decoder) : nullptr;
    if (codec_ctx_ == nullptr || avcodec_parameters_to_context(codec_ctx_, par) < 0 ||
        avcodec_open2(codec_ctx_, decoder, nullptr) < 0) {
        ZV_LOG(LOG_ERROR, "Could not open the video decoder of: %s", utf8.c_str());
        avcodec_free_context(&codec_ctx_);
        avformat_close_input(&format_ctx_);
        return false;
    }
    packet_ = av_packet_alloc();
    if (packet_ == nullptr) {
        ZV_LOG(LOG_ERROR, "Could not allocate packet.");
        return false;
    }
    listTimestamps();
    return true;
}

bool Mp4FileReader::listTimestamps() {
    timestamps_.clear();
    if (frame_ == nullptr) frame_ = av_frame_alloc();
    if (frame_ == nullptr) {
        ZV_LOG(LOG_ERROR, "Failed to allocate AVFrame");
        return false;
    }
    auto collect = [this] {
        while (avcodec_receive_frame(codec_ctx_, frame_) == 0) {
            if (frame_->pts != AV_NOPTS_VALUE || frame_->best_effort_timestamp != AV_NOPTS_VALUE)
                timestamps_.push_back(frameTimestamp(true));
            av_frame_unref(frame_);
        }
    };
    while (av_read_frame(format_ctx_, packet_) >= 0) {
        if (packet_->stream_index == video_stream_ && avcodec_send_packet(codec_ctx_, packet_) >= 0)
            collect();
        av_packet_unref(packet_);
    }
    // Frames the decoder still holds at the end of the file.
    if (avcodec_send_packet(codec_ctx_, nullptr) >= 0) collect();
    std::sort(timestamps_.begin(), timestamps_.end());
    if (!timestamps_.empty()) {
        seekStream(timestamps_.front());
    } else {
        avcodec_flush_buffers(codec_ctx_);
    }
    return true;
}

bool Mp4FileReader::seekStream(uint64_t timestamp) {
    const AVRational tb = format_ctx_->streams[video_stream_]->time_base;
    const int64_t target =
        av_rescale_rnd(static_cast<int64_t>(timestamp), tb.den, int64_t(tb.num) * 1'000'000, AV_ROUND_DOWN);
    if (av_seek_frame(format_ctx_, video_stream_, target, AVSEEK_FLAG_BACKWARD) < 0) {
        ZV_LOG(LOG_ERROR, "Seek frame failed!");
        return false;
    }
    avcodec_flush_buffers(codec_ctx_);
    draining_ = false;
    return true;
}

bool Mp4FileReader::getTimeStamps(std::vector<uint64_t>& timestamps) {
    timestamps = timestamps_;
    return true;
}

bool Mp4FileReader::decodeNext() {
    if (codec_ctx_ == nullptr || frame_ == nullptr || packet_ == nullptr) return false;
    for (;;) {
        const int got = avcodec_receive_frame(codec_ctx_, frame_);
        if (got == 0) return true;
        if (got != AVERROR(EAGAIN)) return false;  // end of the drained stream, or an error
        if (draining_) return false;
        if (av_read_frame(format_ctx_, packet_) < 0) {
            draining_ = true;
            if (avcodec_send_packet(codec_ctx_, nullptr) < 0) return false;
            continue;
        }
        if (packet_->stream_index == video_stream_) avcodec_send_packet(codec_ctx_, packet_);
        av_packet_unref(packet_);
    }
}

bool Mp4FileReader::getNextFrame(ApsFrame& frame) {
    if (!decodeNext()) return false;
    if (sws_ctx_ == nullptr || frame_->width != width_ || frame_->height != height_) {
        sws_freeContext(sws_ctx_);
        sws_ctx_ = sws_getContext(frame_->width, frame_->height, static_cast<AVPixelFormat>(frame_->format),
                                  width_, height_, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
    }
    if (sws_ctx_ == nullptr) {
        ZV_LOG(LOG_ERROR, "Could not create the scaling context for the frames of: %s", path_.c_str());
        av_frame_unref(frame_);
        return false;
    }
    uint8_t* dst[1] = {picture_.data()};
    const int strides[1] = {3 * int(width_)};
    sws_scale(sws_ctx_, frame_->data, frame_->linesize, 0, frame_->height, dst, strides);
    const uint64_t ts = frameTimestamp(true);
    av_frame_unref(frame_);
    frame = ApsFrame(width_, height_, ts, ts, picture_.data(), picture_.size(), false);
    return true;
}

bool Mp4FileReader::getFrameGivenTimeStamp(uint64_t timestamp, ApsFrame& frame) {
    if (format_ctx_ == nullptr) return false;
    const auto after = std::upper_bound(timestamps_.begin(), timestamps_.end(), timestamp);
    if (after == timestamps_.begin()) return false;
    const uint64_t target = *std::prev(after);
    ZV_LOG(LOG_INFO, "Seek to time: %lld", static_cast<long long>(target));
    if (!seekStream(target)) return false;
    ApsFrame candidate;
    while (getNextFrame(candidate)) {
        if (candidate.startTimestamp() < target) {
            ZV_LOG(LOG_INFO, "Skip frame: %lld", static_cast<long long>(candidate.startTimestamp()));
            continue;
        }
        frame = std::move(candidate);
        return true;
    }
    return false;
}

bool Mp4FileReader::getNFrame(int index, ApsFrame& frame) {
    if (index < 0 || static_cast<size_t>(index) >= timestamps_.size()) return false;
    return getFrameGivenTimeStamp(timestamps_[static_cast<size_t>(index)], frame);
}

bool Mp4FileReader::seekTime(uint64_t timestamp) {
    if (format_ctx_ == nullptr) return false;
    const auto after = std::upper_bound(timestamps_.begin(), timestamps_.end(), timestamp);
    if (after == timestamps_.end()) return false;
    const uint64_t target = after == timestamps_.begin() ? timestamps_.front() : *std::prev(after);
    if (!seekStream(target)) return false;
    ZV_LOG(LOG_INFO, "Seek to time: %lld", static_cast<long long>(target));
    return true;
}

}  // namespace zelvan
