// The raw file reader: loading, the cursor and the public operations. The bookmark index lives in
// BookmarkIndex.cpp (its side-file layout in BookmarkFile.cpp), cuts in RawFileCut.cpp and video export
// in RawFileExport.cpp.
#include "zelvan/RawFileReader.h"

#include <algorithm>
#include <filesystem>

#include "FileReader/BookmarkIndex.h"
#include "FileReader/StreamTime.h"
#include "zelvan/DataToVideoConverter.h"
#include "zelvan/Logger.h"

namespace zelvan {

using detail::kNoLimit;
using detail::loadWord;
using detail::saturatingAdd;
using detail::scanToTime;
using detail::timeOf;

bool findPayloadStart(std::istream& in, const RawFileHeader& header, uint64_t file_size,
                      PayloadStart& start) {
    start = PayloadStart{};
    start.offset = std::min(header.payload_offset, file_size);
    start.has_time_base = header.has_dvs_start_timestamp;
    start.time_base = header.info.dvs_start_timestamp;
    if (!header.has_dvs_start_timestamp) return true;

    // The first TIME_HIGH word of the payload.
    std::vector<uint8_t> chunk(RawFileReader::kReadChunkBytes);
    in.clear();
    in.seekg(static_cast<std::streamoff>(start.offset));
    for (uint64_t pos = start.offset; pos + 1 < file_size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), file_size - pos)) & ~size_t(1);
        in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(n));
        if (static_cast<size_t>(in.gcount()) != n) return false;
        for (size_t i = 0; i < n; i += 2) {
            const uint32_t w = loadWord(chunk.data() + i);
            if ((w >> 12) != 0x8) continue;
            const uint32_t value = w & 0xFFF;
            const uint64_t header_time = header.info.dvs_start_timestamp;
            const uint32_t header_high = static_cast<uint32_t>((header_time >> 12) & 0xFFF);
            if (value == header_high || value == ((header_high + 1) & 0xFFF)) return true;
            const uint64_t wraps = (header_time >> 24) + (header_high >= value + 2048 ? 1 : 0);
            start.offset = pos + i;
            start.time_base = (wraps << 24) + (uint64_t(value) << 12);
            start.header_time_ignored = true;
            ZV_LOG(
                LOG_WARNING,
                "The header's dvs_start_timestamp %llu disagrees with the stream (first TIME_HIGH %u): the "
                "time is taken from the stream, from %llu us at byte %llu.",
                (unsigned long long)header_time, value, (unsigned long long)start.time_base,
                (unsigned long long)start.offset);
            return true;
        }
        pos += n;
    }
    return true;
}

std::unique_ptr<DvsFileReader> DvsFileReader::createFileReader(const std::string& path) {
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || path.compare(dot, std::string::npos, ".raw") != 0) return nullptr;
    return std::make_unique<RawFileReader>(path);
}

std::string RawFileReader::bookmarkPathFor(const std::string& raw_path) {
    const auto at = raw_path.rfind(".raw");
    if (at == std::string::npos) return raw_path + ".zvmark.tmp";
    return raw_path.substr(0, at) + ".zvmark.tmp" + raw_path.substr(at + 4);
}

RawFileReader::RawFileReader(const std::string& path)
    : path_(path),
      bookmark_path_(bookmarkPathFor(path)),
      decoder_(1280, 720),
      index_(std::make_unique<detail::BookmarkIndex>()),
      output_(std::make_shared<std::vector<Event2D>>()) {}

RawFileReader::~RawFileReader() = default;

// ---- failures ----

bool RawFileReader::fail(ReaderError code, std::string message, Report report, const char* file, int line) {
    if (report != Report::NotLogged) {
        const int level = report == Report::Error     ? LOG_ERROR
                          : report == Report::Warning ? LOG_WARNING
                                                      : LOG_INFO;
        Logger::Instance().log_(level, file, line, "%s", message.c_str());
    }
    std::lock_guard<std::mutex> lock(error_mutex_);
    error_ = code;
    error_message_ = std::move(message);
    return false;
}

void RawFileReader::clearError() {
    std::lock_guard<std::mutex> lock(error_mutex_);
    error_ = ReaderError::None;
    error_message_.clear();
}

ReaderError RawFileReader::lastError() const {
    std::lock_guard<std::mutex> lock(error_mutex_);
    return error_;
}

std::string RawFileReader::lastErrorMessage() const {
    std::lock_guard<std::mutex> lock(error_mutex_);
    return error_message_;
}

void RawFileReader::setProgressCallback(ProgressCallback callback) {
    // The operations call it under the read lock: a running one keeps the callback it started with.
    std::lock_guard<std::mutex> lock(read_mutex_);
    progress_ = std::move(callback);
}

// ---- loading ----

bool RawFileReader::loadFile() {
    std::lock_guard<std::mutex> lock(read_mutex_);
    clearError();
    loaded_ = false;
    data_lost_ = false;
    data_loss_reported_ = false;
    // A load after an earlier one (which may have failed or been cancelled) starts afresh.
    if (in_.is_open()) in_.close();
    in_.clear();
    // A recording is read wherever its index points, as often as asked: a device or a pipe (which may
    // never end, or wait for a writer) holds none.
    std::error_code ec;
    if (std::filesystem::exists(path_, ec) && !std::filesystem::is_regular_file(path_, ec)) {
        return fail(ReaderError::CannotOpen, "Failed to open raw file: " + path_ + " is not a regular file.");
    }
    in_.open(path_, std::ios::binary);
    if (!in_.is_open()) return fail(ReaderError::CannotOpen, "Failed to open raw file: " + path_);
    in_.seekg(0, std::ios::end);
    const auto size = in_.tellg();
    in_.seekg(0, std::ios::beg);
    file_size_ = size > 0 ? static_cast<uint64_t>(size) : 0;
    std::string error;
    if (!readRawFileHeader(in_, header_, error)) {
        return fail(ReaderError::NotRawFile, "Raw file header rejected: " + error);
    }
    header_.payload_offset = std::min(header_.payload_offset, file_size_);
    if (!findPayloadStart(in_, header_, file_size_, data_start_)) {
        return fail(ReaderError::ReadError, "Loading raw file failed. Read error in " + path_ + ".");
    }
    ZV_LOG(LOG_INFO, "Loading raw file...");
    read_buffer_.resize(kReadChunkBytes);

    // The index reads the stream wherever it needs to: the cursor seeks again before its next read.
    stream_pos_ = kNoLimit;
    const detail::BookmarkIndex::Recording recording{in_, file_size_, data_start_, header_.info.width,
                                                     header_.info.height};
    detail::LoadProgress progress(progress_, file_size_);
    auto cancelled = [this] {
        index_->clear();
        return fail(ReaderError::Cancelled,
                    "Loading raw file cancelled: the progress callback asked to stop (" + path_ + ").",
                    Report::Info);
    };
    bool loaded_index = false;
    if (std::filesystem::exists(bookmark_path_, ec)) {
        loaded_index = index_->load(bookmark_path_, recording, progress);
        if (progress.cancelled()) return cancelled();
        if (!loaded_index) {
            fail(ReaderError::CorruptIndex, "Bookmark file check failed, re-initialize bookmarks.",
                 Report::Warning);
        }
    }
    if (!loaded_index) {
        if (!index_->build(recording, progress, error)) {
            return progress.cancelled() ? cancelled() : fail(ReaderError::ReadError, error);
        }
    }
    // The last word of the callback comes before the side file is written: a load it stops leaves
    // no side file behind.
    if (!progress.finished()) return cancelled();
    // An index that cannot be saved still serves this reader; the next one builds it again.
    bool saved = false;
    if (!loaded_index && !index_->empty() && !index_->save(path_, recording, saved, error)) {
        fail(ReaderError::CannotWriteIndex, error);
    }

    decoder_.setEventsStreamHandleCallback([this](Event2D* first, Event2D* last) {
        decoded_total_ += static_cast<uint64_t>(last - first);
        if (!count_only_) decoded_.insert(decoded_.end(), first, last);
    });
    const auto& marks = index_->bookmarks();
    if (marks.empty()) {
        return fail(ReaderError::NoEvents, "Loading raw file failed. There is no data in the file.");
    }
    start_timestamp_ = marks.begin()->first;
    end_timestamp_ = marks.rbegin()->first;
    max_events_ = marks.rbegin()->second.event_number;
    decoder_.setTriggerInCallback([this](EventTriggerIn trigger) {
        const uint64_t number = next_trigger_++;
        if (decoded_total_ < list_triggers_from_) return;
        std::lock_guard<std::mutex> trigger_lock(trigger_mutex_);
        trigger_list_.emplace(number, trigger);
    });
    seekTimeLocked(start_timestamp_);
    ZV_LOG(LOG_INFO, "Loading raw file succeeded.");
    loaded_ = true;
    return true;
}

bool RawFileReader::readAt(uint64_t pos, size_t n) {
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(pos));
    in_.read(reinterpret_cast<char*>(read_buffer_.data()), static_cast<std::streamsize>(n));
    stream_pos_ = kNoLimit;
    return static_cast<size_t>(in_.gcount()) == n;
}

// ---- cursor ----

bool RawFileReader::readChunk() {
    if (file_pos_ >= file_size_) return false;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kReadChunkBytes, file_size_ - file_pos_));
    if (stream_pos_ != file_pos_) {
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(file_pos_));
    }
    in_.read(reinterpret_cast<char*>(read_buffer_.data()), static_cast<std::streamsize>(n));
    const size_t got = static_cast<size_t>(in_.gcount());
    if (got != n) {
        fail(ReaderError::ReadError,
             "Read error in raw file " + path_ + " at byte " + std::to_string(file_pos_));
        file_pos_ = file_size_;
        stream_pos_ = kNoLimit;
        data_lost_ = true;
        return false;
    }
    decoder_.decode(read_buffer_.data(), read_buffer_.data() + n);
    file_pos_ += n;
    stream_pos_ = file_pos_;
    return true;
}

void RawFileReader::placeCursor(uint64_t position, const EVT3Decoder::State& state, uint64_t event_number,
                                uint64_t trigger_number) {
    file_pos_ = position;
    stream_pos_ = kNoLimit;  // the stream may have been used for anything since
    data_lost_ = false;
    decoder_.setState(state);
    current_event_ = event_number;
    next_trigger_ = trigger_number;
    decoded_.clear();
    carried_.clear();
    carried_pos_ = 0;
    count_only_ = false;
    list_triggers_from_ = 0;
}

void RawFileReader::placeCursorAt(const Bookmark& mark) {
    placeCursor(mark.position, mark.decoder_state, mark.event_number, mark.trigger_number);
}

bool RawFileReader::seekTimeLocked(uint64_t timestamp) {
    const auto& marks = index_->bookmarks();
    if (marks.empty()) return false;
    if (timestamp > end_timestamp_) {
        current_timestamp_ = saturatingAdd(end_timestamp_, 1);
        return false;
    }
    if (timestamp < start_timestamp_) {
        current_timestamp_ = start_timestamp_ - 1;
        return false;
    }
    auto it = std::prev(marks.upper_bound(timestamp));
    // A bookmark's key is the stream time at its offset: the word that brought the time there, and
    // events at exactly that time, may lie before it. Only the first bookmark, where decoding starts,
    // is a landing point of its own time.
    if (it->first == timestamp && it != marks.begin()) --it;
    const Bookmark& mark = it->second;
    if (it->first == timestamp || std::next(it) == marks.end()) {
        placeCursorAt(mark);
        current_timestamp_ = timestamp;
        return true;
    }
    // Find the word that first brings the time to `timestamp`, decoding (counting only) up to it.
    const Bookmark& next = std::next(it)->second;
    placeCursorAt(mark);
    count_only_ = true;
    list_triggers_from_ = kNoLimit;
    decoded_total_ = 0;
    EVT3Decoder::State scan = mark.decoder_state;
    bool found = false;
    while (file_pos_ < next.position) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kReadChunkBytes, next.position - file_pos_));
        if (!readAt(file_pos_, n)) break;
        const size_t hit = scanToTime(read_buffer_.data(), n / 2, scan, timestamp);
        const size_t bytes = hit < n / 2 ? 2 * hit : n;
        decoder_.decode(read_buffer_.data(), read_buffer_.data() + bytes);
        file_pos_ += bytes;
        if (hit < n / 2) {
            found = true;
            break;
        }
    }
    const uint64_t counted = decoded_total_;
    if (found) {
        placeCursor(file_pos_, decoder_.getState(), mark.event_number + counted, next_trigger_);
    } else {
        placeCursorAt(next);
    }
    current_timestamp_ = timestamp;
    return true;
}

bool RawFileReader::seekEventLocked(uint64_t n) {
    if (index_->empty()) return false;
    if (n > max_events_) {
        current_event_ = saturatingAdd(max_events_, 1);
        current_timestamp_ = saturatingAdd(end_timestamp_, 1);
        return false;
    }
    const Bookmark& mark = index_->forEvent(n);
    placeCursorAt(mark);
    if (mark.event_number == n) {
        current_timestamp_ = mark.timestamp;
        return true;
    }
    // Decode from the bookmark; event n lands in the carried events.
    decoded_total_ = mark.event_number;
    list_triggers_from_ = n;
    while (decoded_total_ < n) {
        decoded_.clear();
        if (!readChunk()) break;
        if (decoded_total_ > n) {
            const uint64_t chunk_first = decoded_total_ - decoded_.size();
            carried_.swap(decoded_);
            carried_pos_ = static_cast<size_t>(n - chunk_first);
        }
    }
    decoded_.clear();
    list_triggers_from_ = 0;
    current_event_ = std::min<uint64_t>(n, decoded_total_);
    current_timestamp_ =
        carried_pos_ < carried_.size() ? carried_[carried_pos_].timestamp : timeOf(decoder_.getState());
    return true;
}

void RawFileReader::takeCarried(size_t count, std::vector<Event2D>& out) {
    const size_t k = std::min(count, carried_.size() - carried_pos_);
    out.insert(out.end(), carried_.begin() + static_cast<std::ptrdiff_t>(carried_pos_),
               carried_.begin() + static_cast<std::ptrdiff_t>(carried_pos_ + k));
    carried_pos_ += k;
    if (carried_pos_ == carried_.size()) {
        carried_.clear();
        carried_pos_ = 0;
    }
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::readEventsLocked(uint64_t n) {
    std::vector<Event2D>& out = *output_;
    out.clear();
    if (!loadedOrFail() || n == 0) return output_;
    if (saturatingAdd(current_event_, n) > max_events_) {
        ZV_LOG(LOG_WARNING, "Requested number of events exceeds total number of events.");
        n = current_event_ < max_events_ ? max_events_ - current_event_ : 0;
    }
    takeCarried(static_cast<size_t>(std::min<uint64_t>(n, carried_.size())), out);
    bool ran_out = false;
    while (out.size() < n) {
        decoded_.clear();
        if (!readChunk()) {
            ran_out = true;
            break;
        }
        const uint64_t need = n - out.size();
        if (decoded_.size() > need) {
            out.insert(out.end(), decoded_.begin(), decoded_.begin() + static_cast<std::ptrdiff_t>(need));
            carried_.swap(decoded_);
            carried_pos_ = static_cast<size_t>(need);
        } else {
            out.insert(out.end(), decoded_.begin(), decoded_.end());
        }
    }
    decoded_.clear();
    if (!out.empty()) current_timestamp_ = saturatingAdd(out.back().timestamp, 1);
    current_event_ += out.size();
    if (current_event_ >= max_events_) {
        // Every event has been handed out. The stream time at the end of the data may lie beyond
        // the last event: stand beyond the end, so that a loop of reads ends, after decoding the rest
        // of the data for the triggers that follow the last event.
        while (readChunk()) decoded_.clear();
        carried_.clear();
        carried_pos_ = 0;
        current_timestamp_ = saturatingAdd(end_timestamp_, 1);
    } else if (ran_out) {
        // The data ended before the events that the index counts (n never asks for more).
        standAfterLostData();
    }
    return output_;
}

void RawFileReader::standAfterLostData() {
    // A read error has been logged where it happened.
    if (!data_lost_ && !data_loss_reported_) {
        data_loss_reported_ = true;
        fail(ReaderError::ReadError,
             "The raw file " + path_ + " holds less data than its index: reading ends after " +
                 std::to_string(current_event_) + " of " + std::to_string(max_events_) + " events.");
    }
    carried_.clear();
    carried_pos_ = 0;
    current_timestamp_ = saturatingAdd(end_timestamp_, 1);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::readTimeLocked(uint64_t us) {
    if (!loadedOrFail()) return std::make_shared<std::vector<Event2D>>();
    if (saturatingAdd(current_timestamp_, us) < start_timestamp_ || current_timestamp_ > end_timestamp_) {
        // Outside the recording: the cursor moves as for any read, and the answer is a vector of its own,
        // so that the events of the last read stay where their caller holds them.
        auto none = [](const Event2D*, const Event2D*) {};
        visitTimeLocked(us, EventRuns(none));
        return std::make_shared<std::vector<Event2D>>();
    }
    std::vector<Event2D>& out = *output_;
    out.clear();
    auto append = [&out](const Event2D* first, const Event2D* last) { out.insert(out.end(), first, last); };
    visitTimeLocked(us, EventRuns(append));
    return output_;
}

uint64_t RawFileReader::visitTimeLocked(uint64_t us, EventRuns runs) {
    if (!loaded_) return 0;
    uint64_t until = saturatingAdd(current_timestamp_, us);
    if (until < start_timestamp_) {
        ZV_LOG(LOG_WARNING, "Requested interval is before start timestamp.");
        current_timestamp_ = until;
        current_event_ = 0;
        return 0;
    }
    if (current_timestamp_ > end_timestamp_) {
        ZV_LOG(LOG_WARNING, "Current read pos exceeds end timestamp.");
        current_event_ = max_events_;
        return 0;
    }
    // The window that reaches past the end takes everything left, so that no event is lost to
    // timestamps that step back near the end of the stream.
    bool to_end = false;
    if (until > end_timestamp_) {
        ZV_LOG(LOG_WARNING, "Requested interval exceeds end timestamp.");
        until = kNoLimit;
        to_end = true;
    }
    current_timestamp_ = saturatingAdd(current_timestamp_, us);
    uint64_t handed = 0;
    auto hand = [&](const Event2D* first, const Event2D* last) {
        if (first == last) return;
        runs(first, last);
        handed += static_cast<uint64_t>(last - first);
    };
    // The events of from[begin..] before `until` go out; true, with their count in `taken`, when
    // the window ends inside them (the rest stays for the next read).
    auto split = [&](const std::vector<Event2D>& from, size_t begin, size_t& taken) -> bool {
        if (to_end || from.size() == begin || from.back().timestamp < until) return false;
        const Event2D* first = from.data() + begin;
        const Event2D* cut = binarySearchTimestamp(until, first, from.data() + from.size());
        hand(first, cut);
        taken = static_cast<size_t>(cut - first);
        return true;
    };
    if (carried_pos_ < carried_.size()) {
        size_t taken = 0;
        if (split(carried_, carried_pos_, taken)) {
            carried_pos_ += taken;
            current_event_ += handed;
            return handed;
        }
        hand(carried_.data() + carried_pos_, carried_.data() + carried_.size());
        carried_.clear();
        carried_pos_ = 0;
    }
    bool lost = false;
    for (;;) {
        decoded_.clear();
        if (!readChunk()) {
            lost = data_lost_;
            break;
        }
        size_t taken = 0;
        if (split(decoded_, 0, taken)) {
            carried_.swap(decoded_);
            carried_pos_ = taken;
            break;
        }
        hand(decoded_.data(), decoded_.data() + decoded_.size());
    }
    decoded_.clear();
    current_event_ += handed;
    // After a read error nothing more comes: the cursor stands beyond the end.
    if (lost) standAfterLostData();
    return handed;
}

// ---- public operations ----

bool RawFileReader::getStartTimeStamp(uint64_t& timestamp) {
    timestamp = start_timestamp_;
    return true;
}

bool RawFileReader::getEndTimeStamp(uint64_t& timestamp) {
    timestamp = end_timestamp_;
    return true;
}

bool RawFileReader::getMaxEvents(uint64_t& events) {
    events = max_events_;
    return true;
}

bool RawFileReader::reachedEndOfEvents() {
    std::lock_guard<std::mutex> lock(read_mutex_);
    return current_timestamp_ > end_timestamp_;
}

bool RawFileReader::seekTime(uint64_t timestamp) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    clearError();
    return seekTimeOrFail(timestamp);
}

bool RawFileReader::seekNEvents(uint64_t n) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    clearError();
    return seekEventOrFail(n);
}

uint64_t RawFileReader::getCurrentPosTimeStamp() {
    std::lock_guard<std::mutex> lock(read_mutex_);
    return current_timestamp_;
}

uint64_t RawFileReader::getCurrentPosEventNum() {
    std::lock_guard<std::mutex> lock(read_mutex_);
    return current_event_;
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNEvents(uint64_t n) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    clearError();
    return readEventsLocked(n);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNEventsGivenStartTimeStamp(uint64_t timestamp,
                                                                                   uint64_t n) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    clearError();
    if (!seekTimeOrFail(timestamp)) return std::make_shared<std::vector<Event2D>>();
    return readEventsLocked(n);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNEventsGivenStartEvent(uint64_t start, uint64_t n) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    clearError();
    if (!seekEventOrFail(start)) return std::make_shared<std::vector<Event2D>>();
    return readEventsLocked(n);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNTimeEvents(uint64_t us) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    clearError();
    return readTimeLocked(us);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNTimeEventsGivenStartTimeStamp(uint64_t timestamp,
                                                                                       uint64_t us) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    clearError();
    if (!seekTimeOrFail(timestamp)) return std::make_shared<std::vector<Event2D>>();
    return readTimeLocked(us);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNTimeEventsGivenStartEvent(uint64_t start,
                                                                                   uint64_t us) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    clearError();
    if (!seekEventOrFail(start)) return std::make_shared<std::vector<Event2D>>();
    return readTimeLocked(us);
}

bool RawFileReader::extractEventData(uint64_t start_us, uint64_t end_us, const std::string& path) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    clearError();
    if (!loaded_) return fail(ReaderError::NotLoaded, "extractEventData: no recording loaded.");
    return cutLocked(start_us, end_us, path);
}

bool RawFileReader::exportEventDataToVideo(uint64_t start_us, uint64_t end_us, const std::string& path) {
    ZV_LOG(LOG_INFO, "Exporting event data to video...");
    // The whole export holds the read lock: no other read can move the cursor between its periods.
    std::lock_guard<std::mutex> lock(read_mutex_);
    clearError();
    if (!loaded_) return fail(ReaderError::NotLoaded, "exportEventDataToVideo: no recording loaded.");
    return exportLocked(start_us, end_us, path);
}

bool RawFileReader::loadedOrFail() {
    if (loaded_) return true;
    return fail(ReaderError::NotLoaded, "No recording loaded: " + path_, Report::NotLogged);
}

bool RawFileReader::seekTimeOrFail(uint64_t timestamp) {
    if (!loadedOrFail()) return false;
    if (seekTimeLocked(timestamp)) return true;
    return fail(ReaderError::OutOfRange,
                "Time " + std::to_string(timestamp) + " us is outside the recording (" +
                    std::to_string(start_timestamp_) + " to " + std::to_string(end_timestamp_) + " us).",
                Report::NotLogged);
}

bool RawFileReader::seekEventOrFail(uint64_t n) {
    if (!loadedOrFail()) return false;
    if (seekEventLocked(n)) return true;
    return fail(ReaderError::OutOfRange,
                "Event " + std::to_string(n) + " is beyond the recording's " + std::to_string(max_events_) +
                    " events.",
                Report::NotLogged);
}

bool RawFileReader::isRecordingItself(const std::string& path) const {
    std::error_code ec;
    return std::filesystem::equivalent(path, path_, ec) && !ec;
}

uint32_t RawFileReader::addTriggerInCallback(std::function<void(const EventTriggerIn&)> callback) {
    std::lock_guard<std::mutex> lock(callback_mutex_);
    const uint32_t id = next_callback_id_++;
    trigger_callbacks_.emplace(id, std::move(callback));
    return id;
}

bool RawFileReader::removeTriggerInCallback(uint32_t id) {
    std::lock_guard<std::mutex> lock(callback_mutex_);
    return trigger_callbacks_.erase(id) > 0;
}

int RawFileReader::getWidth() { return header_.info.width; }

int RawFileReader::getHeight() { return header_.info.height; }

bool RawFileReader::getFileInfo(DvsFileInfo& info) {
    info = header_.info;
    return true;
}

std::vector<EventTriggerIn> RawFileReader::getTriggerList() {
    std::lock_guard<std::mutex> lock(trigger_mutex_);
    std::vector<EventTriggerIn> list;
    list.reserve(trigger_list_.size());
    for (const auto& [number, trigger] : trigger_list_) list.push_back(trigger);
    return list;
}

void RawFileReader::clearTriggerList() {
    std::lock_guard<std::mutex> lock(trigger_mutex_);
    trigger_list_.clear();
}

const std::map<uint64_t, RawFileReader::Bookmark>& RawFileReader::getAllBookmarks() const {
    return index_->bookmarks();
}

std::vector<EventTriggerIn> RawFileReader::getTriggerListForBookmark(uint64_t timestamp) const {
    return index_->triggersAt(timestamp);
}

}  // namespace zelvan
