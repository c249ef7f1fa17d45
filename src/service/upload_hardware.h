#pragma once

#include <QObject>
#include <QVariantMap>

class QThread;
class QTimer;

// Makes the machine known to the store server once per installation: one
// store query, whose headers carry the device facts, as soon as the machine
// is online. The key "upload_hardware" of the key-value table remembers that
// it went out. Until then it tries again on a timer and whenever
// NetworkManager reports full connectivity. All work runs on its own thread.
class UploadHardware : public QObject
{
    Q_OBJECT
public:
    UploadHardware();
    ~UploadHardware() override;

    // The first attempt comes after the start delay.
    void start();
    void stopThread();

    // Ten seconds and five minutes unless a test shortens them; before start().
    void setIntervals(int startDelayMs, int retryIntervalMs);

public Q_SLOTS:
    bool uploadHardwareEvent();
    void onPropertiesChangedSlot(QVariantMap para);

private:
    void startHardwareUpload();
    bool attempt();
    void watchNetwork(bool on);

    QThread *m_thread = nullptr;
    QTimer *m_retryTimer = nullptr;
    int m_interval = 300000;
    int m_startDelay = 10000;
    // The store query waits in an event loop of its own, where a timer tick
    // or a connectivity signal would start a second attempt inside the first.
    bool m_attemptRunning = false;
    bool m_reported = false;
};
