#pragma once

#include <QMutex>
#include <QObject>

class QThread;

// Writes the memory and disk logs into the daemon's cache folder on a worker
// thread of its own. A request while a run is under way is turned away by the
// caller through isBusy(); every run ends with sigSaveAllFileFinished.
class HardwareInfoSaver : public QObject
{
    Q_OBJECT
public:
    explicit HardwareInfoSaver(QObject *parent = nullptr);
    ~HardwareInfoSaver() override;

    void startThread();
    void stopThread();

    bool isBusy();
    void setBusy(bool busy);

    // Queues a run on the worker thread and returns at once.
    void saveHardwareInfo();

    // The pause before a run; tests shorten it.
    void setStartDelay(int milliseconds);

Q_SIGNALS:
    void sigSaveAllFileFinished();

private Q_SLOTS:
    void slotSaveHardwareInfo();

private:
    // Sleeps in short steps so that a stop request ends the pause.
    void pauseBeforeRun();

    QThread *thread = nullptr;
    QMutex mutex; // guards busy and startDelayMs
    bool busy = false;
    int startDelayMs = 5000;
};
