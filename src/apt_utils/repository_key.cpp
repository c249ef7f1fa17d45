#include "repository_key.h"

#include "common/daemon_log.h"
#include "utils/process_runner.h"

#include <QStringList>

namespace AppStore {

namespace {

const QString kAptKey = QStringLiteral("apt-key");
// apt-key starts gpg and may wait on its agent: a full listing's limit.
constexpr int kAptKeyTimeoutMs = 120000;

ProcessResult runKeyTool(ProcessSpec spec)
{
    spec.timeoutMs = kAptKeyTimeoutMs;
    const ProcessResult result = ProcessRunner::run(spec);
    if (result.timedOut)
        qCWarning(daemonLogCategory)
            << spec.program << spec.arguments << "timed out after" << kAptKeyTimeoutMs << "ms";
    return result;
}

// Whether a key list as "apt-key list" prints it shows the fingerprint.
bool keyListShowsFingerprint(const QString &keyList, const QString &fingerprint)
{
    const QStringList lines = keyList.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (!lines.at(i).trimmed().startsWith(QLatin1String("pub")))
            continue;
        ++i;
        // The fingerprint follows its "pub" line in blank-separated groups.
        const QString printed =
            i < lines.size() ? lines.at(i).simplified().remove(QLatin1Char(' ')) : QString();
        if (printed == fingerprint)
            return true;
    }
    return false;
}

} // namespace

QString RepositoryKey::storeKeyFingerprint()
{
    return QStringLiteral("4E7A19C2B05D83F6A1E2907C3B58D4F1A6C02E95");
}

QString RepositoryKey::storeKeyRing()
{
    return QStringLiteral("/usr/share/tarnwick-daemon/tarnwick.gpg");
}

bool RepositoryKey::isStoreKeyInstalled()
{
    return isStoreKeyInstalled(storeKeyFingerprint());
}

bool RepositoryKey::isStoreKeyInstalled(const QString &fingerprint)
{
    ProcessSpec spec;
    spec.program = kAptKey;
    spec.arguments = {QStringLiteral("list")};
    spec.environmentMode = ProcessSpec::Environment::Replace;
    spec.environment = {QStringLiteral("LANGUAGE=en_US")};
    const ProcessResult result = runKeyTool(spec);
    if (!result.succeeded())
        return false;
    return keyListShowsFingerprint(result.outputText(), fingerprint);
}

bool RepositoryKey::addStoreKey(bool usePkexec)
{
    return addStoreKey(usePkexec, storeKeyRing());
}

bool RepositoryKey::addStoreKey(bool usePkexec, const QString &keyRing)
{
    ProcessSpec spec;
    spec.program = usePkexec ? QStringLiteral("pkexec") : kAptKey;
    spec.arguments = {QStringLiteral("add"), keyRing};
    if (usePkexec)
        spec.arguments.prepend(kAptKey);
    return runKeyTool(spec).succeeded();
}

bool RepositoryKey::ensureStoreKey()
{
    return ensureStoreKey(storeKeyFingerprint(), storeKeyRing());
}

bool RepositoryKey::ensureStoreKey(const QString &fingerprint, const QString &keyRing)
{
    return isStoreKeyInstalled(fingerprint) || addStoreKey(false, keyRing);
}

} // namespace AppStore
