#pragma once

#include "daemon_apt_configs.h"
#include "utils/process_runner.h"

#include <QDBusMessage>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class PrivateSystemBus;

// The real daemon binary serving a private system bus, its log lines kept.
// The machine's folders it writes to are the test's to guard (statePaths());
// the apt configuration files it reads there are written for it and put
// back when it goes.
class DaemonUnderTest
{
public:
    explicit DaemonUnderTest(const PrivateSystemBus &bus);
    ~DaemonUnderTest();

    // The folders of state, cache and log a running daemon changes.
    static QStringList statePaths();
    // HOME and the configuration folders of a daemon run by a test; debug
    // lines are logged when debugLog is set.
    static QStringList environment(const QString &home, bool debugLog);
    static bool isOnBus();
    // A call of one of the daemon's methods on "/appstore".
    static QDBusMessage methodCall(const QString &name, const QVariantList &arguments = {});

    // Entries added to the environment of the next start().
    void addEnvironment(const QStringList &entries) { m_extraEnvironment += entries; }

    // Starts the daemon and waits until it owns its name.
    bool start(bool debugLog = false);
    bool isRunning() const { return m_daemon.isRunning(); }
    qint64 processId() const { return m_daemon.processId(); }
    // How the daemon ended, once it has.
    AppStore::ProcessResult result() const { return m_daemon.result(); }
    // Ends it and waits until its name is gone.
    bool stop();

    // The HOME the daemon runs with.
    QString homePath() const { return m_home.path(); }
    const QStringList &logLines() const { return m_lines; }
    // How many logged lines contain text.
    int countLines(const QString &text) const;

private:
    const PrivateSystemBus &m_bus;
    QTemporaryDir m_home;
    AppStore::ProcessRunner m_daemon;
    QStringList m_extraEnvironment;
    std::unique_ptr<DaemonAptConfigs> m_aptConfigs;
    QStringList m_lines;
};
