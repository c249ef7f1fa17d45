#include "tar_archive.h"

#include "test_env.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TarArchive {

namespace {

void putOctal(char *field, int width, qint64 value)
{
    const QByteArray text = QByteArray::number(value, 8).rightJustified(width - 1, '0');
    std::memcpy(field, text.constData(), size_t(width - 1));
}

// Base-256: the high bit of the first byte set, the value big-endian after.
void putNumber(char *field, int width, qint64 value)
{
    if (value < (qint64(1) << (3 * (width - 1)))) {
        putOctal(field, width, value);
        return;
    }
    field[0] = char(0x80);
    for (int i = width - 1; i > 0; --i, value >>= 8)
        field[i] = char(value & 0xff);
}

void putText(char *field, const QByteArray &text, qsizetype width)
{
    std::memcpy(field, text.constData(), size_t(std::min(text.size(), width)));
}

QString placed(const QString &root, const QByteArray &name)
{
    return root + QLatin1Char('/') + QFile::decodeName(name);
}

bool make(const QString &root, const Member &member)
{
    const QString path = placed(root, member.name);
    const QByteArray native = QFile::encodeName(path);
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    switch (member.type) {
    case '0':
        return TestEnv::writeFile(path, member.data);
    case '5':
        return QDir().mkpath(path);
    case '1':
        return ::link(QFile::encodeName(placed(root, member.link)).constData(),
                      native.constData()) == 0;
    case '2':
        return ::symlink(member.link.constData(), native.constData()) == 0;
    default:
        return false;
    }
}

// After every member is made, as making one changes its folder's time.
bool settle(const QString &root, const Member &member)
{
    // A hard link's owner, mode and time are its target's: they are one file.
    if (member.type == '1')
        return true;
    const QByteArray native = QFile::encodeName(placed(root, member.name));
    const timespec times[2] = {{member.mtime, member.nanoseconds},
                               {member.mtime, member.nanoseconds}};
    return (member.type == '2' || ::chmod(native.constData(), mode_t(member.mode)) == 0) &&
           ::lchown(native.constData(), uid_t(member.owner), gid_t(member.owner)) == 0 &&
           ::utimensat(AT_FDCWD, native.constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace

Member file(const QByteArray &name, const QByteArray &data)
{
    return {name, '0', data, {}, 0644};
}

Member link(char type, const QByteArray &name, const QByteArray &target)
{
    return {name, type, {}, target, 0777};
}

QByteArray build(const QList<Member> &members)
{
    QByteArray archive;
    for (const Member &member : members) {
        char header[512] = {};
        const bool isFile = member.type == '0';
        const bool isDevice = member.type == '3';
        putText(header, member.name, 100);
        putOctal(header + 100, 8, member.mode);
        putOctal(header + 108, 8, member.owner);
        putOctal(header + 116, 8, member.owner);
        putOctal(header + 124, 12, isFile ? member.data.size() : 0);
        putNumber(header + 136, 12, member.mtime);
        header[156] = member.type;
        putText(header + 157, member.link, 100);
        putText(header + 257,
                QByteArray("ustar\0"
                           "00",
                           8),
                8);
        putOctal(header + 329, 8, isDevice ? 1 : 0);
        putOctal(header + 337, 8, isDevice ? 3 : 0);
        std::memset(header + 148, ' ', 8);
        int sum = 0;
        for (const char c : header)
            sum += uchar(c);
        putOctal(header + 148, 7, sum);
        archive.append(header, 512);
        if (isFile) {
            archive.append(member.data);
            archive.append(QByteArray((512 - member.data.size() % 512) % 512, '\0'));
        }
    }
    return archive + QByteArray(1024, '\0');
}

QByteArray pax(const QList<Member> &members)
{
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("tree"));
    QStringList arguments{QStringLiteral("--format=posix"),
                          QStringLiteral("--no-recursion"),
                          QStringLiteral("-cf"),
                          dir.filePath(QStringLiteral("pax.tar")),
                          QStringLiteral("-C"),
                          root};
    for (const Member &member : members) {
        if (!make(root, member))
            return {};
        arguments << QFile::decodeName(member.name);
    }
    for (const Member &member : members) {
        if (!settle(root, member))
            return {};
    }
    if (!TestEnv::runTool(QStringLiteral("tar"), arguments).succeeded())
        return {};
    return TestEnv::readFile(dir.filePath(QStringLiteral("pax.tar")));
}

} // namespace TarArchive
