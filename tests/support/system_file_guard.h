#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Keeps a copy of system files and folders (/etc/apt/sources.list, ...) and
// puts them back exactly as they were when the guard goes: contents, modes,
// owners, links; what the test created is removed, what was absent is absent
// again.
class SystemFileGuard
{
public:
    explicit SystemFileGuard(const QStringList &absolutePaths);
    ~SystemFileGuard();
    SystemFileGuard(const SystemFileGuard &) = delete;
    SystemFileGuard &operator=(const SystemFileGuard &) = delete;

    // false when the backup failed; the guard then restores nothing.
    bool isValid() const { return m_valid; }
    bool restore();
    QString errorString() const { return m_error; }

private:
    struct Entry
    {
        QString path;
        QString backup; // empty when the path did not exist
    };

    bool copyTree(const QString &from, const QString &to);
    bool fail(const QString &message);

    QTemporaryDir m_dir;
    QList<Entry> m_entries;
    bool m_valid = false;
    bool m_restored = false;
    QString m_error;
};
