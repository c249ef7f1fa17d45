#include "apt_utils/kapla_service_types.h"

#include <QDBusArgument>
#include <QDBusMetaType>

namespace kapla::service {

namespace {

// The five leading fields, inside a structure the caller opened.
void writeBaseFields(QDBusArgument &argument, const ParamOption &value)
{
    argument << value.appId << value.version << value.arch << value.channel << value.module;
}

void readBaseFields(const QDBusArgument &argument, ParamOption &value)
{
    argument >> value.appId >> value.version >> value.arch >> value.channel >> value.module;
}

template<typename T> void registerType()
{
    qRegisterMetaType<T>();
    qDBusRegisterMetaType<T>();
}

} // namespace

QDBusArgument &operator<<(QDBusArgument &argument, const Reply &value)
{
    argument.beginStructure();
    argument << value.code << value.message;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, Reply &value)
{
    argument.beginStructure();
    argument >> value.code >> value.message;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const QueryReply &value)
{
    argument.beginStructure();
    argument << value.code << value.message << value.result;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, QueryReply &value)
{
    argument.beginStructure();
    argument >> value.code >> value.message >> value.result;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const ParamOption &value)
{
    argument.beginStructure();
    writeBaseFields(argument, value);
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, ParamOption &value)
{
    argument.beginStructure();
    readBaseFields(argument, value);
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const DownloadParamOption &value)
{
    argument.beginStructure();
    argument << value.appId << value.version << value.arch << value.extraText;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, DownloadParamOption &value)
{
    argument.beginStructure();
    argument >> value.appId >> value.version >> value.arch >> value.extraText;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const InstallParamOption &value)
{
    argument.beginStructure();
    writeBaseFields(argument, value);
    argument << value.extraText;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, InstallParamOption &value)
{
    argument.beginStructure();
    readBaseFields(argument, value);
    argument >> value.extraText;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const QueryParamOption &value)
{
    argument.beginStructure();
    writeBaseFields(argument, value);
    argument << value.flag << value.extraText;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, QueryParamOption &value)
{
    argument.beginStructure();
    readBaseFields(argument, value);
    argument >> value.flag >> value.extraText;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const UninstallParamOption &value)
{
    argument.beginStructure();
    writeBaseFields(argument, value);
    argument << value.extraText << value.flagOne << value.flagTwo;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, UninstallParamOption &value)
{
    argument.beginStructure();
    readBaseFields(argument, value);
    argument >> value.extraText >> value.flagOne >> value.flagTwo;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const RunParamOption &value)
{
    argument.beginStructure();
    writeBaseFields(argument, value);
    argument << value.textSix << value.textSeven << value.flag << value.textEight << value.textNine
             << value.textTen << value.textEleven << value.textTwelve;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, RunParamOption &value)
{
    argument.beginStructure();
    readBaseFields(argument, value);
    argument >> value.textSix >> value.textSeven >> value.flag >> value.textEight >>
        value.textNine >> value.textTen >> value.textEleven >> value.textTwelve;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const ExecParamOption &value)
{
    argument.beginStructure();
    argument << value.textOne << value.textTwo << value.textThree << value.textFour;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, ExecParamOption &value)
{
    argument.beginStructure();
    argument >> value.textOne >> value.textTwo >> value.textThree >> value.textFour;
    argument.endStructure();
    return argument;
}

void registerServiceTypes()
{
    static const bool registered = [] {
        registerType<Reply>();
        registerType<QueryReply>();
        registerType<ParamOption>();
        registerType<DownloadParamOption>();
        registerType<InstallParamOption>();
        registerType<QueryParamOption>();
        registerType<UninstallParamOption>();
        registerType<RunParamOption>();
        registerType<ExecParamOption>();
        return true;
    }();
    Q_UNUSED(registered)
}

} // namespace kapla::service
