#pragma once

#include <QObject>
#include <QStringList>
#include <QVariant>

// Keeps Qt's logging filter rules in step with the environment variable
// "QT_LOGGING_RULES" (read once, then removed so that no child inherits it)
// and the store configuration's "log_rules" key (followed while running).
class LogRulesWatcher : public QObject
{
    Q_OBJECT
public:
    explicit LogRulesWatcher(QObject *parent = nullptr);

private Q_SLOTS:
    void slotBConfigValueChanged(QString appId, QString name, QString subpath, QString key,
                                 QVariant value);

private:
    static QStringList splitRules(const QString &rules);
    void applyRules();

    QStringList m_rules;
};
