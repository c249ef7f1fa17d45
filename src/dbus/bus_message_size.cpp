#include "bus_message_size.h"

#include <QDBusMessage>
#include <QStringList>

namespace AppStore {

namespace {

// The fixed part of a header, before its field array.
constexpr qint64 kFixedHeader = 16;
// The destination is the daemon's own name; its text is not kept with the
// message, so its usual length stands in.
constexpr qint64 kDestinationLength = 24;
// A value of a type no method of the daemon takes.
constexpr qint64 kOtherValue = 16;

qint64 utf8Length(const QString &text)
{
    qint64 bytes = 0;
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t unit = text.at(i).unicode();
        if (unit < 0x80) {
            bytes += 1;
        } else if (unit < 0x800) {
            bytes += 2;
        } else if (QChar::isHighSurrogate(unit) && i + 1 < size &&
                   QChar::isLowSurrogate(text.at(i + 1).unicode())) {
            bytes += 4;
            ++i;
        } else {
            bytes += 3;
        }
    }
    return bytes;
}

class Marshalled
{
public:
    void align(qint64 boundary) { m_size = (m_size + boundary - 1) / boundary * boundary; }
    void add(qint64 bytes) { m_size += bytes; }
    void string(const QString &text) { stringOfLength(utf8Length(text)); }
    void stringOfLength(qint64 bytes)
    {
        align(4);
        add(4 + bytes + 1);
    }
    void signature(const QString &text) { add(1 + utf8Length(text) + 1); }
    // A header field: its code and the one-letter signature of its value.
    void field(char type, const QString &text)
    {
        align(8);
        add(4);
        if (type == 'g')
            signature(text);
        else
            string(text);
    }
    void fieldOfLength(qint64 bytes)
    {
        align(8);
        add(4);
        stringOfLength(bytes);
    }
    void value(const QVariant &value)
    {
        switch (value.metaType().id()) {
        case QMetaType::QString:
            string(value.toString());
            break;
        case QMetaType::QStringList: {
            align(4);
            add(4);
            const QStringList texts = value.toStringList();
            for (const QString &text : texts)
                string(text);
            break;
        }
        case QMetaType::Bool:
        case QMetaType::Int:
        case QMetaType::UInt:
            align(4);
            add(4);
            break;
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Double:
            align(8);
            add(8);
            break;
        default:
            align(4);
            add(kOtherValue);
        }
    }
    qint64 size() const { return m_size; }

private:
    qint64 m_size = 0;
};

} // namespace

qint64 BusMessageSize::of(const QDBusMessage &message)
{
    Marshalled header;
    header.add(kFixedHeader);
    header.field('o', message.path());
    if (!message.interface().isEmpty())
        header.field('s', message.interface());
    header.field('s', message.member());
    header.fieldOfLength(kDestinationLength);
    header.field('s', message.service());
    if (!message.signature().isEmpty())
        header.field('g', message.signature());
    header.align(8);

    Marshalled body;
    const QVariantList arguments = message.arguments();
    for (const QVariant &argument : arguments)
        body.value(argument);
    return header.size() + body.size();
}

} // namespace AppStore
