// Runs one task on its own thread, then emits taskCompleted().
#pragma once

#include <QThread>
#include <functional>

class WorkerThread : public QThread {
    Q_OBJECT
public:
    explicit WorkerThread(std::function<void()> task, QObject* parent = nullptr)
        : QThread(parent), task_(std::move(task)) {}

signals:
    void taskCompleted();

protected:
    void run() override {
        if (task_) task_();
        emit taskCompleted();
    }

private:
    std::function<void()> task_;
};
