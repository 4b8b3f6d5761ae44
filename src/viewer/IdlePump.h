#pragma once
// Runs background work whenever the event loop is about to wait: one step each time, and
// as long as a step reports more work the loop is woken again instead of sleeping. It
// keeps running inside modal dialogs, whose loops use the same dispatcher.
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <functional>

class QAbstractEventDispatcher;

namespace vellicor {

class TIdlePump : public QObject {
    Q_OBJECT

public:
    // Step returns true when it did work (and more may be waiting).
    using TIdleStep = std::function<bool()>;
    explicit TIdlePump(TIdleStep Step, QObject* Parent = nullptr);
    ~TIdlePump() override;

    // Attaches to the calling thread's event dispatcher (the GUI thread's).
    void Start();
    void Stop();
    bool Active() const { return static_cast<bool>(Connection_); }

private:
    void AboutToBlock();

    TIdleStep Step_;
    QPointer<QAbstractEventDispatcher> Dispatcher_;
    QMetaObject::Connection Connection_;
    bool InStep_ = false;
};

}  // namespace vellicor
