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
class IntrospectionAdaptor : public QDBusAbstractAdaptor, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.DBus.Introspectable")
public:
    IntrospectionAdaptor(QObject *object, BusCallQueue &calls, const QString &text);

public Q_SLOTS:
    QString Introspect();

private:
    BusCallQueue &m_calls;
    const QString m_text;
};

} // namespace AppStore
