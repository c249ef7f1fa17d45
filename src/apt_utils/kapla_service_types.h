#pragma once

#include <QMetaType>
#include <QString>

class QDBusArgument;

// The structures the kapla package-manager service takes and answers on the
// system bus. Each travels as one D-Bus structure whose fields are written in
// declaration order; the operators below are the wire format.
namespace kapla::service {

// (is)
struct Reply
{
    qint32 code = 0;
    QString message;
};

// (iss): result carries the service's JSON answer.
struct QueryReply
{
    qint32 code = 0;
    QString message;
    QString result;
};

// (sssss): the fields every request option starts with.
struct ParamOption
{
    QString appId;
    QString version;
    QString arch;
    QString channel;
    QString module;
};

// (ssss): the service takes no channel and no module here, so they are
// neither sent nor read.
struct DownloadParamOption : ParamOption
{
    QString extraText;
};

// (ssssss)
struct InstallParamOption : ParamOption
{
    QString extraText;
};

// (sssssbs)
struct QueryParamOption : ParamOption
{
    bool flag = false;
    QString extraText;
};

// (ssssssbb)
struct UninstallParamOption : ParamOption
{
    QString extraText;
    bool flagOne = false;
    bool flagTwo = false;
};

// (sssssssbsssss)
struct RunParamOption : ParamOption
{
    QString textSix;
    QString textSeven;
    bool flag = false;
    QString textEight = QStringLiteral("session");
    QString textNine;
    QString textTen;
    QString textEleven;
    QString textTwelve;
};

// (ssss)
struct ExecParamOption
{
    QString textOne;
    QString textTwo;
    QString textThree;
    QString textFour;
};

QDBusArgument &operator<<(QDBusArgument &argument, const Reply &value);
const QDBusArgument &operator>>(const QDBusArgument &argument, Reply &value);
QDBusArgument &operator<<(QDBusArgument &argument, const QueryReply &value);
const QDBusArgument &operator>>(const QDBusArgument &argument, QueryReply &value);
QDBusArgument &operator<<(QDBusArgument &argument, const ParamOption &value);
const QDBusArgument &operator>>(const QDBusArgument &argument, ParamOption &value);
QDBusArgument &operator<<(QDBusArgument &argument, const DownloadParamOption &value);
const QDBusArgument &operator>>(const QDBusArgument &argument, DownloadParamOption &value);
QDBusArgument &operator<<(QDBusArgument &argument, const InstallParamOption &value);
const QDBusArgument &operator>>(const QDBusArgument &argument, InstallParamOption &value);
QDBusArgument &operator<<(QDBusArgument &argument, const QueryParamOption &value);
const QDBusArgument &operator>>(const QDBusArgument &argument, QueryParamOption &value);
QDBusArgument &operator<<(QDBusArgument &argument, const UninstallParamOption &value);
const QDBusArgument &operator>>(const QDBusArgument &argument, UninstallParamOption &value);
QDBusArgument &operator<<(QDBusArgument &argument, const RunParamOption &value);
const QDBusArgument &operator>>(const QDBusArgument &argument, RunParamOption &value);
QDBusArgument &operator<<(QDBusArgument &argument, const ExecParamOption &value);
const QDBusArgument &operator>>(const QDBusArgument &argument, ExecParamOption &value);

// Registers the nine structures with the meta-type and D-Bus type systems
// under their full names; any thread may call it, any number of times.
void registerServiceTypes();

} // namespace kapla::service

Q_DECLARE_METATYPE(kapla::service::Reply)
Q_DECLARE_METATYPE(kapla::service::QueryReply)
Q_DECLARE_METATYPE(kapla::service::ParamOption)
Q_DECLARE_METATYPE(kapla::service::DownloadParamOption)
Q_DECLARE_METATYPE(kapla::service::InstallParamOption)
Q_DECLARE_METATYPE(kapla::service::QueryParamOption)
Q_DECLARE_METATYPE(kapla::service::UninstallParamOption)
Q_DECLARE_METATYPE(kapla::service::RunParamOption)
Q_DECLARE_METATYPE(kapla::service::ExecParamOption)
