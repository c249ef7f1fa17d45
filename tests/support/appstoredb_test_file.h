#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QStringList>
#include <QVariant>

// A connection of the test's own to a database file, for looking at what the
// store wrote and for preparing files in older layouts.
class AppstoreDbTestFile
{
public:
    explicit AppstoreDbTestFile(const QString &path)
        : m_name(QStringLiteral("test-file-%1").arg(++s_serial))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.open();
    }
    ~AppstoreDbTestFile() { QSqlDatabase::removeDatabase(m_name); }
    AppstoreDbTestFile(const AppstoreDbTestFile &) = delete;
    AppstoreDbTestFile &operator=(const AppstoreDbTestFile &) = delete;

    bool exec(const QString &statement, const QVariantList &values = {})
    {
        QSqlQuery query(QSqlDatabase::database(m_name));
        query.prepare(statement);
        for (const QVariant &value : values) {
            query.addBindValue(value);
        }
        return query.exec();
    }

    // Every row of a query, each row's values as texts joined by "|".
    QStringList rows(const QString &statement, const QVariantList &values = {})
    {
        QSqlQuery query(QSqlDatabase::database(m_name));
        query.prepare(statement);
        for (const QVariant &value : values) {
            query.addBindValue(value);
        }
        QStringList rows;
        if (query.exec()) {
            while (query.next()) {
                QStringList fields;
                for (int i = 0; i < query.record().count(); ++i) {
                    fields.append(query.value(i).toString());
                }
                rows.append(fields.join(QLatin1Char('|')));
            }
        }
        return rows;
    }

    QString value(const QString &statement, const QVariantList &values = {})
    {
        const QStringList all = rows(statement, values);
        return all.isEmpty() ? QString() : all.first();
    }

    int count(const QString &table)
    {
        return value(QStringLiteral("SELECT count(*) FROM ") + table).toInt();
    }

    QStringList columnNames(const QString &table)
    {
        return rows(QStringLiteral("SELECT name FROM pragma_table_info(?)"), {table});
    }

private:
    static inline int s_serial = 0;
    QString m_name;
};
