#pragma once

#include <QCoreApplication>

// The daemon's application object: its identity, and the orderly stop of the
// long-lived workers when the event loop ends.
class SystemDaemonApplication : public QCoreApplication
{
    Q_OBJECT
public:
    SystemDaemonApplication(int &argc, char **argv);

    // Console and journal: enough to report a refused start.
    static void initLog();
    // Rotates the log file and appends to the new one; only once the
    // daemon owns its bus name.
    static void initLogFile();

private Q_SLOTS:
    void slotAboutToQuit();
};
