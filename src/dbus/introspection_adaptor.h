#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusContext>
#include <QString>

namespace AppStore {

class BusCallQueue;

// Answers "org.freedesktop.DBus.Introspectable" on the daemon's object in
// place of Qt, which would answer it at once outside the bounds and the
// sender's order that every other call keeps (BusCallQueue). The text is the
// one Qt gave for the object before this adaptor was added.
class IntrospectionAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.DBus.Introspectable")
public:
    // Qt gives the call's context to the object, not to its adaptor.
    IntrospectionAdaptor(QObject *object, const QDBusContext &context, BusCallQueue &calls,
                         const QString &text);

public Q_SLOTS:
    QString Introspect();

private:
    const QDBusContext &m_context;
    BusCallQueue &m_calls;
    const QString m_text;
};

} // namespace AppStore
