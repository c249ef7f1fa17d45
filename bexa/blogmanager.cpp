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
    qint64 fileBytes = 0;
    qint64 maxFileBytes = 0;
    qint64 rotateAtBytes = 0;
    std::function<void(const QString &)> rotate;
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

// A file that the rotation left in place is tried again only once it has
// grown by the bound once more, not at every line.
void setRotationPoint(LogState &s)
{
    s.rotateAtBytes = s.fileBytes < s.maxFileBytes ? s.maxFileBytes : s.fileBytes + s.maxFileBytes;
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
    s.fileBytes = s.file.isOpen() ? s.file.size() : 0;
    setRotationPoint(s);
}

// Called with the mutex held.
void rotateIfFull(LogState &s)
{
    if (s.maxFileBytes <= 0 || s.fileBytes < s.rotateAtBytes || !s.rotate)
        return;
    const QString path = s.file.fileName();
    s.file.close();
    s.rotate(path);
    reopenFile(s);
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
        s.fileBytes += line.size();
        rotateIfFull(s);
    }
    if (s.journal)
        ::syslog(syslogPriority(type), "%s", body.constData());
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

void BLogManager::setFileSizeBound(qint64 maxBytes,
                                   const std::function<void(const QString &path)> &rotate)
{
    LogState &s = state();
    QMutexLocker locker(&s.mutex);
    s.maxFileBytes = maxBytes;
    s.rotate = rotate;
    setRotationPoint(s);
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
