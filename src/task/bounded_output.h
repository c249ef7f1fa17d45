#pragma once

#include <QString>
#include <QStringList>

namespace AppStore {

// The output of a package run, kept across its retries with a bounded size: a
// maintainer script printing in a loop must not exhaust the daemon's memory.
// The newest text is kept whole up to a tail limit. Older lines are dropped,
// except those holding one of the marker texts that the failure
// classification and the repairs look for, and the line right after each
// line holding the follow marker (the line that says why). The kept older
// lines are bounded too: once their limit is reached, further ones go.
class BoundedOutput
{
public:
    BoundedOutput(qsizetype tailLimit, const QStringList &markers, const QString &followMarker,
                  qsizetype keptLimit);

    void append(const QString &text);
    void clear();
    // The kept older lines in their order, then the tail; every line with its
    // own line end, as it came.
    QString text() const;

private:
    void dropFront(qsizetype length);
    void considerLine(const QString &line);
    bool isMarked(const QString &line) const;

    qsizetype m_tailLimit;
    QStringList m_markers;
    QString m_followMarker;
    qsizetype m_keptLimit;
    QString m_kept;
    QString m_tail;
    bool m_keepNext = false;
};

} // namespace AppStore
