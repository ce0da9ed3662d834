#include "notify/MailMessage.h"

#include "common/TextCodec.h"

#include <QLocale>
#include <QUuid>

namespace dozorix {
namespace {

// Text on one line: a line break or other control character in a setting
// would otherwise start a header of its own.
QString oneLine(const QString &text)
{
    QString clean;
    clean.reserve(text.size());
    for (const QChar c : text)
        clean += (c.unicode() < 0x20 || c.unicode() == 0x7F) ? QLatin1Char(' ') : c;
    return clean;
}

QByteArray headerValue(const QString &text)
{
    return oneLine(text).trimmed().toUtf8();
}

// "Tue, 09 Dec 2026 01:16:36 +0300"
QByteArray rfc5322Date(const QDateTime &at)
{
    const int offset = at.offsetFromUtc() / 60;
    const int magnitude = offset < 0 ? -offset : offset;
    const QString zone = QStringLiteral("%1%2%3")
                             .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                             .arg(magnitude / 60, 2, 10, QLatin1Char('0'))
                             .arg(magnitude % 60, 2, 10, QLatin1Char('0'));
    return (QLocale::c().toString(at, QStringLiteral("ddd, dd MMM yyyy HH:mm:ss ")) + zone).toLatin1();
}

QByteArray messageId(const QString &sender)
{
    QString domain = sender.section(QLatin1Char('@'), -1).trimmed();
    bool plain = sender.contains(QLatin1Char('@')) && !domain.isEmpty();
    for (const QChar c : domain)
        plain = plain && (c.isLetterOrNumber() || c == QLatin1Char('.') || c == QLatin1Char('-')) && c.unicode() < 0x80;
    if (!plain)
        domain = QStringLiteral("dozorix.local");
    return '<' + QUuid::createUuid().toString(QUuid::WithoutBraces).toLatin1() + '@' + domain.toLatin1() + '>';
}

// "To: a@x.ru, b@y.ru", folded after a comma before a line grows past 76.
QByteArray addressListHeader(const char *name, const QStringList &addresses)
{
    QByteArray out = name;
    out += ": ";
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i < addresses.size(); ++i) {
        const QByteArray address = headerValue(addresses[i]);
        if (i > 0) {
            out += ',';
            if (out.size() - lineStart + 1 + address.size() > 76) {
                out += "\r\n";
                lineStart = out.size();
            }
            out += ' ';
        }
        out += address;
    }
    return out;
}

bool fitsCp1251(const QString &text)
{
    return fromCp1251(toCp1251(text)) == text;
}

// Bytes of each whole character of the text, so a word never splits one.
QList<QByteArray> characterBytes(const QString &text, bool cp1251)
{
    QList<QByteArray> out;
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype n = (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) ? 2 : 1;
        const QStringView one = QStringView(text).mid(i, n);
        out << (cp1251 ? toCp1251(one) : one.toUtf8());
        i += n;
    }
    return out;
}

} // namespace

QStringList splitRecipients(const QString &text)
{
    QStringList out;
    for (const QString &part : text.split(QLatin1Char(','))) {
        const QString address = part.trimmed();
        if (!address.isEmpty())
            out << address;
    }
    return out;
}

QByteArray encodeHeaderText(const QString &text)
{
    if (text.isEmpty())
        return {};
    const bool cp1251 = fitsCp1251(text);
    const QByteArray prefix = cp1251 ? "=?windows-1251?B?" : "=?UTF-8?B?";
    // 36 bytes make 48 base64 characters: with the prefix, "?=" and the
    // "Subject: " in front of the first word every line stays within 76.
    const qsizetype maxChunk = cp1251 ? 36 : 39;
    QList<QByteArray> words;
    QByteArray chunk;
    for (const QByteArray &c : characterBytes(text, cp1251)) {
        if (!chunk.isEmpty() && chunk.size() + c.size() > maxChunk) {
            words << prefix + chunk.toBase64() + "?=";
            chunk.clear();
        }
        chunk += c;
    }
    words << prefix + chunk.toBase64() + "?=";
    return words.join("\r\n ");
}

QByteArray htmlToCp1251(const QString &html)
{
    QByteArray bytes = toCp1251(html);
    if (fromCp1251(bytes) == html)
        return bytes;
    bytes.clear();
    for (qsizetype i = 0; i < html.size();) {
        const qsizetype n = (html[i].isHighSurrogate() && i + 1 < html.size() && html[i + 1].isLowSurrogate()) ? 2 : 1;
        const QString one = html.mid(i, n);
        const QByteArray encoded = toCp1251(one);
        if (fromCp1251(encoded) == one)
            bytes += encoded;
        else
            bytes += "&#" + QByteArray::number(one.toUcs4().value(0)) + ';';
        i += n;
    }
    return bytes;
}

QByteArray buildMailMessage(const MailLetter &letter)
{
    QByteArray m;
    m += "Date: " + rfc5322Date(letter.date) + "\r\n";
    m += "From: " + headerValue(letter.sender) + "\r\n";
    m += addressListHeader("To", letter.recipients) + "\r\n";
    m += "Subject: " + encodeHeaderText(oneLine(letter.subject)) + "\r\n";
    m += "Message-ID: " + messageId(letter.sender) + "\r\n";
    m += "MIME-Version: 1.0\r\n";
    m += "Content-Type: text/html; charset=windows-1251\r\n";
    m += "Content-Transfer-Encoding: base64\r\n";
    m += "\r\n";
    const QByteArray body = htmlToCp1251(letter.htmlBody).toBase64();
    for (qsizetype at = 0; at < body.size(); at += 76)
        m += body.mid(at, 76) + "\r\n";
    return m;
}

} // namespace dozorix
