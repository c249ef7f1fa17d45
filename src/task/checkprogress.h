#pragma once

#include <QMutex>
#include <QObject>
#include <QString>

class QThread;
class QTimer;

// Tells, every 200 ms while a given file exists, that the download writing it
// is under way. The checks run on the object's own thread; the poll timer
// belongs to the thread that constructed the object, and start() and stop()
// are called from there.
class CheckProgress : public QObject
{
    Q_OBJECT
public:
    explicit CheckProgress(QObject *parent = nullptr);
    ~CheckProgress() override;

    // Replaces the watched values and (re)starts the checks; also after stop().
    void start(const QString &id, const QString &packageName, const QString &filePath,
               qint64 total);
    // Returns once no check runs and none will run until the next start().
    void stop();

Q_SIGNALS:
    void sigDownloadProgress(QString id, QString packageName, qlonglong total, qlonglong cursize);

private Q_SLOTS:
    void OnCheckProgressSlot();

private:
    void createTimer();
    void releaseTimer();
    void endThread();

    QThread *thread = nullptr;
    QTimer *timer = nullptr;
    // start() may replace these while a check reads them on the worker thread.
    QMutex valuesMutex;
    QString filePath;
    QString packageName;
    QString id;
    qint64 total = 0;
    int interval = 200;
};
