#include "introspection_adaptor.h"

#include "bus_call_queue.h"

namespace AppStore {

IntrospectionAdaptor::IntrospectionAdaptor(QObject *object, BusCallQueue &calls,
                                           const QString &text)
    : QDBusAbstractAdaptor(object)
    , m_calls(calls)
    , m_text(text)
{}

QString IntrospectionAdaptor::Introspect()
{
    return m_calls.now<QString>(*this, [text = m_text] { return text; });
}

} // namespace AppStore
