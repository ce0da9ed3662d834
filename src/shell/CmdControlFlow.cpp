#include "shell/CmdInterpreter.h"

#include "common/TextCodec.h"
#include "common/WindowsPath.h"
#include "shell/CmdMessages.h"
#include "shell/CmdSyntax.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>

// The control flow of the command interpreter: batch files, "if", "for"
// (words, and "for /f" over a command's output, a string or files) and
// "call". Each runs the commands it chooses through CmdInterpreter::run.

namespace dozorix {

using cmdmessages::kCrLf;
using namespace cmdsyntax;

namespace {

// A batch argument with its "%~" modifiers (f, d, p, n, x; none: the
// argument without its quotes). Linux paths have no drive: d adds nothing.
QString batchArgumentPart(QString value, const QString &modifiers, const QString &workingDirectory)
{
    if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
        value = value.mid(1, value.size() - 2);
    if (modifiers.isEmpty() || value.isEmpty())
        return value;
    const QFileInfo info(toLocalPath(value, workingDirectory));
    if (modifiers.contains(QLatin1Char('f')))
        return info.absoluteFilePath();
    QString part;
    if (modifiers.contains(QLatin1Char('p')))
        part += info.absolutePath() + (info.absolutePath().endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/"));
    if (modifiers.contains(QLatin1Char('n')))
        part += info.completeBaseName();
    if (modifiers.contains(QLatin1Char('x')) && !info.suffix().isEmpty())
        part += QLatin1Char('.') + info.suffix();
    return part;
}

} // namespace

// ---------------------------------------------------------------------------
// Batch files

int CmdInterpreter::runBatchFile(const QString &path, const QStringList &arguments, ByteSink *out, ByteSink *err)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (err)
            err->write(encodeOutput(cmdmessages::osErrorText(ENOENT) + kCrLf));
        return 1;
    }
    const QByteArray bytes = file.readAll();
    const QString text = decodeTextFile(bytes);

    int last = 0;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1Char('@')))
            trimmed = trimmed.mid(1).trimmed();
        const QString lower = trimmed.toLower();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char(':')) || lower == QLatin1String("rem")
            || lower.startsWith(QLatin1String("rem ")) || lower == QLatin1String("echo off")
            || lower == QLatin1String("echo on"))
            continue;
        if (lower == QLatin1String("exit") || lower.startsWith(QLatin1String("exit "))) {
            const QStringList words = trimmed.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            bool ok = false;
            const int code = words.value(words.size() - 1).toInt(&ok);
            return ok ? code : last;
        }
        // %0..%9 and %* become plain characters; %% is one percent sign.
        MarkedText marked;
        for (qsizetype i = 0; i < trimmed.size(); ++i) {
            const QChar c = trimmed.at(i);
            if (c == QLatin1Char('%') && i + 1 < trimmed.size()) {
                const QChar d = trimmed.at(i + 1);
                if (d == QLatin1Char('%')) {
                    marked.append(c, false);
                    ++i;
                    continue;
                }
                if (d.isDigit()) {
                    const int index = d.unicode() - u'0';
                    const QString value = index == 0 ? path : arguments.value(index - 1);
                    marked.append(MarkedText::fromLiteral(value));
                    ++i;
                    continue;
                }
                if (d == QLatin1Char('*')) {
                    marked.append(MarkedText::fromLiteral(arguments.join(QLatin1Char(' '))));
                    ++i;
                    continue;
                }
                if (d == QLatin1Char('~')) {
                    // %~N without quotes, %~fN full path, %~dpN its folder
                    // with a trailing separator, %~nN name, %~xN extension.
                    qsizetype k = i + 2;
                    QString modifiers;
                    while (k < trimmed.size() && QStringLiteral("fdpnx").contains(trimmed.at(k).toLower()))
                        modifiers.append(trimmed.at(k++).toLower());
                    if (k < trimmed.size() && trimmed.at(k).isDigit()) {
                        const int index = trimmed.at(k).unicode() - u'0';
                        const QString value = batchArgumentPart(index == 0 ? path : arguments.value(index - 1),
                                                                modifiers, m_workingDirectory);
                        marked.append(MarkedText::fromLiteral(value));
                        i = k;
                        continue;
                    }
                }
            }
            marked.append(c, false);
        }
        last = run(marked, out, err);
    }
    return last;
}

// ---------------------------------------------------------------------------
// if, for /f, call

namespace {

// The options of "for /f".
struct ForOptions {
    int skip = 0;
    std::vector<int> tokens{1};
    bool rest = false; // a trailing '*'
    QString delims = QStringLiteral(" \t");
    QChar eol = QLatin1Char(';');
    bool hasEol = true;
    bool backQuotes = false;
};

bool parseTokens(const QString &list, ForOptions *o)
{
    o->tokens.clear();
    o->rest = false;
    const QStringList items = list.split(QLatin1Char(','));
    for (qsizetype k = 0; k < items.size(); ++k) {
        QString item = items.at(k);
        if (item.endsWith(QLatin1Char('*'))) {
            if (k != items.size() - 1)
                return false;
            o->rest = true;
            item.chop(1);
            if (item.isEmpty())
                continue;
        }
        const QStringList bounds = item.split(QLatin1Char('-'));
        bool ok1 = false;
        bool ok2 = false;
        const int from = bounds.value(0).toInt(&ok1);
        const int to = bounds.size() == 2 ? bounds.at(1).toInt(&ok2) : from;
        if (!ok1 || (bounds.size() == 2 && !ok2) || bounds.size() > 2 || from < 1 || to < from || to > 31)
            return false;
        for (int t = from; t <= to; ++t)
            o->tokens.push_back(t);
    }
    std::sort(o->tokens.begin(), o->tokens.end());
    o->tokens.erase(std::unique(o->tokens.begin(), o->tokens.end()), o->tokens.end());
    return !o->tokens.empty() || o->rest;
}

// "skip=N tokens=... delims=... eol=c usebackq"; delims runs up to a blank
// that starts another option (so "delims= " is a blank).
bool parseForOptions(const QString &text, ForOptions *o, QString *bad)
{
    static const QStringList kNames = {QStringLiteral("skip="), QStringLiteral("tokens="), QStringLiteral("delims="),
                                       QStringLiteral("eol="), QStringLiteral("usebackq")};
    auto startsOption = [&](qsizetype at) {
        for (const QString &name : kNames) {
            if (text.mid(at, name.size()).compare(name, Qt::CaseInsensitive) == 0)
                return true;
        }
        return false;
    };
    qsizetype i = 0;
    while (i < text.size()) {
        if (isBlank(text.at(i))) {
            ++i;
            continue;
        }
        qsizetype end = i;
        while (end < text.size() && !isBlank(text.at(end)))
            ++end;
        const QString word = text.mid(i, end - i);
        const QString lower = word.toLower();
        if (lower.startsWith(QLatin1String("delims="))) {
            // Up to a blank that begins another option, or the end.
            qsizetype stop = i + 7;
            while (stop < text.size() && !(isBlank(text.at(stop)) && startsOption(stop + 1)))
                ++stop;
            o->delims = text.mid(i + 7, stop - i - 7);
            i = stop;
            continue;
        }
        if (lower.startsWith(QLatin1String("eol="))) {
            // One character, which may be a blank.
            o->hasEol = i + 4 < text.size();
            if (o->hasEol)
                o->eol = text.at(i + 4);
            i += 5;
            continue;
        }
        bool ok = true;
        if (lower.startsWith(QLatin1String("skip="))) {
            o->skip = word.mid(5).toInt(&ok);
            ok = ok && o->skip >= 0;
        } else if (lower.startsWith(QLatin1String("tokens="))) {
            ok = parseTokens(word.mid(7), o);
        } else if (lower == QLatin1String("usebackq")) {
            o->backQuotes = true;
        } else {
            ok = false;
        }
        if (!ok) {
            *bad = word;
            return false;
        }
        i = end;
    }
    return true;
}

// The values of one line for the loop's letters; false when the line is
// skipped (an eol line, or no token it asks for).
bool splitForLine(const QString &line, const ForOptions &o, QStringList *values)
{
    auto isDelim = [&](QChar c) { return o.delims.contains(c); };
    qsizetype i = 0;
    while (i < line.size() && isDelim(line.at(i)))
        ++i;
    if (i >= line.size() || (o.hasEol && line.at(i) == o.eol))
        return false;
    std::vector<std::pair<qsizetype, qsizetype>> tokens; // start, end
    const int wanted = o.tokens.empty() ? 0 : o.tokens.back();
    while (i < line.size() && static_cast<int>(tokens.size()) < wanted + 1) {
        const qsizetype start = i;
        while (i < line.size() && !isDelim(line.at(i)))
            ++i;
        tokens.emplace_back(start, i);
        while (i < line.size() && isDelim(line.at(i)))
            ++i;
    }
    values->clear();
    bool any = false;
    for (int t : o.tokens) {
        const qsizetype k = t - 1;
        const QString v = k < static_cast<qsizetype>(tokens.size())
            ? line.mid(tokens[size_t(k)].first, tokens[size_t(k)].second - tokens[size_t(k)].first)
            : QString();
        any = any || !v.isEmpty();
        values->append(v);
    }
    if (o.rest) {
        QString v;
        if (static_cast<int>(tokens.size()) > wanted)
            v = line.mid(tokens[size_t(wanted)].first);
        any = any || !v.isEmpty();
        values->append(v);
    }
    return any;
}

// The body with %v (and %~v, without surrounding quotes) replaced by the
// values, as plain characters.
MarkedText substituteForValues(const MarkedText &body, QChar first, const QStringList &values)
{
    MarkedText result;
    for (qsizetype i = 0; i < body.size(); ++i) {
        if (body.isSyntax(i, QLatin1Char('%')) && i + 1 < body.size() && !body.isLiteral(i + 1)) {
            qsizetype at = i + 1;
            const bool unquote = body.at(at) == QLatin1Char('~') && at + 1 < body.size() && !body.isLiteral(at + 1);
            if (unquote)
                ++at;
            const int index = body.at(at).unicode() - first.unicode();
            if (index >= 0 && index < values.size()) {
                QString value = values.at(index);
                if (unquote && value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
                    value = value.mid(1, value.size() - 2);
                result.append(MarkedText::fromLiteral(value));
                i = at;
                continue;
            }
        }
        result.append(body.at(i), body.isLiteral(i));
    }
    return result;
}

} // namespace

int CmdInterpreter::runIf(const MarkedText &text, ByteSink *out, ByteSink *err)
{
    auto fail = [&] {
        if (err)
            err->write(encodeOutput(cmdmessages::syntaxError() + kCrLf));
        return 1;
    };
    qsizetype pos = 2;
    MarkedText word = nextWord(text, &pos);
    bool ignoreCase = false;
    bool negate = false;
    if (isKeyword(word, QLatin1StringView("/i"))) {
        ignoreCase = true;
        word = nextWord(text, &pos);
    }
    if (isKeyword(word, QLatin1StringView("not")) && !equalsFollows(text, pos)) {
        negate = true;
        word = nextWord(text, &pos);
    }
    bool condition = false;
    if (isKeyword(word, QLatin1StringView("exist")) && !equalsFollows(text, pos)) {
        const MarkedText path = nextWord(text, &pos);
        if (path.isEmpty())
            return fail();
        const QString local = toLocalPath(withoutQuotes(path), m_workingDirectory);
        condition = !local.isEmpty() && QFileInfo::exists(local);
    } else if (isKeyword(word, QLatin1StringView("errorlevel")) && !equalsFollows(text, pos)) {
        bool ok = false;
        const int level = nextWord(text, &pos).text.toInt(&ok);
        if (!ok)
            return fail();
        condition = m_errorLevel >= level;
    } else {
        if (word.isEmpty() || !equalsFollows(text, pos))
            return fail();
        skipBlanks(text, &pos);
        pos += 2;
        const MarkedText right = nextWord(text, &pos);
        if (right.isEmpty())
            return fail();
        condition = word.text.compare(right.text, ignoreCase ? Qt::CaseInsensitive : Qt::CaseSensitive) == 0;
    }
    skipBlanks(text, &pos);
    const MarkedText body = text.mid(pos);
    if (body.trimmed().isEmpty())
        return fail();
    if (condition == negate)
        return m_errorLevel; // a false condition leaves the exit code as it was
    return run(body, out, err);
}

bool CmdInterpreter::forLines(const MarkedText &set, bool backQuotes, QStringList *lines, ByteSink *err)
{
    const QChar commandQuote = backQuotes ? QLatin1Char('`') : QLatin1Char('\'');
    const QChar stringQuote = backQuotes ? QLatin1Char('\'') : QLatin1Char('"');
    const qsizetype n = set.size();
    QString text;
    if (n >= 2 && set.isSyntax(0, commandQuote) && set.isSyntax(n - 1, commandQuote)) {
        // The command as the child cmd.exe would get it: the ^ escapes of
        // this line are spent, so "^|" and "^&" act there.
        MarkedText command;
        bool quoted = false;
        for (qsizetype i = 1; i < n - 1; ++i) {
            if (set.isLiteral(i)) {
                command.append(set.at(i), true);
                continue;
            }
            if (set.at(i) == QLatin1Char('"'))
                quoted = !quoted;
            if (!quoted && set.at(i) == QLatin1Char('^') && i + 1 < n - 1)
                ++i;
            command.append(set.at(i), false);
        }
        CmdInterpreter child(m_workingDirectory);
        child.setCodePage(m_codePage);
        ConsoleSink sink(child);
        child.run(command, &sink, err);
        if (child.accessDenied())
            noteAccessDenied();
        text = sink.text();
    } else if (n >= 2 && set.isSyntax(0, stringQuote) && set.isSyntax(n - 1, stringQuote)) {
        text = set.mid(1, n - 2).text;
    } else {
        for (const QString &name : splitWindowsArguments(set)) {
            const QString local = toLocalPath(name, m_workingDirectory);
            QFile file(local);
            if (local.isEmpty() || !QFileInfo(local).isFile() || !file.open(QIODevice::ReadOnly)) {
                if (err)
                    err->write(encodeOutput(cmdmessages::fileNotFound(name) + kCrLf));
                return false;
            }
            text += decodeTextFile(file.readAll(), m_codePage);
            if (!text.endsWith(QLatin1Char('\n')))
                text += QLatin1Char('\n');
        }
    }
    *lines = text.split(QLatin1Char('\n'));
    for (QString &line : *lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }
    if (!lines->isEmpty() && lines->back().isEmpty())
        lines->removeLast();
    return true;
}

int CmdInterpreter::runFor(const MarkedText &text, ByteSink *out, ByteSink *err)
{
    auto fail = [&](const QString &message) {
        if (err)
            err->write(encodeOutput(message + kCrLf));
        return 1;
    };
    qsizetype pos = 3;
    skipBlanks(text, &pos);
    ForOptions options;
    bool lineMode = false;
    if (pos + 1 < text.size() && text.isSyntax(pos, QLatin1Char('/')) && !text.isLiteral(pos + 1)
        && text.at(pos + 1).toLower() == QLatin1Char('f')) {
        lineMode = true;
        pos += 2;
        skipBlanks(text, &pos);
        if (pos < text.size() && text.isSyntax(pos, QLatin1Char('"'))) {
            qsizetype close = pos + 1;
            while (close < text.size() && !text.isSyntax(close, QLatin1Char('"')))
                ++close;
            if (close >= text.size())
                return fail(cmdmessages::syntaxError());
            QString bad;
            if (!parseForOptions(text.mid(pos + 1, close - pos - 1).text, &options, &bad))
                return fail(cmdmessages::unexpected(bad));
            pos = close + 1;
            skipBlanks(text, &pos);
        }
    }
    // %v (a batch file's %%v arrives here as %v)
    if (pos + 1 >= text.size() || !text.isSyntax(pos, QLatin1Char('%')) || text.isLiteral(pos + 1)
        || !text.at(pos + 1).isLetter() || text.at(pos + 1).unicode() > 127)
        return fail(cmdmessages::syntaxError());
    const QChar letter = text.at(pos + 1);
    pos += 2;
    if (!isKeyword(nextWord(text, &pos), QLatin1StringView("in")))
        return fail(cmdmessages::syntaxError());
    skipBlanks(text, &pos);
    if (pos >= text.size() || !text.isSyntax(pos, QLatin1Char('(')))
        return fail(cmdmessages::syntaxError());
    // The set ends at the first ')' followed by "do" (outside quotes).
    qsizetype close = -1;
    qsizetype bodyStart = -1;
    bool quoted = false;
    for (qsizetype i = pos + 1; i < text.size(); ++i) {
        if (text.isSyntax(i, QLatin1Char('"')))
            quoted = !quoted;
        if (quoted || !text.isSyntax(i, QLatin1Char(')')))
            continue;
        qsizetype after = i + 1;
        skipBlanks(text, &after);
        if (keywordAt(text, after, QLatin1StringView("do"))) {
            close = i;
            bodyStart = after + 2;
            break;
        }
    }
    if (close < 0)
        return fail(cmdmessages::syntaxError());
    const MarkedText set = text.mid(pos + 1, close - pos - 1).trimmed();
    skipBlanks(text, &bodyStart);
    const MarkedText body = text.mid(bodyStart);
    if (body.trimmed().isEmpty())
        return fail(cmdmessages::syntaxError());

    const int letters = lineMode ? static_cast<int>(options.tokens.size()) + (options.rest ? 1 : 0) : 1;
    const QChar lastLetter(letter.unicode() + letters - 1);
    if (letters > 1 && (!lastLetter.isLetter() || (letter.isLower() != lastLetter.isLower())))
        return fail(cmdmessages::unexpected(QStringLiteral("%") + letter));

    int last = m_errorLevel;
    if (!lineMode) {
        // for %v in (a b c): each word of the set.
        for (const QString &item : splitWindowsArguments(set))
            last = run(substituteForValues(body, letter, {item}), out, err);
        return last;
    }
    QStringList lines;
    if (!forLines(set, options.backQuotes, &lines, err))
        return m_errorLevel = 1;
    QStringList values;
    for (qsizetype k = options.skip; k < lines.size(); ++k) {
        if (lines.at(k).isEmpty() || !splitForLine(lines.at(k), options, &values))
            continue;
        last = run(substituteForValues(body, letter, values), out, err);
    }
    return last;
}

int CmdInterpreter::runCall(const MarkedText &rest, ByteSink *out, ByteSink *err)
{
    const QStringList argv = splitWindowsArguments(rest, true);
    if (argv.isEmpty() || argv.front().isEmpty())
        return 0;
    const QString local = toLocalPath(argv.front(), m_workingDirectory);
    if (!local.isEmpty() && QFileInfo(local).isFile())
        return runBatchFile(local, argv.mid(1), out, err);
    if (pathGiven(argv.front()) || argv.front().contains(QLatin1Char('.'))) {
        if (err)
            err->write(encodeOutput(cmdmessages::osErrorText(ENOENT) + kCrLf));
        return 1;
    }
    return run(rest, out, err); // "call echo x": any other command
}

} // namespace dozorix
