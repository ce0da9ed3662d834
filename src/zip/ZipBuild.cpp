#include "zip/FWZipWriter.h"

#include "common/SystemErrors.h"
#include "common/TextCodec.h"
#include "filecopy/FileCopy.h"
#include "zip/DeflateWorkers.h"
#include "zip/ZipCrypto.h"
#include "zip/ZipLayout.h"
#include "zip/ZipNames.h"
#include "zip/ZipOutput.h"
#include "zip/ZipRecords.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <deque>
#include <fcntl.h>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

// The build of an archive: the sources read ahead in chunks, compressed on
// the deflate workers, written back in order with their records
// (ZipLayout.h), progress reported on the calling thread.

namespace dozorix {
namespace {

// Deflate output is reported in buffers of this size, stored data in blocks
// of the other (what an administrator sees in the progress log).
constexpr quint64 kDeflateReportBuffer = 65536;
constexpr quint64 kStoredReportBlock = 65535;

// Work unit of the compressors.
constexpr size_t kChunkSize = 1u << 20;

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

QString errnoText(int err)
{
    return systemErrorText(err);
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
    case S_IFIFO: return QStringLiteral("канал (FIFO)");
    case S_IFSOCK: return QStringLiteral("сокет");
    case S_IFCHR: return QStringLiteral("символьное устройство");
    case S_IFBLK: return QStringLiteral("блочное устройство");
    default: break;
    }
    return QStringLiteral("особый файл");
}

struct AbortBuild {};
struct RedoEntry {};

} // namespace

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
                    QStringLiteral("Не удалось прочитать каталог \"%1\". %2").arg(it.m_filePath, errnoText(it.m_listError)));
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
                    QStringLiteral("\"%1\" — %2: %3")
                        .arg(it.m_filePath, specialTypeName(it.m_specialType), fileErrorText(kNotARegularFile)));
        return;
    }

    // Never blocks: a FIFO put in the file's place is refused, not waited on.
    struct stat st;
    const int fd = openSourceFile(it.m_nativePath, &st);
    if (fd < 0) {
        accessError(QStringLiteral("EFOpenError"),
                    QStringLiteral("Не удалось открыть файл \"%1\". %2").arg(it.m_filePath, fileErrorText(errno)));
        return;
    }
    const std::pair<quint64, quint64> id{static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino)};
    if (std::find(m_archive.begin(), m_archive.end(), id) != m_archive.end()) {
        ::close(fd);
        accessError(QStringLiteral("EFOpenError"),
                    QStringLiteral("\"%1\" — это сам создаваемый архив").arg(it.m_filePath));
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
        h.GeneralPurposeBitFlag |= kEncryptedFlag;
    if (it.m_needDescriptor)
        h.GeneralPurposeBitFlag |= kDescriptorFlag;
    StoredName stored = storeEntryName(it.m_fileName, it.m_comment, it.m_useUtf8);
    if (stored.utf8)
        h.GeneralPurposeBitFlag |= kUtf8NameFlag;
    h.CompressionMethod = level.method;
    dosDateTime(it.m_attributes.LastWriteTime, &h.LastModFileTimeTime, &h.LastModFileTimeDate);
    rec.FileName = std::move(stored.name);
    rec.FileComment = std::move(stored.comment);
    rec.UnicodePathField = std::move(stored.unicodePath);
    if (rec.FileName.size() > 0xFFFF || rec.FileComment.size() > 0xFFFF) {
        leaveOut(QStringLiteral("Имя или комментарий элемента \"%1\" длиннее 65535 байт").arg(it.m_fileName), false);
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
    RecordBytes room;
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

    RecordBytes local;
    appendLocalHeader(local, h,
                      static_cast<quint16>((src.reserveZip64 ? kLocalZip64Size : 0) + rec.LocalExtraField.size()));
    m_out.writeAt(m_cur.start, local.data(), local.size());
    if (src.reserveZip64) {
        RecordBytes extra;
        appendLocalZip64Field(extra, uncompressed, compressed);
        m_out.writeAt(m_cur.start + kLocalHeaderSize + h.FilenameLength, extra.data(), extra.size());
    }
    if (h.GeneralPurposeBitFlag & kDescriptorFlag) {
        RecordBytes descriptor;
        appendDataDescriptor(descriptor, h);
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
    RecordBytes b;
    for (int i = 0; i < m_w.Count(); ++i) {
        TCentralDirectoryFileHeaderEx &rec = record(i);
        if (rec.ExceptOnWrite)
            continue;
        b.clear();
        appendCentralHeader(b, rec);
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
    RecordBytes b;
    appendEndRecords(b, m_out.size(), entries, centralOffset, centralSize, versionNeeded, m_w.m_comment, m_w.m_useUtf8);
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

} // namespace dozorix
