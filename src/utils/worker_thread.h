#pragma once

class QObject;
class QThread;

namespace AppStore {

// Moves `worker` to a new thread named `name` and starts the thread's event
// loop; the thread deletes nothing itself, the worker outlives it.
QThread *startWorkerThread(QObject *worker, const char *name);

// The one way a long-lived worker thread is stopped: interruption request,
// quit of its event loop, then a wait for its end. Does nothing for null.
void stopWorkerThread(QThread *thread);

} // namespace AppStore
