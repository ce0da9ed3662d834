#include "agents/AgentWire.h"

#include "common/TextCodec.h"

namespace dozorix {

QString AgentCommand::chatLine(const QString &text)
{
    return QStringLiteral("#chm") + text;
}

QString AgentCommand::alert(const QString &text)
{
    return QStringLiteral("#alm") + text;
}

AgentMessage classifyAgentMessage(const QString &text)
{
    struct Prefix {
        QStringView text;
        AgentMessageKind kind;
    };
    static const Prefix kPrefixes[] = {
        {u"#zek", AgentMessageKind::HelpRequest}, {u"#err", AgentMessageKind::Error},
        {u"#inchat", AgentMessageKind::ChatJoin}, {u"#ofchat", AgentMessageKind::ChatLeave},
        {u"#soob", AgentMessageKind::ChatLine},   {u"§", AgentMessageKind::Status},
    };
    for (const Prefix &p : kPrefixes) {
        if (text.startsWith(p.text)) {
            if (p.kind == AgentMessageKind::Status)
                return {p.kind, text};
            return {p.kind, text.mid(p.text.size())};
        }
    }
    return {};
}

QStringList splitStatusFields(QStringView text, int maxFields)
{
    QStringList fields;
    if (text.isEmpty() || maxFields <= 0)
        return fields;
    const QChar sign(0x00A7);
    const QChar quote(u'"');
    qsizetype start = 0;
    for (;;) {
        qsizetype end = text.indexOf(sign, start);
        const bool last = end < 0;
        if (last)
            end = text.size();
        QStringView field = text.mid(start, end - start);
        if (field.startsWith(quote)) {
            QString unquoted;
            unquoted.reserve(field.size());
            qsizetype i = 1;
            while (i < field.size()) {
                if (field[i] == quote) {
                    if (i + 1 < field.size() && field[i + 1] == quote) {
                        unquoted += quote;
                        i += 2;
                        continue;
                    }
                    break; // the closing quote; what follows it in the field is dropped
                }
                unquoted += field[i];
                ++i;
            }
            fields << unquoted;
        } else {
            fields << field.toString();
        }
        if (last || fields.size() >= maxFields)
            break;
        start = end + 1; // a sign at the very end leaves an empty final field
    }
    return fields;
}

QString decodeAgentText(const char *data, qsizetype size)
{
    return decode(QByteArray::fromRawData(data, size), CodePage::Cp1251);
}

QByteArray encodeAgentText(QStringView text)
{
    // A character outside the basic plane is two UTF-16 units; it becomes
    // one question mark, like any other character the code page lacks.
    bool wide = false;
    for (QChar c : text) {
        if (c.isSurrogate()) {
            wide = true;
            break;
        }
    }
    if (!wide)
        return encode(text, CodePage::Cp1251);
    QString narrowed;
    narrowed.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            narrowed += QLatin1Char('?');
            ++i;
        } else if (c.isSurrogate()) {
            narrowed += QLatin1Char('?');
        } else {
            narrowed += c;
        }
    }
    return encode(narrowed, CodePage::Cp1251);
}

bool parseWholeNumber(QStringView text, int *value)
{
    const QStringView t = text.trimmed();
    qsizetype i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) {
        negative = t[i] == u'-';
        ++i;
    }
    if (i >= t.size())
        return false;
    qint64 v = 0;
    for (; i < t.size(); ++i) {
        const char16_t c = t[i].unicode();
        if (c < u'0' || c > u'9')
            return false;
        v = v * 10 + (c - u'0');
        if (v > 2147483648LL)
            return false;
    }
    if (negative)
        v = -v;
    if (v > 2147483647LL)
        return false;
    *value = static_cast<int>(v);
    return true;
}

QString chatEntryText(const QString &user, const QString &address)
{
    return user + QStringLiteral(" # ") + address;
}

QString chatEntryAddress(const QString &entry)
{
    const qsizetype hash = entry.indexOf(QLatin1Char('#'));
    if (hash < 0)
        return QString();
    return entry.mid(hash + 1).trimmed();
}

} // namespace dozorix
