#pragma once

#include "utils/lazy_singleton.h"

#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>

class QThread;
class QTimer;

// Counts live tasks and ends the daemon when it has been idle for a full
// period (ten minutes) and the store client is not running. The idle timer
// runs only while no task lives; it and the manager belong to the main
// thread, while addTask() and removeTask() may be called from any thread.
class TaskManager : public QObject
{
    Q_OBJECT
public:
    static TaskManager *instance();

    void addTask();
    void removeTask();

    // The knobs of the idle exit: the idle period in milliseconds (a running
    // timer starts over with the new period) and the store client's file.
    // Main thread only.
    void setInterval(int ms);
    void setClientExecutable(const QString &path);

private Q_SLOTS:
    void slotTimeout();

private:
    explicit TaskManager(QObject *parent = nullptr);
    friend class AppStore::LazySingleton<TaskManager>;

    void finishIdleTest(quint64 generation);
    void settleIdle();

    QTimer *m_timer;
    // Started whenever the last task ends: once it fires with still no task,
    // the daemon counts as idle, which is logged, and the heap is trimmed.
    QTimer *m_settle;
    bool m_idleTold = true;
    int m_interval = 600000;
    // A process counts as the client when it runs this file: any user can
    // give a process of theirs the client's name.
    QString m_clientExecutable = QStringLiteral("/usr/bin/tarnwick-client");
    QMutex m_mutex;
    std::atomic<int> m_taskCount{0};
    // Bumped by every addTask(), so that an idle test that saw a task come
    // and go while the client probe ran does not quit on stale grounds.
    std::atomic<quint64> m_generation{0};
    // The client probe runs here so that ps never holds up the event loop.
    QThread *m_probe = nullptr;
    std::atomic<bool> m_clientRunning{false};
};
