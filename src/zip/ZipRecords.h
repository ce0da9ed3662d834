#pragma once
// The signatures of the ZIP records and the little-endian fields they are
// made of: what the writer writes, and what the read-back and the restore
// read.

#include <QtGlobal>

namespace dozorix {

inline constexpr quint32 kLocalHeaderSignature = 0x04034B50;
inline constexpr quint32 kCentralHeaderSignature = 0x02014B50;
inline constexpr quint32 kDescriptorSignature = 0x08074B50;
inline constexpr quint32 kZip64EndSignature = 0x06064B50;
inline constexpr quint32 kZip64LocatorSignature = 0x07064B50;
inline constexpr quint32 kEndSignature = 0x06054B50;

// The fixed part of each record (names, extra fields and comments follow).
inline constexpr int kLocalHeaderSize = 30;
inline constexpr int kCentralHeaderSize = 46;
inline constexpr int kEndRecordSize = 22;
inline constexpr int kZip64LocatorSize = 20;
inline constexpr int kZip64EndSize = 56;
// The end record's comment is at most this long, so the record stands in the
// archive's last kEndRecordSize + kMaxCommentSize bytes.
inline constexpr int kMaxCommentSize = 65535;
// The encryption header before an encrypted entry's data.
inline constexpr int kEncryptionHeaderSize = 12;

// Fields of the local header, by their offset in it.
inline constexpr int kLocalTimeField = 10;
inline constexpr int kLocalNameLengthField = 26;
inline constexpr int kLocalExtraLengthField = 28;
// Fields of the central header.
inline constexpr int kCentralHostField = 5; // the high byte of "version made by"
inline constexpr int kCentralFlagsField = 8;
inline constexpr int kCentralMethodField = 10;
inline constexpr int kCentralCrcField = 16;
inline constexpr int kCentralCompressedField = 20;
inline constexpr int kCentralUncompressedField = 24;
inline constexpr int kCentralNameLengthField = 28;
inline constexpr int kCentralExtraLengthField = 30;
inline constexpr int kCentralCommentLengthField = 32;
inline constexpr int kCentralLocalOffsetField = 42;
// Fields of the end record.
inline constexpr int kEndEntriesField = 10;
inline constexpr int kEndDirectorySizeField = 12;
inline constexpr int kEndDirectoryOffsetField = 16;
// The ZIP64 locator (right before the end record) and the ZIP64 end record.
inline constexpr int kZip64LocatorEndOffsetField = 8;
inline constexpr int kZip64EndEntriesField = 32;
inline constexpr int kZip64EndDirectorySizeField = 40;
inline constexpr int kZip64EndDirectoryOffsetField = 48;

// A 32-bit size or offset that stands in the ZIP64 field; a 16-bit count
// that stands in the ZIP64 end record.
inline constexpr quint32 kZip64Marker32 = 0xFFFFFFFF;
inline constexpr quint16 kZip64Marker16 = 0xFFFF;

// General-purpose flags: encrypted; sizes and CRC in a data descriptor after
// the data; the entry's name is UTF-8 (bit 11).
inline constexpr quint16 kEncryptedFlag = 0x0001;
inline constexpr quint16 kDescriptorFlag = 0x0008;
inline constexpr quint16 kUtf8NameFlag = 0x0800;
// Extra fields: ZIP64 sizes and offsets; NTFS times (to 100 ns); the
// Info-ZIP Unicode Path (ZipNames.h).
inline constexpr quint16 kZip64Tag = 0x0001;
inline constexpr quint16 kNtfsTag = 0x000A;
inline constexpr quint16 kUnicodePathTag = 0x7075;

inline quint16 le16(const unsigned char *p)
{
    return static_cast<quint16>(p[0] | (p[1] << 8));
}
inline quint32 le32(const unsigned char *p)
{
    return static_cast<quint32>(p[0]) | (static_cast<quint32>(p[1]) << 8) | (static_cast<quint32>(p[2]) << 16)
           | (static_cast<quint32>(p[3]) << 24);
}
inline quint64 le64(const unsigned char *p)
{
    return le32(p) | (static_cast<quint64>(le32(p + 4)) << 32);
}

} // namespace dozorix
