#include "blogmanager.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QStandardPaths>

#include <cstdio>
#include <syslog.h>

namespace Bexa::Core {

namespace {

struct LogState
{
    QMutex mutex;
    bool handlerInstalled = false;
    bool console = false;
    bool fileRegistered = false;
    bool journal = false;
    QString filePath;
    QFile file;
    QByteArray journalIdent; // syslog keeps the pointer
};

LogState &state()
{
    // Never destroyed: messages may still arrive from other static destructors.
    static LogState *instance = new LogState;
    return *instance;
}

const char *levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "Debug";
    case QtInfoMsg:
        return "Info";
    case QtWarningMsg:
        return "Warning";
    case QtCriticalMsg:
        return "Critical";
    case QtFatalMsg:
        return "Fatal";
    }
    return "Unknown";
}

int syslogPriority(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return LOG_DEBUG;
    case QtInfoMsg:
        return LOG_INFO;
    case QtWarningMsg:
        return LOG_WARNING;
    case QtCriticalMsg:
        return LOG_CRIT;
    case QtFatalMsg:
        return LOG_ALERT;
    }
    return LOG_NOTICE;
}

QByteArray formatBody(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    return QByteArray("[") + levelName(type) + "] [" +
           (context.category ? context.category : "default") + "] " +
           (context.file ? context.file : "") + ':' + QByteArray::number(context.line) + ' ' +
           (context.function ? context.function : "") + " - " + message.toUtf8();
}

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray body = formatBody(type, context, message);
    const QByteArray line =
        QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8() + ' ' + body + '\n';

    LogState &s = state();
    QMutexLocker locker(&s.mutex);
    if (s.console) {
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
    }
    if (s.file.isOpen()) {
        s.file.write(line);
        s.file.flush();
    }
    if (s.journal)
        ::syslog(syslogPriority(type), "%s", body.constData());
}

QString defaultLogFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QLatin1Char('/') +
           QCoreApplication::applicationName() + QStringLiteral(".log");
}

// Called with the mutex held: must not log through Qt.
void reopenFile(LogState &s)
{
    s.file.close();
    const QString path = s.filePath.isEmpty() ? defaultLogFilePath() : s.filePath;
    QDir().mkpath(QFileInfo(path).absolutePath());
    s.file.setFileName(path);
    // A log shows what the process did; other users have no business there.
    if (!s.file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text,
                     QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup))
        std::fprintf(stderr, "cannot open log file %s: %s\n", qPrintable(path),
                     qPrintable(s.file.errorString()));
}

void installHandler(LogState &s)
{
    if (!s.handlerInstalled) {
        qInstallMessageHandler(messageHandler);
        s.handlerInstalled = true;
    }
}

} // namespace

void BLogManager::registerConsoleAppender()
{
    LogState &s = state();
    QMutexLocker locker(&s.mutex);
    s.console = true;
    installHandler(s);
}

void BLogManager::setlogFilePath(const QString &path)
{
    LogState &s = state();
    QMutexLocker locker(&s.mutex);
    s.filePath = path;
    if (s.fileRegistered)
        reopenFile(s);
}

void BLogManager::registerFileAppender()
{
    LogState &s = state();
    QMutexLocker locker(&s.mutex);
    if (!s.fileRegistered) {
        s.fileRegistered = true;
        reopenFile(s);
    }
    installHandler(s);
}

void BLogManager::registerJournalAppender()
{
    LogState &s = state();
    QMutexLocker locker(&s.mutex);
    if (!s.journal) {
        s.journalIdent = QCoreApplication::applicationName().toUtf8();
        ::openlog(s.journalIdent.isEmpty() ? nullptr : s.journalIdent.constData(), LOG_PID,
                  LOG_DAEMON);
        s.journal = true;
    }
    installHandler(s);
}

QString BLogManager::logFilePath()
{
    LogState &s = state();
    QMutexLocker locker(&s.mutex);
    return s.filePath.isEmpty() ? defaultLogFilePath() : s.filePath;
}

} // namespace Bexa::Core
