// Records a signal's calls on the GUI thread. Unlike QSignalSpy it is never written from the
// emitting thread: a call from a worker thread is queued to the GUI thread, a call from the GUI
// thread is recorded at once, and calls still queued when the spy goes out of scope are dropped.
#pragma once

#include <QList>
#include <QObject>
#include <QVariant>

class GuiSpy {
public:
    template <typename Sender, typename... Args>
    GuiSpy(const Sender* sender, void (Sender::*signal)(Args...)) {
        QObject::connect(sender, signal, &context_, [this](Args... args) {
            calls_.append(QList<QVariant>{QVariant::fromValue(args)...});
        });
    }
    GuiSpy(const GuiSpy&) = delete;
    GuiSpy& operator=(const GuiSpy&) = delete;

    qsizetype count() const { return calls_.count(); }
    bool isEmpty() const { return calls_.isEmpty(); }
    const QList<QVariant>& at(qsizetype i) const { return calls_.at(i); }
    const QList<QVariant>& first() const { return calls_.first(); }
    const QList<QVariant>& last() const { return calls_.last(); }
    QList<QVariant> takeFirst() { return calls_.takeFirst(); }
    auto begin() const { return calls_.begin(); }
    auto end() const { return calls_.end(); }

private:
    QList<QList<QVariant>> calls_;
    QObject context_;  // last member: disconnects before the list goes
};
