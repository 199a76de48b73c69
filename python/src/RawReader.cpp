// zelvan.RawReader: a raw event recording read into numpy arrays.
//
// The payload is decoded in chunks of kChunkBytes from where the file reader's rules say
// (findPayloadStart). The first full pass over a recording (read_all, or the first use of a property
// or read that needs it) keeps, at the start of every chunk, the decoder's state and counts: the
// event number there, the latest time of the events before it and the earliest time of the events
// from it on. A read resumes at the chunk that holds its first event and stops after the chunk
// beyond which none of its events lie, so a read of a part costs about that part, and reads by time
// give exactly the events with start <= t < end even where a stream's time steps back.
// Decoded spans are appended to a vector that becomes the numpy array's storage as it is.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Bindings.h"
#include "zelvan/Decoder.h"
#include "zelvan/EVT3Decoder.h"
#include "zelvan/RawFileHeader.h"
#include "zelvan/RawFileReader.h"

namespace zelvan::python {

namespace {

constexpr uint64_t kChunkBytes = 1 << 20;  // even: chunks end at word boundaries
constexpr int64_t kMinTime = std::numeric_limits<int64_t>::min();
constexpr int64_t kMaxTime = std::numeric_limits<int64_t>::max();

// What opening a recording finds out: its header and where its payload is decoded from.
struct Recording {
    std::string path;
    RawFileHeader header;
    PayloadStart start;
    uint64_t file_size = 0;
};

std::ifstream openStream(const std::string& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) throw FileMissing("cannot open \"" + path + "\": no such file");
    if (std::filesystem::is_directory(status))
        throw IoFailure("cannot open \"" + path + "\": it is a folder");
    // A recording is read wherever its index points, as often as asked: a device (which may never end)
    // or a pipe (which waits for a writer) holds none.
    if (!std::filesystem::is_regular_file(status))
        throw IoFailure("cannot open \"" + path + "\": it is not a regular file");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw IoFailure("cannot open \"" + path + "\": " + std::strerror(errno));
    return in;
}

// Reads the header and finds the payload's start; throws what is wrong with the file.
std::shared_ptr<const Recording> openRecording(const std::string& path) {
    auto rec = std::make_shared<Recording>();
    rec->path = path;
    std::ifstream in = openStream(path);
    std::string error;
    if (!readRawFileHeader(in, rec->header, error)) {
        throw BadData("\"" + path + "\" is not an EVT 3.0 raw file: " + error);
    }
    in.clear();
    in.seekg(0, std::ios::end);
    const auto end = in.tellg();
    if (end < 0) throw IoFailure("cannot read \"" + path + "\"");
    rec->file_size = static_cast<uint64_t>(end);
    const uint64_t payload = rec->file_size - std::min(rec->file_size, rec->header.payload_offset);
    if (payload % 2 != 0) {
        throw BadData("\"" + path + "\" is truncated: its event data end in the middle of a 16-bit word (" +
                      std::to_string(payload) + " bytes)");
    }
    in.clear();
    in.seekg(static_cast<std::streamoff>(rec->header.payload_offset));
    if (!findPayloadStart(in, rec->header, rec->file_size, rec->start)) {
        throw IoFailure("read error in \"" + path + "\"");
    }
    return rec;
}

// State at the start of one chunk.
struct Checkpoint {
    EVT3Decoder::State state;
    uint64_t events_before = 0;
    int64_t max_t_before = kMinTime;  // latest time of the events before the chunk
    int64_t min_t_from = kMaxTime;    // earliest time of the events from the chunk on
};

struct Index {
    std::vector<Checkpoint> chunks;  // one per chunk, in file order
    std::vector<EventTriggerIn> triggers;
    uint64_t events = 0;
    int64_t first_t = 0;
    int64_t last_t = 0;
};

// A decoder over one recording that decodes one chunk per step.
class Cursor {
public:
    explicit Cursor(std::shared_ptr<const Recording> rec)
        : rec_(std::move(rec)),
          in_(openStream(rec_->path)),
          decoder_(static_cast<int>(rec_->header.info.width), static_cast<int>(rec_->header.info.height)),
          buffer_(kChunkBytes) {}

    EVT3Decoder& decoder() { return decoder_; }
    size_t chunk() const { return chunk_; }
    size_t chunkCount() const {
        const uint64_t from = rec_->start.offset;
        const uint64_t bytes = rec_->file_size > from ? rec_->file_size - from : 0;
        return static_cast<size_t>((bytes + kChunkBytes - 1) / kChunkBytes);
    }

    // Places the cursor at the start of chunk `k`, whose decoder state is `state` (none: the
    // payload's start).
    void seek(size_t k, const EVT3Decoder::State* state) {
        chunk_ = k;
        if (k == 0 || state == nullptr) {
            chunk_ = 0;
            if (rec_->start.has_time_base) {
                decoder_.setTimeBase(rec_->start.time_base);
            } else {
                decoder_.resetTimeBase();
            }
        } else {
            decoder_.setState(*state);
        }
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(rec_->start.offset + chunk_ * kChunkBytes));
    }

    // Decodes the next chunk; false when none is left. Throws on a read error.
    bool step() {
        const uint64_t pos = rec_->start.offset + chunk_ * kChunkBytes;
        if (pos >= rec_->file_size) return false;
        const auto n = static_cast<std::streamsize>(std::min<uint64_t>(kChunkBytes, rec_->file_size - pos));
        in_.read(reinterpret_cast<char*>(buffer_.data()), n);
        if (in_.gcount() != n) {
            throw IoFailure("read error in \"" + rec_->path + "\" at byte " + std::to_string(pos));
        }
        decoder_.decode(buffer_.data(), buffer_.data() + n);
        ++chunk_;
        return true;
    }

private:
    std::shared_ptr<const Recording> rec_;
    std::ifstream in_;
    EVT3Decoder decoder_;
    std::vector<uint8_t> buffer_;
    size_t chunk_ = 0;
};

int64_t timeOf(const Event2D& e) { return static_cast<int64_t>(e.timestamp); }

// Events of one time slice after the other, each event in exactly one slice, in stream order.
class SliceIterator {
public:
    SliceIterator(std::shared_ptr<const Recording> rec, int64_t dt) : cursor_(std::move(rec)), dt_(dt) {
        cursor_.seek(0, nullptr);
        cursor_.decoder().setEventsStreamHandleCallback(
            [this](Event2D* first, Event2D* last) { pending_.insert(pending_.end(), first, last); });
    }

    // The next slice, or nothing after the last one.
    std::optional<std::vector<Event2D>> next() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!started_) {
            while (pending_.empty() && !done_) done_ = !cursor_.step();
            if (pending_.empty()) return std::nullopt;
            slice_end_ = saturatingAdd(timeOf(pending_.front()), dt_);
            started_ = true;
        } else if (done_ && pos_ == pending_.size()) {
            return std::nullopt;
        }
        // A slice ends at the first event, in stream order, at or beyond its end time.
        size_t cut = pos_;
        for (;;) {
            while (cut < pending_.size() && timeOf(pending_[cut]) < slice_end_) ++cut;
            if (cut < pending_.size() || done_) break;
            done_ = !cursor_.step();
        }
        std::vector<Event2D> slice(pending_.begin() + static_cast<std::ptrdiff_t>(pos_),
                                   pending_.begin() + static_cast<std::ptrdiff_t>(cut));
        pos_ = cut;
        if (pos_ > (1u << 16) && pos_ * 2 > pending_.size()) {
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos_));
            pos_ = 0;
        }
        slice_end_ = saturatingAdd(slice_end_, dt_);
        return slice;
    }

private:
    // a + b for b > 0, held at the largest int64 instead of overflowing.
    static int64_t saturatingAdd(int64_t a, int64_t b) {
        int64_t sum = 0;
        return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<int64_t>::max() : sum;
    }

    std::mutex mutex_;
    Cursor cursor_;
    int64_t dt_;
    std::vector<Event2D> pending_;
    size_t pos_ = 0;
    bool started_ = false;
    bool done_ = false;
    int64_t slice_end_ = 0;
};

class PyRawReader {
public:
    explicit PyRawReader(const std::string& path) : rec_(openRecording(path)), cursor_(rec_) {}

    const Recording& recording() const { return *rec_; }
    std::shared_ptr<const Recording> shared() const { return rec_; }

    // The index, built by a full pass the first time.
    const Index& index() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!index_) fullPass(nullptr);
        return *index_;
    }

    std::vector<Event2D> readAll() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Event2D> out;
        if (index_) out.reserve(index_->events);
        fullPass(&out);
        return out;
    }

    std::vector<Event2D> readTime(int64_t start, int64_t end) {
        std::vector<Event2D> out;
        if (start >= end) return out;
        const Index& idx = index();
        std::lock_guard<std::mutex> lock(mutex_);
        const auto& cps = idx.chunks;
        if (cps.empty()) return out;
        // The last chunk before which every event lies before `start` (the first chunk when none does,
        // as for the smallest start).
        auto it = std::partition_point(cps.begin(), cps.end(),
                                       [start](const Checkpoint& c) { return c.max_t_before < start; });
        const size_t k = it == cps.begin() ? 0 : static_cast<size_t>(std::distance(cps.begin(), it)) - 1;
        cursor_.seek(k, &cps[k].state);
        cursor_.decoder().setEventsStreamHandleCallback([&out, start, end](Event2D* first, Event2D* last) {
            for (const Event2D* e = first; e != last; ++e) {
                const int64_t t = timeOf(*e);
                if (t >= start && t < end) out.push_back(*e);
            }
        });
        while (cursor_.chunk() < cps.size() && cps[cursor_.chunk()].min_t_from < end && cursor_.step()) {
        }
        cursor_.decoder().setEventsStreamHandleCallback(nullptr);
        return out;
    }

    std::vector<Event2D> readCount(uint64_t first, uint64_t n) {
        std::vector<Event2D> out;
        const Index& idx = index();
        if (first >= idx.events || n == 0) return out;
        n = std::min(n, idx.events - first);
        std::lock_guard<std::mutex> lock(mutex_);
        const auto& cps = idx.chunks;
        auto it = std::partition_point(cps.begin(), cps.end(),
                                       [first](const Checkpoint& c) { return c.events_before <= first; });
        const size_t k = static_cast<size_t>(std::distance(cps.begin(), it)) - 1;
        out.reserve(n);
        uint64_t number = cps[k].events_before;  // of the span's first event
        const uint64_t stop = first + n;
        cursor_.seek(k, &cps[k].state);
        cursor_.decoder().setEventsStreamHandleCallback([&](Event2D* b, Event2D* e) {
            const uint64_t count = static_cast<uint64_t>(e - b);
            const uint64_t from = std::max(number, first);
            const uint64_t to = std::min(number + count, stop);
            if (from < to) out.insert(out.end(), b + (from - number), b + (to - number));
            number += count;
        });
        while (out.size() < n && cursor_.step()) {
        }
        cursor_.decoder().setEventsStreamHandleCallback(nullptr);
        return out;
    }

private:
    // Decodes the whole payload, appending the events to `out` when given, and builds the index
    // when there is none yet. Runs under mutex_.
    void fullPass(std::vector<Event2D>* out) {
        const bool build = !index_;
        auto idx = std::make_unique<Index>();
        int64_t max_t = kMinTime;
        int64_t chunk_min = kMaxTime;
        std::vector<int64_t> chunk_mins;
        EVT3Decoder& decoder = cursor_.decoder();
        if (build) {
            decoder.setEventsStreamHandleCallback([&](Event2D* b, Event2D* e) {
                if (idx->events == 0) idx->first_t = timeOf(*b);
                idx->events += static_cast<uint64_t>(e - b);
                idx->last_t = timeOf(e[-1]);
                for (const Event2D* p = b; p != e; ++p) {
                    max_t = std::max(max_t, timeOf(*p));
                    chunk_min = std::min(chunk_min, timeOf(*p));
                }
                if (out) out->insert(out->end(), b, e);
            });
            decoder.setTriggerInCallback([&](EventTriggerIn trigger) { idx->triggers.push_back(trigger); });
        } else {
            decoder.setEventsStreamHandleCallback(
                [out](Event2D* b, Event2D* e) { out->insert(out->end(), b, e); });
        }
        cursor_.seek(0, nullptr);
        try {
            for (;;) {
                if (build) {
                    Checkpoint c;
                    c.state = decoder.getState();
                    c.events_before = idx->events;
                    c.max_t_before = max_t;
                    if (cursor_.chunk() >= cursor_.chunkCount()) break;
                    idx->chunks.push_back(c);
                    chunk_min = kMaxTime;
                }
                if (!cursor_.step()) break;
                if (build) chunk_mins.push_back(chunk_min);
            }
        } catch (...) {
            decoder.setEventsStreamHandleCallback(nullptr);
            decoder.setTriggerInCallback(nullptr);
            throw;
        }
        decoder.setEventsStreamHandleCallback(nullptr);
        decoder.setTriggerInCallback(nullptr);
        if (build) {
            int64_t suffix = kMaxTime;
            for (size_t k = idx->chunks.size(); k-- > 0;) {
                suffix = std::min(suffix, chunk_mins[k]);
                idx->chunks[k].min_t_from = suffix;
            }
            index_ = std::move(idx);
        }
    }

    std::shared_ptr<const Recording> rec_;
    std::mutex mutex_;  // the cursor and the index
    Cursor cursor_;
    std::unique_ptr<Index> index_;
};

// The plain C++ reading of a whole recording into a vector of events, as a program of the driver
// does it: header, payload start, decoder from the format, 1 MiB reads. Returns the events read and
// the seconds it took. For comparisons with the module's own reading.
py::tuple cppReadSeconds(const std::string& path) {
    uint64_t events = 0;
    double seconds = 0;
    {
        py::gil_scoped_release release;
        const auto t0 = std::chrono::steady_clock::now();
        std::ifstream in(path, std::ios::binary);
        if (!in) throw FileMissing("cannot open \"" + path + "\"");
        RawFileHeader header;
        std::string error;
        if (!readRawFileHeader(in, header, error)) throw BadData(error);
        in.clear();
        in.seekg(0, std::ios::end);
        const auto size = static_cast<uint64_t>(in.tellg());
        in.seekg(static_cast<std::streamoff>(header.payload_offset));
        PayloadStart start;
        if (!findPayloadStart(in, header, size, start)) throw IoFailure("read error");
        auto decoder = DecoderFactory::createUniqueDecoder(header.formatText());
        if (!decoder) throw BadData("no decoder for " + header.formatText());
        if (start.has_time_base) decoder->setTimeBase(start.time_base);
        std::vector<Event2D> out;
        decoder->setEventsStreamHandleCallback(
            [&out](Event2D* b, Event2D* e) { out.insert(out.end(), b, e); });
        in.clear();
        in.seekg(static_cast<std::streamoff>(start.offset));
        std::vector<uint8_t> chunk(1 << 20);
        while (in) {
            in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
            const auto got = static_cast<size_t>(in.gcount());
            if (got == 0) break;
            decoder->decode(chunk.data(), chunk.data() + got);
        }
        events = out.size();
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    return py::make_tuple(events, seconds);
}

std::optional<int64_t> timeOrNone(PyRawReader& r, bool last) {
    const Index* idx = nullptr;
    {
        py::gil_scoped_release release;
        idx = &r.index();
    }
    if (idx->events == 0) return std::nullopt;
    return last ? idx->last_t : idx->first_t;
}

}  // namespace

void bindRawReader(py::module_& m) {
    py::class_<SliceIterator, std::shared_ptr<SliceIterator>>(
        m, "SliceIterator", "Time slices of a recording, see RawReader.slices.")
        .def("__iter__", [](std::shared_ptr<SliceIterator> self) { return self; })
        .def("__next__", [](SliceIterator& self) -> py::array {
            std::optional<std::vector<Event2D>> slice;
            {
                py::gil_scoped_release release;
                slice = self.next();
            }
            if (!slice) throw py::stop_iteration();
            return eventArray(std::move(*slice));
        });

    py::class_<PyRawReader>(m, "RawReader", R"doc(
A raw event recording (text header, EVT 3.0 data), read into numpy arrays.

Events are structured arrays of EVENT_DTYPE: x (u2), y (u2), p (u1, 1 = ON), t (i8, us), in stream
order. Raises FileNotFoundError for a missing file, OSError for one that cannot be read, ValueError
for a file that is not an EVT 3.0 raw file or whose data end in the middle of a word.
The first property or read that needs the recording's counts decodes it once (read_all does so on
its way); later reads resume near their first event.)doc")
        .def(py::init([](const py::object& path_like) {
                 const std::string path = fsPath(path_like);
                 py::gil_scoped_release release;
                 return std::make_unique<PyRawReader>(path);
             }),
             py::arg("path"))
        .def_property_readonly("path", [](PyRawReader& r) { return r.recording().path; })
        .def_property_readonly("width", [](PyRawReader& r) { return r.recording().header.info.width; })
        .def_property_readonly("height", [](PyRawReader& r) { return r.recording().header.info.height; })
        .def_property_readonly(
            "header",
            [](PyRawReader& r) {
                py::dict d;
                for (const auto& [key, value] : r.recording().header.lines)
                    d[lenientText(key)] = lenientText(value);
                return d;
            },
            "The header's \"% key value\" lines as a dict (a later line of the same key wins).")
        .def_property_readonly(
            "start_timestamp", [](PyRawReader& r) { return timeOrNone(r, false); },
            "Time (us) of the first event in stream order; None without events.")
        .def_property_readonly(
            "end_timestamp", [](PyRawReader& r) { return timeOrNone(r, true); },
            "Time (us) of the last event in stream order; None without events.")
        .def_property_readonly("event_count",
                               [](PyRawReader& r) {
                                   py::gil_scoped_release release;
                                   return r.index().events;
                               })
        .def(
            "read_all",
            [](PyRawReader& r) {
                std::vector<Event2D> events;
                {
                    py::gil_scoped_release release;
                    events = r.readAll();
                }
                return eventArray(std::move(events));
            },
            "Every event of the recording.")
        .def(
            "read_time",
            [](PyRawReader& r, int64_t start, int64_t end) {
                std::vector<Event2D> events;
                {
                    py::gil_scoped_release release;
                    events = r.readTime(start, end);
                }
                return eventArray(std::move(events));
            },
            py::arg("start_us"), py::arg("end_us"),
            "The events with start_us <= t < end_us, in stream order.")
        .def(
            "read_count",
            [](PyRawReader& r, int64_t first, int64_t n) {
                if (first < 0 || n < 0) throw BadData("read_count needs first >= 0 and n >= 0");
                std::vector<Event2D> events;
                {
                    py::gil_scoped_release release;
                    events = r.readCount(static_cast<uint64_t>(first), static_cast<uint64_t>(n));
                }
                return eventArray(std::move(events));
            },
            py::arg("first"), py::arg("n"),
            "Events first .. first + n - 1 (numbered from 0 in stream order); fewer at the end.")
        .def(
            "triggers",
            [](PyRawReader& r) {
                std::vector<EventTriggerIn> triggers;
                {
                    py::gil_scoped_release release;
                    triggers = r.index().triggers;
                }
                return triggerArray(std::move(triggers));
            },
            "The trigger edges as a structured array of TRIGGER_DTYPE: p (i2), id (i2), t (i8).")
        .def(
            "slices",
            [](PyRawReader& r, int64_t dt) {
                if (dt <= 0) throw BadData("dt_us must be positive");
                py::gil_scoped_release release;
                return std::make_shared<SliceIterator>(r.shared(), dt);
            },
            py::arg("dt_us") = 10000, R"doc(
Iterates over the recording in slices of dt_us: slice k holds the events from the one where the
previous slice ended (the first) up to the first event, in stream order, whose time reaches
start_timestamp + (k + 1) * dt_us. Every event is in exactly one slice; slices without events are
empty arrays. Independent of the reader's other reads.)doc")
        .def("__repr__", [](PyRawReader& r) {
            return "<zelvan.RawReader \"" + r.recording().path + "\" " +
                   std::to_string(r.recording().header.info.width) + "x" +
                   std::to_string(r.recording().header.info.height) + ">";
        });

    m.def("_cpp_read_seconds", &cppReadSeconds, py::arg("path"),
          "Reads a whole recording into a C++ vector of events the plain way: (events, seconds).");
}

}  // namespace zelvan::python
