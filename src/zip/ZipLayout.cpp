#include "zip/ZipLayout.h"

#include "common/TextCodec.h"

namespace dozorix {

QByteArray ntfsField(const FileAttributeData &a)
{
    if ((a.CreationTime & 0xFFFFFFFFu) == 0 || (a.CreationTime >> 32) == 0)
        return {};
    RecordBytes b;
    b.u16(kNtfsTag);
    b.u16(32);
    b.u32(0);
    b.u16(0x0001);
    b.u16(24);
    b.u64(a.LastWriteTime);
    b.u64(a.LastAccessTime);
    b.u64(a.CreationTime);
    return QByteArray(b.data(), static_cast<qsizetype>(b.size()));
}

QByteArray encodeArchiveComment(const QString &text, bool utf8)
{
    if (utf8)
        return text.toUtf8();
    return toCp866(fromCp1251(toCp1251(text)));
}

void appendLocalHeader(RecordBytes &b, const TCentralDirectoryFileHeader &h, quint16 extraLength)
{
    b.u32(kLocalHeaderSignature);
    b.u16(h.VersionNeededToExtract);
    b.u16(h.GeneralPurposeBitFlag);
    b.u16(h.CompressionMethod);
    b.u16(h.LastModFileTimeTime);
    b.u16(h.LastModFileTimeDate);
    b.u32(h.Crc32);
    b.u32(h.CompressedSize);
    b.u32(h.UncompressedSize);
    b.u16(h.FilenameLength);
    b.u16(extraLength);
}

void appendLocalZip64Field(RecordBytes &b, quint64 uncompressed, quint64 compressed)
{
    b.u16(kZip64Tag);
    b.u16(16);
    b.u64(uncompressed);
    b.u64(compressed);
}

void appendDataDescriptor(RecordBytes &b, const TCentralDirectoryFileHeader &h)
{
    b.u32(kDescriptorSignature);
    b.u32(h.Crc32);
    b.u32(h.CompressedSize);
    b.u32(h.UncompressedSize);
}

void appendCentralHeader(RecordBytes &b, TCentralDirectoryFileHeaderEx &rec)
{
    TCentralDirectoryFileHeader &h = rec.Header;
    RecordBytes zip64;
    if (needsZip64(rec.UncompressedSize))
        zip64.u64(rec.UncompressedSize);
    if (needsZip64(rec.CompressedSize))
        zip64.u64(rec.CompressedSize);
    if (needsZip64(rec.RelativeOffsetOfLocalHeader))
        zip64.u64(rec.RelativeOffsetOfLocalHeader);
    if (rec.DiskNumberStart > 0xFFFE)
        zip64.u32(rec.DiskNumberStart);
    const QByteArray ntfs = ntfsField(rec.Attributes);
    h.ExtraFieldLength = static_cast<quint16>((zip64.size() > 0 ? 4 + zip64.size() : 0)
                                              + static_cast<size_t>(ntfs.size() + rec.UnicodePathField.size()));

    b.u32(h.CentralFileHeaderSignature);
    b.u16(h.VersionMadeBy);
    b.u16(h.VersionNeededToExtract);
    b.u16(h.GeneralPurposeBitFlag);
    b.u16(h.CompressionMethod);
    b.u16(h.LastModFileTimeTime);
    b.u16(h.LastModFileTimeDate);
    b.u32(h.Crc32);
    b.u32(h.CompressedSize);
    b.u32(h.UncompressedSize);
    b.u16(h.FilenameLength);
    b.u16(h.ExtraFieldLength);
    b.u16(h.FileCommentLength);
    b.u16(h.DiskNumberStart);
    b.u16(h.InternalFileAttributes);
    b.u32(h.ExternalFileAttributes);
    b.u32(h.RelativeOffsetOfLocalHeader);
    b.bytes(rec.FileName);
    if (zip64.size() > 0) {
        b.u16(kZip64Tag);
        b.u16(static_cast<quint16>(zip64.size()));
        b.bytes(QByteArray(zip64.data(), static_cast<qsizetype>(zip64.size())));
    }
    b.bytes(ntfs);
    b.bytes(rec.UnicodePathField);
    b.bytes(rec.FileComment);
}

void appendEndRecords(RecordBytes &b, quint64 endAt, quint64 entries, quint64 centralOffset, quint64 centralSize,
                      quint16 versionNeeded, const QString &text, bool utf8)
{
    if (needsZip64(centralOffset) || needsZip64(centralSize) || entries > 0xFFFF) {
        const quint64 zip64End = endAt;
        b.u32(kZip64EndSignature);
        b.u64(44);
        b.u16(kVersionMadeBy);
        b.u16(versionNeeded);
        b.u32(0);
        b.u32(0);
        b.u64(entries);
        b.u64(entries);
        b.u64(centralSize);
        b.u64(centralOffset);
        b.u32(kZip64LocatorSignature);
        b.u32(0);
        b.u64(zip64End);
        b.u32(1);
    }
    QByteArray comment = encodeArchiveComment(text, utf8);
    if (comment.size() > 0xFFFF)
        comment.truncate(0xFFFF);
    const quint16 count16 = entries >= 0x10000 ? kZip64Marker16 : static_cast<quint16>(entries);
    b.u32(kEndSignature);
    b.u16(0);
    b.u16(0);
    b.u16(count16);
    b.u16(count16);
    b.u32(low32OrMarker(centralSize));
    b.u32(low32OrMarker(centralOffset));
    b.u16(static_cast<quint16>(comment.size()));
    b.bytes(comment);
}

} // namespace dozorix
