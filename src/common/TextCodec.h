#pragma once
// Conversions at the edges of the program: the agent wire and letters speak
// Windows-1251, console output of the Windows tools speaks IBM 866 until a
// "chcp 1251" switches it. Inside, everything is QString.

#include <QByteArray>
#include <QString>
#include <QStringView>

namespace dozorix {

enum class CodePage {
    Cp866 = 866,
    Cp1251 = 1251,
    Utf8 = 65001,
};

// Decodes bytes of the given code page. Every byte maps to a character, so
// nothing is ever lost: a byte with no assigned character decodes to the C1
// control of the same value.
QString decode(const QByteArray &bytes, CodePage cp);

// Encodes text into the code page; characters the page lacks become '?'.
QByteArray encode(QStringView text, CodePage cp);

inline QString fromCp1251(const QByteArray &b) { return decode(b, CodePage::Cp1251); }
inline QString fromCp866(const QByteArray &b) { return decode(b, CodePage::Cp866); }
inline QByteArray toCp1251(QStringView s) { return encode(s, CodePage::Cp1251); }
inline QByteArray toCp866(QStringView s) { return encode(s, CodePage::Cp866); }

// True when the bytes are well-formed UTF-8.
bool isValidUtf8(const QByteArray &bytes);

// Text files as an administrator's editor leaves them: with a byte-order
// mark (UTF-8, UTF-16 LE or BE), UTF-8 without one, or the ANSI page of a
// Windows server.
enum class TextFileEncoding { Ansi, Utf8, Utf8WithMark, Utf16LE, Utf16BE };

// Decodes by the mark; without one, as UTF-8 when the bytes are valid UTF-8,
// else in the ANSI page. *encoding (when given) says how the file is to be
// written back: Utf8 only for valid UTF-8 that holds more than ASCII.
QString decodeTextFile(const QByteArray &bytes, CodePage ansi = CodePage::Cp1251,
                       TextFileEncoding *encoding = nullptr);
// Encodes text in that encoding, with its mark.
QByteArray encodeTextFile(const QString &text, TextFileEncoding encoding, CodePage ansi = CodePage::Cp1251);

// The hand-off files the console writes for itself (temp.txt, temp2.txt:
// the path of a backup): UTF-8 with a byte-order mark, so that every path
// comes back as it went. Read back by the mark; bytes without one (an older
// console's file, a command's output after "chcp 1251") as Windows-1251.
QByteArray encodeHandOffText(const QString &text);
QString decodeHandOffText(const QByteArray &bytes);

// UTF-16 code units as they stand (a lone surrogate included, so that it
// goes back into the file unchanged); an odd last byte is no code unit.
QString fromUtf16Bytes(const char *p, qsizetype size, bool bigEndian);
QByteArray toUtf16Bytes(const QString &text, bool bigEndian);

// Maps a code page number ("866", "1251", "65001") to the enum; false when unknown.
bool codePageFromNumber(int number, CodePage *out);

} // namespace dozorix
