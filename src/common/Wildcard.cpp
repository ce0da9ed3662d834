#include "common/Wildcard.h"

#include <QChar>

namespace dozorix {
namespace {

// The code point at index i of s and the number of UTF-16 units it takes
// (an unpaired surrogate counts as a character of its own).
char32_t codePointAt(QStringView s, qsizetype i, qsizetype *units)
{
    const QChar c = s[i];
    if (c.isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate()) {
        *units = 2;
        return QChar::surrogateToUcs4(c, s[i + 1]);
    }
    *units = 1;
    return c.unicode();
}

} // namespace

bool wildcardMatch(QStringView text, QStringView pattern)
{
    // Greedy left to right; on a mismatch the last "*" takes one more
    // character of the text and the rest of the pattern is tried again from
    // there.
    qsizetype t = 0, p = 0;
    qsizetype starP = -1; // just after the last "*" seen
    qsizetype starT = 0;  // where the text resumed after it
    while (t < text.size()) {
        qsizetype textUnits = 1;
        const char32_t tc = codePointAt(text, t, &textUnits);
        if (p < pattern.size()) {
            qsizetype patternUnits = 1;
            const char32_t pc = codePointAt(pattern, p, &patternUnits);
            if (pc == U'*') {
                starP = ++p;
                starT = t;
                continue;
            }
            if (pc == U'?' || pc == tc || QChar::toCaseFolded(pc) == QChar::toCaseFolded(tc)) {
                p += patternUnits;
                t += textUnits;
                continue;
            }
        }
        if (starP < 0)
            return false;
        qsizetype skipped = 1;
        codePointAt(text, starT, &skipped);
        starT += skipped;
        t = starT;
        p = starP;
    }
    while (p < pattern.size() && pattern[p] == QLatin1Char('*'))
        ++p;
    return p == pattern.size();
}

} // namespace dozorix
