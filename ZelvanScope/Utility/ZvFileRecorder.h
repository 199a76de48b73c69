// Recordings started by trigger edges: each records a fixed number of seconds, taking in the
// camera's pre-trigger cache.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Utility/ViewerUtils.h"
#include "zelvan/DvsCamera.h"

class ZvFileRecorder : public QObject {
    Q_OBJECT
public:
    explicit ZvFileRecorder(std::shared_ptr<zelvan::DvsCamera> camera = nullptr, QObject* parent = nullptr);
    ~ZvFileRecorder() override;

    void setCamera(std::shared_ptr<zelvan::DvsCamera> camera);
    bool isRecording() const { return recording_.load(); }
    // Waits for a running timed recording to end (tests and shutdown).
    void waitForTimedRecording();

signals:
    void signalShowLeftBottomTips(QString tips, ZvMessageType type, QString file_path);
    void signalShowLeftBottomTips(QString tips, ZvMessageType type);
    void signalShowLeftBottomTips(QString tips);

public slots:
    void setCacheTime(int sec);
    bool recordingTime(uint32_t sec, QString file_path);
    bool startRecording(QString file_path);
    bool stopRecording();
    void slotSaveFileParamChanged();
    void slotDetectionRecordingTime(QString info);

private:
    void timedRecording(QString path, uint32_t sec);

    std::shared_ptr<zelvan::DvsCamera> camera_;
    bool cacheEnabled_ = false;
    std::atomic<bool> recording_{false};
    std::mutex threadMutex_;
    std::thread timedThread_;
    std::mutex wakeMutex_;
    std::condition_variable wake_;  // ends the half-second wait of a timed recording early
};
