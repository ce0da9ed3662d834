#pragma once
// Helpers of the ZIP tests: the real archive readers, an independent reading
// of the ZIP bytes and of the traditional PKWARE encryption. The files on
// disk and the programs run are FileTestSupport.h's.

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include "filecopy/support/FileTestSupport.h"
#include "support/TestSupport.h" // PrintTo for QString, waitUntil

#include <vector>

namespace dozorix::test {

// Little-endian fields of an archive's bytes.
inline quint16 le16(const QByteArray &b, qsizetype at)
{
    return static_cast<quint16>(static_cast<unsigned char>(b[at]) | (static_cast<unsigned char>(b[at + 1]) << 8));
}
inline quint32 le32(const QByteArray &b, qsizetype at)
{
    return le16(b, at) | (static_cast<quint32>(le16(b, at + 2)) << 16);
}
inline quint64 le64(const QByteArray &b, qsizetype at)
{
    return le32(b, at) | (static_cast<quint64>(le32(b, at + 4)) << 32);
}

// What an archive is expected to hold: archive name -> source file on disk
// (an empty path for a folder entry).
using Manifest = QMap<QString, QString>;

// Reads the archive back with Info-ZIP unzip -t, 7z t, bsdtar -tf and
// Python's zipfile (which also compares every entry with its source byte for
// byte and checks the names). password is passed as raw bytes. Returns an
// empty string when every reader accepts the archive, else what went wrong.
// unzip's warning that a local name differs from the central one is accepted
// alone, and only when onlyLocalNameWarnings says it is one.
QString checkWithReaders(const QString &archive, const Manifest &expected, const QByteArray &password = {});

// True when unzip ended with exit code 1 and said nothing but that local
// names differ from the central ones ("continuing with "central" filename
// version"), while the local and central names of every entry are the same
// bytes: unzip read one name two ways (it takes an IBM 866 name of a local
// header through its OEM table, and from the central header through the
// Unicode Path field), which is what the writer leaves it to for the IBM 866
// names of entries with a data descriptor (ZipNames.h).
bool onlyLocalNameWarnings(const QString &archive, const PeerRun &unzip);

// What one reader unpacked: every file below its folder by the path relative
// to it (a name that is not UTF-8 spelled with \xNN escapes), with content.
struct Unpacked {
    QString reader;
    PeerRun run;
    QMap<QString, QByteArray> files;
};

// Unpacks the archive with each of the four readers into a folder of its own
// below intoFolder, as an administrator runs them on an archive that may come
// from a Russian Windows server: "unzip -q [-P P] ARCHIVE -d DIR" (Debian's
// unzip cannot be told a code page), "7z x -y [-pP] -oDIR ARCHIVE",
// "bsdtar --options hdrcharset=CP866 -xf ARCHIVE -C DIR [--passphrase P]",
// and Python's zipfile extractall with the names without bit 11 read as IBM
// 866 (python3 -m zipfile --metadata-encoding cp866 -e ARCHIVE DIR).
std::vector<Unpacked> unpackWithReaders(const QString &archive, const QString &intoFolder,
                                        const QByteArray &password = {});

// Checks that unzip, 7z and Python all refuse the archive with this password
// (Python entry by entry, empty entries aside); empty when they do.
QString checkRefusedPassword(const QString &archive, const QByteArray &wrongPassword);

// An independent reading of the archive's records.
struct ZipExtra {
    quint16 tag = 0;
    QByteArray data;
};
struct ZipLocal {
    quint16 versionNeeded = 0, flags = 0, method = 0, time = 0, date = 0;
    quint32 crc = 0, compressed = 0, uncompressed = 0;
    QByteArray name;
    std::vector<ZipExtra> extras;
    quint64 dataOffset = 0;
};
struct ZipCentral {
    quint16 versionMadeBy = 0, versionNeeded = 0, flags = 0, method = 0, time = 0, date = 0;
    quint32 crc = 0, compressed = 0, uncompressed = 0;
    quint16 diskStart = 0, internalAttributes = 0;
    quint32 externalAttributes = 0, localOffset = 0;
    QByteArray name, comment;
    std::vector<ZipExtra> extras;
    // Sizes and offset with the ZIP64 field applied.
    quint64 realCompressed = 0, realUncompressed = 0, realOffset = 0;
    ZipLocal local;
    const ZipExtra *extra(quint16 tag) const;
};
struct ZipLayout {
    QString error; // empty when the bytes could be read
    std::vector<ZipCentral> entries;
    bool hasZip64End = false;
    bool hasZip64Locator = false;
    quint16 endEntriesOnDisk = 0, endEntriesTotal = 0;
    quint32 endCentralSize = 0, endCentralOffset = 0;
    quint64 zip64Entries = 0;
    quint16 zip64VersionNeeded = 0;
    QByteArray comment;
};
// Reads the central directory and the local headers of an archive file. Only
// the head of each entry is read, so archives of any size are fine.
ZipLayout readZipLayout(const QString &archive);

// Decrypts bytes of the traditional PKWARE encryption (an implementation of
// the tests' own, kept apart from the writer's).
QByteArray pkwareDecrypt(const QByteArray &password, const QByteArray &cipher);

} // namespace dozorix::test
