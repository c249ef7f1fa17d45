#pragma once

#include <QLocale>
#include <QString>

namespace Bexa::Core {

// Facts about the installed operating system, read on every call from
// "/etc/os-version" (group "Version"), or from "/etc/os-release" when the
// former cannot be read. The environment variables "BEXA_OS_VERSION_FILE"
// and "BEXA_OS_RELEASE_FILE" point at other files.
class BSysInfo
{
public:
    static QString orvexProductTypeName(const QLocale &locale = QLocale::system());
    static QString orvexEditionName(const QLocale &locale = QLocale::system());
    static QString majorVersion();
    static QString minorVersion();
    // -1 when unknown.
    static int orvexEditionType();
};

} // namespace Bexa::Core
