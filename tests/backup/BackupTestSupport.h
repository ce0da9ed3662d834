#pragma once
// Helpers of the backup tests: files on disk, the real archive readers, an
// independent reading of the ZIP bytes, and a way for root to be refused a
// file the way any other user would be.

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include "support/TestSupport.h" // PrintTo for QString, waitUntil

#include <cstdint>
#include <memory>
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


// Writes bytes to the file, creating the folders on the way.
void writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);
// Sets the access and modification times (seconds since 1970, UTC).
void setFileTimes(const QString &path, qint64 atimeSec, long atimeNsec, qint64 mtimeSec, long mtimeNsec);

// Deterministic test data: text that compresses well, and bytes that do not.
QByteArray textBytes(qsizetype size, quint32 seed);
QByteArray randomBytes(qsizetype size, quint32 seed);
// A database-like mix of text, random and zero pages (crosses chunk sizes).
QByteArray mixedBytes(qsizetype size, quint32 seed);

struct PeerRun {
    int exitCode = -1;
    QString output;
    bool ok() const { return exitCode == 0; }
};
// The readers run as an administrator runs them, in a UTF-8 locale (C.UTF-8,
// whatever the locale of the test run): in the C locale unzip writes
// non-ASCII names as "#Uxxxx" escapes and bsdtar refuses them.
PeerRun runPeer(const QString &program, const QStringList &args, int timeoutMs = 120000);

// One of the backup's own programs (dozorix-zip, dozorix-copy from the
// program directory) run as a child process in a UTF-8 locale, optionally
// under a file-size limit (setrlimit RLIMIT_FSIZE, as "ulimit -f" sets it,
// in bytes; 0 for none). A program that has not ended after timeoutMs is
// killed, so a program that hangs fails the test instead of stopping it.
// input, when given, is what the program reads on its standard input.
struct ToolRun {
    bool timedOut = false;
    int signal = 0;    // the signal that ended the program, or 0
    int exitCode = -1; // when it ended by itself
    QString out;
    QString err;
    QString describe() const;
};
ToolRun runTool(const QString &program, const QStringList &args, quint64 fileSizeLimit = 0,
                int timeoutMs = 60000, const QByteArray &input = QByteArray());

// The names in a folder (hidden ones included), sorted.
QStringList folderEntries(const QString &folder);

// While it lives, frees a reader blocked in open() on the FIFO once
// graceMs have passed (by opening it for writing and closing it again, so
// the reader sees an empty file): a read that blocks then shows as a wrong
// result rather than a test that never ends. released() tells whether it
// had to.
class FifoWatchdog
{
public:
    explicit FifoWatchdog(const QString &fifo, int graceMs = 5000);
    ~FifoWatchdog();
    FifoWatchdog(const FifoWatchdog &) = delete;
    FifoWatchdog &operator=(const FifoWatchdog &) = delete;
    bool released() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

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

// Removes a folder tree whatever bytes its names hold (QDir cannot remove a
// name that is not UTF-8).
void removeTree(const QByteArray &nativePath);

// Reads bytes at an offset of a file.
QByteArray readAt(const QString &path, quint64 offset, qsizetype size);

// Decrypts bytes of the traditional PKWARE encryption (an implementation of
// the tests' own, kept apart from the writer's).
QByteArray pkwareDecrypt(const QByteArray &password, const QByteArray &cipher);

// Root reads and writes any file whatever its permission bits. For the
// lifetime of this object the calling thread (and threads it starts) lose
// that power, so permission failures happen as they do for other users.
class NoPermissionOverride
{
public:
    // alsoOtherProcesses: root also loses its look into other users'
    // processes (CAP_SYS_PTRACE: their /proc/<pid>/fd), as any user lacks it.
    explicit NoPermissionOverride(bool alsoOtherProcesses = false);
    ~NoPermissionOverride();
    NoPermissionOverride(const NoPermissionOverride &) = delete;
    NoPermissionOverride &operator=(const NoPermissionOverride &) = delete;
    bool active() const { return m_ok; }

private:
    bool m_root = false;
    bool m_ok = false;
    quint32 m_saved[2] = {0, 0};
};

} // namespace dozorix::test
