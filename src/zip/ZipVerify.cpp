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
    const qint64 tail = std::min<qint64>(size, kEndRecordSize + kMaxCommentSize);
    QByteArray buf;
    if (tail < kEndRecordSize || !readAt(f, size - tail, tail, &buf))
        return false;
    const auto *p = reinterpret_cast<const unsigned char *>(buf.constData());
    for (qint64 i = tail - kEndRecordSize; i >= 0; --i) {
        if (le32(p + i) != kEndSignature)
            continue;
        *count = le16(p + i + kEndEntriesField);
        *length = le32(p + i + kEndDirectorySizeField);
        *start = le32(p + i + kEndDirectoryOffsetField);
        // ZIP64: the locator stands right before the record.
        if (i >= kZip64LocatorSize && le32(p + i - kZip64LocatorSize) == kZip64LocatorSignature) {
            QByteArray rec;
            if (!readAt(f, static_cast<qint64>(le64(p + i - kZip64LocatorSize + kZip64LocatorEndOffsetField)),
                        kZip64EndSize, &rec))
                return false;
            const auto *q = reinterpret_cast<const unsigned char *>(rec.constData());
            if (le32(q) != kZip64EndSignature)
                return false;
            *count = le64(q + kZip64EndEntriesField);
            *length = le64(q + kZip64EndDirectorySizeField);
            *start = le64(q + kZip64EndDirectoryOffsetField);
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
        if (at + kCentralHeaderSize > dir.size() || le32(p + at) != kCentralHeaderSignature) {
            *error = QStringLiteral("центральный каталог архива повреждён");
            return false;
        }
        Entry e;
        e.flags = le16(p + at + kCentralFlagsField);
        e.method = le16(p + at + kCentralMethodField);
        e.crc = le32(p + at + kCentralCrcField);
        e.packed = le32(p + at + kCentralCompressedField);
        e.size = le32(p + at + kCentralUncompressedField);
        const quint16 nameLen = le16(p + at + kCentralNameLengthField), extraLen = le16(p + at + kCentralExtraLengthField),
                      commentLen = le16(p + at + kCentralCommentLengthField);
        e.offset = le32(p + at + kCentralLocalOffsetField);
        if (at + kCentralHeaderSize + nameLen + extraLen + commentLen > dir.size()) {
            *error = QStringLiteral("центральный каталог архива повреждён");
            return false;
        }
        const QByteArray name(dir.constData() + at + kCentralHeaderSize, nameLen);
        e.name = (e.flags & kUtf8NameFlag) ? QString::fromUtf8(name) : fromCp866(name);
        // ZIP64 extra field: the values that did not fit, in this order.
        qsizetype x = at + kCentralHeaderSize + nameLen;
        const qsizetype xEnd = x + extraLen;
        while (x + 4 <= xEnd) {
            const quint16 id = le16(p + x), len = le16(p + x + 2);
            if (id == kZip64Tag) {
                qsizetype v = x + 4;
                if (e.size == kZip64Marker32 && v + 8 <= x + 4 + len) { e.size = le64(p + v); v += 8; }
                if (e.packed == kZip64Marker32 && v + 8 <= x + 4 + len) { e.packed = le64(p + v); v += 8; }
                if (e.offset == kZip64Marker32 && v + 8 <= x + 4 + len) { e.offset = le64(p + v); }
            }
            x += 4 + len;
        }
        entries->push_back(e);
        at += kCentralHeaderSize + nameLen + extraLen + commentLen;
    }
    return true;
}

bool checkEntry(QFile &f, const Entry &e, const QByteArray &password, const std::atomic<bool> *stop, QString *why)
{
    QByteArray local;
    if (!readAt(f, static_cast<qint64>(e.offset), kLocalHeaderSize, &local)
        || le32(reinterpret_cast<const unsigned char *>(local.constData())) != kLocalHeaderSignature) {
        *why = QStringLiteral("нет локального заголовка");
        return false;
    }
    const auto *l = reinterpret_cast<const unsigned char *>(local.constData());
    qint64 at = static_cast<qint64>(e.offset) + kLocalHeaderSize + le16(l + kLocalNameLengthField)
               + le16(l + kLocalExtraLengthField);
    quint64 left = e.packed;
    const bool encrypted = e.flags & kEncryptedFlag;
    ZipCrypto crypto(password);
    if (encrypted) {
        QByteArray header;
        if (left < kEncryptionHeaderSize || !readAt(f, at, kEncryptionHeaderSize, &header)) {
            *why = QStringLiteral("нет заголовка шифрования");
            return false;
        }
        auto *h = reinterpret_cast<unsigned char *>(header.data());
        crypto.decrypt(h, kEncryptionHeaderSize);
        // The last byte checks the password: the CRC's high byte, or the
        // time's when the sizes follow the data.
        const unsigned char check = (e.flags & kDescriptorFlag) ? static_cast<unsigned char>(le16(l + kLocalTimeField) >> 8)
                                                  : static_cast<unsigned char>(e.crc >> 24);
        if (h[kEncryptionHeaderSize - 1] != check) {
            *why = QStringLiteral("неверный пароль");
            return false;
        }
        at += kEncryptionHeaderSize;
        left -= kEncryptionHeaderSize;
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
