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

// Bit 11 of the general-purpose flags: the entry's name is UTF-8.
inline constexpr quint16 kUtf8NameFlag = 0x0800;
// Extra fields: ZIP64 sizes and offsets; NTFS times (to 100 ns).
inline constexpr quint16 kZip64Tag = 0x0001;
inline constexpr quint16 kNtfsTag = 0x000A;

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
