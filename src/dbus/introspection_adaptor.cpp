#include "introspection_adaptor.h"

#include "bus_call_queue.h"

namespace AppStore {

IntrospectionAdaptor::IntrospectionAdaptor(QObject *object, const QDBusContext &context,
                                           BusCallQueue &calls, const QString &text)
    : QDBusAbstractAdaptor(object)
    , m_context(context)
    , m_calls(calls)
    , m_text(text)
{}

QString IntrospectionAdaptor::Introspect()
{
    return m_calls.now<QString>(m_context, [text = m_text] { return text; });
}

} // namespace AppStore
