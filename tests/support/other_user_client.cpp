#include "other_user_client.h"

#include "private_system_bus.h"
#include "test_env.h"

#include <QFile>

namespace {

constexpr auto kReadableByAll = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                QFile::ExeOther;

} // namespace

OtherUserClient::OtherUserClient(const PrivateSystemBus &bus)
    : m_bus(bus)
    , m_client(m_dir.filePath(QStringLiteral("client")))
{
    m_valid = m_dir.isValid() && QFile::setPermissions(m_dir.path(), kReadableByAll) &&
              QFile::copy(qEnvironmentVariable("TWK_TEST_CLIENT"), m_client) &&
              QFile::setPermissions(m_client, kReadableByAll);
}

QString OtherUserClient::writeReadable(const QString &name, const QByteArray &content)
{
    const QString path = m_dir.filePath(name);
    if (!TestEnv::writeFile(path, content))
        return {};
    return path;
}

AppStore::ProcessSpec OtherUserClient::spec(uid_t uid, const QStringList &arguments,
                                            int timeoutMs) const
{
    AppStore::ProcessSpec spec;
    spec.program = QStringLiteral("setpriv");
    spec.arguments =
        QStringList{QStringLiteral("--reuid=%1").arg(uid), QStringLiteral("--regid=%1").arg(uid),
                    QStringLiteral("--clear-groups"), QStringLiteral("--"), m_client} +
        arguments;
    spec.environmentMode = AppStore::ProcessSpec::Environment::Extend;
    spec.environment = m_bus.environment();
    spec.timeoutMs = timeoutMs;
    return spec;
}

AppStore::ProcessResult OtherUserClient::run(uid_t uid, const QStringList &arguments) const
{
    AppStore::ProcessRunner client;
    if (!client.start(spec(uid, arguments)))
        return client.result();
    return client.waitForFinished();
}
