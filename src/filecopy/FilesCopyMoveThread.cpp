#include "filecopy/FilesCopyMoveThread.h"

#include "filecopy/FileCopy.h"
#include "filecopy/FileMask.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QSemaphore>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace dozorix {
namespace {

QString withSlash(const QString &dir)
{
    return dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
}

// The folder as the file system sees it, so that "/a/b", "/a/b/" and a
// link to /a/b count as one folder.
QString canonicalFolder(const QString &dir)
{
    const QFileInfo info(dir);
    const QString real = info.canonicalFilePath();
    return real.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : real;
}

void collect(const QString &folder, const QString &base, QStringList &list, const QString &filter,
             QList<QPair<QString, int>> *unlisted, std::vector<std::pair<dev_t, ino_t>> &visiting)
{
    const QString dir = withSlash(folder);
    DIR *d = ::opendir(QFile::encodeName(dir).constData());
    if (!d) {
        if (unlisted)
            unlisted->append({dir.mid(base.size()), errno});
        return;
    }
    struct stat self;
    if (::fstat(dirfd(d), &self) == 0) {
        for (const auto &v : visiting) {
            if (v.first == self.st_dev && v.second == self.st_ino) {
                ::closedir(d); // a link back into the tree being walked
                return;
            }
        }
        visiting.emplace_back(self.st_dev, self.st_ino);
    }
    while (struct dirent *ent = ::readdir(d)) {
        if (std::strcmp(ent->d_name, ".") == 0 || std::strcmp(ent->d_name, "..") == 0)
            continue;
        const QString name = QFile::decodeName(ent->d_name);
        if (!matchesFileMask(name, filter))
            continue;
        struct stat st;
        if (::fstatat(dirfd(d), ent->d_name, &st, 0) != 0)
            continue; // vanished, or a link to nothing
        if (S_ISDIR(st.st_mode))
            collect(dir + name, base, list, filter, unlisted, visiting);
        else // a FIFO, socket or device too: its turn reports it as a file that cannot be copied
            list.append((dir + name).mid(base.size()));
    }
    ::closedir(d);
    visiting.pop_back();
}

// Copies the files of a run ahead of the hand-offs, in order, on a thread
// of its own: the kernel copies while the worker and the window exchange
// events, so the wait for the window is not added to the copy time. Only
// files that do not exist at the destination yet are copied ahead (a file
// to be replaced waits for its turn); a copy made ahead that is not taken
// (the run was cancelled, or the source vanished before its turn) is
// removed again, so the destination is left as if it had never been made.
class CopyAhead
{
public:
    struct Copied {
        bool made = false; // false: not copied ahead, the caller copies
        int error = 0;
    };

    CopyAhead(const QStringList &files, const QString &src, const QString &dst)
        : m_files(files), m_src(src), m_dst(dst)
    {
        m_thread = std::thread([this] { loop(); });
    }

    ~CopyAhead()
    {
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_stop.store(true);
        }
        m_changed.notify_all();
        m_thread.join();
        for (const Entry &e : m_ready)
            discard(e);
    }

    // The outcome for file index (files before it that were skipped are
    // dropped).
    Copied take(qint64 index)
    {
        std::unique_lock<std::mutex> g(m_lock);
        for (;;) {
            while (!m_ready.empty() && m_ready.front().index < index) {
                discard(m_ready.front());
                m_bytesAhead -= m_ready.front().size;
                m_ready.pop_front();
            }
            if (!m_ready.empty() && m_ready.front().index == index) {
                const Entry e = m_ready.front();
                m_ready.pop_front();
                m_bytesAhead -= e.size;
                m_changed.notify_all();
                return e.copied;
            }
            m_changed.wait(g);
        }
    }

private:
    struct Entry {
        qint64 index;
        Copied copied;
        quint64 size;
    };

    static constexpr size_t kMaxFilesAhead = 4096;
    static constexpr quint64 kMaxBytesAhead = 1ull << 30;

    void discard(const Entry &e) const
    {
        if (e.copied.made && e.copied.error == 0)
            ::unlink(QFile::encodeName(m_dst + m_files[static_cast<qsizetype>(e.index)]).constData());
    }

    void loop()
    {
        QString madeFolder;
        for (qsizetype i = 0; i < m_files.size(); ++i) {
            {
                std::unique_lock<std::mutex> g(m_lock);
                m_changed.wait(g, [this] {
                    return m_stop.load() || (m_ready.size() < kMaxFilesAhead && m_bytesAhead < kMaxBytesAhead);
                });
                if (m_stop.load())
                    return;
            }
            const QString dstFile = m_dst + m_files[i];
            const QString folder = dstFile.left(dstFile.lastIndexOf(QLatin1Char('/')));
            Entry e{i, {}, 0};
            int err = 0;
            if (folder != madeFolder) {
                err = makePath(QFile::encodeName(folder));
                madeFolder = err == 0 ? folder : QString();
            }
            if (err == 0) {
                const QByteArray dstNative = QFile::encodeName(dstFile);
                err = copyFileKeepingTimes(QFile::encodeName(m_src + m_files[i]), dstNative, &m_stop, true,
                                           &e.size);
            }
            // A file already there, or a failure, is left to the file's turn.
            e.copied.made = err == 0;
            {
                std::lock_guard<std::mutex> g(m_lock);
                if (m_stop.load()) {
                    discard(e);
                    return;
                }
                m_bytesAhead += e.size;
                m_ready.push_back(e);
            }
            m_changed.notify_all();
        }
    }

    const QStringList &m_files;
    const QString m_src;
    const QString m_dst;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<Entry> m_ready;
    quint64 m_bytesAhead = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace

TFilesCopyMoveThread::TFilesCopyMoveThread(bool CreateSuspended, QObject *parent)
    : TFilesCopyMoveThread(CreateSuspended, QString(), QString(), QStringLiteral("*.*"), fwmCopy, parent)
{
}

TFilesCopyMoveThread::TFilesCopyMoveThread(bool CreateSuspended, const QString &aSrcDir, const QString &aDstDir,
                                           const QString &aFilesFilter, TFileWorkMode aMode, QObject *parent)
    : QThread(parent)
    , m_mode(aMode)
    , m_srcDir(aSrcDir)
    , m_dstDir(aDstDir)
    , m_filter(aFilesFilter)
{
    setObjectName(QStringLiteral("TCopyThread"));
    // The end of the run is handled on the creating thread, where this
    // object lives: the terminate handler, then the optional self-deletion.
    connect(this, &QThread::finished, this, [this] {
        wait();
        if (m_onTerminate)
            m_onTerminate(this);
        if (m_freeOnTerminate)
            deleteLater();
    }, Qt::QueuedConnection);
    if (!CreateSuspended)
        QMetaObject::invokeMethod(this, [this] { start(); }, Qt::QueuedConnection);
}

TFilesCopyMoveThread::~TFilesCopyMoveThread()
{
    // A worker waiting for a hand-off to this (the creating) thread would
    // wait forever: release it, and let it stop before its next file (the
    // stop is set first, so that a released worker always sees it).
    m_terminated.store(true);
    m_abandon.store(true);
    wait();
}

bool TFilesCopyMoveThread::handOff(const std::function<void()> &fn)
{
    struct Call {
        QSemaphore done;
    };
    auto call = std::make_shared<Call>();
    const std::function<void()> *target = &fn;
    QMetaObject::invokeMethod(this, [this, call, target] {
        if (!m_abandon.load())
            (*target)();
        call->done.release();
    }, Qt::QueuedConnection);
    if (m_onHandOffWaiting)
        m_onHandOffWaiting();
    // The window usually answers within microseconds: look again a few
    // times before going to sleep, since a sleeping worker costs a wake-up
    // per file.
    for (int spin = 0; spin < 64; ++spin) {
        if (call->done.tryAcquire())
            return true;
        QThread::yieldCurrentThread();
    }
    while (!call->done.tryAcquire(1, 50)) {
        if (m_abandon.load())
            return false;
    }
    return true;
}

void TFilesCopyMoveThread::CollectFiles(const QString &folder, const QString &base, QStringList &list,
                                        const QString &filter, QList<QPair<QString, int>> *unlisted)
{
    std::vector<std::pair<dev_t, ino_t>> visiting;
    collect(folder, withSlash(base), list, filter.isEmpty() ? QStringLiteral("*.*") : filter, unlisted,
            visiting);
}

void TFilesCopyMoveThread::run()
{
    try {
        body();
    } catch (const EFilesCopyMoveThreadException &e) {
        m_fatal = QString::fromUtf8(e.what());
    }
}

void TFilesCopyMoveThread::body()
{
    const QString srcTrim = m_srcDir.trimmed();
    const QString dstTrim = m_dstDir.trimmed();
    if (srcTrim.isEmpty() || dstTrim.isEmpty()) {
        m_returnValue = 3;
        throw EFilesCopyMoveThreadException("Source or destination directories not specified.");
    }
    if (srcTrim == dstTrim || canonicalFolder(srcTrim) == canonicalFolder(dstTrim)) {
        m_returnValue = 5;
        throw EFilesCopyMoveThreadException("Source and destination directories is equal.");
    }
    const QString src = withSlash(srcTrim);
    const QString dst = withSlash(dstTrim);

    // A missing source is a failure, not an empty copy: creating it would
    // make a backup of nothing look like a success.
    struct stat st;
    if (::stat(QFile::encodeName(src).constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        m_returnValue = 2;
        throw EFilesCopyMoveThreadException("Source directory not found.");
    }
    makePath(QFile::encodeName(dst));

    m_files.clear();
    QList<QPair<QString, int>> unlisted;
    CollectFiles(src, src, m_files, m_filter, &unlisted);
    if (unlisted.size() == 1 && unlisted.first().first.isEmpty()) {
        m_returnValue = 2;
        throw EFilesCopyMoveThreadException("Source directory not found.");
    }
    // Folders whose files cannot be seen are reported first, so that the
    // handler can stop a backup that would miss them.
    for (const auto &folder : unlisted) {
        const QString path = src + folder.first;
        const auto code = static_cast<quint32>(folder.second);
        if (m_onFileResult)
            handOff([&] { m_onFileResult(this, path, true, m_mode, true, code); });
    }

    const qint64 n = m_files.size();
    QString madeFolder; // the destination folder made for the previous file

    // A file's result and the next file's progress go over in one hand-off:
    // the worker waits while both handlers run, in that order, so they see
    // the run exactly as with one hand-off each, at half the thread switches
    // (which cost more than copying a small file).
    struct Result {
        QString file;
        int error;
    };
    std::optional<Result> result;
    auto reportResult = [&] {
        if (result && m_onFileResult)
            m_onFileResult(this, result->file, false, m_mode, result->error != 0, static_cast<quint32>(result->error));
        result.reset();
    };

    // Copies are made ahead when there are hand-offs to overlap (a move is
    // a rename and has nothing to gain).
    std::optional<CopyAhead> ahead;
    if (m_mode == fwmCopy && (m_onProgress || m_onFileResult) && n > 0)
        ahead.emplace(m_files, src, dst);

    for (qint64 i = 0; i < n; ++i) {
        if (m_terminated.load())
            break;
        const QString &name = m_files[static_cast<qsizetype>(i)];
        const QString srcFile = src + name;
        const QString dstFile = dst + name;
        const QByteArray srcNative = QFile::encodeName(srcFile);
        const QByteArray dstNative = QFile::encodeName(dstFile);

        struct stat s;
        if (::lstat(srcNative.constData(), &s) != 0)
            continue; // removed since the listing

        bool cancel = false;
        const std::function<void()> handlers = [&] {
            reportResult();
            if (m_onProgress)
                m_onProgress(this, srcFile, false, m_mode, i, n - 1, cancel);
        };
        if (m_onProgress || (result && m_onFileResult))
            handOff(handlers);
        result.reset();
        if (cancel)
            m_terminated.store(true);
        if (m_terminated.load())
            break;

        int err = 0;
        if (!ahead || !ahead->take(i).made) {
            const QString folder = dstFile.left(dstFile.lastIndexOf(QLatin1Char('/')));
            if (folder != madeFolder) {
                err = makePath(QFile::encodeName(folder));
                madeFolder = err == 0 ? folder : QString();
            }
            if (err == 0)
                err = m_mode == fwmCopy ? copyFileKeepingTimes(srcNative, dstNative)
                                        : moveFileReplacing(srcNative, dstNative);
        }
        result = Result{srcFile, err};
    }
    if (result && m_onFileResult)
        handOff(reportResult);
}

} // namespace dozorix
