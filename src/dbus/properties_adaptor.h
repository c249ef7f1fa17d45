#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusContext>
#include <QDBusVariant>
#include <QMetaProperty>
#include <QString>
#include <QVariantMap>

#include <optional>

namespace AppStore {

class BusCallQueue;

// Answers "org.freedesktop.DBus.Properties" on the daemon's object in place
// of Qt, so that its reads pass the same bounds and sender's order as every
// other call (BusCallQueue). It offers the object's scriptable properties of
// its own interface, read-only, with the errors Qt gives for others.
class PropertiesAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.DBus.Properties")
public:
    // Qt gives the call's context to the object, not to its adaptor.
    PropertiesAdaptor(QObject *object, const QDBusContext &context, BusCallQueue &calls);

public Q_SLOTS:
    QDBusVariant Get(const QString &interfaceName, const QString &propertyName);
    QVariantMap GetAll(const QString &interfaceName);
    void Set(const QString &interfaceName, const QString &propertyName, const QDBusVariant &value);

private:
    // False, with the error sent, when the interface is not the object's.
    bool isOwnInterface(const QString &interfaceName);
    // The scriptable property of that name; the error sent when there is none.
    std::optional<QMetaProperty> property(const QString &interfaceName, const QString &name);

    const QDBusContext &m_context;
    BusCallQueue &m_calls;
    const QString m_interface;
};

} // namespace AppStore
