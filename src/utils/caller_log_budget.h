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

// Keeps the lines that bus callers cause to a bounded rate per caller (a
// user, or all callers whose user is not known yet): the first few of a
// minute are logged, the rest counted, and one line tells the count once
// that minute is over. Any user could otherwise push every earlier line out
// of the kept log files by calling in a loop. Only so many callers are kept
// track of at a time; the ones beyond share one budget.
class CallerLogBudget : public QObject
{
    Q_OBJECT
public:
    // Whether a line caused by caller may be logged now; a line that may not
    // is counted as left out. Lines of no caller (the daemon's own work) are
    // always logged. Any thread.
    static bool admit(const QString &caller);

    // While it lives, every line written on this thread is caused by caller
    // and, once filterLines() is in place, logged within caller's budget.
    class Scope
    {
    public:
        explicit Scope(const QString &caller);
        ~Scope();
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;

    private:
        const QString m_caller;
        const QString *m_outer;
    };

    // Puts the budget in front of the log's message handler.
    static void filterLines();
    // Tells the counts of the windows still open, as at the stop.
    static void tellOpenWindows();

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

    bool admitLine(const QString &caller);
    static void budgetedLine(QtMsgType type, const QMessageLogContext &context,
                             const QString &message);
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
