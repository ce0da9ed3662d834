#include "terminal/SessionIds.h"

namespace dozorix {

bool parseWholeNumber(const QString &text, qint64 *value)
{
    if (text.isEmpty() || text.size() > 11)
        return false;
    qsizetype i = 0;
    if (text.at(0) == QLatin1Char('-'))
        i = 1;
    if (i == text.size())
        return false;
    qint64 v = 0;
    for (; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        v = v * 10 + (c.unicode() - '0');
    }
    if (text.at(0) == QLatin1Char('-'))
        v = -v;
    if (v < INT32_MIN || v > INT32_MAX)
        return false;
    *value = v;
    return true;
}

namespace {

// A range when both bounds are whole numbers; false leaves it to the caller
// to take the text as a single ID.
bool parseRange(const QString &text, SessionTargets *targets)
{
    const qsizetype dash = text.indexOf(QLatin1Char('-'));
    qint64 from = 0;
    qint64 to = 0;
    if (!parseWholeNumber(text.left(dash), &from) || !parseWholeNumber(text.mid(dash + 1), &to))
        return false;
    targets->form = SessionIdForm::Range;
    if (to - from + 1 > kMaxSessionRange) {
        targets->tooLarge = true;
        return true;
    }
    for (qint64 n = from; n <= to; ++n)
        targets->ids.append(QString::number(n));
    return true;
}

} // namespace

SessionTargets parseSessionIds(const QString &text)
{
    SessionTargets targets;
    if (text.isEmpty())
        return targets;
    if (text.contains(QLatin1Char(','))) {
        targets.form = SessionIdForm::List;
        targets.ids = text.split(QLatin1Char(','));
        return targets;
    }
    if (text.contains(QLatin1Char('-')) && parseRange(text, &targets))
        return targets;
    targets.form = SessionIdForm::Single;
    targets.ids = QStringList{text};
    return targets;
}

SessionTargets parseMessageTargets(const QString &text)
{
    SessionTargets targets;
    if (text.isEmpty())
        return targets;
    if (text.contains(QLatin1Char(','))) {
        targets.form = SessionIdForm::List;
        for (const QString &piece : text.split(QLatin1Char(','))) {
            if (piece != QLatin1String("0"))
                targets.ids.append(piece);
        }
        return targets;
    }
    if (text.contains(QLatin1Char('-')) && parseRange(text, &targets))
        return targets;
    if (text == QLatin1String("*")) {
        targets.form = SessionIdForm::All;
        targets.ids = QStringList{text};
        return targets;
    }
    for (const QChar c : text) {
        if (c != QLatin1Char(',') && c != QLatin1Char('-')) {
            targets.form = SessionIdForm::Single;
            targets.ids = QStringList{text};
            return targets;
        }
    }
    return targets; // only "-" characters: nothing to send
}

} // namespace dozorix
