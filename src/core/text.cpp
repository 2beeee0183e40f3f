#include "core/text.h"

#include <QTextBoundaryFinder>

namespace quarn::text {

bool isWhiteSpace(char32_t c)
{
    return QChar::isSpace(c);
}

QString trimmed(const QString &s)
{
    // QString::trimmed() uses QChar::isSpace, which is exactly the set above;
    // no white-space character lies outside the BMP.
    return s.trimmed();
}

qsizetype graphemeCount(const QString &s)
{
    if (s.isEmpty())
        return 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, s);
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return count;
}

QString graphemePrefix(const QString &s, qsizetype count)
{
    if (count <= 0)
        return {};
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, s);
    qsizetype seen = 0;
    qsizetype position = 0;
    while (seen < count) {
        const qsizetype next = finder.toNextBoundary();
        if (next == -1)
            return s;
        position = next;
        ++seen;
    }
    return s.left(position);
}

QString graphemeSuffix(const QString &s, qsizetype count)
{
    if (count <= 0)
        return {};
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, s);
    finder.toEnd();
    qsizetype position = s.size();
    for (qsizetype seen = 0; seen < count; ++seen) {
        const qsizetype previous = finder.toPreviousBoundary();
        if (previous == -1)
            return s;
        position = previous;
    }
    return s.mid(position);
}

} // namespace quarn::text
