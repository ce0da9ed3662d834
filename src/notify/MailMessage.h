#pragma once
// One letter as it goes over the wire: an RFC 5322 message with an HTML body
// in Windows-1251.
//
// - From carries the address only; To lists every recipient;
// - the subject is written as RFC 2047 encoded words (base64), in
//   windows-1251 when every character has a place there, else in UTF-8, so a
//   Russian subject arrives readable in any mail program;
// - the body is "text/html; charset=windows-1251" in base64, lines of 76
//   characters; a character Windows-1251 lacks is written as an HTML
//   character reference (&#NNNN;) instead of being lost;
// - header values never carry a line break, so no value can add a header.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace dozorix {

struct MailLetter {
    QString sender;          // address only
    QStringList recipients;  // addresses
    QString subject;
    QString htmlBody;        // the caller's paragraphs, footer included
    QDateTime date = QDateTime::currentDateTime();
};

// The recipients setting split at commas, each address trimmed, empty
// entries dropped: "a@x.ru, b@y.ru," gives two addresses.
QStringList splitRecipients(const QString &text);

// The text as RFC 2047 encoded words, folded into lines of at most 76
// characters (continuation lines begin with a blank). Empty text gives "".
QByteArray encodeHeaderText(const QString &text);

// HTML text as Windows-1251 bytes; characters outside the code page become
// character references.
QByteArray htmlToCp1251(const QString &html);

// The complete message, CRLF line ends, ready for the DATA command.
QByteArray buildMailMessage(const MailLetter &letter);

} // namespace dozorix
