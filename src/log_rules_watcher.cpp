#include "log_rules_watcher.h"

#include "bconfig/bconfig_watcher.h"
#include "common/daemon_log.h"

#include <QLoggingCategory>

namespace {

const char kRulesVariable[] = "QT_LOGGING_RULES";
const QString kStoreAppId = QStringLiteral("velkor-app-store");
const QString kStoreConfigName = QStringLiteral("com.velkor.app-store");
const QString kRulesKey = QStringLiteral("log_rules");

} // namespace

LogRulesWatcher::LogRulesWatcher(QObject *parent)
    : QObject(parent)
{
    m_rules = splitRules(QString::fromUtf8(qgetenv(kRulesVariable)));
    qunsetenv(kRulesVariable);

    BConfigWatcher *watcher = BConfigWatcher::instance();
    const QVariant configured =
        watcher->getValueSync(kStoreAppId, kStoreConfigName, QString(), kRulesKey);
    m_rules += splitRules(configured.toString());
    applyRules();

    connect(watcher, &BConfigWatcher::sigValueChanged, this,
            &LogRulesWatcher::slotBConfigValueChanged);
}

void LogRulesWatcher::slotBConfigValueChanged(QString appId, QString name, QString subpath,
                                              QString key, QVariant value)
{
    if (appId != kStoreAppId || name != kStoreConfigName || !subpath.isEmpty() ||
        key != kRulesKey) {
        return;
    }
    // From the first change on, the configuration alone decides: the rules
    // that came from the environment at start-up are dropped.
    m_rules = splitRules(value.toString());
    applyRules();
    // Under the new rules: the line shows only when they leave debug on.
    qCDebug(daemonLogCategory).noquote() << "log_rules changed:" << m_rules.join(u';');
}

QStringList LogRulesWatcher::splitRules(const QString &rules)
{
    return rules.split(QLatin1Char(';'), Qt::SkipEmptyParts);
}

void LogRulesWatcher::applyRules()
{
    QLoggingCategory::setFilterRules(m_rules.join(QLatin1Char('\n')));
}
