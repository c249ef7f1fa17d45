#include "dpkg_listing.h"

#include "test_env.h"

#include <QFileInfo>
#include <QStringList>

#include <algorithm>

namespace DpkgListing {

namespace {

QStringList outputLines(const QStringList &arguments)
{
    return TestEnv::runTool(QStringLiteral("dpkg-query"), arguments)
        .outputText()
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool ownsDocFile(const QString &package)
{
    const QStringList files = outputLines({QStringLiteral("--listfiles"), package});
    return std::any_of(files.cbegin(), files.cend(), [](const QString &path) {
        const QFileInfo info(path);
        return path.startsWith(QLatin1String("/usr/share/doc/")) && !info.isSymLink() &&
               info.isFile();
    });
}

} // namespace

QString field(const QString &package, const QString &name)
{
    return TestEnv::runTool(QStringLiteral("dpkg-query"),
                            {QStringLiteral("-W"), QStringLiteral("-f=${%1}").arg(name), package})
        .outputText()
        .trimmed();
}

QString lastPackageWithDocFile()
{
    const QStringList packages =
        outputLines({QStringLiteral("-W"), QStringLiteral("-f=${Package}\\n")});
    const auto last = std::find_if(packages.crbegin(), packages.crend(), ownsDocFile);
    return last == packages.crend() ? QString() : *last;
}

} // namespace DpkgListing
