// Recordings started by trigger edges: each records a fixed number of seconds, taking in the
// camera's pre-trigger cache.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "Utility/ViewerUtils.h"
#include "zelvan/DvsCamera.h"

// How a recording ended, once its file is complete (or known not to be).
struct RecordingOutcome {
    QString path;
    QString error;  // why the file lacks data; empty when it holds everything
    bool ok() const { return error.isEmpty(); }
};

// Threads: the slots run on the recorder's thread (the GUI thread); a timed recording runs on a
// thread of its own that the recorder owns and joins (at the next timed recording, in
// waitForTimedRecording() or in the destructor). The camera may be replaced from any thread; a
// timed recording keeps the camera it started on until it has stopped its recording there.
class ZvFileRecorder : public QObject {
    Q_OBJECT
public:
    explicit ZvFileRecorder(std::shared_ptr<zelvan::DvsCamera> camera = nullptr, QObject* parent = nullptr);
    // Ends a running timed recording at once (its file is closed) and joins its thread.
    ~ZvFileRecorder() override;

    // Another camera (or none) ends a running timed recording at once.
    void setCamera(std::shared_ptr<zelvan::DvsCamera> camera);
    std::shared_ptr<zelvan::DvsCamera> camera() const;
    bool isRecording() const { return recording_.load(); }
    // Waits for a running timed recording to end (tests and shutdown).
    void waitForTimedRecording();
    // Ends a running timed recording now (its camera was lost); what it recorded is kept.
    void stopTimedRecording();

    // Why `camera` refused startRecording(path): the driver's reason for this path, else the
    // recording that holds the camera.
    static QString startRefusal(const zelvan::DvsCamera& camera, const std::string& path);
    // Ends the camera's recording, waits until its file has been assembled (the pre-trigger cache
    // is merged after the stop) and tells what became of it. Waits for file output: never call it on
    // the GUI thread.
    static RecordingOutcome finishRecording(zelvan::DvsCamera& camera, const std::string& path);

signals:
    void signalShowLeftBottomTips(QString tips, ZvMessageType type, QString file_path);
    void signalShowLeftBottomTips(QString tips, ZvMessageType type);
    void signalShowLeftBottomTips(QString tips);
    // A timed recording has ended and its file is complete (or known not to be); from its thread.
    void signalTimedRecordingEnded();

public slots:
    void setCacheTime(int sec);
    bool recordingTime(uint32_t sec, QString file_path);
    bool startRecording(QString file_path);
    bool stopRecording();
    void slotSaveFileParamChanged();
    void slotDetectionRecordingTime(QString info);

private:
    void timedRecording(std::shared_ptr<zelvan::DvsCamera> camera, QString wanted, uint32_t sec);

    mutable std::mutex mutex_;  // guards camera_ and stopRequested_
    std::shared_ptr<zelvan::DvsCamera> camera_;
    bool stopRequested_ = false;    // ends the running timed recording before its time
    std::condition_variable wake_;  // signalled under mutex_ when stopRequested_ is set
    bool cacheEnabled_ = false;
    std::shared_ptr<zelvan::DvsCamera> manualCamera_;  // the camera startRecording() started on
    // A recording started by this object runs: set by the slot that starts it, cleared when it has
    // been stopped.
    std::atomic<bool> recording_{false};
    // Refusals of trigger edges already told (GUI thread): the Warning until a recording starts again,
    // and the recording of another that held the camera.
    bool refusalShown_ = false;
    std::string refusedFor_;
    std::mutex threadMutex_;  // guards timedThread_
    std::thread timedThread_;
};
