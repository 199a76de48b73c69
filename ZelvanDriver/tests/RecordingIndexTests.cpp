// The bookmark index that recordings carry from the start: it must be exactly the index a reader
// builds itself for the same file, and no failure may leave one that promises more than the file holds.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "CameraTestUtil.h"
#include "FileReader/BookmarkFile.h"
#include "FileReader/IndexBuilder.h"
#include "FileRecorder/DvsFileRecorder.h"
#include "FileSizeLimit.h"
#include "IndexCheck.h"
#include "zelvan/EVT3Encoder.h"
#include "zelvan/FileHeader.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileReader.h"
#include "zelvan/SyntheticScene.h"

namespace fs = std::filesystem;

namespace zelvan {
namespace {

using namespace zelvan::camtest;
using namespace zelvan::indexcheck;
using namespace std::chrono_literals;

fs::path scratchDir(const std::string& what) {
    const fs::path dir =
        fs::temp_directory_path() / ("zelvan-index-" + std::to_string(::getpid()) + "-" + what + "-" +
                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// An EVT 3.0 stream of the synthetic scene from `t0` on: `bytes` long at least, with a trigger every
// 5 ms, starting with a TIME_HIGH word.
std::vector<uint8_t> sceneStream(uint64_t t0, size_t bytes, uint64_t rate = 2'000'000) {
    SyntheticScene scene(1280, 720, rate, 7);
    EVT3Encoder encoder(1280);
    std::vector<uint8_t> out;
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
    encoder.advanceTime(t0, out);
    for (uint64_t t = t0; out.size() < bytes; t += 1000) {
        events.clear();
        triggers.clear();
        scene.generate(t, t + 1000, events);
        if (t % 5000 == 0) triggers.emplace_back(int16_t((t / 5000) & 1), 0, t);
        encoder.encode(events.data(), events.data() + events.size(), triggers.data(),
                       triggers.data() + triggers.size(), out);
    }
    return out;
}

// ---- the index builder on its own ----

// Feeds a recording's payload in awkward pieces (odd sizes, one byte, pieces across read chunks) and
// compares with the reader's own build, for a header that agrees with the stream and for one whose
// time the reader rejects (decoding then starts at the first TIME_HIGH word, after leading words).
TEST(IndexBuilder, AnySplitOfThePayloadGivesTheReadersIndex) {
    const fs::path dir = scratchDir("split");
    const uint64_t t0 = (uint64_t(1) << 24) - 300'000;  // crosses the 24-bit wrap
    std::vector<uint8_t> stream = sceneStream(t0, 3'000'000);
    // Leading words before the first TIME_HIGH: an ADDR_Y and a reserved word.
    const std::vector<uint8_t> lead = {0x05, 0x00, 0x00, 0xB0};
    for (const uint64_t header_time : {t0, t0 + 50'000'000}) {
        SCOPED_TRACE(header_time);
        DvsFileInfo info;
        info.dvs_start_timestamp = header_time;
        const std::string header = generateDvsFileHeader(info);
        std::vector<uint8_t> payload = lead;
        payload.insert(payload.end(), stream.begin(), stream.end());
        payload.push_back(0x42);  // an odd length
        detail::RecordingIndexer indexer(header_time);
        const size_t pieces[] = {1, 3, 131071, 2, 7, 262144, 65537, 1};
        size_t at = 0;
        for (size_t k = 0; at < payload.size(); ++k) {
            const size_t n = std::min(pieces[k % std::size(pieces)], payload.size() - at);
            indexer.feed(payload.data() + at, n);
            at += n;
        }
        EXPECT_EQ(indexer.payloadBytes(), payload.size());
        const std::vector<uint8_t> side = indexer.finish(header);
        ASSERT_FALSE(side.empty());
        const fs::path raw = dir / (std::to_string(header_time) + ".raw");
        {
            std::ofstream out(raw, std::ios::binary);
            out.write(header.data(), std::streamsize(header.size()));
            out.write(reinterpret_cast<const char*>(payload.data()), std::streamsize(payload.size()));
        }
        std::ofstream(indexOf(raw), std::ios::binary)
            .write(reinterpret_cast<const char*>(side.data()), std::streamsize(side.size()));
        expectIndexAsReaderBuildsIt(raw);
        // The header written must be the one the index was made for.
        detail::RecordingIndexer other(header_time + 1);
        other.feed(payload.data(), payload.size());
        EXPECT_TRUE(other.finish(header).empty());
    }
    fs::remove_all(dir);
}

// ---- the recorder on its own ----

class RecorderIndex : public ::testing::Test {
protected:
    void SetUp() override { dir_ = scratchDir("rec"); }
    void TearDown() override { fs::remove_all(dir_); }

    // Records `bytes` of the scene's stream into `file`; the recording and its index are written.
    static void recordWithIndex(const fs::path& file, size_t bytes) {
        DvsFileRecorder recorder;
        ASSERT_TRUE(recorder.startRecording(file.string(), DvsFileInfo{}));
        recorder.addData(sceneStream(0, bytes));
        ASSERT_TRUE(recorder.stopRecording());
        ASSERT_TRUE(recorder.status().indexWritten) << recorder.status().indexError;
    }

    fs::path dir_;
};

TEST_F(RecorderIndex, ARecordingThatDroppedDataCarriesTheIndexOfWhatItHolds) {
    // The recording goes into a pipe that nobody reads at first, so that the recorder drops buffers;
    // what reaches the pipe is copied into a file the reader can open.
    const fs::path fifo = dir_ / "dropped.raw";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader_fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader_fd, 0);
    const std::vector<uint8_t> stream = sceneStream(1'000'000, 40'000'000);
    DvsFileRecorder recorder;
    ASSERT_TRUE(recorder.startRecording(fifo.string(), DvsFileInfo{}));
    constexpr size_t kPiece = 600'000;
    for (size_t at = 0; at < stream.size(); at += kPiece)
        recorder.addData(stream.data() + at, std::min(kPiece, stream.size() - at));
    ASSERT_GT(recorder.droppedBytes(), 0u);
    const fs::path copy = dir_ / "held.raw";
    std::atomic<bool> draining{true};
    std::thread drain([&] {
        std::ofstream out(copy, std::ios::binary);
        std::vector<char> sink(1 << 16);
        for (;;) {
            const ssize_t n = ::read(reader_fd, sink.data(), sink.size());
            if (n > 0) {
                out.write(sink.data(), n);
            } else if (!draining.load()) {
                break;
            } else {
                std::this_thread::yield();
            }
        }
    });
    EXPECT_FALSE(recorder.stopRecording());
    EXPECT_EQ(recorder.lastError(), RecorderError::BuffersDropped);
    draining = false;
    drain.join();
    ::close(reader_fd);
    const ZvRecordingStatus status = recorder.status();
    EXPECT_TRUE(status.indexWritten) << status.indexError;
    ASSERT_EQ(fs::file_size(copy), status.bytesWritten);
    // The index beside the pipe describes the bytes that went through it.
    fs::rename(indexOf(fifo), indexOf(copy));
    expectIndexAsReaderBuildsIt(copy);
}

TEST_F(RecorderIndex, AnIndexThatCannotBeWrittenIsReportedAndLeavesNone) {
    // A name with room for the index's name but not for its temporary name: the index cannot be created.
    const fs::path file = dir_ / (std::string(235, 'n') + ".raw");
    DvsFileRecorder recorder;
    ScopedLogCapture log;
    ASSERT_TRUE(recorder.startRecording(file.string(), DvsFileInfo{}));
    const std::vector<uint8_t> stream = sceneStream(0, 3'000'000);
    recorder.addData(stream);
    EXPECT_TRUE(recorder.stopRecording()) << "the recording itself is complete";
    const ZvRecordingStatus status = recorder.status();
    EXPECT_FALSE(status.failed);
    EXPECT_FALSE(status.indexWritten);
    EXPECT_NE(status.indexError.find("index"), std::string::npos) << status.indexError;
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "readers build its index"));
    EXPECT_FALSE(fs::exists(indexOf(file)));
    RawFileReader reader(file.string());
    EXPECT_TRUE(reader.loadFile()) << reader.lastErrorMessage();
}

// Two writers of one recording's index (two readers opening it at once, in two processes as well)
// each write a temporary file of their own: the index is always one of them whole.
TEST_F(RecorderIndex, TwoWritersOfOneIndexNeverMixTheirBytes) {
    const fs::path file = dir_ / "shared.raw";
    std::ofstream(file) << "a recording";
    std::vector<uint8_t> first(256 << 10), second(256 << 10);
    for (size_t i = 0; i < first.size(); ++i) {
        first[i] = static_cast<uint8_t>(i * 7);
        second[i] = static_cast<uint8_t>(i * 13 + 1);
    }
    std::atomic<int> failures{0};
    const auto writer = [&](const std::vector<uint8_t>& bytes) {
        for (int round = 0; round < 20; ++round) {
            std::string error;
            if (!detail::writeSideFile(file.string(), bytes, error, true)) ++failures;
        }
    };
    std::vector<uint8_t> last;
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::thread a(writer, std::cref(first));
        std::thread b(writer, std::cref(second));
        a.join();
        b.join();
        last = readBytes(indexOf(file));
        ASSERT_TRUE(last == first || last == second) << "an index of mixed bytes, " << last.size() << " long";
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(temporariesOf(indexOf(file)).empty());

    // A write that fails names the index, not a temporary file that is gone when it is read.
    std::string error;
    {
        testing_support::FileSizeLimit limit(1024);
        ASSERT_TRUE(limit.applied());
        EXPECT_FALSE(detail::writeSideFile(file.string(), first, error, true));
    }
    EXPECT_EQ(error, "Write error in the index " + indexOf(file).string() + ": File too large");
    EXPECT_TRUE(temporariesOf(indexOf(file)).empty());
}

TEST_F(RecorderIndex, ARecordingEndedByAFullDiskLeavesNoIndex) {
    const fs::path file = dir_ / "full.raw";
    // An index of an earlier recording of this name.
    ASSERT_NO_FATAL_FAILURE(recordWithIndex(file, 500'000));
    ASSERT_TRUE(fs::exists(indexOf(file)));
    const std::vector<uint8_t> stream = sceneStream(0, 3'000'000);
    DvsFileRecorder recorder;
    {
        testing_support::FileSizeLimit limit(1'000'000);
        ASSERT_TRUE(limit.applied());
        ASSERT_TRUE(recorder.startRecording(file.string(), DvsFileInfo{}));
        EXPECT_FALSE(fs::exists(indexOf(file))) << "an old index goes when a recording of its name starts";
        recorder.addData(stream);
        EXPECT_FALSE(recorder.stopRecording());
    }
    EXPECT_EQ(recorder.lastError(), RecorderError::WriteFailed);
    EXPECT_FALSE(recorder.status().indexWritten);
    EXPECT_FALSE(fs::exists(indexOf(file)));
    EXPECT_TRUE(temporariesOf(indexOf(file)).empty());
}

// An index never outlives a change of its recording: the reader checks it as any side file and builds
// the index again when the file no longer holds what the index promises.
TEST_F(RecorderIndex, AnIndexThatPromisesMoreThanTheFileHoldsIsRebuilt) {
    const fs::path file = dir_ / "cut-short.raw";
    ASSERT_NO_FATAL_FAILURE(recordWithIndex(file, 2'000'000));
    const std::vector<uint8_t> promised = readBytes(indexOf(file));
    fs::resize_file(file, fs::file_size(file) - 1000);
    {
        ScopedLogCapture log;
        RawFileReader reader(file.string());
        ASSERT_TRUE(reader.loadFile()) << reader.lastErrorMessage();
        EXPECT_EQ(reader.lastError(), ReaderError::CorruptIndex);
        EXPECT_TRUE(log.containsSubstring(LOG_WARNING, "re-initialize bookmarks"));
    }
    EXPECT_FALSE(readBytes(indexOf(file)) == promised);
    expectIndexAsReaderBuildsIt(file);
}

TEST_F(RecorderIndex, AStaleIndexThatCannotBeRemovedRefusesTheStart) {
    const fs::path file = dir_ / "stale.raw";
    fs::create_directories(indexOf(file) / "x");  // not removable as a file
    DvsFileRecorder recorder;
    ScopedLogCapture log;
    EXPECT_FALSE(recorder.startRecording(file.string(), DvsFileInfo{}));
    EXPECT_EQ(recorder.lastError(), RecorderError::CannotOpen);
    EXPECT_NE(recorder.status().error.find("old index"), std::string::npos) << recorder.status().error;
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_FALSE(fs::exists(file)) << "no file is made by a start that is refused";
    // An earlier recording of that name keeps its content.
    std::ofstream(file, std::ios::binary) << "an earlier recording";
    EXPECT_FALSE(recorder.startRecording(file.string(), DvsFileInfo{}));
    EXPECT_EQ(recorder.lastError(), RecorderError::CannotOpen);
    EXPECT_EQ(fs::file_size(file), std::string("an earlier recording").size());
}

// A start that cannot open its file leaves the earlier recording of that name, and its index, alone.
TEST_F(RecorderIndex, AStartThatCannotOpenItsFileKeepsTheOldIndex) {
    const fs::path file = dir_ / "taken.raw";
    fs::create_directories(file / "x");  // the recording's name is taken by a folder
    const std::vector<uint8_t> old = {1, 2, 3};
    std::ofstream(indexOf(file), std::ios::binary).write(reinterpret_cast<const char*>(old.data()), 3);
    DvsFileRecorder recorder;
    ScopedLogCapture log;
    EXPECT_FALSE(recorder.startRecording(file.string(), DvsFileInfo{}));
    EXPECT_EQ(recorder.lastError(), RecorderError::CannotOpen);
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_EQ(readBytes(indexOf(file)), old);
}

// A reader that opens a recording still being written indexes the bytes it found; the file has grown
// by the time its index is complete, so it saves none (the recorder writes the index of the whole
// file), and an index that appeared meanwhile is left as it is.
TEST_F(RecorderIndex, AReaderSavesNoIndexOfAFileThatGrewWhileItWasIndexed) {
    const fs::path file = dir_ / "growing.raw";
    const std::vector<uint8_t> stream = sceneStream(0, 6'000'000);
    const size_t first = 3'000'000 & ~size_t(1);
    {
        DvsFileRecorder recorder;
        ASSERT_TRUE(recorder.startRecording(file.string(), DvsFileInfo{}));
        recorder.addData(stream.data(), first);
        ASSERT_TRUE(recorder.stopRecording());
    }
    fs::remove(indexOf(file));
    const std::vector<uint8_t> recorders = {4, 5, 6};
    bool appended = false;
    {
        RawFileReader reader(file.string());
        reader.setProgressCallback([&](uint64_t done, uint64_t total) {
            if (done == total && !appended) {
                appended = true;
                std::ofstream(file, std::ios::binary | std::ios::app)
                    .write(reinterpret_cast<const char*>(stream.data() + first),
                           std::streamsize(stream.size() - first));
                std::ofstream(indexOf(file), std::ios::binary)
                    .write(reinterpret_cast<const char*>(recorders.data()),
                           std::streamsize(recorders.size()));
            }
            return true;
        });
        ASSERT_TRUE(reader.loadFile()) << reader.lastErrorMessage();
        EXPECT_EQ(reader.lastError(), ReaderError::None) << reader.lastErrorMessage();
    }
    ASSERT_TRUE(appended);
    EXPECT_EQ(readBytes(indexOf(file)), recorders);
    EXPECT_TRUE(temporariesOf(indexOf(file)).empty());
    // Without the index appearing, none is created for the size the reader saw.
    fs::remove(indexOf(file));
    fs::resize_file(file, fs::file_size(file) - (stream.size() - first));
    appended = false;
    {
        RawFileReader reader(file.string());
        reader.setProgressCallback([&](uint64_t done, uint64_t total) {
            if (done == total && !appended) {
                appended = true;
                std::ofstream(file, std::ios::binary | std::ios::app)
                    .write(reinterpret_cast<const char*>(stream.data() + first),
                           std::streamsize(stream.size() - first));
            }
            return true;
        });
        ASSERT_TRUE(reader.loadFile()) << reader.lastErrorMessage();
    }
    ASSERT_TRUE(appended);
    EXPECT_FALSE(fs::exists(indexOf(file)));
    // Once the file stays put, a reader saves the index of all of it.
    {
        RawFileReader reader(file.string());
        ASSERT_TRUE(reader.loadFile()) << reader.lastErrorMessage();
    }
    EXPECT_TRUE(fs::exists(indexOf(file)));
}

TEST_F(RecorderIndex, ARecordingWithoutEventsHasNoIndexAndLeavesNoOldOne) {
    const fs::path file = dir_ / "empty.raw";
    const std::vector<uint8_t> old = {1, 2, 3};
    std::ofstream(indexOf(file), std::ios::binary).write(reinterpret_cast<const char*>(old.data()), 3);
    DvsFileRecorder recorder;
    ASSERT_TRUE(recorder.startRecording(file.string(), DvsFileInfo{}));
    recorder.addData(std::vector<uint8_t>{0x00, 0x80, 0x05, 0x00});  // time and a row, no event
    ASSERT_TRUE(recorder.stopRecording());
    EXPECT_FALSE(recorder.status().indexWritten);
    EXPECT_TRUE(recorder.status().indexError.empty());
    EXPECT_FALSE(fs::exists(indexOf(file)));
}

// ---- recordings of a simulated camera ----

class CameraRecordingIndex : public LiveCamera {
protected:
    CameraRecordingIndex() { rate_ = 200'000; }
    void SetUp() override {
        LiveCamera::SetUp();
        dir_ = scratchDir("cam");
    }
    void TearDown() override {
        LiveCamera::TearDown();
        fs::remove_all(dir_);
    }
    // Waits until the camera has delivered `n` more events.
    void waitForEvents(size_t n) {
        const size_t target = seen() + n;
        ASSERT_TRUE(waitFor([&] { return seen() >= target; }, 60s));
    }
    fs::path dir_;
};

TEST_F(CameraRecordingIndex, ADirectRecordingCarriesTheReadersIndex) {
    const fs::path file = dir_ / "direct.raw";
    ASSERT_EQ(camera_->startRecording(file.string()), 0);
    ASSERT_EQ(camera_->start(), 0);
    waitForEvents(300'000);  // 1.5 s of stream time, across the 24-bit wrap
    ASSERT_EQ(camera_->stopRecording(), 0) << camera_->getRecordingStatus().error;
    EXPECT_EQ(camera_->stop(), 0);
    const ZvRecordingStatus status = camera_->getRecordingStatus();
    EXPECT_TRUE(status.indexWritten) << status.indexError;
    expectIndexAsReaderBuildsIt(file);
}

TEST_F(CameraRecordingIndex, ACachedRecordingCarriesTheReadersIndex) {
    camera_->setFileCacheTime(2, (dir_ / "cache").string());
    ASSERT_EQ(camera_->start(), 0);
    waitForEvents(700'000);  // 3.5 s: the oldest cache files have gone
    const fs::path file = dir_ / "cached.raw";
    ASSERT_EQ(camera_->startRecording(file.string()), 0);
    waitForEvents(300'000);  // on across a cache file's end
    ASSERT_EQ(camera_->stopRecording(), 0) << camera_->getRecordingStatus().error;
    ASSERT_TRUE(camera_->waitForRecordingMerged(60s));
    EXPECT_EQ(camera_->stop(), 0);
    const ZvRecordingStatus status = camera_->getRecordingStatus();
    ASSERT_FALSE(status.failed) << status.error;
    EXPECT_TRUE(status.indexWritten) << status.indexError;
    expectIndexAsReaderBuildsIt(file);
    camera_->setFileCacheTime(0, (dir_ / "cache").string());
}

}  // namespace
}  // namespace zelvan
