#include "properties_adaptor.h"

#include "bus_call_queue.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QMetaClassInfo>

namespace AppStore {

namespace {

QString interfaceOf(const QObject *object)
{
    const QMetaObject *meta = object->metaObject();
    const int info = meta->indexOfClassInfo("D-Bus Interface");
    return info < 0 ? QString() : QString::fromLatin1(meta->classInfo(info).value());
}

} // namespace

PropertiesAdaptor::PropertiesAdaptor(QObject *object, const QDBusContext &context,
                                     BusCallQueue &calls)
    : QDBusAbstractAdaptor(object)
    , m_context(context)
    , m_calls(calls)
    , m_interface(interfaceOf(object))
{}

bool PropertiesAdaptor::isOwnInterface(const QString &interfaceName)
{
    if (interfaceName.isEmpty() || interfaceName == m_interface)
        return true;
    m_context.sendErrorReply(QDBusError::UnknownInterface,
                             QStringLiteral("Interface %1 was not found in object %2")
                                 .arg(interfaceName, m_context.message().path()));
    return false;
}

std::optional<QMetaProperty> PropertiesAdaptor::property(const QString &interfaceName,
                                                         const QString &name)
{
    if (!isOwnInterface(interfaceName))
        return std::nullopt;
    const QMetaObject *meta = parent()->metaObject();
    const int index = meta->indexOfProperty(name.toLatin1().constData());
    if (index >= QObject::staticMetaObject.propertyCount() && meta->property(index).isScriptable())
        return meta->property(index);
    m_context.sendErrorReply(QDBusError::UnknownProperty,
                             QStringLiteral("Property %1.%2 was not found in object %3")
                                 .arg(m_interface, name, m_context.message().path()));
    return std::nullopt;
}

QDBusVariant PropertiesAdaptor::Get(const QString &interfaceName, const QString &propertyName)
{
    const std::optional<QMetaProperty> found = property(interfaceName, propertyName);
    if (!found)
        return {};
    return m_calls.now<QDBusVariant>(
        m_context, [object = parent(), read = *found] { return QDBusVariant(read.read(object)); });
}

QVariantMap PropertiesAdaptor::GetAll(const QString &interfaceName)
{
    if (!isOwnInterface(interfaceName))
        return {};
    return m_calls.now<QVariantMap>(m_context, [object = parent()] {
        QVariantMap values;
        const QMetaObject *meta = object->metaObject();
        for (int i = QObject::staticMetaObject.propertyCount(); i < meta->propertyCount(); ++i)
            if (meta->property(i).isScriptable())
                values.insert(QString::fromLatin1(meta->property(i).name()),
                              meta->property(i).read(object));
        return values;
    });
}

void PropertiesAdaptor::Set(const QString &interfaceName, const QString &propertyName,
                            const QDBusVariant &)
{
    if (property(interfaceName, propertyName))
        m_context.sendErrorReply(
            QDBusError::PropertyReadOnly,
            QStringLiteral("Property %1.%2 is read-only").arg(m_interface, propertyName));
}

} // namespace AppStore
