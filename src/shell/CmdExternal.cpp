#include "shell/CmdExternal.h"

#include "common/Platform.h"
#include "common/SafeFile.h"
#include "common/TextCodec.h"
#include "common/WindowsPath.h"
#include "shell/CmdInterpreter.h"
#include "shell/CmdMessages.h"
#include "shell/HandOffFile.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <unistd.h>

namespace dozorix {
namespace {

using cmdmessages::kCrLf;

// Output of Linux programs: UTF-8 re-encoded into the console code page, one
// stream at a time and one line at a time. A line that is not UTF-8 (a Wine
// program writing its own code page) passes unchanged.
class Utf8Recoder
{
public:
    explicit Utf8Recoder(CodePage page) : m_page(page) {}

    QByteArray feed(const QByteArray &chunk)
    {
        if (m_page == CodePage::Utf8)
            return chunk;
        m_pending.append(chunk);
        qsizetype end = m_pending.lastIndexOf('\n') + 1;
        if (end == 0 && m_pending.size() > kMaxLine) {
            // A very long line: cut it where no UTF-8 sequence is split.
            end = m_pending.size();
            for (int back = 0; back < 3 && end > 0 && (static_cast<unsigned char>(m_pending[end - 1]) & 0xC0) == 0x80; ++back)
                --end;
            if (end > 0 && static_cast<unsigned char>(m_pending[end - 1]) >= 0xC0)
                --end;
        }
        if (end <= 0)
            return QByteArray();
        const QByteArray lines = m_pending.left(end);
        m_pending.remove(0, end);
        return recode(lines);
    }

    QByteArray finish()
    {
        const QByteArray rest = m_pending;
        m_pending.clear();
        return m_page == CodePage::Utf8 ? rest : recode(rest);
    }

private:
    static constexpr qsizetype kMaxLine = 1 << 20;

    QByteArray recode(const QByteArray &lines) const
    {
        QByteArray out;
        out.reserve(lines.size());
        qsizetype start = 0;
        while (start < lines.size()) {
            qsizetype stop = lines.indexOf('\n', start);
            stop = stop < 0 ? lines.size() : stop + 1;
            const QByteArray line = lines.mid(start, stop - start);
            out.append(isValidUtf8(line) ? encode(QString::fromUtf8(line), m_page) : line);
            start = stop;
        }
        return out;
    }

    CodePage m_page;
    QByteArray m_pending;
};

// The account whose identity redirections are opened with
// (setRedirectionAccount); none while redirectionAccountSet is false.
std::atomic<bool> redirectionAccountSet{false};
std::atomic<quint32> redirectionUid{0};
std::atomic<quint32> redirectionGid{0};

// The file-system identity of this thread switched to that account for the
// lifetime of the object (Linux keeps it per thread), then back.
class RedirectionIdentity
{
public:
    RedirectionIdentity()
    {
        if (!redirectionAccountSet.load())
            return;
        m_gid = ::setfsgid(redirectionGid.load());
        m_uid = ::setfsuid(redirectionUid.load());
        m_active = true;
    }
    ~RedirectionIdentity()
    {
        if (!m_active)
            return;
        ::setfsuid(m_uid);
        ::setfsgid(m_gid);
    }
    RedirectionIdentity(const RedirectionIdentity &) = delete;
    RedirectionIdentity &operator=(const RedirectionIdentity &) = delete;

private:
    bool m_active = false;
    int m_uid = 0;
    int m_gid = 0;
};

// A file a redirection opened for output; closed with the sink.
class FdSink : public ByteSink
{
public:
    explicit FdSink(int fd) : m_fd(fd) {}
    ~FdSink() override { ::close(m_fd); }
    FdSink(const FdSink &) = delete;
    FdSink &operator=(const FdSink &) = delete;
    void write(const QByteArray &bytes) override
    {
        const char *p = bytes.constData();
        qsizetype left = bytes.size();
        while (left > 0) {
            const ssize_t n = ::write(m_fd, p, static_cast<size_t>(left));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            p += n;
            left -= n;
        }
    }

private:
    int m_fd;
};

} // namespace

// ---------------------------------------------------------------------------
// Redirections

void setRedirectionAccount(quint32 uid, quint32 gid)
{
    redirectionUid = uid;
    redirectionGid = gid;
    redirectionAccountSet = true;
}

CommandStreams::CommandStreams(ByteSink *out, ByteSink *err)
    : m_out(out)
    , m_err(err)
{
}

CommandStreams::~CommandStreams()
{
    if (m_input >= 0)
        ::close(m_input);
}

int CommandStreams::redirect(const cmdsyntax::Redirection &r, const QString &workingDirectory)
{
    if (r.duplicateOf >= 0) {
        if (r.fd == 1)
            m_out = r.duplicateOf == 2 ? m_err : m_out;
        else
            m_err = r.duplicateOf == 1 ? m_out : m_err;
        return 0;
    }
    const QString path = toLocalPath(r.target, workingDirectory);
    int fd = -1;
    int error = ENOENT;
    if (!path.isEmpty()) {
        const RedirectionIdentity identity;
        const int flags = r.fd == 0 ? O_RDONLY : (O_WRONLY | O_CREAT | (r.append ? O_APPEND : O_TRUNC));
        if (isHandOffFile(path)) {
            // A link or a FIFO planted as temp.txt is neither written
            // through nor waited on.
            fd = openRegularFile(path, flags, nullptr, 0666);
            error = EACCES;
        } else {
            fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC, 0666);
            error = errno;
        }
    }
    if (fd < 0)
        return error;
    if (r.fd == 0) {
        if (m_input >= 0)
            ::close(m_input);
        m_input = fd;
        return 0;
    }
    m_files.push_back(std::make_unique<FdSink>(fd));
    (r.fd == 1 ? m_out : m_err) = m_files.back().get();
    return 0;
}

// ---------------------------------------------------------------------------
// Linux programs

int CmdInterpreter::runExternal(const QStringList &argvIn, int stdinFd, ByteSink *out, ByteSink *err)
{
    QStringList argv = argvIn;
    const QString written = argv.front();
    if (written.contains(QLatin1Char('/')) || written.contains(QLatin1Char('\\')))
        argv.front() = toLocalPath(written, m_workingDirectory);

    auto notFound = [&] {
        if (err)
            err->write(encodeOutput(cmdmessages::notFound(written)));
        return kCommandNotFound;
    };
    if (argv.front().isEmpty())
        return notFound();

    // One pipe per distinct destination; a shared one keeps the order of
    // output and error lines when both go to the same place.
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (out && ::pipe2(outPipe, O_CLOEXEC) != 0)
        return 1;
    if (err && err != out && ::pipe2(errPipe, O_CLOEXEC) != 0) {
        if (outPipe[0] >= 0) {
            ::close(outPipe[0]);
            ::close(outPipe[1]);
        }
        return 1;
    }

    SpawnRequest request;
    request.argv = argv;
    request.workingDirectory = m_workingDirectory;
    request.stdinFd = stdinFd;
    request.stdoutFd = out ? outPipe[1] : -1;
    request.stderrFd = err ? (err == out ? outPipe[1] : errPipe[1]) : -1;
    request.ownProcessGroup = m_watchPrograms;
    SpawnResult started = spawnProgram(request);
    if (started.error == ENOENT && argv.front().endsWith(QLatin1String(".exe"), Qt::CaseInsensitive)) {
        request.argv.front().chop(4); // "ping.exe" -> "ping"
        started = spawnProgram(request);
    }
    if (outPipe[1] >= 0)
        ::close(outPipe[1]);
    if (errPipe[1] >= 0)
        ::close(errPipe[1]);

    if (started.error != 0) {
        if (outPipe[0] >= 0)
            ::close(outPipe[0]);
        if (errPipe[0] >= 0)
            ::close(errPipe[0]);
        if (started.error == ENOENT || started.error == ENOTDIR)
            return notFound();
        if (err)
            err->write(encodeOutput(cmdmessages::osErrorText(started.error) + kCrLf));
        return 1;
    }
    if (m_watchPrograms)
        emit programStarted(started.pid);

    struct Stream {
        int fd;
        ByteSink *sink;
        Utf8Recoder recoder;
    };
    std::vector<Stream> streams;
    if (outPipe[0] >= 0)
        streams.push_back({outPipe[0], out, Utf8Recoder(m_codePage)});
    if (errPipe[0] >= 0)
        streams.push_back({errPipe[0], err, Utf8Recoder(m_codePage)});

    QByteArray buffer(65536, Qt::Uninitialized);
    size_t open = streams.size();
    while (open > 0) {
        std::vector<pollfd> fds;
        for (const Stream &s : streams)
            fds.push_back({s.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (size_t k = 0; k < streams.size(); ++k) {
            Stream &s = streams[k];
            if (s.fd < 0 || fds[k].revents == 0)
                continue;
            const ssize_t got = ::read(s.fd, buffer.data(), static_cast<size_t>(buffer.size()));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                s.sink->write(s.recoder.finish());
                ::close(s.fd);
                s.fd = -1;
                --open;
                continue;
            }
            s.sink->write(s.recoder.feed(QByteArray(buffer.constData(), got)));
        }
        std::erase_if(streams, [](const Stream &s) { return s.fd < 0; });
    }
    for (Stream &s : streams) {
        if (s.fd >= 0)
            ::close(s.fd);
    }
    if (m_watchPrograms) {
        waitForProgramEnd(started.pid);
        emit programEnded(started.pid);
    }
    return waitForProgram(started.pid);
}

} // namespace dozorix
