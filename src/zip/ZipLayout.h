#pragma once
// The records of an archive as the writer lays them out (TFWZipWriter): the
// local header, its ZIP64 field, the data descriptor, the central header and
// the end records, in the little-endian bytes of the PKWARE format. The
// signatures and fields are ZipRecords.h's; the writer's build (ZipBuild.cpp)
// decides what goes into them.

#include "zip/FWZipWriter.h"
#include "zip/ZipRecords.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <vector>

namespace dozorix {

inline constexpr quint16 kVersionMadeBy = 63;
inline constexpr quint16 kVersionDefault = 20;
inline constexpr quint16 kVersionZip64 = 45;
// The ZIP64 field of a local header: tag, length and the two sizes.
inline constexpr size_t kLocalZip64Size = 20;

inline bool needsZip64(quint64 v) { return v >= kZip64Marker32; }
inline quint32 low32OrMarker(quint64 v) { return needsZip64(v) ? kZip64Marker32 : static_cast<quint32>(v); }

// Little-endian record assembly.
class RecordBytes
{
public:
    void u16(quint16 v)
    {
        m_b.push_back(static_cast<char>(v & 0xFF));
        m_b.push_back(static_cast<char>(v >> 8));
    }
    void u32(quint32 v)
    {
        u16(static_cast<quint16>(v & 0xFFFF));
        u16(static_cast<quint16>(v >> 16));
    }
    void u64(quint64 v)
    {
        u32(static_cast<quint32>(v & 0xFFFFFFFFu));
        u32(static_cast<quint32>(v >> 32));
    }
    void bytes(const QByteArray &b) { m_b.insert(m_b.end(), b.constBegin(), b.constEnd()); }
    void zeros(size_t n) { m_b.insert(m_b.end(), n, '\0'); }
    const char *data() const { return m_b.data(); }
    size_t size() const { return m_b.size(); }
    void clear() { m_b.clear(); }

private:
    std::vector<char> m_b;
};

// The NTFS extra field with the file's times (100-ns units since 1601, UTC),
// when both halves of the creation time are non-zero; else empty.
QByteArray ntfsField(const FileAttributeData &a);

// The archive comment: UTF-8, or the ANSI code page (Windows-1251, characters
// it lacks become "?") carried over into the OEM one (IBM 866). Entry names
// and comments are stored by storeEntryName (ZipNames.h).
QByteArray encodeArchiveComment(const QString &text, bool utf8);

// The local header of an entry (its name and extra fields follow it).
void appendLocalHeader(RecordBytes &b, const TCentralDirectoryFileHeader &h, quint16 extraLength);
// The ZIP64 field of a local header, with both sizes.
void appendLocalZip64Field(RecordBytes &b, quint64 uncompressed, quint64 compressed);
// The data descriptor after an entry's data.
void appendDataDescriptor(RecordBytes &b, const TCentralDirectoryFileHeader &h);
// The central header of an entry with its name, extra fields (ZIP64 where a
// value needs it, NTFS times, the Unicode Path field) and comment; sets the
// header's ExtraFieldLength.
void appendCentralHeader(RecordBytes &b, TCentralDirectoryFileHeaderEx &rec);
// The end records of an archive whose central directory ends at endAt: the
// ZIP64 end record and its locator where the offset, the size or the count
// need them, then the end record with the archive comment.
void appendEndRecords(RecordBytes &b, quint64 endAt, quint64 entries, quint64 centralOffset, quint64 centralSize,
                      quint16 versionNeeded, const QString &comment, bool utf8);

} // namespace dozorix
