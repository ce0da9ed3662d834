#include "zip/ZipNames.h"

#include "common/TextCodec.h"
#include "zip/ZipRecords.h"

#include <zlib.h>

#include <utility>

namespace dozorix {
namespace {

constexpr char16_t kFullwidthReverseSolidus = 0xFF3C;
constexpr char16_t kControlPictures = 0x2400; // U+2401 pictures U+0001, ...
constexpr char16_t kDeletePicture = 0x2421;

bool isAscii(QStringView text)
{
    for (QChar c : text) {
        if (c.unicode() >= 0x80)
            return false;
    }
    return true;
}

// The IBM 866 form of a text, or nothing when that form loses a character.
bool toOem(const QString &text, QByteArray *out)
{
    if (isAscii(text)) {
        *out = text.toLatin1();
        return true;
    }
    *out = toCp866(fromCp1251(toCp1251(text)));
    return fromCp866(*out) == text;
}

bool isControl(char16_t c)
{
    return (c >= 0x01 && c <= 0x1F) || c == 0x7F;
}

// Printable ASCII as it is, every other byte as \xNN.
QString escapedBytes(const QByteArray &bytes)
{
    QString out;
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b >= 0x20 && b < 0x7F && b != '\\')
            out += QLatin1Char(static_cast<char>(b));
        else
            out += QLatin1String("\\x") + QString::number(b, 16).toUpper().rightJustified(2, QLatin1Char('0'));
    }
    return out;
}

} // namespace

StoredName storeEntryName(const QString &name, const QString &comment, bool alwaysUtf8)
{
    StoredName s;
    if (!alwaysUtf8 && toOem(name, &s.name) && toOem(comment, &s.comment)) {
        s.utf8 = false;
    } else {
        s.utf8 = true;
        s.name = name.toUtf8();
        s.comment = comment.toUtf8();
    }
    bool high = false;
    for (char ch : std::as_const(s.name)) {
        if (static_cast<unsigned char>(ch) >= 0x80) {
            high = true;
            break;
        }
    }
    if (high) {
        const QByteArray utf8 = s.utf8 ? s.name : name.toUtf8();
        const auto crc = static_cast<quint32>(
            crc32(0L, reinterpret_cast<const Bytef *>(s.name.constData()), static_cast<uInt>(s.name.size())));
        const qsizetype size = 5 + utf8.size();
        if (size <= 0xFFFF) {
            QByteArray &f = s.unicodePath;
            f.reserve(4 + size);
            f.append(static_cast<char>(kUnicodePathTag & 0xFF));
            f.append(static_cast<char>(kUnicodePathTag >> 8));
            f.append(static_cast<char>(size & 0xFF));
            f.append(static_cast<char>(size >> 8));
            f.append('\x01');
            for (int k = 0; k < 4; ++k)
                f.append(static_cast<char>((crc >> (8 * k)) & 0xFF));
            f.append(utf8);
        }
    }
    return s;
}

QString readerSafeName(const QString &name, QString *note)
{
    qsizetype i = 0;
    while (i < name.size() && !isControl(name[i].unicode()))
        ++i;
    if (i == name.size())
        return name;
    QString out = name;
    for (; i < out.size(); ++i) {
        const char16_t c = out[i].unicode();
        if (c == 0x7F)
            out[i] = QChar(kDeletePicture);
        else if (isControl(c))
            out[i] = QChar(static_cast<char16_t>(kControlPictures + c));
    }
    appendNote(note, QStringLiteral("control characters of the name are stored as their pictures (U+2401..U+241F, "
                                    "U+2421)"));
    return out;
}

QString archiveNameFromDisk(const QByteArray &component, QString *note)
{
    QString name;
    if (isValidUtf8(component)) {
        name = QString::fromUtf8(component);
    } else {
        name = fromCp1251(component);
        appendNote(note, QStringLiteral("the name on disk \"%1\" is not UTF-8; it is read as Windows-1251")
                             .arg(escapedBytes(component)));
    }
    if (name.contains(QLatin1Char('\\'))) {
        name.replace(QLatin1Char('\\'), QChar(kFullwidthReverseSolidus));
        appendNote(note, QStringLiteral("\"\\\" in the name is stored as \"%1\" (U+FF3C)")
                             .arg(QChar(kFullwidthReverseSolidus)));
    }
    return readerSafeName(name, note);
}

QString numberedName(const QString &name, int n)
{
    const QString number = QStringLiteral(" (%1)").arg(n);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0)
        return name + number;
    return name.left(dot) + number + name.mid(dot);
}

void appendNote(QString *note, const QString &clause)
{
    if (!note || clause.isEmpty())
        return;
    if (!note->isEmpty())
        *note += QLatin1String("; ");
    *note += clause;
}

} // namespace dozorix
