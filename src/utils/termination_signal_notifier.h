#pragma once

#include <QObject>

#include <csignal>

class QSocketNotifier;

// Turns SIGTERM, the service manager's stop request, into a Qt signal on the
// thread that creates the object (the main thread). The handler only writes
// one byte into a pipe, which is all a signal handler may safely do; a
// notifier on the other end of the pipe emits terminationRequested() from the
// event loop. One object at a time; the previous disposition of SIGTERM comes
// back when it goes.
class TerminationSignalNotifier : public QObject
{
    Q_OBJECT
public:
    explicit TerminationSignalNotifier(QObject *parent = nullptr);
    ~TerminationSignalNotifier() override;

    // false when the pipe could not be made: SIGTERM then keeps its default
    // action.
    bool isActive() const { return m_notifier != nullptr; }

Q_SIGNALS:
    // Once, at the first SIGTERM; later ones are logged and dropped.
    void terminationRequested();

private:
    void onReadable();

    int m_readFd = -1;
    int m_writeFd = -1;
    QSocketNotifier *m_notifier = nullptr;
    struct sigaction m_previous = {};
    bool m_requested = false;
};
