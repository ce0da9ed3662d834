#include "shell/CmdSyntax.h"

#include "shell/CmdMessages.h"

namespace dozorix::cmdsyntax {
namespace {

// A command of the line as split, before its redirections are taken out.
struct RawPiece {
    MarkedText text;
    Segment::Join join = Segment::Join::First;
    bool compound = false; // "if" or "for": the rest of the line is theirs
};

// True when nothing but template blanks and '@' has been collected yet.
bool atCommandStart(const MarkedText &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.isLiteral(i) || !(isBlank(text.at(i)) || text.at(i) == QLatin1Char('@')))
            return false;
    }
    return true;
}

// Leading template blanks and '@' (which only hides the command's echo).
qsizetype leadingBlanksAndAt(const MarkedText &text)
{
    qsizetype lead = 0;
    while (lead < text.size() && !text.isLiteral(lead)
           && (isBlank(text.at(lead)) || text.at(lead) == QLatin1Char('@')))
        ++lead;
    return lead;
}

// Splits a command line into its commands and the operators between them.
// Applies the ^ escape (outside quotes) by marking the escaped character
// as plain. Returns false on a syntax error.
bool splitCommands(const MarkedText &line, std::vector<RawPiece> *pieces, QString *error)
{
    RawPiece current;
    bool inQuotes = false;
    const qsizetype n = line.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = line.at(i);
        if (line.isLiteral(i)) {
            current.text.append(c, true);
            continue;
        }
        if (c == QLatin1Char('"')) {
            inQuotes = !inQuotes;
            current.text.append(c, false);
            continue;
        }
        if (!inQuotes && atCommandStart(current.text)
            && (keywordAt(line, i, QLatin1StringView("if")) || keywordAt(line, i, QLatin1StringView("for")))) {
            // "if" and "for" take the rest of the line as their own: its
            // operators belong to the command they run.
            current.text.append(line.mid(i));
            current.compound = true;
            pieces->push_back(current);
            return true;
        }
        if (!inQuotes && c == QLatin1Char('^')) {
            if (i + 1 < n)
                current.text.append(line.at(++i), true);
            continue;
        }
        if (!inQuotes && (c == QLatin1Char('&') || c == QLatin1Char('|'))) {
            // "2>&1" and "1>&2" belong to a redirection, not to the operators.
            if (c == QLatin1Char('&') && i > 0 && line.isSyntax(i - 1, QLatin1Char('>'))) {
                current.text.append(c, false);
                continue;
            }
            const bool doubled = i + 1 < n && line.isSyntax(i + 1, c);
            Segment::Join join;
            if (c == QLatin1Char('&'))
                join = doubled ? Segment::Join::OnSuccess : Segment::Join::Always;
            else if (doubled)
                join = Segment::Join::OnFailure;
            else {
                *error = cmdmessages::pipeNotSupported();
                return false;
            }
            if (doubled)
                ++i;
            if (current.text.trimmed().isEmpty()) {
                *error = cmdmessages::syntaxError();
                return false;
            }
            pieces->push_back(current);
            current = RawPiece();
            current.join = join;
            continue;
        }
        current.text.append(c, false);
    }
    if (current.text.trimmed().isEmpty()) {
        if (current.join != Segment::Join::First) {
            *error = cmdmessages::syntaxError();
            return false;
        }
        return true; // an empty line, or nothing after the last command
    }
    pieces->push_back(current);
    return true;
}

} // namespace

bool isBlank(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); }

bool pathGiven(const QString &name) { return name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')); }

bool parseLine(const MarkedText &line, std::vector<Segment> *segments, QString *error)
{
    std::vector<RawPiece> pieces;
    if (!splitCommands(line, &pieces, error))
        return false;

    // Take the redirections out of each command.
    for (const RawPiece &piece : pieces) {
        Segment seg;
        seg.join = piece.join;
        if (piece.compound) {
            seg.text = piece.text.mid(leadingBlanksAndAt(piece.text));
            seg.compound = true;
            segments->push_back(std::move(seg));
            continue;
        }
        MarkedText rest;
        if (!parseRedirections(piece.text, &rest, &seg.redirections)) {
            *error = cmdmessages::syntaxError();
            return false;
        }
        // Leading blanks and a '@' go; trailing blanks stay, as "echo"
        // prints them.
        seg.text = rest.mid(leadingBlanksAndAt(rest));
        if (seg.text.trimmed().isEmpty() && seg.redirections.empty()) {
            *error = cmdmessages::syntaxError();
            return false;
        }
        segments->push_back(std::move(seg));
    }
    return true;
}

bool parseRedirections(const MarkedText &t, MarkedText *words, std::vector<Redirection> *redirections)
{
    const qsizetype n = t.size();
    MarkedText rest;
    bool inQuotes = false;
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = t.at(i);
        if (t.isLiteral(i)) {
            rest.append(c, true);
            continue;
        }
        if (c == QLatin1Char('"'))
            inQuotes = !inQuotes;
        if (inQuotes || (c != QLatin1Char('>') && c != QLatin1Char('<'))) {
            rest.append(c, false);
            continue;
        }
        Redirection r;
        r.fd = c == QLatin1Char('<') ? 0 : 1;
        // A handle digit right before '>' (at the start or after a blank).
        if (c == QLatin1Char('>') && rest.size() > 0) {
            const qsizetype last = rest.size() - 1;
            const bool digit = rest.isSyntax(last, QLatin1Char('1')) || rest.isSyntax(last, QLatin1Char('2'));
            const bool separated = last == 0 || (!rest.isLiteral(last - 1) && isBlank(rest.at(last - 1)));
            if (digit && separated) {
                r.fd = rest.at(last).unicode() - u'0';
                rest = rest.mid(0, last);
            }
        }
        if (r.fd != 0 && i + 1 < n && t.isSyntax(i + 1, QLatin1Char('>'))) {
            r.append = true;
            ++i;
        }
        if (r.fd != 0 && i + 2 < n && t.isSyntax(i + 1, QLatin1Char('&'))
            && (t.isSyntax(i + 2, QLatin1Char('1')) || t.isSyntax(i + 2, QLatin1Char('2')))) {
            r.duplicateOf = t.at(i + 2).unicode() - u'0';
            i += 2;
        } else {
            ++i;
            while (i < n && !t.isLiteral(i) && isBlank(t.at(i)))
                ++i;
            bool quoted = false;
            while (i < n) {
                const QChar d = t.at(i);
                if (!t.isLiteral(i)) {
                    if (d == QLatin1Char('"')) {
                        quoted = !quoted;
                        ++i;
                        continue;
                    }
                    if (!quoted && (isBlank(d) || d == QLatin1Char('>') || d == QLatin1Char('<')))
                        break;
                }
                r.target.append(d);
                ++i;
            }
            --i;
            if (r.target.isEmpty())
                return false;
        }
        // Keep the words on both sides apart.
        if (i + 1 < n && rest.size() > 0 && !(!rest.isLiteral(rest.size() - 1) && isBlank(rest.at(rest.size() - 1)))
            && !(!t.isLiteral(i + 1) && isBlank(t.at(i + 1))))
            rest.append(QLatin1Char(' '), false);
        redirections->push_back(r);
    }
    *words = rest;
    return true;
}

qsizetype argumentsStart(const MarkedText &text)
{
    qsizetype pos = 0;
    bool inQuotes = false;
    while (pos < text.size()) {
        if (text.isSyntax(pos, QLatin1Char('"')))
            inQuotes = !inQuotes;
        else if (!inQuotes && !text.isLiteral(pos) && isBlank(text.at(pos)))
            break;
        ++pos;
    }
    return pos + 1;
}

bool commandOfParameters(const MarkedText &all, MarkedText *result)
{
    qsizetype i = 0;
    const qsizetype n = all.size();
    bool start = false;
    // Switches before the command: /C or /K start it; others (/Q, /D, ...) are skipped.
    while (i < n) {
        while (i < n && !all.isLiteral(i) && isBlank(all.at(i)))
            ++i;
        if (i + 1 < n && all.isSyntax(i, QLatin1Char('/')) && !all.isLiteral(i + 1)) {
            const QChar sw = all.at(i + 1).toUpper();
            i += 2;
            if (sw == QLatin1Char('C') || sw == QLatin1Char('K')) {
                start = true;
                break;
            }
            while (i < n && !(!all.isLiteral(i) && isBlank(all.at(i))))
                ++i;
            continue;
        }
        break;
    }
    if (!start)
        return false;

    MarkedText command = all.mid(i);
    qsizetype first = 0;
    while (first < command.size() && !command.isLiteral(first) && isBlank(command.at(first)))
        ++first;
    if (first < command.size() && command.isSyntax(first, QLatin1Char('"'))) {
        std::vector<qsizetype> quotes;
        for (qsizetype k = 0; k < command.size(); ++k) {
            if (command.isSyntax(k, QLatin1Char('"')))
                quotes.push_back(k);
        }
        bool keep = false;
        if (quotes.size() == 2) {
            bool blank = false;
            bool special = false;
            for (qsizetype k = quotes[0] + 1; k < quotes[1]; ++k) {
                if (command.isLiteral(k))
                    continue;
                blank = blank || isBlank(command.at(k));
                special = special || QStringLiteral("&<>()@^|").contains(command.at(k));
            }
            keep = blank && !special;
        }
        if (!keep) {
            const qsizetype lastQuote = quotes.back();
            MarkedText stripped = command.mid(0, first);
            stripped.append(command.mid(first + 1, lastQuote - first - 1));
            if (lastQuote != first)
                stripped.append(command.mid(lastQuote + 1));
            command = stripped;
        }
    }
    *result = command;
    return true;
}

bool keywordAt(const MarkedText &text, qsizetype i, QLatin1StringView keyword)
{
    const qsizetype n = keyword.size();
    if (i + n >= text.size())
        return false;
    for (qsizetype k = 0; k < n; ++k) {
        if (text.isLiteral(i + k) || text.at(i + k).toLower() != QLatin1Char(keyword.at(k)))
            return false;
    }
    return !text.isLiteral(i + n) && (isBlank(text.at(i + n)) || text.at(i + n) == QLatin1Char('/'));
}

void skipBlanks(const MarkedText &text, qsizetype *pos)
{
    while (*pos < text.size() && !text.isLiteral(*pos) && isBlank(text.at(*pos)))
        ++*pos;
}

MarkedText nextWord(const MarkedText &text, qsizetype *pos)
{
    skipBlanks(text, pos);
    MarkedText word;
    bool quoted = false;
    qsizetype i = *pos;
    for (; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (text.isLiteral(i)) {
            word.append(c, true);
            continue;
        }
        if (c == QLatin1Char('"'))
            quoted = !quoted;
        else if (!quoted && c == QLatin1Char('^') && i + 1 < text.size()) {
            word.append(text.at(++i), true);
            continue;
        } else if (!quoted && (isBlank(c) || c == QLatin1Char('=')))
            break;
        word.append(c, false);
    }
    *pos = i;
    return word;
}

bool isKeyword(const MarkedText &word, QLatin1StringView keyword)
{
    for (qsizetype i = 0; i < word.size(); ++i) {
        if (word.isLiteral(i))
            return false;
    }
    return word.text.compare(keyword, Qt::CaseInsensitive) == 0;
}

bool equalsFollows(const MarkedText &text, qsizetype pos)
{
    skipBlanks(text, &pos);
    return pos + 1 < text.size() && text.isSyntax(pos, QLatin1Char('=')) && text.isSyntax(pos + 1, QLatin1Char('='));
}

QString withoutQuotes(const MarkedText &word)
{
    QString text;
    for (qsizetype i = 0; i < word.size(); ++i) {
        if (!word.isSyntax(i, QLatin1Char('"')))
            text.append(word.at(i));
    }
    return text;
}

} // namespace dozorix::cmdsyntax
