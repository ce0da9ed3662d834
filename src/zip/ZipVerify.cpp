#include "zip/ZipVerify.h"

#include "common/TextCodec.h"
#include "zip/ZipCrypto.h"
#include "zip/ZipRecords.h"

#include <QFile>

#include <zlib.h>

#include <cstring>
#include <vector>

namespace dozorix {

namespace {

constexpr qint64 kChunk = 1 << 20;


struct Entry {
    QString name;
    quint16 flags = 0;
    quint16 method = 0;
    quint32 crc = 0;
    quint64 packed = 0;
    quint64 size = 0;
    quint64 offset = 0;
};

void fail(ZipVerifyResult &r, const QString &text)
{
    r.ok = false;
    r.error = text;
}

bool readAt(QFile &f, qint64 at, qint64 n, QByteArray *out)
{
    if (!f.seek(at))
        return false;
    *out = f.read(n);
    return out->size() == n;
}

// The central directory: where it starts, how many entries, how long.
bool findDirectory(QFile &f, quint64 *start, quint64 *count, quint64 *length)
{
    const qint64 size = f.size();
    const qint64 tail = std::min<qint64>(size, 22 + 65535);
    QByteArray buf;
    if (tail < 22 || !readAt(f, size - tail, tail, &buf))
        return false;
    const auto *p = reinterpret_cast<const unsigned char *>(buf.constData());
    for (qint64 i = tail - 22; i >= 0; --i) {
        if (le32(p + i) != kEndSignature)
            continue;
        *count = le16(p + i + 10);
        *length = le32(p + i + 12);
        *start = le32(p + i + 16);
        // ZIP64: the locator stands right before the record.
        if (i >= 20 && le32(p + i - 20) == kZip64LocatorSignature) {
            QByteArray rec;
            if (!readAt(f, static_cast<qint64>(le64(p + i - 20 + 8)), 56, &rec))
                return false;
            const auto *q = reinterpret_cast<const unsigned char *>(rec.constData());
            if (le32(q) != kZip64EndSignature)
                return false;
            *count = le64(q + 32);
            *length = le64(q + 40);
            *start = le64(q + 48);
        }
        return true;
    }
    return false;
}

bool readDirectory(QFile &f, std::vector<Entry> *entries, QString *error)
{
    quint64 start = 0, count = 0, length = 0;
    if (!findDirectory(f, &start, &count, &length)) {
        *error = QStringLiteral("не найден центральный каталог архива");
        return false;
    }
    QByteArray dir;
    if (length > static_cast<quint64>(f.size()) || !readAt(f, static_cast<qint64>(start), static_cast<qint64>(length), &dir)) {
        *error = QStringLiteral("центральный каталог архива не читается");
        return false;
    }
    const auto *p = reinterpret_cast<const unsigned char *>(dir.constData());
    qsizetype at = 0;
    for (quint64 n = 0; n < count; ++n) {
        if (at + 46 > dir.size() || le32(p + at) != kCentralHeaderSignature) {
            *error = QStringLiteral("центральный каталог архива повреждён");
            return false;
        }
        Entry e;
        e.flags = le16(p + at + 8);
        e.method = le16(p + at + 10);
        e.crc = le32(p + at + 16);
        e.packed = le32(p + at + 20);
        e.size = le32(p + at + 24);
        const quint16 nameLen = le16(p + at + 28), extraLen = le16(p + at + 30), commentLen = le16(p + at + 32);
        e.offset = le32(p + at + 42);
        if (at + 46 + nameLen + extraLen + commentLen > dir.size()) {
            *error = QStringLiteral("центральный каталог архива повреждён");
            return false;
        }
        const QByteArray name(dir.constData() + at + 46, nameLen);
        e.name = (e.flags & kUtf8NameFlag) ? QString::fromUtf8(name) : fromCp866(name);
        // ZIP64 extra field: the values that did not fit, in this order.
        qsizetype x = at + 46 + nameLen;
        const qsizetype xEnd = x + extraLen;
        while (x + 4 <= xEnd) {
            const quint16 id = le16(p + x), len = le16(p + x + 2);
            if (id == 0x0001) {
                qsizetype v = x + 4;
                if (e.size == 0xFFFFFFFFu && v + 8 <= x + 4 + len) { e.size = le64(p + v); v += 8; }
                if (e.packed == 0xFFFFFFFFu && v + 8 <= x + 4 + len) { e.packed = le64(p + v); v += 8; }
                if (e.offset == 0xFFFFFFFFu && v + 8 <= x + 4 + len) { e.offset = le64(p + v); }
            }
            x += 4 + len;
        }
        entries->push_back(e);
        at += 46 + nameLen + extraLen + commentLen;
    }
    return true;
}

bool checkEntry(QFile &f, const Entry &e, const QByteArray &password, const std::atomic<bool> *stop, QString *why)
{
    QByteArray local;
    if (!readAt(f, static_cast<qint64>(e.offset), 30, &local)
        || le32(reinterpret_cast<const unsigned char *>(local.constData())) != kLocalHeaderSignature) {
        *why = QStringLiteral("нет локального заголовка");
        return false;
    }
    const auto *l = reinterpret_cast<const unsigned char *>(local.constData());
    qint64 at = static_cast<qint64>(e.offset) + 30 + le16(l + 26) + le16(l + 28);
    quint64 left = e.packed;
    const bool encrypted = e.flags & 1;
    ZipCrypto crypto(password);
    if (encrypted) {
        QByteArray header;
        if (left < 12 || !readAt(f, at, 12, &header)) {
            *why = QStringLiteral("нет заголовка шифрования");
            return false;
        }
        auto *h = reinterpret_cast<unsigned char *>(header.data());
        crypto.decrypt(h, 12);
        // The last byte checks the password: the CRC's high byte, or the
        // time's when the sizes follow the data.
        const unsigned char check = (e.flags & 8) ? static_cast<unsigned char>(le16(l + 10) >> 8)
                                                  : static_cast<unsigned char>(e.crc >> 24);
        if (h[11] != check) {
            *why = QStringLiteral("неверный пароль");
            return false;
        }
        at += 12;
        left -= 12;
    }
    if (e.method != 0 && e.method != 8) {
        *why = QStringLiteral("неизвестный метод сжатия %1").arg(e.method);
        return false;
    }
    z_stream z {};
    if (e.method == 8 && inflateInit2(&z, -MAX_WBITS) != Z_OK) {
        *why = QStringLiteral("zlib не запускается");
        return false;
    }
    uLong crc = crc32(0L, Z_NULL, 0);
    quint64 produced = 0;
    std::vector<unsigned char> out(kChunk);
    bool ok = true;
    bool ended = e.method == 0;
    if (!f.seek(at)) {
        *why = QStringLiteral("данные не читаются");
        ok = false;
    }
    while (ok && left > 0) {
        if (stop && stop->load()) {
            *why = QStringLiteral("проверка прервана");
            ok = false;
            break;
        }
        QByteArray chunk = f.read(static_cast<qint64>(std::min<quint64>(left, kChunk)));
        if (chunk.isEmpty()) {
            *why = QStringLiteral("архив обрывается");
            ok = false;
            break;
        }
        left -= static_cast<quint64>(chunk.size());
        auto *data = reinterpret_cast<unsigned char *>(chunk.data());
        if (encrypted)
            crypto.decrypt(data, static_cast<size_t>(chunk.size()));
        if (e.method == 0) {
            crc = crc32(crc, data, static_cast<uInt>(chunk.size()));
            produced += static_cast<quint64>(chunk.size());
            continue;
        }
        z.next_in = data;
        z.avail_in = static_cast<uInt>(chunk.size());
        while (z.avail_in > 0 && !ended) {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            const int rc = inflate(&z, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END) {
                *why = QStringLiteral("сжатые данные повреждены");
                ok = false;
                break;
            }
            const size_t n = out.size() - z.avail_out;
            crc = crc32(crc, out.data(), static_cast<uInt>(n));
            produced += n;
            ended = rc == Z_STREAM_END;
        }
    }
    if (e.method == 8) {
        // Data still held by zlib when the input ended.
        while (ok && !ended) {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            const int rc = inflate(&z, Z_FINISH);
            const size_t n = out.size() - z.avail_out;
            crc = crc32(crc, out.data(), static_cast<uInt>(n));
            produced += n;
            if (rc == Z_STREAM_END)
                ended = true;
            else if (rc != Z_OK || n == 0) {
                *why = QStringLiteral("сжатые данные обрываются");
                ok = false;
            }
        }
        inflateEnd(&z);
    }
    if (ok && (produced != e.size || crc != e.crc)) {
        *why = produced != e.size ? QStringLiteral("размер не совпадает") : QStringLiteral("контрольная сумма CRC не совпадает");
        ok = false;
    }
    return ok;
}

} // namespace

ZipVerifyResult verifyZipArchive(const QString &path, const QString &password, const std::atomic<bool> *stop)
{
    ZipVerifyResult r;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        fail(r, QStringLiteral("Архив \"%1\" не открывается: %2").arg(path, f.errorString()));
        return r;
    }
    std::vector<Entry> entries;
    QString why;
    if (!readDirectory(f, &entries, &why)) {
        fail(r, QStringLiteral("Архив \"%1\" не читается: %2").arg(path, why));
        return r;
    }
    const QByteArray pass = toCp1251(password);
    for (const Entry &e : entries) {
        if (!checkEntry(f, e, pass, stop, &why)) {
            fail(r, QStringLiteral("Архив \"%1\": запись \"%2\" не прошла проверку: %3").arg(path, e.name, why));
            return r;
        }
        ++r.entries;
    }
    r.ok = true;
    return r;
}

} // namespace dozorix
