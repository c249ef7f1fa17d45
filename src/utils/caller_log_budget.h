#pragma once

#include "utils/lazy_singleton.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

class QTimer;

namespace AppStore {

// Keeps the lines that bus callers cause to a bounded rate per sender (its
// unique bus name): the first few of a minute are logged, the rest counted,
// and one line tells the count once that minute is over. Any user could
// otherwise fill the log disk by calling in a loop. Only so many senders are
// kept track of at a time; the ones beyond share one budget.
class CallerLogBudget : public QObject
{
    Q_OBJECT
public:
    // Whether a line caused by sender may be logged now; a line that may not
    // is counted as left out. Lines of no sender (the daemon's own work) are
    // always logged. Any thread.
    static bool admit(const QString &sender);

private:
    struct Window
    {
        qint64 startMs = 0;
        int logged = 0;
        int leftOut = 0;
    };
    struct LeftOut
    {
        QString sender;
        int count = 0;
    };

    CallerLogBudget();
    friend class LazySingleton<CallerLogBudget>;

    bool admitLine(const QString &sender);
    // Called with the mutex held; the counts are told once it is let go.
    QList<LeftOut> forgetWindowsOver(qint64 nowMs);
    void closeWindowsOver();
    void wakeAt(qint64 atMs);
    static void tell(const QList<LeftOut> &leftOut);

    QMutex m_mutex;
    QElapsedTimer m_clock;
    QHash<QString, Window> m_windows;
    QTimer *m_timer = nullptr;
};

} // namespace AppStore
