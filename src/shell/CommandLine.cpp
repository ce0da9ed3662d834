#include "shell/CommandLine.h"

namespace dozorix {
namespace {

bool isBlank(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); }

// Index of the value named by the placeholder at text[pos] == '%', and the
// placeholder's length; -1 when the '%' names no value.
int placeholderAt(const QString &text, qsizetype pos, qsizetype valueCount, qsizetype *length)
{
    auto digit = [&](qsizetype i) {
        return i < text.size() && text.at(i) >= QLatin1Char('0') && text.at(i) <= QLatin1Char('9')
            ? text.at(i).unicode() - u'0'
            : -1;
    };
    const int d1 = digit(pos + 1);
    if (d1 < 0)
        return -1;
    const int d2 = digit(pos + 2);
    if (d2 >= 0 && d1 * 10 + d2 >= 1 && d1 * 10 + d2 <= valueCount) {
        *length = 3;
        return d1 * 10 + d2 - 1;
    }
    if (d1 >= 1 && d1 <= valueCount) {
        *length = 2;
        return d1 - 1;
    }
    return -1;
}

} // namespace

void MarkedText::append(QChar c, bool isLiteralChar)
{
    text.append(c);
    literal.push_back(isLiteralChar);
}

void MarkedText::append(const MarkedText &other)
{
    text.append(other.text);
    literal.insert(literal.end(), other.literal.begin(), other.literal.end());
}

MarkedText MarkedText::mid(qsizetype pos, qsizetype len) const
{
    MarkedText out;
    if (pos < 0)
        pos = 0;
    if (pos >= size())
        return out;
    if (len < 0 || pos + len > size())
        len = size() - pos;
    out.text = text.mid(pos, len);
    out.literal.assign(literal.begin() + pos, literal.begin() + pos + len);
    return out;
}

MarkedText MarkedText::trimmed() const
{
    qsizetype b = 0;
    qsizetype e = size();
    while (b < e && !isLiteral(b) && isBlank(at(b)))
        ++b;
    while (e > b && !isLiteral(e - 1) && isBlank(at(e - 1)))
        --e;
    return mid(b, e - b);
}

MarkedText MarkedText::fromTemplate(const QString &t)
{
    MarkedText out;
    out.text = t;
    out.literal.assign(static_cast<size_t>(t.size()), false);
    return out;
}

MarkedText MarkedText::fromLiteral(const QString &t)
{
    MarkedText out;
    out.text = t;
    out.literal.assign(static_cast<size_t>(t.size()), true);
    return out;
}

CommandLine::CommandLine(QString templateText)
    : m_template(std::move(templateText))
{
}

CommandLine::CommandLine(QString templateText, QStringList values)
    : m_template(std::move(templateText))
    , m_values(std::move(values))
{
}

MarkedText CommandLine::marked() const
{
    MarkedText out;
    for (qsizetype i = 0; i < m_template.size(); ++i) {
        const QChar c = m_template.at(i);
        qsizetype length = 0;
        const int index = c == QLatin1Char('%') ? placeholderAt(m_template, i, m_values.size(), &length) : -1;
        if (index < 0) {
            out.append(c, false);
            continue;
        }
        for (const QChar v : m_values.at(index))
            out.append(v, true);
        i += length - 1;
    }
    return out;
}

QString CommandLine::toString() const
{
    return marked().text;
}

QStringList splitWindowsArguments(const MarkedText &text, bool programName)
{
    QStringList args;
    const qsizetype n = text.size();
    qsizetype i = 0;
    auto skipBlanks = [&] {
        while (i < n && !text.isLiteral(i) && isBlank(text.at(i)))
            ++i;
    };

    skipBlanks();
    if (programName && i < n) {
        QString name;
        if (text.isSyntax(i, QLatin1Char('"'))) {
            ++i;
            while (i < n && !text.isSyntax(i, QLatin1Char('"')))
                name.append(text.at(i++));
            if (i < n)
                ++i; // closing quote
        } else {
            while (i < n && !(!text.isLiteral(i) && isBlank(text.at(i))))
                name.append(text.at(i++));
        }
        args.append(name);
        skipBlanks();
    }

    while (i < n) {
        QString arg;
        bool inQuotes = false;
        while (i < n) {
            const QChar c = text.at(i);
            if (text.isLiteral(i)) {
                arg.append(c);
                ++i;
                continue;
            }
            if (c == QLatin1Char('\\')) {
                qsizetype count = 0;
                while (i < n && text.isSyntax(i, QLatin1Char('\\'))) {
                    ++count;
                    ++i;
                }
                if (i < n && text.isSyntax(i, QLatin1Char('"'))) {
                    arg.append(QString(count / 2, QLatin1Char('\\')));
                    if (count % 2 == 1) {
                        arg.append(QLatin1Char('"'));
                        ++i;
                    }
                } else {
                    arg.append(QString(count, QLatin1Char('\\')));
                }
                continue;
            }
            if (c == QLatin1Char('"')) {
                if (inQuotes && i + 1 < n && text.isSyntax(i + 1, QLatin1Char('"'))) {
                    arg.append(QLatin1Char('"'));
                    i += 2;
                    continue;
                }
                inQuotes = !inQuotes;
                ++i;
                continue;
            }
            if (isBlank(c) && !inQuotes)
                break;
            arg.append(c);
            ++i;
        }
        args.append(arg);
        skipBlanks();
    }
    return args;
}

QStringList splitWindowsArguments(const QString &text, bool programName)
{
    return splitWindowsArguments(MarkedText::fromTemplate(text), programName);
}

} // namespace dozorix
