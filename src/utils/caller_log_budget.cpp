#include "caller_log_budget.h"

#include "common/daemon_log.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>

namespace AppStore {

namespace {

constexpr int kLinesPerWindow = 10;
constexpr qint64 kWindowMs = 60 * 1000;
constexpr int kMaxSenders = 256;
const QString kOtherSenders = QStringLiteral("other callers");

// The caller the lines of this thread are caused by, if any; and whether the
// thread is writing the budget's own lines, which no budget holds back.
thread_local const QString *causedBy = nullptr;
thread_local bool telling = false;
// Whether this thread is in the handler: Qt writes a line logged from there
// straight to stderr, past the handler and the log files.
thread_local bool inHandler = false;
QtMessageHandler handlerBehind = nullptr;
std::atomic<bool> filtering{false};

} // namespace

void CallerLogBudget::budgetedLine(QtMsgType type, const QMessageLogContext &context,
                                   const QString &message)
{
    if (type != QtFatalMsg && causedBy && !telling) {
        inHandler = true;
        const bool admitted = LazySingleton<CallerLogBudget>::instance()->admitLine(*causedBy);
        inHandler = false;
        if (!admitted)
            return;
    }
    handlerBehind(type, context, message);
}

CallerLogBudget::Scope::Scope(const QString &caller)
    : m_caller(caller)
    , m_outer(causedBy)
{
    causedBy = m_caller.isEmpty() ? nullptr : &m_caller;
}

CallerLogBudget::Scope::~Scope()
{
    causedBy = m_outer;
}

void CallerLogBudget::filterLines()
{
    if (filtering.exchange(true))
        return;
    // Qt hands back its default handler when none was installed.
    handlerBehind = qInstallMessageHandler(&CallerLogBudget::budgetedLine);
}

void CallerLogBudget::tellOpenWindows()
{
    CallerLogBudget *budget = LazySingleton<CallerLogBudget>::instance();
    QList<LeftOut> told;
    {
        QMutexLocker locker(&budget->m_mutex);
        for (auto it = budget->m_windows.begin(); it != budget->m_windows.end(); ++it) {
            if (it->leftOut > 0)
                told.append({it.key(), it->leftOut});
            it->leftOut = 0;
        }
    }
    tell(told);
}

CallerLogBudget::CallerLogBudget()
    : m_timer(new QTimer(this))
{
    m_clock.start();
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &CallerLogBudget::closeWindowsOver);
    // The first caller's line may come from a worker; the count lines are
    // timed by the main thread's loop.
    if (QCoreApplication *app = QCoreApplication::instance())
        moveToThread(app->thread());
}

bool CallerLogBudget::admit(const QString &caller)
{
    if (caller.isEmpty())
        return true;
    // The line will be budgeted as it is written.
    if (filtering && causedBy && *causedBy == caller && !telling)
        return true;
    return LazySingleton<CallerLogBudget>::instance()->admitLine(caller);
}

bool CallerLogBudget::admitLine(const QString &sender)
{
    QList<LeftOut> told;
    bool admitted = false;
    qint64 windowEnd = -1;
    {
        QMutexLocker locker(&m_mutex);
        const qint64 now = m_clock.elapsed();
        if (!m_windows.contains(sender) && m_windows.size() >= kMaxSenders)
            told = forgetWindowsOver(now);
        const QString key =
            m_windows.contains(sender) || m_windows.size() < kMaxSenders ? sender : kOtherSenders;
        auto it = m_windows.find(key);
        if (it == m_windows.end())
            it = m_windows.insert(key, Window{now, 0, 0});
        Window &window = *it;
        if (now - window.startMs >= kWindowMs) {
            if (window.leftOut > 0)
                told.append({key, window.leftOut});
            window = Window{now, 0, 0};
        }
        admitted = window.logged < kLinesPerWindow;
        if (admitted)
            ++window.logged;
        else if (++window.leftOut == 1)
            windowEnd = window.startMs + kWindowMs;
    }
    tell(told);
    if (windowEnd >= 0)
        wakeAt(windowEnd);
    return admitted;
}

QList<CallerLogBudget::LeftOut> CallerLogBudget::forgetWindowsOver(qint64 nowMs)
{
    QList<LeftOut> told;
    for (auto it = m_windows.begin(); it != m_windows.end();) {
        if (nowMs - it->startMs < kWindowMs) {
            ++it;
            continue;
        }
        if (it->leftOut > 0)
            told.append({it.key(), it->leftOut});
        it = m_windows.erase(it);
    }
    return told;
}

void CallerLogBudget::closeWindowsOver()
{
    QList<LeftOut> told;
    qint64 nextEnd = -1;
    {
        QMutexLocker locker(&m_mutex);
        told = forgetWindowsOver(m_clock.elapsed());
        for (const Window &window : std::as_const(m_windows)) {
            if (window.leftOut > 0 && (nextEnd < 0 || window.startMs + kWindowMs < nextEnd))
                nextEnd = window.startMs + kWindowMs;
        }
    }
    tell(told);
    if (nextEnd >= 0)
        wakeAt(nextEnd);
}

void CallerLogBudget::wakeAt(qint64 atMs)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, atMs] { wakeAt(atMs); }, Qt::QueuedConnection);
        return;
    }
    const int waitMs = static_cast<int>(std::max<qint64>(0, atMs - m_clock.elapsed()));
    if (!m_timer->isActive() || m_timer->remainingTime() > waitMs)
        m_timer->start(waitMs);
}

void CallerLogBudget::tell(const QList<LeftOut> &leftOut)
{
    const bool outer = telling;
    telling = true;
    for (const LeftOut &entry : leftOut) {
        const QString line = QStringLiteral("Left out %1 lines caused by %2 within a minute")
                                 .arg(entry.count)
                                 .arg(entry.sender);
        if (inHandler) {
            const QMessageLogContext context(__FILE__, __LINE__, Q_FUNC_INFO,
                                             daemonLogCategory().categoryName());
            handlerBehind(QtWarningMsg, context, line);
        } else {
            qCWarning(daemonLogCategory).noquote() << line;
        }
    }
    telling = outer;
}

} // namespace AppStore
