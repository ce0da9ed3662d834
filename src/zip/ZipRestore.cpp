#include "zip/ZipRestore.h"

#include "common/FdIo.h"
#include "common/SystemErrors.h"
#include "common/TextCodec.h"
#include "zip/ZipNames.h"
#include "zip/ZipRecords.h"

#include <QFile>
#include <QHash>
#include <QRandomGenerator>

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace dozorix {

namespace {


QString quoted(const QString &text) { return QStringLiteral("«") + text + QStringLiteral("»"); }

// libarchive converts names to and from the thread's locale; the names it
// gives are taken as UTF-8 whatever locale the program runs in (cron's C
// locale too).
class Utf8Locale
{
public:
    Utf8Locale() : m_locale(::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr)))
    {
        if (m_locale)
            m_previous = ::uselocale(m_locale);
    }
    ~Utf8Locale()
    {
        if (m_locale) {
            ::uselocale(m_previous);
            ::freelocale(m_locale);
        }
    }
    Utf8Locale(const Utf8Locale &) = delete;
    Utf8Locale &operator=(const Utf8Locale &) = delete;

private:
    locale_t m_locale;
    locale_t m_previous = LC_GLOBAL_LOCALE;
};

// A descriptor closed with its owner.
class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&o) noexcept : m_fd(o.release()) {}
    Fd &operator=(Fd &&o) noexcept
    {
        if (this != &o) {
            reset();
            m_fd = o.release();
        }
        return *this;
    }
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

// ---------------------------------------------------------------------------
// The names of the central directory. libarchive gives an entry's name as
// the bytes of its local header (or of the Unicode Path field there); how
// those bytes are to be read depends on bit 11, the field and the system
// that made the archive, which the central directory holds.


// Systems whose archivers write names in the OEM code page (IBM 866 on a
// Russian Windows): MS-DOS/FAT, OS/2 HPFS, Windows NTFS, VFAT.
bool oemHost(quint8 host) { return host == 0 || host == 6 || host == 10 || host == 14; }

QString decodeStoredName(const QByteArray &raw, quint16 flags, quint8 host, const QByteArray &unicodePath)
{
    if (!unicodePath.isNull())
        return QString::fromUtf8(unicodePath);
    if (flags & kUtf8NameFlag)
        return QString::fromUtf8(raw);
    if (oemHost(host) || !isValidUtf8(raw))
        return fromCp866(raw);
    return QString::fromUtf8(raw);
}

// libarchive turns "\" into "/" in some names; keys are compared that way.
QByteArray nameKey(QByteArray bytes) { return bytes.replace('\\', '/'); }

// What the central directory says of one entry beyond libarchive: how its
// name reads, and its times to the 100 ns from the NTFS field the backup's
// writer adds (libarchive takes the DOS time, to the 2 s).
struct CentralEntry {
    QString name;
    bool ntfsTimes = false;
    struct timespec mtime{};
    struct timespec atime{};
};

class CentralNames
{
public:
    bool read(const QByteArray &path, QString *error);
    size_t count() const { return m_entries.size(); }
    // The entry libarchive calls so; null when the central directory has no
    // such entry or two entries answer to it differently.
    const CentralEntry *lookup(const QByteArray &libarchiveName) const
    {
        const auto it = m_index.constFind(nameKey(libarchiveName));
        return it == m_index.constEnd() || *it < 0 ? nullptr : &m_entries[static_cast<size_t>(*it)];
    }

private:
    void add(const QByteArray &key, int entry)
    {
        const auto it = m_index.constFind(key);
        if (it == m_index.constEnd())
            m_index.insert(key, entry);
        else if (*it != entry && (*it < 0 || m_entries[static_cast<size_t>(*it)].name != m_entries[static_cast<size_t>(entry)].name))
            m_index[key] = -1; // two entries, two readings: neither is trusted
    }

    std::vector<CentralEntry> m_entries;
    QHash<QByteArray, int> m_index;
};

// FILETIME (100 ns since 1601) to the Unix clock.
struct timespec fromFileTime(quint64 ft)
{
    constexpr quint64 kUnixEpoch = 116444736000000000ULL;
    const qint64 since = static_cast<qint64>(ft) - static_cast<qint64>(kUnixEpoch);
    qint64 sec = since / 10000000;
    qint64 rest = since % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --sec;
    }
    return {static_cast<time_t>(sec), static_cast<long>(rest * 100)};
}

bool readExactly(QFile &f, qint64 at, qint64 n, QByteArray *out)
{
    if (!f.seek(at))
        return false;
    *out = f.read(n);
    return out->size() == n;
}

bool CentralNames::read(const QByteArray &path, QString *error)
{
    const QString damaged = QStringLiteral("центральный каталог архива не читается: архив обрезан или повреждён");
    QFile f(QFile::decodeName(path));
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("архив не открывается");
        return false;
    }
    const qint64 size = f.size();
    const qint64 tail = std::min<qint64>(size, kEndRecordSize + kMaxCommentSize);
    QByteArray buf;
    if (tail < kEndRecordSize || !readExactly(f, size - tail, tail, &buf)) {
        *error = QStringLiteral("нет записи о конце центрального каталога: архив обрезан или это не ZIP-архив");
        return false;
    }
    const auto *p = reinterpret_cast<const unsigned char *>(buf.constData());
    qint64 eocd = -1;
    for (qint64 i = tail - kEndRecordSize; i >= 0; --i) {
        if (le32(p + i) == kEndSignature) {
            eocd = i;
            break;
        }
    }
    if (eocd < 0) {
        *error = QStringLiteral("нет записи о конце центрального каталога: архив обрезан или это не ZIP-архив");
        return false;
    }
    quint64 count = le16(p + eocd + kEndEntriesField);
    quint64 length = le32(p + eocd + kEndDirectorySizeField);
    quint64 start = le32(p + eocd + kEndDirectoryOffsetField);
    const quint64 eocdAt = static_cast<quint64>(size - tail + eocd);
    quint64 dirEnd = eocdAt;
    if (eocd >= kZip64LocatorSize && le32(p + eocd - kZip64LocatorSize) == kZip64LocatorSignature) {
        QByteArray rec;
        const quint64 at = le64(p + eocd - kZip64LocatorSize + kZip64LocatorEndOffsetField);
        if (at > static_cast<quint64>(size) || !readExactly(f, static_cast<qint64>(at), kZip64EndSize, &rec)
            || le32(reinterpret_cast<const unsigned char *>(rec.constData())) != kZip64EndSignature) {
            *error = damaged;
            return false;
        }
        const auto *q = reinterpret_cast<const unsigned char *>(rec.constData());
        count = le64(q + kZip64EndEntriesField);
        length = le64(q + kZip64EndDirectorySizeField);
        start = le64(q + kZip64EndDirectoryOffsetField);
        dirEnd = at;
    }
    if (length > dirEnd) {
        *error = damaged;
        return false;
    }
    // Data put before the archive (a self-extracting stub) shifts every
    // offset: the directory then ends where the end record begins.
    if (start + length != dirEnd)
        start = dirEnd - length;
    if (!f.seek(static_cast<qint64>(start))) {
        *error = damaged;
        return false;
    }
    quint64 left = length;
    for (quint64 n = 0; n < count; ++n) {
        unsigned char h[kCentralHeaderSize];
        if (left < sizeof h || f.read(reinterpret_cast<char *>(h), sizeof h) != static_cast<qint64>(sizeof h)
            || le32(h) != kCentralHeaderSignature) {
            *error = damaged;
            return false;
        }
        const quint8 host = h[kCentralHostField];
        const quint16 flags = le16(h + kCentralFlagsField);
        const quint16 nameLen = le16(h + kCentralNameLengthField), extraLen = le16(h + kCentralExtraLengthField),
                      commentLen = le16(h + kCentralCommentLengthField);
        const quint64 recordLen = sizeof h + nameLen + extraLen + commentLen;
        if (left < recordLen) {
            *error = damaged;
            return false;
        }
        const QByteArray raw = f.read(nameLen);
        const QByteArray extra = f.read(extraLen);
        if (raw.size() != nameLen || extra.size() != extraLen || (commentLen && !f.seek(f.pos() + commentLen))) {
            *error = damaged;
            return false;
        }
        left -= recordLen;
        // The Info-ZIP Unicode Path field, taken when it belongs to this
        // very name (version 1, the CRC-32 of the stored name); the NTFS
        // field's times.
        QByteArray unicodePath;
        CentralEntry entry;
        const auto *x = reinterpret_cast<const unsigned char *>(extra.constData());
        for (qsizetype at = 0; at + 4 <= extra.size();) {
            const quint16 tag = le16(x + at), len = le16(x + at + 2);
            if (at + 4 + len > extra.size())
                break;
            if (tag == kUnicodePathTag && len >= 5 && x[at + 4] == 1) {
                const quint32 crc = static_cast<quint32>(
                    ::crc32(0, reinterpret_cast<const Bytef *>(raw.constData()), static_cast<uInt>(raw.size())));
                const QByteArray value = extra.mid(at + 9, len - 5);
                if (le32(x + at + 5) == crc && isValidUtf8(value))
                    unicodePath = value.isNull() ? QByteArray("") : value;
            } else if (tag == kNtfsTag && len >= 32 && le16(x + at + 8) == 1 && le16(x + at + 10) >= 24) {
                const quint64 mtime = le64(x + at + 12), atime = le64(x + at + 20);
                if (mtime) {
                    entry.ntfsTimes = true;
                    entry.mtime = fromFileTime(mtime);
                    entry.atime = fromFileTime(atime ? atime : mtime);
                }
            }
            at += 4 + len;
        }
        entry.name = decodeStoredName(raw, flags, host, unicodePath);
        m_entries.push_back(entry);
        const int index = static_cast<int>(m_entries.size() - 1);
        add(nameKey(raw), index);
        if (!unicodePath.isNull())
            add(nameKey(unicodePath), index);
    }
    return true;
}

// ---------------------------------------------------------------------------
// libarchive.

class ArchiveReader
{
public:
    ArchiveReader() = default;
    ~ArchiveReader()
    {
        if (m_a)
            archive_read_free(m_a);
    }
    ArchiveReader(const ArchiveReader &) = delete;
    ArchiveReader &operator=(const ArchiveReader &) = delete;

    bool open(const QByteArray &path, const QList<QByteArray> &passwords)
    {
        m_a = archive_read_new();
        if (!m_a)
            return false;
        archive_read_support_format_zip_seekable(m_a);
        for (const QByteArray &p : passwords)
            archive_read_add_passphrase(m_a, p.constData());
        return archive_read_open_filename(m_a, path.constData(), 1 << 16) == ARCHIVE_OK;
    }
    // The next header; ARCHIVE_OK (a warning included), ARCHIVE_EOF or a failure.
    int next(archive_entry **entry)
    {
        const int r = archive_read_next_header(m_a, entry);
        if (r == ARCHIVE_OK || r == ARCHIVE_WARN) {
            ++m_index;
            return ARCHIVE_OK;
        }
        return r;
    }
    // Moves to the entry with this index (counted from 0) from the start.
    bool seekTo(int index, const QByteArray &pathname)
    {
        archive_entry *e = nullptr;
        while (m_index < index) {
            if (next(&e) != ARCHIVE_OK)
                return false;
        }
        const char *p = archive_entry_pathname(e);
        return m_index == index && e && p && pathname == p;
    }
    archive *handle() const { return m_a; }

private:
    archive *m_a = nullptr;
    int m_index = -1;
};

// What libarchive said, as the console says it; otherwise, the words for
// anything else.
QString readerReason(archive *a, const QString &otherwise = QStringLiteral("данные записи не читаются"))
{
    const QString said = QString::fromUtf8(archive_error_string(a) ? archive_error_string(a) : "");
    const int err = archive_errno(a);
    QString russian;
    if (said.contains(QLatin1String("CRC")))
        russian = QStringLiteral("контрольная сумма (CRC-32) не сходится: данные записи повреждены");
    else if (said.contains(QLatin1String("decompression failed")) || said.contains(QLatin1String("Bad deflate")))
        russian = QStringLiteral("сжатые данные записи не распаковываются: они повреждены");
    else if (said.contains(QLatin1String("Truncated")))
        russian = QStringLiteral("архив обрезан: данные записи кончаются раньше, чем должны");
    else if (said.contains(QLatin1String("Unsupported")) || said.contains(QLatin1String("unsupported")))
        russian = QStringLiteral("способ сжатия или шифрования записи не поддерживается");
    else if (err > 0 && err != EILSEQ && err != EINVAL)
        return systemErrorText(err);
    else
        russian = otherwise;
    return said.isEmpty() ? russian : russian + QStringLiteral(" (") + said + QLatin1Char(')');
}

bool wrongPasswordSaid(archive *a)
{
    const char *s = archive_error_string(a);
    return s && std::strstr(s, "Incorrect passphrase");
}

bool passwordMissingSaid(archive *a)
{
    const char *s = archive_error_string(a);
    return s && std::strstr(s, "Passphrase required");
}

// ---------------------------------------------------------------------------
// The entries.

struct Planned {
    QByteArray pathname; // as libarchive gives it
    QString name;
    QStringList parts;
    ZipRestoreEntry::Kind kind = ZipRestoreEntry::File;
    bool sizeKnown = false;
    quint64 size = 0;
    bool encrypted = false;
    QByteArray linkTarget;
    mode_t perm = 0644;
    bool hasMtime = false;
    struct timespec mtime{};
    bool hasAtime = false;
    struct timespec atime{};
    bool skip = false; // the root, or a folder named twice
};

// Where data goes: nowhere but counted (a test), or a file.
class Sink
{
public:
    virtual ~Sink() = default;
    virtual bool reset(int *err) = 0;
    virtual bool write(const char *data, size_t size, int *err) = 0;
};

class CountingSink : public Sink
{
public:
    bool reset(int *) override { return true; }
    bool write(const char *, size_t, int *) override { return true; }
};

class FileSink : public Sink
{
public:
    explicit FileSink(int fd) : m_fd(fd) {}
    bool reset(int *err) override
    {
        if (::ftruncate(m_fd, 0) != 0 || ::lseek(m_fd, 0, SEEK_SET) != 0) {
            *err = errno;
            return false;
        }
        return true;
    }
    bool write(const char *data, size_t size, int *err) override
    {
        return writeAllToFd(m_fd, data, static_cast<long long>(size), err);
    }

private:
    int m_fd;
};

struct ReadOutcome {
    enum Kind { Ok, Source, WrongPassword, NoPassword, Sink, Stopped } kind = Ok;
    QString why;
    quint64 bytes = 0;
};

bool stopped(const ZipRestoreOptions &o) { return o.stop && o.stop->load(); }

ReadOutcome readData(archive *a, const Planned &p, Sink &sink, const ZipRestoreOptions &options)
{
    ReadOutcome out;
    for (;;) {
        if (stopped(options)) {
            out.kind = ReadOutcome::Stopped;
            return out;
        }
        const void *block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        const int r = archive_read_data_block(a, &block, &size, &offset);
        if (r == ARCHIVE_EOF)
            break;
        if (r != ARCHIVE_OK) {
            // A CRC that does not match comes as a warning: every word from
            // the reader but "done" is a failure.
            out.kind = wrongPasswordSaid(a)    ? ReadOutcome::WrongPassword
                       : passwordMissingSaid(a) ? ReadOutcome::NoPassword
                                                : ReadOutcome::Source;
            out.why = readerReason(a);
            return out;
        }
        if (static_cast<quint64>(offset) != out.bytes) {
            out.kind = ReadOutcome::Source;
            out.why = QStringLiteral("данные записи идут не по порядку");
            return out;
        }
        int err = 0;
        if (size && !sink.write(static_cast<const char *>(block), size, &err)) {
            out.kind = ReadOutcome::Sink;
            out.why = systemErrorText(err);
            return out;
        }
        out.bytes += size;
    }
    if (p.sizeKnown && out.bytes != p.size) {
        out.kind = ReadOutcome::Source;
        out.why = QStringLiteral("размер не сходится: прочитано %1 байт вместо %2").arg(out.bytes).arg(p.size);
    }
    return out;
}

QString wrongPasswordText(const QString &name)
{
    return QStringLiteral("Неверный пароль: он не подошёл ни в кодировке Windows-1251 (так пароль записывает "
                          "резервное копирование), ни в UTF-8 (запись %1).")
        .arg(quoted(name));
}

QString noPasswordText(const QString &name)
{
    return QStringLiteral("Архив зашифрован (запись %1), а пароль не указан: укажите его (--password-stdin или "
                          "--password).")
        .arg(quoted(name));
}

// ---------------------------------------------------------------------------
// One run: the check of every entry, then the data.

class Restore
{
public:
    Restore(const QString &archivePath, const ZipRestoreOptions &options)
        : m_archive(QFile::encodeName(archivePath)), m_options(options)
    {
        if (options.password)
            m_candidates = zipPasswordCandidates(*options.password);
    }

    ZipRestoreResult test();
    ZipRestoreResult extract(const QString &folder);

private:
    bool openArchive(ArchiveReader &reader, const QList<QByteArray> &passwords);
    bool plan();
    bool checkTree();
    bool checkDisk();
    template <typename PerEntry>
    bool readAll(PerEntry perEntry);
    bool readEntry(int index, Planned &p, Sink &sink);
    void fail(ZipRestoreStatus status, const QString &entry, const QString &text)
    {
        m_result.status = status;
        m_result.entry = entry;
        m_result.error = text;
    }
    void count(const Planned &p, quint64 bytes)
    {
        switch (p.kind) {
        case ZipRestoreEntry::File: ++m_result.files; break;
        case ZipRestoreEntry::Folder: ++m_result.folders; break;
        case ZipRestoreEntry::Link: ++m_result.links; break;
        }
        m_result.bytes += bytes;
        if (m_options.onEntry)
            m_options.onEntry({p.name, p.kind, bytes, QString::fromUtf8(p.linkTarget)});
    }

    // Extraction.
    Fd openFolder(const QStringList &parts, bool create, QString *why);
    bool writeFile(int index, Planned &p);
    bool writeLink(const Planned &p);
    void finishFolders();
    void rollBack();

    QByteArray m_archive;
    ZipRestoreOptions m_options;
    QList<QByteArray> m_candidates;
    bool m_passwordProven = false; // an encrypted entry has read back whole
    std::unique_ptr<ArchiveReader> m_reader;
    std::vector<Planned> m_plan;
    ZipRestoreResult m_result;

    QString m_folder;
    Fd m_root;
    bool m_rootExisted = false;
    std::vector<QByteArray> m_createdRoot;   // the folder itself and its parents, made by this run
    std::vector<QStringList> m_createdFolders;
    std::vector<QStringList> m_createdFiles; // files and links
    mode_t m_umask = 022;
};

bool Restore::openArchive(ArchiveReader &reader, const QList<QByteArray> &passwords)
{
    if (reader.open(m_archive, passwords))
        return true;
    fail(ZipRestoreStatus::Failed, QString(),
         QStringLiteral("Архив %1 не открывается: %2.")
             .arg(quoted(QFile::decodeName(m_archive)),
                  readerReason(reader.handle(), QStringLiteral("архив повреждён или это не ZIP-архив"))));
    return false;
}

// Every entry's name, kind and link read and checked, the password tried,
// before anything is written.
bool Restore::plan()
{
    {
        struct stat st;
        const int fd = ::open(m_archive.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            const int err = fd < 0 ? errno : 0;
            if (fd >= 0)
                ::close(fd);
            fail(ZipRestoreStatus::Failed, QString(),
                 QStringLiteral("Архив %1 не открывается: %2.")
                     .arg(quoted(QFile::decodeName(m_archive)),
                          err ? systemErrorText(err) : QStringLiteral("это не обычный файл")));
            return false;
        }
        ::close(fd);
    }
    CentralNames names;
    QString why;
    if (!names.read(m_archive, &why)) {
        fail(ZipRestoreStatus::Failed, QString(),
             QStringLiteral("Архив %1 не читается: %2.").arg(quoted(QFile::decodeName(m_archive)), why));
        return false;
    }
    if (names.count() == 0)
        return true; // an empty archive, which libarchive does not take for one
    auto reader = std::make_unique<ArchiveReader>();
    if (!openArchive(*reader, m_candidates))
        return false;
    for (int index = 0;; ++index) {
        if (stopped(m_options)) {
            fail(ZipRestoreStatus::Stopped, QString(), QStringLiteral("Прервано."));
            return false;
        }
        archive_entry *e = nullptr;
        const int r = reader->next(&e);
        if (r == ARCHIVE_EOF)
            break;
        if (r != ARCHIVE_OK) {
            fail(ZipRestoreStatus::Failed, QString(),
                 QStringLiteral("Заголовок записи №%1 не читается: %2.").arg(index + 1).arg(readerReason(reader->handle())));
            return false;
        }
        Planned p;
        const char *pathname = archive_entry_pathname(e);
        p.pathname = pathname ? QByteArray(pathname) : QByteArray();
        const CentralEntry *central = pathname ? names.lookup(p.pathname) : nullptr;
        if (!central) {
            fail(ZipRestoreStatus::Refused, QString::fromUtf8(p.pathname),
                 QStringLiteral("Архив отклонён, ничего не записано: имя записи №%1 %2 в её заголовке не совпадает "
                                "с центральным каталогом архива.")
                     .arg(index + 1)
                     .arg(quoted(QString::fromUtf8(p.pathname))));
            return false;
        }
        p.name = central->name;
        auto refuse = [&](const QString &reason) {
            fail(ZipRestoreStatus::Refused, p.name,
                 QStringLiteral("Архив отклонён, ничего не записано: %1 — %2.").arg(quoted(p.name), reason));
            return false;
        };
        p.parts = restorePathOf(p.name, &why);
        if (!why.isEmpty())
            return refuse(why);
        const mode_t type = archive_entry_filetype(e);
        if (archive_entry_hardlink(e))
            return refuse(QStringLiteral("жёсткая ссылка; такие записи не восстанавливаются"));
        if (type == AE_IFDIR)
            p.kind = ZipRestoreEntry::Folder;
        else if (type == AE_IFLNK)
            p.kind = ZipRestoreEntry::Link;
        else if (type != AE_IFREG)
            return refuse(QStringLiteral("особый файл (устройство, FIFO или сокет); такие записи не восстанавливаются"));
        if (p.parts.isEmpty()) {
            if (p.kind != ZipRestoreEntry::Folder)
                return refuse(QStringLiteral("пустое имя"));
            p.skip = true;
        }
        p.sizeKnown = archive_entry_size_is_set(e);
        p.size = p.sizeKnown ? static_cast<quint64>(archive_entry_size(e)) : 0;
        p.encrypted = archive_entry_is_data_encrypted(e);
        p.perm = archive_entry_perm(e) & 0777;
        if (central->ntfsTimes) {
            p.hasMtime = p.hasAtime = true;
            p.mtime = central->mtime;
            p.atime = central->atime;
        } else {
            if ((p.hasMtime = archive_entry_mtime_is_set(e)))
                p.mtime = {static_cast<time_t>(archive_entry_mtime(e)), archive_entry_mtime_nsec(e)};
            if ((p.hasAtime = archive_entry_atime_is_set(e)))
                p.atime = {static_cast<time_t>(archive_entry_atime(e)), archive_entry_atime_nsec(e)};
        }
        if (p.kind == ZipRestoreEntry::Link) {
            const char *target = archive_entry_symlink(e);
            if (!target || !*target)
                return refuse(QStringLiteral("символическая ссылка без цели"));
            p.linkTarget = target;
        }
        if (p.encrypted && p.kind == ZipRestoreEntry::File) {
            if (m_candidates.isEmpty()) {
                fail(ZipRestoreStatus::NoPassword, p.name, noPasswordText(p.name));
                return false;
            }
            // One byte is enough for the reader to try the password on the
            // entry's encryption header.
            char byte;
            const la_ssize_t n = archive_read_data(reader->handle(), &byte, 1);
            if (n < 0 && wrongPasswordSaid(reader->handle())) {
                fail(ZipRestoreStatus::WrongPassword, p.name, wrongPasswordText(p.name));
                return false;
            }
            if (n == ARCHIVE_FATAL) {
                // The data will tell why when it is read; the reader that
                // failed on it reads no further.
                reader = std::make_unique<ArchiveReader>();
                if (!openArchive(*reader, m_candidates) || !reader->seekTo(index, p.pathname)) {
                    if (m_result.error.isEmpty())
                        fail(ZipRestoreStatus::Failed, p.name,
                             QStringLiteral("Архив не читается дальше записи %1.").arg(quoted(p.name)));
                    return false;
                }
            }
        }
        m_plan.push_back(std::move(p));
    }
    m_result.entries = static_cast<int>(m_plan.size());
    return checkTree();
}

// Names twice, entries under files or links, links out of the folder.
bool Restore::checkTree()
{
    QHash<QString, ZipRestoreEntry::Kind> kinds;
    for (Planned &p : m_plan) {
        if (p.skip)
            continue;
        const QString path = p.parts.join(QLatin1Char('/'));
        const auto it = kinds.constFind(path);
        if (it != kinds.constEnd()) {
            if (*it == ZipRestoreEntry::Folder && p.kind == ZipRestoreEntry::Folder) {
                p.skip = true;
                continue;
            }
            fail(ZipRestoreStatus::Refused, p.name,
                 QStringLiteral("Архив отклонён, ничего не записано: %1 встречается в архиве дважды.").arg(quoted(p.name)));
            return false;
        }
        kinds.insert(path, p.kind);
    }
    for (const Planned &p : m_plan) {
        if (p.skip)
            continue;
        auto refuse = [&](const QString &reason) {
            fail(ZipRestoreStatus::Refused, p.name,
                 QStringLiteral("Архив отклонён, ничего не записано: %1 — %2.").arg(quoted(p.name), reason));
            return false;
        };
        for (qsizetype n = 1; n < p.parts.size(); ++n) {
            const QString prefix = p.parts.mid(0, n).join(QLatin1Char('/'));
            const auto it = kinds.constFind(prefix);
            if (it == kinds.constEnd() || *it == ZipRestoreEntry::Folder)
                continue;
            return refuse(*it == ZipRestoreEntry::Link
                              ? QStringLiteral("путь проходит через символическую ссылку %1 из того же архива").arg(quoted(prefix))
                              : QStringLiteral("%1 в архиве — файл, а не папка").arg(quoted(prefix)));
        }
        if (p.kind != ZipRestoreEntry::Link)
            continue;
        const QString target = QString::fromUtf8(p.linkTarget);
        QString t = target;
        t.replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (t.startsWith(QLatin1Char('/')) || (t.size() >= 2 && t[1] == QLatin1Char(':') && t[0].isLetter()))
            return refuse(QStringLiteral("символическая ссылка на %1 ведёт за пределы папки").arg(quoted(target)));
        QStringList at = p.parts.mid(0, p.parts.size() - 1);
        for (const QString &component : t.split(QLatin1Char('/'))) {
            if (component.isEmpty() || component == QLatin1String("."))
                continue;
            if (component == QLatin1String("..")) {
                if (at.isEmpty())
                    return refuse(QStringLiteral("символическая ссылка на %1 ведёт за пределы папки").arg(quoted(target)));
                at.removeLast();
                continue;
            }
            at << component;
            const auto it = kinds.constFind(at.join(QLatin1Char('/')));
            if (it != kinds.constEnd() && *it == ZipRestoreEntry::Link)
                return refuse(QStringLiteral("символическая ссылка на %1 ведёт через другую ссылку архива").arg(quoted(target)));
        }
    }
    return true;
}

// What already stands in the folder: never overwritten, never gone through.
bool Restore::checkDisk()
{
    if (!m_root.valid())
        return true;
    for (const Planned &p : m_plan) {
        if (p.skip)
            continue;
        for (qsizetype n = 1; n <= p.parts.size(); ++n) {
            const QString rel = p.parts.mid(0, n).join(QLatin1Char('/'));
            struct stat st;
            if (::fstatat(m_root.get(), QFile::encodeName(rel).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                break; // missing: made by the run
            const bool last = n == p.parts.size();
            if (S_ISDIR(st.st_mode) && (!last || p.kind == ZipRestoreEntry::Folder))
                continue;
            QString what = S_ISLNK(st.st_mode) ? QStringLiteral("символическая ссылка")
                           : S_ISDIR(st.st_mode) ? QStringLiteral("папка")
                           : S_ISREG(st.st_mode) ? QStringLiteral("файл")
                                                 : QStringLiteral("особый файл");
            const QString text =
                last ? QStringLiteral("Архив отклонён, ничего не записано: %1 уже есть в папке %2 (%3); существующее "
                                      "не перезаписывается — распакуйте в пустую папку или уберите его.")
                           .arg(quoted(p.name), quoted(m_folder), what)
                     : QStringLiteral("Архив отклонён, ничего не записано: для %1 нужна папка %2, а в папке %3 на её "
                                      "месте стоит %4.")
                           .arg(quoted(p.name), quoted(rel), quoted(m_folder), what);
            fail(ZipRestoreStatus::Refused, p.name, text);
            return false;
        }
    }
    return true;
}

// Reads one entry's data into the sink. A password that passes an entry's
// one-byte check by chance but is not the right one gives data that fails:
// such an entry is read again with each password alone.
bool Restore::readEntry(int index, Planned &p, Sink &sink)
{
    ReadOutcome out = readData(m_reader->handle(), p, sink, m_options);
    if (out.kind == ReadOutcome::Source && p.encrypted && m_candidates.size() > 1) {
        for (const QByteArray &candidate : m_candidates) {
            auto reader = std::make_unique<ArchiveReader>();
            int err = 0;
            if (!reader->open(m_archive, {candidate}) || !reader->seekTo(index, p.pathname) || !sink.reset(&err))
                continue;
            const ReadOutcome again = readData(reader->handle(), p, sink, m_options);
            if (again.kind == ReadOutcome::Ok) {
                m_reader = std::move(reader);
                out = again;
                break;
            }
            if (again.kind == ReadOutcome::Stopped || again.kind == ReadOutcome::Sink) {
                out = again;
                break;
            }
        }
    }
    switch (out.kind) {
    case ReadOutcome::Ok:
        p.size = out.bytes;
        m_passwordProven = m_passwordProven || p.encrypted;
        return true;
    case ReadOutcome::Stopped:
        fail(ZipRestoreStatus::Stopped, p.name, QStringLiteral("Прервано на записи %1.").arg(quoted(p.name)));
        return false;
    case ReadOutcome::WrongPassword:
        fail(ZipRestoreStatus::WrongPassword, p.name, wrongPasswordText(p.name));
        return false;
    case ReadOutcome::NoPassword:
        fail(ZipRestoreStatus::NoPassword, p.name, noPasswordText(p.name));
        return false;
    case ReadOutcome::Sink:
        fail(ZipRestoreStatus::Failed, p.name,
             QStringLiteral("Запись %1 не записана на диск: %2.").arg(quoted(p.name), out.why));
        return false;
    case ReadOutcome::Source:
        fail(ZipRestoreStatus::Failed, p.name,
             QStringLiteral("Запись %1 не читается: %2%3.")
                 .arg(quoted(p.name), out.why,
                      p.encrypted && !m_passwordProven ? QStringLiteral(" (или пароль неверен)") : QString()));
        return false;
    }
    return false;
}

template <typename PerEntry>
bool Restore::readAll(PerEntry perEntry)
{
    if (m_plan.empty())
        return true;
    m_reader = std::make_unique<ArchiveReader>();
    if (!openArchive(*m_reader, m_candidates))
        return false;
    for (int index = 0; index < static_cast<int>(m_plan.size()); ++index) {
        Planned &p = m_plan[static_cast<size_t>(index)];
        if (stopped(m_options)) {
            fail(ZipRestoreStatus::Stopped, p.name, QStringLiteral("Прервано на записи %1.").arg(quoted(p.name)));
            return false;
        }
        if (!m_reader->seekTo(index, p.pathname)) {
            fail(ZipRestoreStatus::Failed, p.name,
                 QStringLiteral("Заголовок записи %1 не читается: %2.").arg(quoted(p.name), readerReason(m_reader->handle())));
            return false;
        }
        if (!perEntry(index, p))
            return false;
    }
    return true;
}

ZipRestoreResult Restore::test()
{
    Utf8Locale utf8;
    if (!plan())
        return m_result;
    CountingSink sink;
    const bool ok = readAll([&](int index, Planned &p) {
        if (p.kind != ZipRestoreEntry::File) {
            if (!p.skip)
                count(p, 0);
            return true;
        }
        if (!readEntry(index, p, sink))
            return false;
        count(p, p.size);
        return true;
    });
    if (ok)
        m_result.status = ZipRestoreStatus::Done;
    return m_result;
}

// ---------------------------------------------------------------------------
// Extraction.

// The folder at parts below the root, each step opened without following a
// link; with create, the missing ones are made (and remembered).
Fd Restore::openFolder(const QStringList &parts, bool create, QString *why)
{
    Fd cur(::dup(m_root.get()));
    for (qsizetype n = 0; n < parts.size() && cur.valid(); ++n) {
        const QByteArray name = QFile::encodeName(parts[n]);
        int fd = ::openat(cur.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT && create) {
            if (::mkdirat(cur.get(), name.constData(), 0777) == 0)
                m_createdFolders.push_back(parts.mid(0, n + 1));
            else if (errno != EEXIST) {
                *why = QStringLiteral("папка %1 не создаётся: %2")
                           .arg(quoted(parts.mid(0, n + 1).join(QLatin1Char('/'))), systemErrorText(errno));
                return Fd();
            }
            fd = ::openat(cur.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (fd < 0) {
            const int err = errno;
            *why = QStringLiteral("папка %1 не открывается: %2")
                       .arg(quoted(parts.mid(0, n + 1).join(QLatin1Char('/'))),
                            err == ELOOP || err == ENOTDIR ? QStringLiteral("на её месте стоит не папка")
                                                           : systemErrorText(err));
            return Fd();
        }
        cur = Fd(fd);
    }
    return cur;
}

void applyTimes(int dirfd, const char *name, const Planned &p, int flags)
{
    if (!p.hasMtime)
        return;
    struct timespec t[2];
    t[0] = p.hasAtime ? p.atime : p.mtime;
    t[1] = p.mtime;
    ::utimensat(dirfd, name, t, flags);
}

bool Restore::writeFile(int index, Planned &p)
{
    QString why;
    const Fd parent = openFolder(p.parts.mid(0, p.parts.size() - 1), true, &why);
    if (!parent.valid()) {
        fail(ZipRestoreStatus::Failed, p.name, QStringLiteral("Запись %1 не восстановлена: %2.").arg(quoted(p.name), why));
        return false;
    }
    // Written under a temporary name of the same folder, renamed when whole.
    QByteArray temp;
    Fd fd;
    for (int attempt = 0; attempt < 100 && !fd.valid(); ++attempt) {
        temp = ".dozorix-restore-" + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
        fd = Fd(::openat(parent.get(), temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.valid() && errno != EEXIST)
            break;
    }
    if (!fd.valid()) {
        fail(ZipRestoreStatus::Failed, p.name,
             QStringLiteral("Запись %1 не восстановлена: файл не создаётся (%2).").arg(quoted(p.name), systemErrorText(errno)));
        return false;
    }
    FileSink sink(fd.get());
    bool ok = readEntry(index, p, sink);
    int err = 0;
    if (ok) {
        ::fchmod(fd.get(), p.perm & ~m_umask);
        if (p.hasMtime) {
            struct timespec t[2] = {p.hasAtime ? p.atime : p.mtime, p.mtime};
            ::futimens(fd.get(), t);
        }
        if (::close(fd.release()) != 0) {
            err = errno;
            ok = false;
        }
    }
    const QByteArray final = QFile::encodeName(p.parts.last());
    if (ok && ::renameat2(parent.get(), temp.constData(), parent.get(), final.constData(), RENAME_NOREPLACE) != 0) {
        err = errno;
        // A file system without the no-replace rename: a new link fails
        // when the name is taken just the same.
        if (err == EINVAL || err == ENOSYS) {
            if (::linkat(parent.get(), temp.constData(), parent.get(), final.constData(), 0) == 0) {
                ::unlinkat(parent.get(), temp.constData(), 0);
                err = 0;
            } else {
                err = errno;
            }
        }
        ok = err == 0;
    }
    if (!ok) {
        ::unlinkat(parent.get(), temp.constData(), 0);
        if (err)
            fail(ZipRestoreStatus::Failed, p.name,
                 QStringLiteral("Запись %1 не записана на диск: %2.").arg(quoted(p.name), systemErrorText(err)));
        return false;
    }
    m_createdFiles.push_back(p.parts);
    return true;
}

bool Restore::writeLink(const Planned &p)
{
    QString why;
    const Fd parent = openFolder(p.parts.mid(0, p.parts.size() - 1), true, &why);
    const QByteArray name = QFile::encodeName(p.parts.last());
    if (parent.valid() && ::symlinkat(p.linkTarget.constData(), parent.get(), name.constData()) != 0)
        why = systemErrorText(errno);
    if (!why.isEmpty()) {
        fail(ZipRestoreStatus::Failed, p.name, QStringLiteral("Ссылка %1 не восстановлена: %2.").arg(quoted(p.name), why));
        return false;
    }
    m_createdFiles.push_back(p.parts);
    applyTimes(parent.get(), name.constData(), p, AT_SYMLINK_NOFOLLOW);
    return true;
}

// Folders made by the run get the archive's permissions and times once
// nothing more is written into them, the deepest first.
void Restore::finishFolders()
{
    std::vector<const Planned *> folders;
    for (const Planned &p : m_plan) {
        if (!p.skip && p.kind == ZipRestoreEntry::Folder
            && std::find(m_createdFolders.begin(), m_createdFolders.end(), p.parts) != m_createdFolders.end())
            folders.push_back(&p);
    }
    std::stable_sort(folders.begin(), folders.end(),
                     [](const Planned *a, const Planned *b) { return a->parts.size() > b->parts.size(); });
    for (const Planned *p : folders) {
        QString why;
        const Fd fd = openFolder(p->parts, false, &why);
        if (!fd.valid())
            continue;
        ::fchmod(fd.get(), (p->perm | 0700) & ~m_umask);
        if (p->hasMtime) {
            struct timespec t[2] = {p->hasAtime ? p->atime : p->mtime, p->mtime};
            ::futimens(fd.get(), t);
        }
    }
}

void Restore::rollBack()
{
    QString why;
    for (auto it = m_createdFiles.rbegin(); it != m_createdFiles.rend(); ++it) {
        const Fd parent = openFolder(it->mid(0, it->size() - 1), false, &why);
        if (parent.valid())
            ::unlinkat(parent.get(), QFile::encodeName(it->last()).constData(), 0);
    }
    for (auto it = m_createdFolders.rbegin(); it != m_createdFolders.rend(); ++it) {
        const Fd parent = openFolder(it->mid(0, it->size() - 1), false, &why);
        if (parent.valid())
            ::unlinkat(parent.get(), QFile::encodeName(it->last()).constData(), AT_REMOVEDIR);
    }
    m_root.reset();
    for (auto it = m_createdRoot.rbegin(); it != m_createdRoot.rend(); ++it)
        ::rmdir(it->constData());
    m_createdFiles.clear();
    m_createdFolders.clear();
    m_createdRoot.clear();
}

ZipRestoreResult Restore::extract(const QString &folder)
{
    Utf8Locale utf8;
    m_folder = folder;
    m_umask = ::umask(0);
    ::umask(m_umask);
    const QByteArray native = QFile::encodeName(folder);
    m_root = Fd(::open(native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_root.valid() && errno != ENOENT) {
        fail(ZipRestoreStatus::Failed, QString(),
             QStringLiteral("Папка %1 не открывается: %2.").arg(quoted(folder), systemErrorText(errno)));
        return m_result;
    }
    m_rootExisted = m_root.valid();
    if (!plan() || !checkDisk())
        return m_result;

    // The folder and its missing parents.
    if (!m_rootExisted) {
        std::vector<QByteArray> missing;
        QByteArray path = native;
        while (path.endsWith('/') && path.size() > 1)
            path.chop(1);
        struct stat st;
        while (!path.isEmpty() && ::stat(path.constData(), &st) != 0 && errno == ENOENT) {
            missing.push_back(path);
            const qsizetype slash = path.lastIndexOf('/');
            path = slash > 0 ? path.left(slash) : QByteArray();
        }
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            if (::mkdir(it->constData(), 0777) != 0 && errno != EEXIST) {
                const int err = errno;
                rollBack();
                fail(ZipRestoreStatus::Failed, QString(),
                     QStringLiteral("Папка %1 не создаётся: %2.").arg(quoted(QFile::decodeName(*it)), systemErrorText(err)));
                return m_result;
            }
            m_createdRoot.push_back(*it);
        }
        m_root = Fd(::open(native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!m_root.valid()) {
            const int err = errno;
            rollBack();
            fail(ZipRestoreStatus::Failed, QString(),
                 QStringLiteral("Папка %1 не открывается: %2.").arg(quoted(folder), systemErrorText(err)));
            return m_result;
        }
    }

    const bool ok = readAll([&](int index, Planned &p) {
        if (p.skip)
            return true;
        switch (p.kind) {
        case ZipRestoreEntry::Folder: {
            QString why;
            if (!openFolder(p.parts, true, &why).valid()) {
                fail(ZipRestoreStatus::Failed, p.name,
                     QStringLiteral("Запись %1 не восстановлена: %2.").arg(quoted(p.name), why));
                return false;
            }
            count(p, 0);
            return true;
        }
        case ZipRestoreEntry::Link:
            if (!writeLink(p))
                return false;
            count(p, 0);
            return true;
        case ZipRestoreEntry::File:
            if (!writeFile(index, p))
                return false;
            count(p, p.size);
            return true;
        }
        return false;
    });
    if (!ok) {
        rollBack();
        m_result.error += QStringLiteral(" Восстановленное этим запуском удалено из папки %1.").arg(quoted(folder));
        return m_result;
    }
    finishFolders();
    m_result.status = ZipRestoreStatus::Done;
    return m_result;
}

} // namespace

QList<QByteArray> zipPasswordCandidates(const QString &typed)
{
    QList<QByteArray> out{toCp1251(typed)};
    const QByteArray utf8 = typed.toUtf8();
    if (utf8 != out.first())
        out << utf8;
    return out;
}

QStringList restorePathOf(const QString &name, QString *why)
{
    why->clear();
    QString n = name;
    n.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (n.contains(QChar(0))) {
        *why = QStringLiteral("в имени нулевой символ");
        return {};
    }
    if (n.startsWith(QLatin1Char('/'))) {
        *why = QStringLiteral("абсолютный путь: запись легла бы вне папки восстановления");
        return {};
    }
    if (n.size() >= 2 && n[1] == QLatin1Char(':') && n[0].unicode() < 0x80 && n[0].isLetter()) {
        *why = QStringLiteral("путь с буквой диска: запись легла бы вне папки восстановления");
        return {};
    }
    QStringList parts;
    for (const QString &component : n.split(QLatin1Char('/'))) {
        if (component.isEmpty() || component == QLatin1String("."))
            continue;
        if (component == QLatin1String("..")) {
            *why = QStringLiteral("путь с «..»: запись легла бы вне папки восстановления");
            return {};
        }
        if (QFile::encodeName(component).size() > 255) {
            *why = QStringLiteral("часть имени длиннее 255 байт, такое имя файловая система не примет");
            return {};
        }
        parts << component;
    }
    return parts;
}

ZipRestoreResult testZipArchive(const QString &archive, const ZipRestoreOptions &options)
{
    return Restore(archive, options).test();
}

ZipRestoreResult extractZipArchive(const QString &archive, const QString &folder, const ZipRestoreOptions &options)
{
    return Restore(archive, options).extract(folder);
}

} // namespace dozorix
