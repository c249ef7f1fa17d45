#pragma once

#include "utils/process_runner.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// A helper server (bus daemon, web server) running for the length of a test.
//
// The server counts as ready once it printed its first line on stdout, so
// every server used here prints one after it is listening. It gets the
// parent-death signal, so a crashed test leaves nothing running behind; the
// signal follows the thread that started it, so start servers from the
// test's main thread.
class ServerProcess
{
public:
    ServerProcess();
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    bool start(const QString &program, const QStringList &arguments,
               const QStringList &environment = {});
    // Picks a free port on 127.0.0.1 for argumentsForPort and tries again
    // with another when the server could not bind it.
    bool startOnFreePort(const QString &program,
                         const std::function<QStringList(quint16)> &argumentsForPort,
                         const QStringList &environment = {});
    void stop();

    bool isRunning() const;
    QString readyLine() const { return m_readyLine; }
    quint16 port() const { return m_port; }
    // Why start() failed, with the server's own error output.
    QString errorString() const { return m_error; }

private:
    std::unique_ptr<AppStore::ProcessRunner> m_runner;
    QString m_readyLine;
    QString m_error;
    quint16 m_port = 0;
};
