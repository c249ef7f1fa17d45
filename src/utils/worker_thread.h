#pragma once

class QObject;
class QThread;

namespace AppStore {

// Moves `worker` to a new thread named `name` and starts the thread's event
// loop; the thread deletes nothing itself, the worker outlives it.
QThread *startWorkerThread(QObject *worker, const char *name);

// How long a stop waits for a worker to leave its current job: longer than
// any single tool run or store request a worker makes.
constexpr int kWorkerStopWaitMs = 30 * 1000;

// The one way a long-lived worker thread is stopped: interruption request,
// quit of its event loop, then a wait for its end of at most waitMs. A worker
// stuck in a job must not hang the daemon's shut-down: on time-out a warning
// names the thread and false is returned; the thread is then still running
// and must not be deleted. True for null.
bool stopWorkerThread(QThread *thread, int waitMs = kWorkerStopWaitMs);

// A stop that waited out its bound tells it here (stopWorkerThread does so
// itself), and the process ends without running its static destructors under
// a thread still at work. Any thread.
void noteThreadLeftRunning();
bool anyThreadLeftRunning();

} // namespace AppStore
