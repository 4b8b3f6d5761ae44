#include "viewer/IdlePump.h"

#include <QAbstractEventDispatcher>
#include <QThread>
#include <exception>

#include "trace/Trace.h"

namespace vellicor {

TIdlePump::TIdlePump(TIdleStep Step, QObject* Parent) : QObject(Parent), Step_(std::move(Step)) {
    VTRACE("TIdlePump::TIdlePump");
}

TIdlePump::~TIdlePump() {
    VTRACE("TIdlePump::~TIdlePump");
    Stop();
}

void TIdlePump::Start() {
    VTRACE("TIdlePump::Start");
    if (Connection_) return;
    Dispatcher_ = QAbstractEventDispatcher::instance(QThread::currentThread());
    if (!Dispatcher_) return;
    Connection_ = connect(Dispatcher_, &QAbstractEventDispatcher::aboutToBlock, this, &TIdlePump::AboutToBlock,
                          Qt::DirectConnection);
    // The loop may already be asleep: make it look again.
    Dispatcher_->wakeUp();
}

void TIdlePump::Stop() {
    VTRACE("TIdlePump::Stop");
    if (Connection_) disconnect(Connection_);
    Connection_ = {};
}

void TIdlePump::AboutToBlock() {
    VTRACE("TIdlePump::AboutToBlock");
    // A step that lets events through reaches here again: it must not start a second step.
    if (InStep_ || !Step_) return;
    InStep_ = true;
    bool more = false;
    // Nothing may leave through the event loop; the step reports its own failures.
    try {
        more = Step_();
    } catch (const std::exception& e) {
        trace::TraceException(e);
    } catch (...) {
    }
    InStep_ = false;
    if (more && Dispatcher_) Dispatcher_->wakeUp();
}

}  // namespace vellicor
