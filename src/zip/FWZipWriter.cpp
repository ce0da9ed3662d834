#include "zip/FWZipWriter.h"

#include "common/SystemErrors.h"
#include "common/TextCodec.h"
#include "filecopy/FileCopy.h"
#include "filecopy/FileMask.h"
#include "zip/DeflateWorkers.h"
#include "zip/ZipCrypto.h"
#include "zip/ZipNames.h"
#include "zip/ZipOutput.h"
#include "zip/ZipRecords.h"

#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

namespace dozorix {
namespace {

constexpr quint16 kVersionMadeBy = 63;
constexpr quint16 kVersionDefault = 20;
constexpr quint16 kVersionZip64 = 45;
constexpr quint32 kMarker32 = 0xFFFFFFFF;
constexpr quint16 kMarker16 = 0xFFFF;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kLocalZip64Size = 20;
constexpr size_t kEncryptionHeaderSize = 12;

// Deflate output is reported in buffers of this size, stored data in blocks
// of the other (what an administrator sees in the progress log).
constexpr quint64 kDeflateReportBuffer = 65536;
constexpr quint64 kStoredReportBlock = 65535;

// Work unit of the compressors.
constexpr size_t kChunkSize = 1u << 20;

bool needsZip64(quint64 v) { return v >= 0xFFFFFFFFULL; }
quint32 low32OrMarker(quint64 v) { return needsZip64(v) ? kMarker32 : static_cast<quint32>(v); }

struct LevelInfo {
    int deflateLevel; // 1 … 9, or kStoredLevel
    quint16 flagBits;
    quint16 method;
};

LevelInfo levelInfo(TCompressionLevel level)
{
    switch (level) {
    case clNone: return {kStoredLevel, 0, 0};
    case clFastest: return {1, 6, 8};
    case clDefault: return {6, 0, 8}; // zlib's default level
    case clMax: return {9, 2, 8};
    default: break;
    }
    return {static_cast<int>(level) - static_cast<int>(clLevel1) + 1, 0, 8};
}

// The archive comment: UTF-8, or the ANSI code page (Windows-1251, characters
// it lacks become "?") carried over into the OEM one (IBM 866). Entry names
// and comments are stored by storeEntryName (ZipNames.h).
QByteArray encodeText(const QString &text, bool utf8)
{
    if (utf8)
        return text.toUtf8();
    return toCp866(fromCp1251(toCp1251(text)));
}

// A name inside the archive: "/" separators, no leading "/", no "." or ".."
// components, so that no entry can point outside the folder it is unpacked to.
QString archiveName(QString name)
{
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const bool folder = name.endsWith(QLatin1Char('/'));
    QStringList parts;
    for (const QString &part : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String(".") || part == QLatin1String(".."))
            continue;
        parts << part;
    }
    QString out = parts.join(QLatin1Char('/'));
    if (folder && !out.isEmpty())
        out += QLatin1Char('/');
    return out;
}

QString canonicalPath(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

QString errnoText(int err)
{
    return systemErrorText(err);
}

// Little-endian record assembly.
class Bytes
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
QByteArray ntfsField(const FileAttributeData &a)
{
    if ((a.CreationTime & 0xFFFFFFFFu) == 0 || (a.CreationTime >> 32) == 0)
        return {};
    Bytes b;
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

// The progress rounding: to nearest, ties to even, within 0 .. 100.
quint8 percentOf(quint64 part, quint64 whole)
{
    if (whole == 0)
        return 100;
    const double v = std::nearbyint(static_cast<double>(part) / (static_cast<double>(whole) / 100.0));
    return static_cast<quint8>(std::clamp(v, 0.0, 100.0));
}

ssize_t readFull(int fd, unsigned char *buf, size_t size)
{
    size_t got = 0;
    while (got < size) {
        const ssize_t r = ::read(fd, buf + got, size - got);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

QString specialTypeName(quint32 type)
{
    switch (type) {
    case S_IFIFO: return QStringLiteral("FIFO");
    case S_IFSOCK: return QStringLiteral("socket");
    case S_IFCHR: return QStringLiteral("character device");
    case S_IFBLK: return QStringLiteral("block device");
    default: break;
    }
    return QStringLiteral("special file");
}

struct AbortBuild {};
struct RedoEntry {};

} // namespace

const char *buildZipResultName(TBuildZipResult result)
{
    switch (result) {
    case brDone: return "brDone";
    case brFailed: return "brFailed";
    case brAborted: return "brAborted";
    case brPartialBuild: return "brPartialBuild";
    }
    return "?";
}

// ---------------------------------------------------------------------------
// Entries

bool TFWZipWriterItem::IsFolder() const
{
    return (m_attributes.FileAttributes & kFileAttributeDirectory) != 0
           || m_fileName.endsWith(QLatin1Char('/'));
}

bool TFWZipWriterItem::locked() const
{
    return m_owner && m_owner->m_building;
}

void TFWZipWriterItem::SetPassword(const QString &value)
{
    if (!locked())
        m_password = value;
}

void TFWZipWriterItem::SetCompressionLevel(TCompressionLevel value)
{
    if (!locked())
        m_level = value;
}

void TFWZipWriterItem::SetNeedDescriptor(bool value)
{
    if (!locked())
        m_needDescriptor = value;
}

void TFWZipWriterItem::SetComment(const QString &value)
{
    if (!locked())
        m_comment = value;
}

// ---------------------------------------------------------------------------
// Building

// One run of BuildZip. The calling thread reads the sources ahead in chunks
// and hands them to the compressors; it takes the results back strictly in
// order, writes them and reports progress, so the archive and the events are
// the same whichever thread compressed what.
class TFWZipWriter::Build
{
public:
    Build(TFWZipWriter &writer, ZipOutput &out, const FileIds &archive)
        : m_w(writer)
        , m_out(out)
        , m_archive(archive)
        , m_threads(writer.m_threads > 0 ? writer.m_threads
                                         : std::max(1, static_cast<int>(std::thread::hardware_concurrency())))
        , m_workers(m_threads)
        , m_random(static_cast<unsigned int>(std::random_device{}()
                                             ^ static_cast<unsigned int>(std::chrono::steady_clock::now()
                                                                             .time_since_epoch()
                                                                             .count())))
    {
        m_maxDataJobs = m_threads < 2 ? 2 : static_cast<size_t>(m_threads) * 3;
    }

    ~Build()
    {
        m_workers.discardAll();
        closeSource();
    }

    TBuildZipResult run();

private:
    struct SourceInfo {
        bool failed = false;
        QString error;
        quint64 streamSize = 0;
        bool reserveZip64 = false;
        bool forceZip64 = false;
        std::optional<quint32> crcAhead; // encrypted entry without descriptor
        // The file's status when it was opened: what is read must be that.
        quint64 openSize = 0;
        struct timespec openTime {};
    };

    // The entry being written.
    struct Writing {
        int entry = -1;
        bool skipping = false;
        quint64 start = 0;
        quint64 dataStart = 0;
        std::optional<ZipCrypto> crypto;
        uLong crc = 0;
        quint64 uncompressed = 0;
        quint64 payload = 0;  // compressed bytes without the encryption header
        quint64 reported = 0; // psInProgress reports made
        bool stored = false;
        bool folder = false;
    };

    // Reading side
    bool produce();
    void startSource(int index);
    void readChunk();
    QString changedWhileRead(int index);
    void closeSource();
    void push(ChunkJob *job);
    ChunkJob *newJob(ChunkJob::Kind kind, int entry);
    void recycle(ChunkJob *job);
    void putBack(ChunkJob *job);
    void fill();
    void restartAt(int index);

    // Writing side
    void process(ChunkJob *job);
    void beginEntry(int index);
    void writeData(ChunkJob &job);
    void endEntry(int index);
    void leaveOut(const QString &error, bool exception);
    void report(TProgressState state, quint64 sourcePos = 0);
    void writeCentralDirectory();
    void writeEndRecords(quint64 centralOffset);

    TFWZipWriterItem &item(int i) { return *m_w.m_items[static_cast<size_t>(i)]; }
    TCentralDirectoryFileHeaderEx &record(int i) { return m_w.m_central[static_cast<size_t>(i)]; }

    TFWZipWriter &m_w;
    ZipOutput &m_out;
    const FileIds &m_archive;
    int m_threads;

    // Jobs are owned here; the workers below are destroyed first.
    std::vector<std::unique_ptr<ChunkJob>> m_jobs;
    // Free jobs: those that have data buffers from earlier use are kept for
    // data, so that only as many buffers exist as data jobs are in flight.
    std::vector<ChunkJob *> m_free;
    std::vector<ChunkJob *> m_freeBuffered;
    std::deque<ChunkJob *> m_inflight;
    size_t m_dataInFlight = 0;
    size_t m_maxDataJobs = 2;
    DeflateWorkers m_workers;

    std::vector<SourceInfo> m_sources;
    int m_nextSource = 0;
    int m_reading = -1;
    int m_fd = -1;
    quint64 m_readPos = 0;
    int m_readLevel = kStoredLevel;
    ChunkJob *m_pending = nullptr;

    Writing m_cur;
    quint64 m_totalSize = 0;
    quint64 m_totalProcessed = 0;
    quint8 m_totalProgress = 0;
    int m_written = 0;
    TBuildZipResult m_result = brDone;
    std::minstd_rand m_random;
};

ChunkJob *TFWZipWriter::Build::newJob(ChunkJob::Kind kind, int entry)
{
    ChunkJob *job;
    std::vector<ChunkJob *> &first = kind == ChunkJob::Kind::Data ? m_freeBuffered : m_free;
    std::vector<ChunkJob *> &second = kind == ChunkJob::Kind::Data ? m_free : m_freeBuffered;
    if (!first.empty()) {
        job = first.back();
        first.pop_back();
    } else if (kind == ChunkJob::Kind::Data && !second.empty()) {
        job = second.back();
        second.pop_back();
    } else {
        m_jobs.push_back(std::make_unique<ChunkJob>());
        job = m_jobs.back().get();
    }
    job->kind = kind;
    job->entry = entry;
    job->dataSize = job->outSize = 0;
    job->sourceEnd = 0;
    job->last = false;
    job->crc = 0;
    job->error.clear();
    job->done = false;
    return job;
}

void TFWZipWriter::Build::recycle(ChunkJob *job)
{
    if (job->kind == ChunkJob::Kind::Data && m_dataInFlight > 0)
        --m_dataInFlight;
    putBack(job);
}

void TFWZipWriter::Build::putBack(ChunkJob *job)
{
    (job->input.capacity() > 0 ? m_freeBuffered : m_free).push_back(job);
}

void TFWZipWriter::Build::push(ChunkJob *job)
{
    if (job->kind == ChunkJob::Kind::Data)
        ++m_dataInFlight;
    m_inflight.push_back(job);
    m_workers.submit(job);
}

void TFWZipWriter::Build::closeSource()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_reading = -1;
    if (m_pending) {
        putBack(m_pending);
        m_pending = nullptr;
    }
}

void TFWZipWriter::Build::fill()
{
    while (m_dataInFlight < m_maxDataJobs && m_inflight.size() < 4096) {
        if (!produce())
            break;
    }
}

bool TFWZipWriter::Build::produce()
{
    if (m_reading >= 0) {
        readChunk();
        return true;
    }
    if (m_nextSource >= m_w.Count())
        return false;
    startSource(m_nextSource++);
    return true;
}

void TFWZipWriter::Build::startSource(int index)
{
    TFWZipWriterItem &it = item(index);
    SourceInfo &src = m_sources[static_cast<size_t>(index)];
    src.failed = false;
    src.error.clear();
    src.crcAhead.reset();
    const QString quoted = QLatin1Char('"') + it.m_fileName + QLatin1Char('"');

    auto fail = [&](const QString &error) {
        src.failed = true;
        src.error = error;
        push(newJob(ChunkJob::Kind::Begin, index));
    };
    auto accessError = [&](const QString &cls, const QString &message) {
        fail(QStringLiteral("Ошибка доступа к данным элемента №%1 %2.\n%3: %4")
                 .arg(index).arg(quoted, cls, message));
    };

    if (it.m_listError != 0) {
        accessError(QStringLiteral("EInOutError"),
                    QStringLiteral("Cannot list folder \"%1\". %2").arg(it.m_filePath, errnoText(it.m_listError)));
        return;
    }
    if (it.IsFolder()) {
        push(newJob(ChunkJob::Kind::Begin, index));
        push(newJob(ChunkJob::Kind::End, index));
        return;
    }
    if (it.m_filePath.isEmpty()) {
        fail(QStringLiteral("Данные элемента №%1 %2 отсутствуют").arg(index).arg(quoted));
        return;
    }
    if (it.m_specialType != 0) {
        accessError(QStringLiteral("EFOpenError"),
                    QStringLiteral("\"%1\" is a %2: %3")
                        .arg(it.m_filePath, specialTypeName(it.m_specialType), fileErrorText(kNotARegularFile)));
        return;
    }

    // Never blocks: a FIFO put in the file's place is refused, not waited on.
    struct stat st;
    const int fd = openSourceFile(it.m_nativePath, &st);
    if (fd < 0) {
        accessError(QStringLiteral("EFOpenError"),
                    QStringLiteral("Cannot open file \"%1\". %2").arg(it.m_filePath, fileErrorText(errno)));
        return;
    }
    const std::pair<quint64, quint64> id{static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino)};
    if (std::find(m_archive.begin(), m_archive.end(), id) != m_archive.end()) {
        ::close(fd);
        accessError(QStringLiteral("EFOpenError"),
                    QStringLiteral("\"%1\" is the archive being built").arg(it.m_filePath));
        return;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    src.streamSize = static_cast<quint64>(st.st_size);
    src.openSize = src.streamSize;
    src.openTime = st.st_mtim;

    const LevelInfo level = levelInfo(it.m_level);
    const bool encrypted = !it.m_password.isEmpty();
    if (encrypted && !it.m_needDescriptor) {
        // The encryption header carries the CRC, so it is needed before the data.
        std::vector<unsigned char> buf(kChunkSize);
        uLong crc = crc32(0L, Z_NULL, 0);
        for (;;) {
            const ssize_t n = readFull(fd, buf.data(), buf.size());
            if (n < 0) {
                const int err = errno;
                ::close(fd);
                fail(QStringLiteral("EReadError: %1").arg(errnoText(err)));
                return;
            }
            if (n == 0)
                break;
            crc = crc32(crc, buf.data(), static_cast<uInt>(n));
        }
        src.crcAhead = static_cast<quint32>(crc);
        ::lseek(fd, 0, SEEK_SET);
    }

    // Room for the local ZIP64 field is kept ahead of the data when the sizes
    // may reach 4 GiB: the uncompressed size, or a compressed size that
    // deflate's worst case and the encryption header could push over.
    const quint64 size = std::max(it.m_size, src.streamSize);
    const quint64 worst = size + (size >> 11) + 65536 + kEncryptionHeaderSize;
    src.reserveZip64 = src.forceZip64 || needsZip64(worst);

    push(newJob(ChunkJob::Kind::Begin, index));
    m_fd = fd;
    m_reading = index;
    m_readPos = 0;
    m_readLevel = level.deflateLevel;
    m_pending = nullptr;
}

void TFWZipWriter::Build::readChunk()
{
    const int index = m_reading;
    ChunkJob *job = newJob(ChunkJob::Kind::Data, index);
    job->level = m_readLevel;
    if (job->input.size() < kChunkSize)
        job->input.resize(kChunkSize);

    const ssize_t n = readFull(m_fd, job->data(), kChunkSize);
    if (n < 0) {
        const int err = errno;
        putBack(job);
        if (m_pending) {
            putBack(m_pending);
            m_pending = nullptr;
        }
        ChunkJob *failJob = newJob(ChunkJob::Kind::Fail, index);
        failJob->error = QStringLiteral("EReadError: %1").arg(errnoText(err));
        push(failJob);
        closeSource();
        return;
    }
    job->dataSize = static_cast<size_t>(n);
    m_readPos += static_cast<quint64>(n);
    job->sourceEnd = m_readPos;

    auto finish = [&] {
        const QString changed = changedWhileRead(index);
        if (changed.isEmpty()) {
            push(newJob(ChunkJob::Kind::End, index));
        } else {
            ChunkJob *failJob = newJob(ChunkJob::Kind::Fail, index);
            failJob->error = changed;
            push(failJob);
        }
        m_pending = nullptr;
        closeSource();
    };

    if (m_pending) {
        if (n == 0) {
            m_pending->last = true;
            push(m_pending);
            putBack(job);
            finish();
            return;
        }
        push(m_pending);
        m_pending = nullptr;
    }
    if (static_cast<size_t>(n) < kChunkSize) {
        job->last = true;
        push(job);
        finish();
        return;
    }
    // A full chunk: whether it is the last one shows with the next read.
    m_pending = job;
}

// Why the data read to the end of the source is not the file it was opened
// as (a size or modification time that changed while it was read: the
// entry would hold data that never existed as a file); empty when it is.
QString TFWZipWriter::Build::changedWhileRead(int index)
{
    const SourceInfo &src = m_sources[static_cast<size_t>(index)];
    const TFWZipWriterItem &it = item(index);
    struct stat st;
    if (::fstat(m_fd, &st) != 0)
        return QStringLiteral("EReadError: %1").arg(fileErrorText(errno));
    const quint64 now = static_cast<quint64>(st.st_size);
    const bool sameTime = st.st_mtim.tv_sec == src.openTime.tv_sec && st.st_mtim.tv_nsec == src.openTime.tv_nsec;
    if (m_readPos == src.openSize && now == src.openSize && sameTime)
        return QString();
    QString what = QStringLiteral("Файл \"%1\" изменился во время упаковки: ").arg(it.m_filePath);
    if (m_readPos == src.openSize && now == src.openSize)
        what += QStringLiteral("размер прежний (%1 байт), но время изменения другое").arg(now);
    else
        what += QStringLiteral("при открытии %1 байт, прочитано %2 байт, теперь %3 байт")
                    .arg(src.openSize)
                    .arg(m_readPos)
                    .arg(now);
    return QStringLiteral("Ошибка чтения данных элемента №%1 \"%2\".\n%3").arg(index).arg(it.m_fileName, what);
}

void TFWZipWriter::Build::restartAt(int index)
{
    m_workers.discardAll();
    closeSource();
    while (!m_inflight.empty()) {
        recycle(m_inflight.front());
        m_inflight.pop_front();
    }
    m_dataInFlight = 0;
    m_nextSource = index;
}

void TFWZipWriter::Build::report(TProgressState state, quint64 sourcePos)
{
    quint8 percent = 0;
    if (state == psInProgress) {
        percent = percentOf(sourcePos, m_sources[static_cast<size_t>(m_cur.entry)].streamSize);
        m_totalProgress = percentOf(m_totalProcessed + sourcePos, m_totalSize);
    } else if (state == psFinalization || state == psEnd) {
        percent = 100;
    }
    if (!m_w.m_onProgress)
        return;
    bool cancel = false;
    m_w.m_onProgress(&m_w, item(m_cur.entry).m_fileName, percent, m_totalProgress, cancel, state);
    if (cancel)
        throw AbortBuild{};
}

void TFWZipWriter::Build::beginEntry(int index)
{
    m_cur = Writing{};
    m_cur.entry = index;
    m_cur.start = m_out.size();
    TFWZipWriterItem &it = item(index);
    TCentralDirectoryFileHeaderEx &rec = record(index);
    const SourceInfo &src = m_sources[static_cast<size_t>(index)];
    rec = TCentralDirectoryFileHeaderEx{};
    rec.RelativeOffsetOfLocalHeader = m_cur.start;
    it.m_buildError.clear();

    report(psStart);
    if (src.failed) {
        leaveOut(src.error, false);
        return;
    }

    m_cur.folder = it.IsFolder();
    const LevelInfo level = levelInfo(m_cur.folder ? clNone : it.m_level);
    const bool encrypted = !it.m_password.isEmpty() && !m_cur.folder;
    m_cur.stored = level.method == 0;

    TCentralDirectoryFileHeader &h = rec.Header;
    h.CentralFileHeaderSignature = kCentralHeaderSignature;
    h.VersionMadeBy = kVersionMadeBy;
    h.GeneralPurposeBitFlag = level.flagBits;
    if (encrypted)
        h.GeneralPurposeBitFlag |= 0x0001;
    if (it.m_needDescriptor)
        h.GeneralPurposeBitFlag |= 0x0008;
    StoredName stored = storeEntryName(it.m_fileName, it.m_comment, it.m_useUtf8);
    if (stored.utf8)
        h.GeneralPurposeBitFlag |= kUtf8NameFlag;
    h.CompressionMethod = level.method;
    dosDateTime(it.m_attributes.LastWriteTime, &h.LastModFileTimeTime, &h.LastModFileTimeDate);
    rec.FileName = std::move(stored.name);
    rec.FileComment = std::move(stored.comment);
    rec.UnicodePathField = std::move(stored.unicodePath);
    if (rec.FileName.size() > 0xFFFF || rec.FileComment.size() > 0xFFFF) {
        leaveOut(QStringLiteral("The name or comment of \"%1\" is too long").arg(it.m_fileName), false);
        return;
    }
    // The central extra field holds the ZIP64 field (at most 32 bytes), the
    // NTFS field (36) and this one, in 65 535 bytes.
    if (rec.UnicodePathField.size() > 0xFFFF - 32 - 36)
        rec.UnicodePathField.clear();
    // The Unicode Path field goes into both headers, except for an IBM 866
    // name of an entry with a data descriptor: Debian's unzip 6.0 rejects the
    // whole archive ("overlapped components") when it takes the field from
    // the local header of such an entry. Its local header holds the NTFS
    // field instead, so unzip takes the name from the central header (and
    // warns that the local one reads differently).
    if (!rec.UnicodePathField.isEmpty()) {
        if (stored.utf8 || !it.m_needDescriptor) {
            rec.LocalExtraField = rec.UnicodePathField;
        } else {
            rec.LocalExtraField = ntfsField(it.m_attributes);
            if (rec.LocalExtraField.isEmpty())
                rec.UnicodePathField.clear();
        }
    }
    h.FilenameLength = static_cast<quint16>(rec.FileName.size());
    h.FileCommentLength = static_cast<quint16>(rec.FileComment.size());
    h.ExternalFileAttributes = it.m_attributes.FileAttributes;
    rec.Attributes = it.m_attributes;

    // Room for the local header; it is filled in once the sizes are known.
    Bytes room;
    room.zeros(kLocalHeaderSize);
    room.bytes(rec.FileName);
    if (src.reserveZip64)
        room.zeros(kLocalZip64Size);
    room.bytes(rec.LocalExtraField);
    m_out.append(room.data(), room.size());
    m_cur.dataStart = m_out.size();
    rec.DataOffset = m_cur.dataStart;
    m_cur.crc = crc32(0L, Z_NULL, 0);
    if (m_cur.folder)
        return;

    if (encrypted) {
        m_cur.crypto.emplace(toCp1251(it.m_password));
        const quint16 check = it.m_needDescriptor ? h.LastModFileTimeTime
                                                  : static_cast<quint16>(*src.crcAhead >> 16);
        const auto header = m_cur.crypto->makeHeader(check, static_cast<unsigned int>(m_random()));
        m_out.append(header.data(), header.size());
    }
    report(psInitialization);
}

void TFWZipWriter::Build::writeData(ChunkJob &job)
{
    if (!job.error.isEmpty()) {
        leaveOut(job.error, true);
        return;
    }
    m_cur.crc = crc32_combine(m_cur.crc, job.crc, static_cast<z_off_t>(job.dataSize));
    m_cur.uncompressed += job.dataSize;
    unsigned char *bytes = m_cur.stored ? job.data() : job.output.data();
    const size_t n = m_cur.stored ? job.dataSize : job.outSize;
    if (m_cur.crypto)
        m_cur.crypto->encrypt(bytes, n);
    m_out.append(bytes, n);
    m_cur.payload += n;

    if (m_cur.stored) {
        const quint64 blocks = job.last ? (m_cur.uncompressed + kStoredReportBlock - 1) / kStoredReportBlock
                                        : m_cur.uncompressed / kStoredReportBlock;
        while (m_cur.reported < blocks) {
            ++m_cur.reported;
            report(psInProgress, std::min(m_cur.reported * kStoredReportBlock, m_cur.uncompressed));
        }
    } else {
        const quint64 buffers = m_cur.payload / kDeflateReportBuffer;
        while (m_cur.reported < buffers) {
            ++m_cur.reported;
            report(psInProgress, job.sourceEnd);
        }
    }
}

void TFWZipWriter::Build::leaveOut(const QString &error, bool exception)
{
    TFWZipWriterItem &it = item(m_cur.entry);
    TCentralDirectoryFileHeaderEx &rec = record(m_cur.entry);
    it.m_buildError = error;
    rec.ExceptOnWrite = true;
    ++m_w.m_exceptionCount;
    m_result = brPartialBuild;
    m_cur.skipping = true;
    m_cur.crypto.reset();
    if (exception)
        report(psException);
    m_out.truncate(m_cur.start);
    report(psEnd);
}

void TFWZipWriter::Build::endEntry(int index)
{
    TFWZipWriterItem &it = item(index);
    TCentralDirectoryFileHeaderEx &rec = record(index);
    SourceInfo &src = m_sources[static_cast<size_t>(index)];
    const QString quoted = QLatin1Char('"') + it.m_fileName + QLatin1Char('"');

    if (!m_cur.folder) {
        report(psFinalization);
        if (m_cur.stored && m_cur.uncompressed != src.streamSize) {
            leaveOut(QStringLiteral("Ошибка записи данных элемента №%1 %2.").arg(index).arg(quoted), true);
            return;
        }
        if (src.crcAhead && *src.crcAhead != static_cast<quint32>(m_cur.crc)) {
            // The file changed between the two readings: the check bytes
            // would not match the data.
            leaveOut(QStringLiteral("Ошибка записи данных элемента №%1 %2.").arg(index).arg(quoted), true);
            return;
        }
    }
    const quint64 compressed = m_out.size() - m_cur.dataStart;
    const quint64 uncompressed = m_cur.uncompressed;
    const bool localZip64 = needsZip64(uncompressed) || needsZip64(compressed);
    if (localZip64 && !src.reserveZip64) {
        // The file grew past 4 GiB after it was listed: write it again with
        // room for the ZIP64 sizes.
        src.forceZip64 = true;
        report(psEnd);
        throw RedoEntry{};
    }

    TCentralDirectoryFileHeader &h = rec.Header;
    rec.UncompressedSize = uncompressed;
    rec.CompressedSize = compressed;
    h.Crc32 = static_cast<quint32>(m_cur.crc);
    h.UncompressedSize = low32OrMarker(uncompressed);
    h.CompressedSize = low32OrMarker(compressed);
    h.RelativeOffsetOfLocalHeader = low32OrMarker(rec.RelativeOffsetOfLocalHeader);
    const bool zip64 = needsZip64(uncompressed) || needsZip64(compressed)
                       || needsZip64(rec.RelativeOffsetOfLocalHeader) || rec.DiskNumberStart >= 0xFFFF;
    h.VersionNeededToExtract = zip64 ? kVersionZip64 : kVersionDefault;

    Bytes local;
    local.u32(kLocalHeaderSignature);
    local.u16(h.VersionNeededToExtract);
    local.u16(h.GeneralPurposeBitFlag);
    local.u16(h.CompressionMethod);
    local.u16(h.LastModFileTimeTime);
    local.u16(h.LastModFileTimeDate);
    local.u32(h.Crc32);
    local.u32(h.CompressedSize);
    local.u32(h.UncompressedSize);
    local.u16(h.FilenameLength);
    local.u16(static_cast<quint16>((src.reserveZip64 ? kLocalZip64Size : 0) + rec.LocalExtraField.size()));
    m_out.writeAt(m_cur.start, local.data(), local.size());
    if (src.reserveZip64) {
        Bytes extra;
        extra.u16(kZip64Tag);
        extra.u16(16);
        extra.u64(uncompressed);
        extra.u64(compressed);
        m_out.writeAt(m_cur.start + kLocalHeaderSize + h.FilenameLength, extra.data(), extra.size());
    }
    if (h.GeneralPurposeBitFlag & 0x0008) {
        Bytes descriptor;
        descriptor.u32(kDescriptorSignature);
        descriptor.u32(h.Crc32);
        descriptor.u32(h.CompressedSize);
        descriptor.u32(h.UncompressedSize);
        m_out.append(descriptor.data(), descriptor.size());
    }
    m_cur.crypto.reset();
    m_totalProcessed += it.m_size;
    ++m_written;
    m_cur.skipping = true; // nothing more belongs to this entry
    report(psEnd);
}

void TFWZipWriter::Build::process(ChunkJob *job)
{
    if (job->kind == ChunkJob::Kind::Begin) {
        beginEntry(job->entry);
        return;
    }
    if (m_cur.skipping || m_cur.entry != job->entry)
        return;
    switch (job->kind) {
    case ChunkJob::Kind::Data: writeData(*job); break;
    case ChunkJob::Kind::Fail: leaveOut(job->error, true); break;
    case ChunkJob::Kind::End: endEntry(job->entry); break;
    case ChunkJob::Kind::Begin: break;
    }
}

void TFWZipWriter::Build::writeCentralDirectory()
{
    Bytes b;
    for (int i = 0; i < m_w.Count(); ++i) {
        TCentralDirectoryFileHeaderEx &rec = record(i);
        if (rec.ExceptOnWrite)
            continue;
        TCentralDirectoryFileHeader &h = rec.Header;
        Bytes zip64;
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

        b.clear();
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
        m_out.append(b.data(), b.size());
    }
}

void TFWZipWriter::Build::writeEndRecords(quint64 centralOffset)
{
    const quint64 entries = static_cast<quint64>(m_written);
    const quint64 centralSize = m_out.size() - centralOffset;
    quint16 versionNeeded = kVersionDefault;
    for (int i = 0; i < m_w.Count(); ++i) {
        if (!record(i).ExceptOnWrite)
            versionNeeded = std::max(versionNeeded, record(i).Header.VersionNeededToExtract);
    }
    Bytes b;
    if (needsZip64(centralOffset) || needsZip64(centralSize) || entries > 0xFFFF) {
        const quint64 zip64End = m_out.size();
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
    QByteArray comment = encodeText(m_w.m_comment, m_w.m_useUtf8);
    if (comment.size() > 0xFFFF)
        comment.truncate(0xFFFF);
    const quint16 count16 = entries >= 0x10000 ? kMarker16 : static_cast<quint16>(entries);
    b.u32(kEndSignature);
    b.u16(0);
    b.u16(0);
    b.u16(count16);
    b.u16(count16);
    b.u32(low32OrMarker(centralSize));
    b.u32(low32OrMarker(centralOffset));
    b.u16(static_cast<quint16>(comment.size()));
    b.bytes(comment);
    m_out.append(b.data(), b.size());
}

TBuildZipResult TFWZipWriter::Build::run()
{
    const int count = m_w.Count();
    m_w.m_central.assign(static_cast<size_t>(count), TCentralDirectoryFileHeaderEx{});
    m_sources.assign(static_cast<size_t>(count), SourceInfo{});
    m_w.m_exceptionCount = 0;
    for (const auto &it : m_w.m_items)
        m_totalSize += it->m_size;

    try {
        for (;;) {
            fill();
            if (m_inflight.empty())
                break;
            ChunkJob *job = m_inflight.front();
            m_workers.waitFor(job);
            m_inflight.pop_front();
            try {
                process(job);
            } catch (const ZipIoError &e) {
                // A write failure inside an entry leaves that entry out.
                if (m_cur.entry < 0 || m_cur.skipping)
                    throw;
                leaveOut(QStringLiteral("Ошибка записи данных элемента №%1 \"%2\".\nEWriteError: %3")
                             .arg(m_cur.entry)
                             .arg(item(m_cur.entry).m_fileName, e.message()),
                         true);
            } catch (const RedoEntry &) {
                const int again = m_cur.entry;
                recycle(job);
                m_out.truncate(m_cur.start);
                m_cur = Writing{};
                restartAt(again);
                continue;
            }
            recycle(job);
        }
    } catch (const AbortBuild &) {
        if (m_cur.entry >= 0 && !m_cur.skipping && m_w.m_onProgress) {
            // The entry in progress still reports its end.
            bool ignored = false;
            m_w.m_onProgress(&m_w, item(m_cur.entry).m_fileName, 100, m_totalProgress, ignored, psEnd);
        }
        return brAborted;
    }

    if (m_written == 0)
        return brFailed;
    const quint64 centralOffset = m_out.size();
    writeCentralDirectory();
    writeEndRecords(centralOffset);
    m_out.flush();
    return m_result;
}

// ---------------------------------------------------------------------------
// The writer

TFWZipWriter::TFWZipWriter()
{
    m_items.reserve(100000);
}

TFWZipWriter::~TFWZipWriter() = default;

TFWZipWriterItem *TFWZipWriter::newItem()
{
    auto item = std::unique_ptr<TFWZipWriterItem>(new TFWZipWriterItem(this));
    item->m_level = m_defaultLevel;
    item->m_password = m_defaultPassword;
    item->m_needDescriptor = m_defaultDescriptor;
    item->m_useUtf8 = m_useUtf8;
    m_items.push_back(std::move(item));
    return m_items.back().get();
}

TFWZipWriterItem *TFWZipWriter::GetItem(int Index) const
{
    if (Index < 0 || Index >= Count())
        return nullptr;
    return m_items[static_cast<size_t>(Index)].get();
}

int TFWZipWriter::AddFile(const QString &FilePath, const QString &FileName)
{
    FileAttributeData attributes;
    if (readFileAttributeData(QFile::encodeName(canonicalPath(FilePath)), &attributes) != 0)
        return -1;
    return AddFile(FilePath, attributes, FileName);
}

int TFWZipWriter::AddFile(const QString &FilePath, const FileAttributeData &Attributes, const QString &FileName)
{
    if (m_building || FilePath.isEmpty())
        return -1;
    const QString path = canonicalPath(FilePath);
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::stat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    // A caller's name separates folders with "/" or "\"; the file's own name
    // is one name, whatever it holds.
    QString note;
    const QString name = FileName.isEmpty()
                             ? archiveNameFromDisk(QFile::encodeName(QFileInfo(path).fileName()), &note)
                             : readerSafeName(archiveName(FileName), &note);
    return addItem(native, Attributes, name, note);
}

int TFWZipWriter::addItem(const QByteArray &nativePath, const FileAttributeData &attributes, const QString &name,
                          const QString &note)
{
    if (name.isEmpty() || name.endsWith(QLatin1Char('/')))
        return -1;
    TFWZipWriterItem *item = newItem();
    item->m_nativePath = nativePath;
    item->m_filePath = QFile::decodeName(nativePath);
    item->m_nameNote = note;
    item->m_fileName = claimName(name, false, &item->m_nameNote);
    item->m_attributes = attributes;
    item->m_attributes.FileAttributes &= ~kFileAttributeDirectory;
    item->m_size = attributes.FileSize;
    return Count() - 1;
}

QString TFWZipWriter::claimName(const QString &name, bool folder, QString *note)
{
    const QStringList parts = name.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString out;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const bool isFolder = folder || i + 1 < parts.size();
        QString path = out + parts[i];
        if (isFolder) {
            const auto moved = m_movedFolders.constFind(path);
            if (moved != m_movedFolders.cend()) {
                path = *moved;
            } else {
                const auto taken = m_takenNames.constFind(path);
                if (taken == m_takenNames.cend()) {
                    m_takenNames.insert(path, false);
                } else if (*taken) {
                    // A file has this name: the folder's entries go to a
                    // numbered one.
                    QString other;
                    for (int n = 2;; ++n) {
                        other = out + numberedName(parts[i], n);
                        if (!m_takenNames.contains(other))
                            break;
                    }
                    appendNote(note, QStringLiteral("the folder \"%1\" is stored as \"%2\": a file of another "
                                                    "entry has its name")
                                         .arg(path, other));
                    m_takenNames.insert(other, false);
                    m_movedFolders.insert(path, other);
                    path = other;
                }
            }
            out = path + QLatin1Char('/');
        } else {
            if (m_takenNames.contains(path)) {
                QString other;
                for (int n = 2;; ++n) {
                    other = out + numberedName(parts[i], n);
                    if (!m_takenNames.contains(other))
                        break;
                }
                appendNote(note, QStringLiteral("\"%1\" is stored as \"%2\": another entry has its name")
                                     .arg(path, other));
                path = other;
            }
            m_takenNames.insert(path, true);
            out = path;
        }
    }
    return out;
}

int TFWZipWriter::AddFolder(const QString &RelativePath, const QString &Path, const QString &Mask,
                            bool SubFolders)
{
    if (m_building || Path.isEmpty())
        return 0;
    QString note;
    QString prefix = readerSafeName(archiveName(RelativePath), &note);
    if (!prefix.isEmpty() && !prefix.endsWith(QLatin1Char('/')))
        prefix += QLatin1Char('/');
    std::vector<std::pair<quint64, quint64>> visiting;
    const QString mask = Mask.isEmpty() ? QStringLiteral("*.*") : Mask;
    return addFolderTree(prefix, QFile::encodeName(canonicalPath(Path)), note, mask, SubFolders, visiting);
}

int TFWZipWriter::addFolderTree(const QString &prefix, const QByteArray &folder, const QString &inheritedNote,
                                const QString &mask, bool subFolders,
                                std::vector<std::pair<quint64, quint64>> &visiting)
{
    DIR *dir = ::opendir(folder.constData());
    if (!dir) {
        const int err = errno;
        if (!prefix.isEmpty()) {
            // A sub-folder whose files cannot be seen: keep it as an entry that
            // fails, so the loss shows in the build result.
            TFWZipWriterItem *item = newItem();
            item->m_nativePath = folder;
            item->m_filePath = QFile::decodeName(folder);
            item->m_nameNote = inheritedNote;
            item->m_fileName = claimName(prefix, true, &item->m_nameNote);
            item->m_attributes.FileAttributes = kFileAttributeDirectory;
            item->m_listError = err;
        }
        return 0;
    }
    struct stat dst;
    if (::fstat(dirfd(dir), &dst) == 0) {
        const std::pair<quint64, quint64> id{static_cast<quint64>(dst.st_dev), static_cast<quint64>(dst.st_ino)};
        if (std::find(visiting.begin(), visiting.end(), id) != visiting.end()) {
            ::closedir(dir);
            return 0; // a link back into the tree being walked
        }
        visiting.push_back(id);
    }
    const QByteArray base = folder.endsWith('/') ? folder : folder + '/';

    // The whole listing first: the archive names of a folder's entries are
    // made unique among themselves, a name kept as it is on disk before one
    // that had to change.
    struct Listed {
        QByteArray raw;
        QString name;
        QString note;
    };
    std::vector<Listed> listing;
    while (struct dirent *ent = ::readdir(dir))
        listing.push_back({QByteArray(ent->d_name), QString(), QString()});
    QSet<QString> names;
    bool changed = false;
    for (Listed &l : listing) {
        if (l.raw == "." || l.raw == "..")
            continue;
        l.name = archiveNameFromDisk(l.raw, &l.note);
        if (l.note.isEmpty())
            names.insert(l.name);
        else
            changed = true;
    }
    if (changed) {
        for (Listed &l : listing) {
            if (l.note.isEmpty())
                continue;
            if (names.contains(l.name)) {
                QString other;
                for (int n = 2;; ++n) {
                    other = numberedName(l.name, n);
                    if (!names.contains(other))
                        break;
                }
                appendNote(&l.note, QStringLiteral("\"%1\" is stored as \"%2\": another entry of the folder has "
                                                   "its name")
                                        .arg(l.name, other));
                l.name = other;
            }
            names.insert(l.name);
        }
    }

    int count = 0;
    for (const Listed &l : listing) {
        const char *raw = l.raw.constData();
        if (l.raw == ".") {
            if (m_alwaysAddEmptyFolder && !prefix.isEmpty()) {
                FileAttributeData attributes;
                if (readFileAttributeDataAt(dirfd(dir), ".", &attributes) == 0) {
                    TFWZipWriterItem *item = newItem();
                    item->m_nativePath = folder;
                    item->m_filePath = QFile::decodeName(folder);
                    item->m_nameNote = inheritedNote;
                    item->m_fileName = claimName(prefix, true, &item->m_nameNote);
                    item->m_attributes = attributes;
                    item->m_attributes.FileAttributes |= kFileAttributeDirectory;
                    item->m_size = 0;
                }
            }
            continue;
        }
        if (l.raw == "..")
            continue;
        if (!matchesFileMask(l.name, mask))
            continue;
        FileAttributeData attributes;
        if (readFileAttributeDataAt(dirfd(dir), raw, &attributes) != 0)
            continue; // vanished, or a link to nothing
        QString note = inheritedNote;
        if (attributes.FileAttributes & kFileAttributeDirectory) {
            if (!subFolders)
                continue;
            // The entries below a folder whose name changed say so too.
            if (!l.note.isEmpty())
                appendNote(&note, QStringLiteral("folder \"%1%2\": %3").arg(prefix, l.name, l.note));
            count += addFolderTree(prefix + l.name + QLatin1Char('/'), base + l.raw, note, mask, subFolders,
                                   visiting);
            continue;
        }
        appendNote(&note, l.note);
        struct stat st;
        if (::fstatat(dirfd(dir), raw, &st, 0) != 0)
            continue;
        if (!S_ISREG(st.st_mode)) {
            // Pipes, sockets and devices hold no file data: an entry that
            // fails at build time names them and makes the partial result.
            const int index = addItem(base + l.raw, attributes, prefix + l.name, note);
            if (index >= 0)
                m_items[static_cast<size_t>(index)]->m_specialType = static_cast<quint32>(st.st_mode & S_IFMT);
            continue;
        }
        if (addItem(base + l.raw, attributes, prefix + l.name, note) >= 0)
            ++count;
    }
    ::closedir(dir);
    if (!visiting.empty())
        visiting.pop_back();
    return count;
}

TBuildZipResult TFWZipWriter::runBuild(ZipOutput &out, const FileIds &archive)
{
    m_building = true;
    struct Reset {
        bool &flag;
        ~Reset() { flag = false; }
    } reset{m_building};
    Build build(*this, out, archive);
    return build.run();
}

TBuildZipResult TFWZipWriter::BuildZip(const QString &ZipFilePath)
{
    m_lastError.clear();
    if (m_building) {
        m_lastError = QStringLiteral("A build of this archive is already running");
        return brFailed;
    }
    if (m_items.empty()) {
        m_lastError = QStringLiteral("Nothing to pack");
        return brFailed;
    }
    const QByteArray native = QFile::encodeName(ZipFilePath);
    // The archive is written beside its final name and takes it only when
    // complete, so a build that fails leaves the old archive untouched.
    QByteArray tmp;
    const int fd = createTempBeside(native, &tmp);
    if (fd < 0) {
        m_lastError = QStringLiteral("Не удалось создать архив \"%1\": %2").arg(ZipFilePath, fileErrorText(errno));
        return brFailed;
    }
    FileIds archive;
    struct stat st{};
    if (::fstat(fd, &st) == 0)
        archive.emplace_back(static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino));
    struct stat old{};
    const bool replacing = ::stat(native.constData(), &old) == 0 && S_ISREG(old.st_mode);
    if (replacing) {
        // The archive it replaces is not packed into it either, and its
        // permission bits and owner carry over.
        archive.emplace_back(static_cast<quint64>(old.st_dev), static_cast<quint64>(old.st_ino));
        if (st.st_uid != old.st_uid || st.st_gid != old.st_gid)
            (void)::fchown(fd, old.st_uid, old.st_gid);
        (void)::fchmod(fd, old.st_mode & 07777);
    }

    TBuildZipResult result = brFailed;
    try {
        FdZipOutput out(fd);
        result = runBuild(out, archive);
        if (result == brDone || result == brPartialBuild)
            out.sync();
    } catch (const ZipIoError &e) {
        m_lastError = QStringLiteral("Не удалось записать архив \"%1\": %2").arg(ZipFilePath, e.message());
        result = brFailed;
    } catch (...) {
        ::close(fd);
        ::unlink(tmp.constData());
        throw;
    }
    if (::close(fd) != 0 && (result == brDone || result == brPartialBuild)) {
        m_lastError = QStringLiteral("Не удалось записать архив \"%1\": %2").arg(ZipFilePath, fileErrorText(errno));
        result = brFailed;
    }
    if ((result == brDone || result == brPartialBuild) && ::rename(tmp.constData(), native.constData()) != 0) {
        m_lastError = QStringLiteral("Не удалось заменить архив \"%1\": %2").arg(ZipFilePath, fileErrorText(errno));
        result = brFailed;
    }
    if (result == brFailed || result == brAborted)
        ::unlink(tmp.constData());
    else
        syncFolderOf(native);
    return result;
}

TBuildZipResult TFWZipWriter::BuildZip(QIODevice &Stream)
{
    m_lastError.clear();
    if (m_building) {
        m_lastError = QStringLiteral("A build of this archive is already running");
        return brFailed;
    }
    if (!Stream.isOpen() || !Stream.isWritable() || Stream.isSequential()) {
        m_lastError = QStringLiteral("The output must be an open, writable, random-access device");
        return brFailed;
    }
    if (m_items.empty()) {
        m_lastError = QStringLiteral("Nothing to pack");
        return brFailed;
    }
    FileIds archive;
    if (auto *file = qobject_cast<QFileDevice *>(&Stream)) {
        struct stat st;
        if (file->handle() >= 0 && ::fstat(file->handle(), &st) == 0)
            archive.emplace_back(static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino));
    }
    const qint64 start = Stream.pos();
    TBuildZipResult result = brFailed;
    DeviceZipOutput out(Stream);
    try {
        result = runBuild(out, archive);
    } catch (const ZipIoError &e) {
        m_lastError = e.message();
        result = brFailed;
    }
    if (result == brFailed || result == brAborted) {
        try {
            out.truncate(static_cast<quint64>(start));
            out.flush();
        } catch (const ZipIoError &) {
        }
    }
    return result;
}

} // namespace dozorix
