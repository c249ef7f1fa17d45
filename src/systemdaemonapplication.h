#pragma once

#include <QCoreApplication>

// The daemon's application object: its identity, and the orderly stop of the
// long-lived workers when the event loop ends.
class SystemDaemonApplication : public QCoreApplication
{
    Q_OBJECT
public:
    SystemDaemonApplication(int &argc, char **argv);

    static void initLog();

private Q_SLOTS:
    void slotAboutToQuit();
};
