#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class AptInstallManager;

// One progress signal of the install manager, as the tests record it.
struct EngineProgress
{
    QString id;
    QString package;
    int state;
    qlonglong total;
    qlonglong progress;
    QString status;
};

// What the install manager signals to its clients, collected on the test's
// thread, where the queued signals arrive.
class EngineRecorder : public QObject
{
public:
    void attach(AptInstallManager *manager);

    // The message that ends package's install, the one carrying the
    // completion marker; state -1 while none came.
    EngineProgress finalOf(const QString &package) const;
    bool hasProgress(const QString &package, int state) const;
    // Spins the event loop until package's final message came.
    bool waitForFinal(const QString &package, int timeoutMs = 240000) const;

    QList<EngineProgress> progress;
    QStringList notifications;
    QStringList hookReleases;
    QStringList purgeStarts;
    QList<bool> purgeResults;
};
