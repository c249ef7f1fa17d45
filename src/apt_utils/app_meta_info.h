#pragma once

#include "apt_utils/json_serialize.h"

#include <QList>
#include <QSharedPointer>
#include <QString>

namespace kapla::package {

// One item of the kapla package-manager service's application list. The
// property names are the JSON keys of an item, so a reader fills the object
// by name; the property order is part of that contract.
class AppMetaInfo : public JsonSerialize
{
    Q_OBJECT
    Q_PROPERTY(QString appId MEMBER appId)
    Q_PROPERTY(QString name MEMBER name)
    Q_PROPERTY(QString version MEMBER version)
    Q_PROPERTY(QString arch MEMBER arch)
    Q_PROPERTY(QString kind MEMBER kind)
    Q_PROPERTY(QString runtime MEMBER runtime)
    Q_PROPERTY(QString uabUrl MEMBER uabUrl)
    Q_PROPERTY(QString repoName MEMBER repoName)
    Q_PROPERTY(QString description MEMBER description)
    Q_PROPERTY(QString user MEMBER user)
public:
    Q_INVOKABLE explicit AppMetaInfo(QObject *parent = nullptr)
        : JsonSerialize(parent)
    {}

    QString appId;
    QString name;
    QString version;
    QString arch;
    QString kind;
    QString runtime;
    QString uabUrl;
    QString repoName;
    QString description;
    QString user;
};

using AppMetaInfoList = QList<QSharedPointer<AppMetaInfo>>;

} // namespace kapla::package
