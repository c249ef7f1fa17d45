#pragma once

#include <QByteArray>
#include <QList>

// Tar archives written byte by byte, so that tests can put in members no
// well-behaved tool would write ("../" names, links pointing out, devices).
namespace TarArchive {

struct Member
{
    QByteArray name;
    char type = '0'; // '0' file, '1' hard link, '2' symlink, '3' char device, '5' dir, '6' FIFO
    QByteArray data; // a file's contents
    QByteArray link; // a link's target
    int mode = 0644;
    int owner = 0;             // uid and gid
    qint64 mtime = 1700000000; // past the octal field's range: base-256, as GNU tar writes
    long nanoseconds = 0;      // kept by pax() only
};

Member file(const QByteArray &name, const QByteArray &data = "data\n");
// type '1' or '2'.
Member link(char type, const QByteArray &name, const QByteArray &target);

// ustar headers without owner names, a device member is 1,3.
QByteArray build(const QList<Member> &members);

// The members made on disk in their order and archived by tar itself in the
// pax format, which keeps sub-second times. A hard link's target and a name's
// folders come from earlier members; a name below a symlink is made through
// it, as an unpack would. Empty when tar fails.
QByteArray pax(const QList<Member> &members);

} // namespace TarArchive
