#include "common/json_value_reader.h"

#include <QString>

namespace JsonValueReader {

namespace {

bool isDigitString(const QString &text)
{
    if (text.isEmpty()) {
        return false;
    }
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return false;
        }
    }
    return true;
}

} // namespace

qint64 toInt64(const QJsonValue &value)
{
    if (value.isDouble()) {
        // A size below zero says nothing about the package.
        const qint64 number = value.toInteger(0);
        return number < 0 ? 0 : number;
    }
    if (value.isString()) {
        const QString text = value.toString().trimmed();
        if (!isDigitString(text)) {
            return 0;
        }
        bool ok = false;
        const qint64 number = text.toLongLong(&ok);
        return ok ? number : 0;
    }
    return 0;
}

} // namespace JsonValueReader
