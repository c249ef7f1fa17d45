#pragma once

#include <QtGlobal>

class QDBusMessage;

namespace AppStore {

// The size a received message had on the wire, as the bus library counts it
// against the connection's receive limit: worked out from its header fields
// and arguments by the marshalling rules, so that a text of three-byte
// characters counts three bytes a character, not the two of its decoded
// form.
class BusMessageSize
{
public:
    static qint64 of(const QDBusMessage &message);
};

} // namespace AppStore
