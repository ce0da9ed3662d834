#include "common/TextCodec.h"

#include <algorithm>

#include <array>

namespace dozorix {
namespace {

// Upper halves (0x80..0xFF) of the two single-byte code pages.
// 0x98 of Windows-1251 is unassigned; it keeps its own value.
constexpr std::array<char16_t, 128> kCp1251 = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

constexpr std::array<char16_t, 128> kCp866 = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
    0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,
};

const std::array<char16_t, 128> &upperHalf(CodePage cp)
{
    return cp == CodePage::Cp866 ? kCp866 : kCp1251;
}

// Reverse lookup built once per code page: index by UTF-16 unit, value byte.
struct ReverseTable {
    std::array<unsigned char, 0x10000> bytes{};
    explicit ReverseTable(const std::array<char16_t, 128> &half)
    {
        for (int i = 0; i < 128; ++i)
            bytes[half[static_cast<size_t>(i)]] = static_cast<unsigned char>(0x80 + i);
    }
};

const ReverseTable &reverse(CodePage cp)
{
    static const ReverseTable t866(kCp866);
    static const ReverseTable t1251(kCp1251);
    return cp == CodePage::Cp866 ? t866 : t1251;
}

} // namespace

QString decode(const QByteArray &bytes, CodePage cp)
{
    if (cp == CodePage::Utf8)
        return QString::fromUtf8(bytes);
    const auto &half = upperHalf(cp);
    QString out(bytes.size(), Qt::Uninitialized);
    QChar *d = out.data();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        d[i] = b < 0x80 ? QChar(b) : QChar(half[b - 0x80]);
    }
    return out;
}

QByteArray encode(QStringView text, CodePage cp)
{
    if (cp == CodePage::Utf8)
        return text.toUtf8();
    const auto &rev = reverse(cp);
    QByteArray out(text.size(), Qt::Uninitialized);
    char *d = out.data();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (u < 0x80) {
            d[i] = static_cast<char>(u);
        } else {
            const unsigned char b = rev.bytes[u];
            d[i] = b ? static_cast<char>(b) : '?';
        }
    }
    return out;
}

bool isValidUtf8(const QByteArray &bytes)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    const auto *end = p + bytes.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int extra;
        unsigned int cp;
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (end - p <= extra)
            return false;
        for (int k = 1; k <= extra; ++k) {
            if ((p[k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static constexpr unsigned int kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        p += extra + 1;
    }
    return true;
}

bool codePageFromNumber(int number, CodePage *out)
{
    switch (number) {
    case 866: *out = CodePage::Cp866; return true;
    case 1251: *out = CodePage::Cp1251; return true;
    case 65001: *out = CodePage::Utf8; return true;
    default: return false;
    }
}

QString fromUtf16Bytes(const char *p, qsizetype size, bool bigEndian)
{
    QString out(size / 2, Qt::Uninitialized);
    QChar *d = out.data();
    for (qsizetype i = 0; i + 1 < size; i += 2) {
        const auto a = static_cast<unsigned char>(p[i]);
        const auto b = static_cast<unsigned char>(p[i + 1]);
        *d++ = QChar(static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a));
    }
    return out;
}

QByteArray toUtf16Bytes(const QString &text, bool bigEndian)
{
    QByteArray out(text.size() * 2, Qt::Uninitialized);
    char *d = out.data();
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const char hi = static_cast<char>(u >> 8);
        const char lo = static_cast<char>(u & 0xFF);
        *d++ = bigEndian ? hi : lo;
        *d++ = bigEndian ? lo : hi;
    }
    return out;
}

QString decodeTextFile(const QByteArray &bytes, CodePage ansi, TextFileEncoding *encoding)
{
    TextFileEncoding found = TextFileEncoding::Ansi;
    QString text;
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        found = TextFileEncoding::Utf8WithMark;
        text = QString::fromUtf8(bytes.constData() + 3, bytes.size() - 3);
    } else if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        const bool bigEndian = static_cast<unsigned char>(bytes.at(0)) == 0xFE;
        found = bigEndian ? TextFileEncoding::Utf16BE : TextFileEncoding::Utf16LE;
        text = fromUtf16Bytes(bytes.constData() + 2, bytes.size() - 2, bigEndian);
    } else if (isValidUtf8(bytes)) {
        text = QString::fromUtf8(bytes);
        const bool ascii = std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        found = ascii ? TextFileEncoding::Ansi : TextFileEncoding::Utf8;
    } else {
        text = decode(bytes, ansi);
    }
    if (encoding)
        *encoding = found;
    return text;
}

QByteArray encodeTextFile(const QString &text, TextFileEncoding encoding, CodePage ansi)
{
    switch (encoding) {
    case TextFileEncoding::Ansi: return encode(text, ansi);
    case TextFileEncoding::Utf8: return text.toUtf8();
    case TextFileEncoding::Utf8WithMark: return QByteArray("\xEF\xBB\xBF") + text.toUtf8();
    case TextFileEncoding::Utf16LE: return QByteArray("\xFF\xFE") + toUtf16Bytes(text, false);
    case TextFileEncoding::Utf16BE: return QByteArray("\xFE\xFF") + toUtf16Bytes(text, true);
    }
    return encode(text, ansi);
}

QByteArray encodeHandOffText(const QString &text)
{
    return QByteArrayLiteral("\xEF\xBB\xBF") + text.toUtf8();
}

QString decodeHandOffText(const QByteArray &bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(bytes.constData() + 3, bytes.size() - 3);
    return fromCp1251(bytes);
}

} // namespace dozorix
