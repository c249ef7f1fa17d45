#include "version_compare.h"

#include <QByteArray>

namespace AppStore {

namespace {

// A part of a version string. Bytes past the end read as NUL: in the whole
// string the byte after a part is ":", "-" or the end, none of them a digit,
// so the digit runs stop at the part's end just the same.
struct Fragment
{
    const char *pos = nullptr;
    const char *end = nullptr;

    bool exhausted() const { return pos >= end; }
    char current() const { return pos < end ? *pos : '\0'; }
};

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// ASCII only: a byte of a multi-byte character is no letter, and the C
// library's classification of such a byte would depend on the locale.
bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// "~" sorts before everything, even the end of the string; letters sort
// before all other characters.
int order(char c)
{
    if (isDigit(c))
        return 0;
    if (isLetter(c))
        return c;
    if (c == '~')
        return -1;
    if (c != '\0') {
        // Taken as a signed byte whatever the platform's char, so that the
        // ordering is the same on every architecture.
        return static_cast<signed char>(c) + 256;
    }
    return 0;
}

int compareFragment(Fragment a, Fragment b)
{
    while (!a.exhausted() && !b.exhausted()) {
        while (!a.exhausted() && !b.exhausted() &&
               (!isDigit(a.current()) || !isDigit(b.current()))) {
            const int ac = order(a.current());
            const int bc = order(b.current());
            if (ac != bc)
                return ac - bc;
            ++a.pos;
            ++b.pos;
        }
        while (a.current() == '0')
            ++a.pos;
        while (b.current() == '0')
            ++b.pos;
        int firstDiff = 0;
        while (isDigit(a.current()) && isDigit(b.current())) {
            if (firstDiff == 0)
                firstDiff = a.current() - b.current();
            ++a.pos;
            ++b.pos;
        }
        if (isDigit(a.current()))
            return 1;
        if (isDigit(b.current()))
            return -1;
        if (firstDiff != 0)
            return firstDiff;
    }
    if (a.exhausted() && b.exhausted())
        return 0;
    if (a.exhausted())
        return b.current() == '~' ? 1 : -1;
    return a.current() == '~' ? -1 : 1;
}

struct ParsedVersion
{
    Fragment epoch;
    Fragment upstream;
    Fragment revision;
    bool hasRevision = false;
};

ParsedVersion parse(const QByteArray &bytes)
{
    const char *begin = bytes.constData();
    const char *end = begin + bytes.size();
    ParsedVersion version;

    const char *rest = begin;
    const qsizetype colon = bytes.indexOf(':');
    if (colon >= 0) {
        const char *epochEnd = begin + colon;
        const char *epochStart = begin;
        // An epoch of zero equals no epoch at all.
        while (epochStart < epochEnd && *epochStart == '0')
            ++epochStart;
        version.epoch = {epochStart, epochEnd};
        rest = epochEnd + 1;
    } else {
        version.epoch = {begin, begin};
    }

    const qsizetype restOffset = rest - begin;
    const qsizetype hyphen = bytes.lastIndexOf('-');
    if (hyphen >= restOffset) {
        version.upstream = {rest, begin + hyphen};
        version.revision = {begin + hyphen + 1, end};
        version.hasRevision = true;
    } else {
        version.upstream = {rest, end};
    }
    return version;
}

QByteArray versionBytes(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    const qsizetype nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return bytes;
}

} // namespace

int VersionCompare::compareVersion(const QString &a, const QString &b)
{
    const QByteArray aBytes = versionBytes(a);
    const QByteArray bBytes = versionBytes(b);
    const ParsedVersion va = parse(aBytes);
    const ParsedVersion vb = parse(bBytes);

    int result = compareFragment(va.epoch, vb.epoch);
    if (result != 0)
        return result;
    result = compareFragment(va.upstream, vb.upstream);
    if (result != 0)
        return result;
    if (!va.hasRevision && !vb.hasRevision)
        return 0;

    // An absent revision counts as "0", so 1.0 equals 1.0-0.
    static const char zero[] = "0";
    const Fragment absent{zero, zero + 1};
    return compareFragment(va.hasRevision ? va.revision : absent,
                           vb.hasRevision ? vb.revision : absent);
}

} // namespace AppStore
