#pragma once

#include "utils/process_runner.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/types.h>

class PrivateSystemBus;

// The test client (TWK_TEST_CLIENT) run as a user other than root, who is
// at no seat, against a private bus opened to all users: a copy of the
// client, and the files its arguments name, in a folder any user may read.
class OtherUserClient
{
public:
    explicit OtherUserClient(const PrivateSystemBus &bus);

    bool isValid() const { return m_valid; }
    // A file of that folder, readable by all, with the given content.
    QString writeReadable(const QString &name, const QByteArray &content);
    // The client with its arguments ("--send", "3", method, values...) as uid.
    AppStore::ProcessSpec spec(uid_t uid, const QStringList &arguments,
                               int timeoutMs = 120000) const;
    // Runs it to its end.
    AppStore::ProcessResult run(uid_t uid, const QStringList &arguments) const;

private:
    const PrivateSystemBus &m_bus;
    QTemporaryDir m_dir;
    QString m_client;
    bool m_valid = false;
};
