#include "task/bounded_output.h"

#include <algorithm>

namespace AppStore {

BoundedOutput::BoundedOutput(qsizetype tailLimit, const QStringList &markers,
                             const QString &followMarker, qsizetype keptLimit)
    : m_tailLimit(std::max<qsizetype>(tailLimit, 1))
    , m_markers(markers)
    , m_followMarker(followMarker)
    , m_keptLimit(keptLimit)
{}

void BoundedOutput::append(const QString &text)
{
    m_tail += text;
    // Trimming only once well past the limit keeps the cost linear.
    if (m_tail.size() <= m_tailLimit + m_tailLimit / 2)
        return;
    const qsizetype excess = m_tail.size() - m_tailLimit;
    // The tail starts at a line, so that no line is judged by half of it; a
    // line longer than the whole tail is cut where it must be.
    const qsizetype lineStart = m_tail.indexOf(QLatin1Char('\n'), excess - 1);
    dropFront(lineStart < 0 || lineStart + 1 - excess > m_tailLimit / 2 ? excess : lineStart + 1);
}

void BoundedOutput::clear()
{
    m_kept.clear();
    m_tail.clear();
    m_keepNext = false;
}

QString BoundedOutput::text() const
{
    return m_kept + m_tail;
}

void BoundedOutput::dropFront(qsizetype length)
{
    qsizetype from = 0;
    while (from < length) {
        const qsizetype end = m_tail.indexOf(QLatin1Char('\n'), from);
        const qsizetype next = end < 0 || end >= length ? length : end + 1;
        considerLine(m_tail.mid(from, next - from));
        from = next;
    }
    m_tail.remove(0, length);
}

void BoundedOutput::considerLine(const QString &line)
{
    const bool keep = m_keepNext || isMarked(line);
    m_keepNext = !m_followMarker.isEmpty() && line.contains(m_followMarker);
    if (keep && m_kept.size() + line.size() <= m_keptLimit)
        m_kept += line;
}

bool BoundedOutput::isMarked(const QString &line) const
{
    return std::any_of(m_markers.cbegin(), m_markers.cend(),
                       [&line](const QString &marker) { return line.contains(marker); });
}

} // namespace AppStore
