#include "database/on_the_shelves_app_columns.h"

#include <QSqlRecord>
#include <QVariant>

namespace {

const QString CHILD_ACCOUNT = QStringLiteral("2");
const QString SHOWN = QStringLiteral("1");
const QString HIDDEN = QStringLiteral("-1");

// Anything but a decimal integer within range reads as 0.
int toInt(const QString &text)
{
    return text.toInt(nullptr, 10);
}

} // namespace

const QStringList &onTheShelvesAppColumns()
{
    static const QStringList columns = {
        QStringLiteral("packageid"),
        QStringLiteral("uri"),
        QStringLiteral("appid"),
        QStringLiteral("file_size"),
        QStringLiteral("package_name"),
        QStringLiteral("package_version"),
        QStringLiteral("app_package_url"),
        QStringLiteral("name"),
        QStringLiteral("brief_info"),
        QStringLiteral("update_desc"),
        QStringLiteral("icon_url"),
        QStringLiteral("copywriting"),
        QStringLiteral("enable_mul_select"),
        QStringLiteral("is_forced_update"),
        QStringLiteral("sha256"),
        QStringLiteral("app_type"),
        QStringLiteral("user_show"),
        QStringLiteral("kid_show"),
        QStringLiteral("package_mode"),
        QStringLiteral("isSpecificPkg"),
        QStringLiteral("supportWayland"),
        QStringLiteral("channelPkgs"),
        QStringLiteral("pkgInstallMode"),
    };
    return columns;
}

QStringList onTheShelvesAppRowValues(const StoreService::AppBriefInfo &info,
                                     const QString &accountType)
{
    const bool forChild = accountType == CHILD_ACCOUNT;
    return {
        info.id,
        info.uri,
        QString::number(info.appid),
        QString::number(info.file_size),
        info.package_name,
        info.package_version,
        info.app_package_url,
        info.name,
        info.brief_info,
        info.update_desc,
        info.icon_url,
        info.copywriting,
        QString::number(info.enable_mul_select),
        QString::number(info.is_forced_update),
        info.sha256,
        QString::number(info.category_id),
        forChild ? HIDDEN : SHOWN,
        forChild ? SHOWN : HIDDEN,
        QString::number(info.package_mode),
        QString::number(info.isSpecificPkg),
        QString::number(info.supportWayland),
        info.channelPkgs,
        QString::number(info.pkgInstallMode),
    };
}

OnTheShelvesAppRowReader::OnTheShelvesAppRowReader(const QSqlQuery &query)
{
    const QSqlRecord columns = query.record();
    const QStringList &names = onTheShelvesAppColumns();
    for (size_t i = 0; i < m_positions.size(); ++i) {
        m_positions[i] = columns.indexOf(names.at(qsizetype(i)));
    }
}

void OnTheShelvesAppRowReader::read(const QSqlQuery &query, StoreService::AppBriefInfo &info) const
{
    std::array<QString, 23> row;
    for (size_t i = 0; i < row.size(); ++i) {
        if (m_positions[i] >= 0) {
            row[i] = query.value(m_positions[i]).toString();
        }
    }
    // Positions as in onTheShelvesAppColumns(); user_show and kid_show (16
    // and 17) are not read back.
    info.id = row[0];
    info.uri = row[1];
    info.appid = toInt(row[2]);
    info.file_size = row[3].toLongLong(nullptr, 10);
    info.package_name = row[4];
    info.package_version = row[5];
    info.app_package_url = row[6];
    info.name = row[7];
    info.brief_info = row[8];
    info.update_desc = row[9];
    info.icon_url = row[10];
    info.copywriting = row[11];
    info.enable_mul_select = toInt(row[12]);
    info.is_forced_update = toInt(row[13]);
    info.sha256 = row[14];
    info.category_id = toInt(row[15]);
    info.package_mode = toInt(row[18]);
    info.isSpecificPkg = toInt(row[19]);
    info.supportWayland = toInt(row[20]);
    info.channelPkgs = row[21];
    info.pkgInstallMode = toInt(row[22]);
    info.channelPkgMap = StoreService::_ChannelPkg::parseChannelPkgJsonStr(info.channelPkgs);
}

QMap<QString, QString> appBriefInfoToColumnMap(const StoreService::AppBriefInfo &info)
{
    const QStringList &columns = onTheShelvesAppColumns();
    const QStringList values = onTheShelvesAppRowValues(info, QString());
    QMap<QString, QString> map;
    for (qsizetype i = 0; i < columns.size(); ++i) {
        if (columns.at(i) != QLatin1String("user_show") &&
            columns.at(i) != QLatin1String("kid_show")) {
            map.insert(columns.at(i), values.at(i));
        }
    }
    return map;
}
