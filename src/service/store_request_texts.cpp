#include "store_request_texts.h"

#include "common/daemon_log.h"

#include <QJsonDocument>
#include <QStringList>

namespace {

QString joinPairs(const QList<QPair<QString, QString>> &pairs)
{
    QStringList items;
    items.reserve(pairs.size());
    for (const auto &pair : pairs)
        items.append(pair.first + u'/' + pair.second);
    return items.join(u' ');
}

} // namespace

QString buildUserAgent(const BiHeaderInfo &bi)
{
    return joinPairs({{QStringLiteral("device_id"), bi.device_id},
                      {QStringLiteral("client"), bi.client},
                      {QStringLiteral("client_version"), bi.client_version},
                      {QStringLiteral("os"), bi.os},
                      {QStringLiteral("os_version"), bi.os_version},
                      {QStringLiteral("os_build"), bi.os_build},
                      {QStringLiteral("channel"), bi.channel},
                      {QStringLiteral("cpuid"), bi.cpuid},
                      {QStringLiteral("uuid"), bi.uuid},
                      {QStringLiteral("SN"), bi.SN}});
}

QString buildBiHeaderString(const BiHeaderInfo &bi)
{
    return joinPairs({{QStringLiteral("type"), QStringLiteral("40")},
                      {QStringLiteral("device_id"), bi.device_id},
                      {QStringLiteral("client"), bi.client},
                      {QStringLiteral("client_version"), bi.client_version},
                      {QStringLiteral("os"), bi.os},
                      {QStringLiteral("os_version"), bi.os_version},
                      {QStringLiteral("os_build"), bi.os_build},
                      {QStringLiteral("channel"), bi.channel},
                      {QStringLiteral("uid"), bi.uid},
                      {QStringLiteral("cpuid"), bi.cpuid},
                      {QStringLiteral("uuid"), bi.uuid},
                      {QStringLiteral("SN"), bi.SN},
                      {QStringLiteral("code"), bi.code}});
}

QJsonObject headerObjectFromText(const QString &header)
{
    QJsonObject object;
    const QStringList words = header.split(u' ');
    for (const QString &word : words) {
        const QStringList parts = word.split(u'/');
        // A value holding "/" or a blank cannot be told apart from the
        // separators; such words are left out, as the replay reads them.
        if (parts.size() == 2)
            object.insert(parts.at(0), parts.at(1));
    }
    return object;
}

QString buildRetryReportData(const QString &url, const QString &header)
{
    QJsonObject record;
    record.insert(QStringLiteral("header"), headerObjectFromText(header));
    record.insert(QStringLiteral("url"), url);
    return QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact));
}

bool parseResponseQJsonObject(const QJsonObject &reply, const QString &tag)
{
    const int status = reply.contains(QLatin1String("status"))
                           ? reply.value(QLatin1String("status")).toInt(0)
                           : -1;
    if (status == 200)
        return true;
    qCWarning(daemonLogCategory).noquote()
        << tag << "failed:" << status << reply.value(QLatin1String("desc")).toString();
    return false;
}
