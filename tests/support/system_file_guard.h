#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// Keeps a copy of system files and folders (/etc/apt/sources.list, ...) and
// puts them back exactly as they were when the guard goes: contents, modes,
// owners, links; what the test created is removed, what was absent is absent
// again.
//
// The copies and a manifest of them stay in a record folder under
// recordsDir() while the guard lives, so that a test killed before its guard
// went (at its time-out, by a crash) still has them put back: the test
// suite's fixtures run restore-guarded-files.sh, which takes only the records
// of guards whose process has ended.
class SystemFileGuard
{
public:
    explicit SystemFileGuard(const QStringList &absolutePaths);
    ~SystemFileGuard();
    SystemFileGuard(const SystemFileGuard &) = delete;
    SystemFileGuard &operator=(const SystemFileGuard &) = delete;

    // TWK_GUARD_RECORDS, or a folder that survives the test and a restart.
    static QString recordsDir();

    // false when the backup failed; the guard then restores nothing.
    bool isValid() const { return m_valid; }
    // Its record goes once everything is back; a record kept is retried by
    // the suite's fixture.
    bool restore();
    QString errorString() const { return m_error; }

private:
    struct Entry
    {
        QString path;
        QString backup; // empty when the path did not exist
    };

    bool createRecord();
    bool writeManifest();
    void removeRecord();
    bool copyTree(const QString &from, const QString &to);
    bool fail(const QString &message);

    QString m_record;
    int m_lockFd = -1;
    QList<Entry> m_entries;
    bool m_valid = false;
    bool m_restored = false;
    QString m_error;
};
