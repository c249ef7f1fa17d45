#pragma once

#include <QObject>

namespace kapla::package {

// Base of the records that are filled from JSON by property name: the reader
// walks the properties a subclass declares itself.
class JsonSerialize : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void serialize() {}
};

} // namespace kapla::package
