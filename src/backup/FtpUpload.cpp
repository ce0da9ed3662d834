#include "backup/FtpUpload.h"

#include "backup/DiskSpace.h"
#include "common/IniFile.h"
#include "common/SystemErrors.h"
#include "common/TimeScale.h"

#include <QElapsedTimer>
#include <QFile>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dozorix {
namespace {

const QString kSection = QStringLiteral("BACKUP");

constexpr long kConnectTimeoutSeconds = 30;
constexpr long kResponseTimeoutSeconds = 60;
// The transfer's first minute is not held to FtpMinSpeed (designed time).
constexpr qint64 kMinSpeedWarmUpMs = 60 * 1000;

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

// An IPv4 or IPv6 address with its port, as the system gives it.
struct Endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;

    bool valid() const { return length > 0; }
    bool sameHost(const Endpoint &other) const
    {
        if (address.ss_family != other.address.ss_family)
            return false;
        if (address.ss_family == AF_INET)
            return reinterpret_cast<const sockaddr_in &>(address).sin_addr.s_addr
                   == reinterpret_cast<const sockaddr_in &>(other.address).sin_addr.s_addr;
        if (address.ss_family == AF_INET6)
            return std::memcmp(&reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr,
                               &reinterpret_cast<const sockaddr_in6 &>(other.address).sin6_addr, sizeof(in6_addr))
                   == 0;
        return false;
    }
    bool operator==(const Endpoint &other) const { return sameHost(other) && port() == other.port(); }
    int port() const
    {
        if (address.ss_family == AF_INET)
            return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
        if (address.ss_family == AF_INET6)
            return ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
        return -1;
    }
    // "127.0.0.1", "::1".
    QString hostText() const
    {
        char host[INET6_ADDRSTRLEN] = {};
        if (address.ss_family == AF_INET)
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(address).sin_addr, host, sizeof host);
        else if (address.ss_family == AF_INET6)
            inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr, host, sizeof host);
        else
            return QStringLiteral("?");
        return QString::fromLatin1(host);
    }
    // "127.0.0.1:40123", "[::1]:40123".
    QString text() const
    {
        if (address.ss_family == AF_INET)
            return QStringLiteral("%1:%2").arg(hostText()).arg(port());
        if (address.ss_family == AF_INET6)
            return QStringLiteral("[%1]:%2").arg(hostText()).arg(port());
        return QStringLiteral("?");
    }

    static Endpoint of(const sockaddr *address, socklen_t length)
    {
        Endpoint e;
        if (address && length > 0 && length <= static_cast<socklen_t>(sizeof e.address)) {
            std::memcpy(&e.address, address, length);
            e.length = length;
        }
        return e;
    }
    static Endpoint peerOf(curl_socket_t fd)
    {
        Endpoint e;
        socklen_t length = sizeof e.address;
        if (::getpeername(fd, reinterpret_cast<sockaddr *>(&e.address), &length) == 0)
            e.length = length;
        return e;
    }
};

// Why the upload was ended from this side.
enum class Stop { None, Cancelled, TooSlow, TimeLimit };

// State of one upload, shared with the library's callbacks.
struct Transfer {
    QFile *file = nullptr;
    qint64 total = 0;
    const FtpUploadEvents *events = nullptr;
    const std::atomic_bool *cancel = nullptr;
    bool active = false;
    bool connected = false;
    qint64 lastReported = -1;
    QByteArray lastRefusal; // the server's last 4xx/5xx reply
    // The sockets change on the library's thread under this lock, so that a
    // cancel from another thread may cut them (CancelWatch).
    std::mutex socketLock;
    curl_socket_t control = CURL_SOCKET_BAD;
    bool controlClosedByServer = false; // the server sent FIN on the control connection

    // The data connection: the socket and the server's end of it.
    curl_socket_t data = CURL_SOCKET_BAD;
    Endpoint dataPeer;
    Endpoint passiveTarget;   // where a passive data connection was opened to
    bool strangerRefused = false; // an active data connection came from another host than the server:
    Endpoint refusedStranger;     // its address...
    Endpoint refusedServer;       // ...and the server's it was compared with

    // The limits: real milliseconds since the upload began.
    QElapsedTimer clock;
    qint64 transferStartMs = -1; // APPE sent
    qint64 minBytesPerSecond = 0;
    qint64 warmUpMs = 0;
    qint64 timeLimitMs = 0;
    Stop stop = Stop::None;
    qint64 sentAtStop = 0;    // bytes written into the data connection when this side ended the upload
    qint64 takenAtStop = 0;   // bytes the server had taken by then
    qint64 elapsedAtStop = 0; // real ms of transfer by then
};

// The bytes of the archive the server has taken: what went into the data
// connection less what its peer has not acknowledged yet. The socket's
// buffers hold megabytes, minutes of a slow server's reading.
qint64 takenByServer(const Transfer &t, qint64 sent)
{
    if (t.data == CURL_SOCKET_BAD || !t.dataPeer.valid())
        return sent;
    if (!(Endpoint::peerOf(t.data) == t.dataPeer))
        return sent; // closed already (the number may be another socket's by now)
    int pending = 0;
    if (::ioctl(t.data, SIOCOUTQ, &pending) != 0 || pending < 0)
        return sent;
    return qMax<qint64>(0, sent - pending);
}

size_t readFile(char *buffer, size_t size, size_t count, void *userdata)
{
    auto *t = static_cast<Transfer *>(userdata);
    const qint64 n = t->file->read(buffer, static_cast<qint64>(size * count));
    return n < 0 ? CURL_READFUNC_ABORT : static_cast<size_t>(n);
}

int onDebug(CURL *, curl_infotype type, char *data, size_t size, void *userdata)
{
    auto *t = static_cast<Transfer *>(userdata);
    const QByteArray text(data, static_cast<qsizetype>(size));
    if (type == CURLINFO_HEADER_OUT && text.startsWith("APPE ") && !t->connected) {
        // Logged in, in the folder, data connection arranged: the transfer starts.
        t->connected = true;
        t->transferStartMs = t->clock.elapsed();
        if (t->events->connected)
            t->events->connected();
        if (t->events->started)
            t->events->started(t->total);
    } else if (type == CURLINFO_HEADER_IN) {
        for (QByteArray line : text.split('\n')) {
            line = line.trimmed();
            if (line.size() >= 3 && (line[0] == '4' || line[0] == '5'))
                t->lastRefusal = line;
        }
    }
    return 0;
}

// Ends the upload from the progress callback, keeping why and the figures.
int stopWith(Transfer *t, Stop why, qint64 sent)
{
    t->stop = why;
    t->sentAtStop = sent;
    t->takenAtStop = takenByServer(*t, sent);
    t->elapsedAtStop = t->transferStartMs >= 0 ? t->clock.elapsed() - t->transferStartMs : 0;
    return 1;
}

int onProgress(void *userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow)
{
    auto *t = static_cast<Transfer *>(userdata);
    const auto sent = static_cast<qint64>(ulnow);
    if (t->cancel && t->cancel->load())
        return stopWith(t, Stop::Cancelled, sent);
    if (t->timeLimitMs > 0 && t->clock.elapsed() >= t->timeLimitMs)
        return stopWith(t, Stop::TimeLimit, sent);
    if (t->minBytesPerSecond > 0 && t->transferStartMs >= 0) {
        // After the warm-up, the average rate since APPE, in real bytes per real second.
        const qint64 elapsed = t->clock.elapsed() - t->transferStartMs;
        if (elapsed >= t->warmUpMs && elapsed > 0) {
            const qint64 taken = takenByServer(*t, sent);
            if (taken < t->total
                && static_cast<double>(taken) * 1000.0
                       < static_cast<double>(t->minBytesPerSecond) * static_cast<double>(elapsed))
                return stopWith(t, Stop::TooSlow, sent);
        }
    }
    if (t->connected && ulnow != t->lastReported) {
        t->lastReported = ulnow;
        if (t->events->progress)
            t->events->progress(static_cast<qint64>(ulnow));
    }
    return 0;
}

// Close-on-exec sockets; the first one is the control connection, a later
// one in passive mode the data connection to the address of the PASV reply.
curl_socket_t openSocket(void *userdata, curlsocktype, curl_sockaddr *address)
{
    auto *t = static_cast<Transfer *>(userdata);
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0)
        return CURL_SOCKET_BAD;
    const std::lock_guard lock(t->socketLock);
    if (t->control == CURL_SOCKET_BAD) {
        t->control = fd;
    } else if (!t->active) {
        t->data = fd;
        t->passiveTarget = Endpoint::of(&address->addr, address->addrlen);
        t->dataPeer = t->passiveTarget;
    }
    return fd;
}

// An active data connection is taken only from the host the control
// connection goes to: whoever else reaches the announced port first gets
// nothing and ends the upload.
int onSocketOptions(void *userdata, curl_socket_t fd, curlsocktype purpose)
{
    auto *t = static_cast<Transfer *>(userdata);
    if (purpose != CURLSOCKTYPE_ACCEPT)
        return CURL_SOCKOPT_OK;
    const Endpoint peer = Endpoint::peerOf(fd);
    const Endpoint server = t->control == CURL_SOCKET_BAD ? Endpoint() : Endpoint::peerOf(t->control);
    if (!peer.valid() || !server.valid() || !peer.sameHost(server)) {
        t->strangerRefused = true;
        t->refusedStranger = peer;
        t->refusedServer = server;
        return CURL_SOCKOPT_ERROR;
    }
    t->data = fd;
    t->dataPeer = peer;
    return CURL_SOCKOPT_OK;
}

int closeSocket(void *userdata, curl_socket_t fd)
{
    auto *t = static_cast<Transfer *>(userdata);
    const std::lock_guard lock(t->socketLock);
    if (fd == t->data) {
        t->data = CURL_SOCKET_BAD;
        t->dataPeer = {};
    }
    if (fd == t->control) {
        // An orderly end from the server reads as end of file, again and again.
        char byte;
        if (::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
            t->controlClosedByServer = true;
        t->control = CURL_SOCKET_BAD;
    }
    return ::close(fd);
}

// A cancel that cannot wait for the library to look: while it waits for
// the server's last answer (the archive sent, a slow server still reading
// it) the library calls no progress callback, so the connections are cut
// under it and it ends at once.
class CancelWatch
{
public:
    explicit CancelWatch(Transfer &t)
        : m_t(t)
    {
        if (t.cancel)
            m_thread = std::thread([this] { watch(); });
    }
    ~CancelWatch()
    {
        {
            const std::lock_guard lock(m_lock);
            m_done = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }
    CancelWatch(const CancelWatch &) = delete;
    CancelWatch &operator=(const CancelWatch &) = delete;

private:
    void watch()
    {
        std::unique_lock lock(m_lock);
        while (!m_done) {
            if (m_t.cancel->load()) {
                const std::lock_guard sockets(m_t.socketLock);
                for (const curl_socket_t fd : {m_t.control, m_t.data}) {
                    if (fd != CURL_SOCKET_BAD)
                        ::shutdown(fd, SHUT_RDWR);
                }
                return;
            }
            m_changed.wait_for(lock, std::chrono::milliseconds(50));
        }
    }

    Transfer &m_t;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_done = false;
    std::thread m_thread;
};

QString withDetails(const QString &what, const QString &libraryText, const QByteArray &refusal)
{
    QString out = what;
    if (!libraryText.isEmpty())
        out += QStringLiteral(" (") + libraryText + QLatin1Char(')');
    if (!refusal.isEmpty())
        out += QStringLiteral(", ответ сервера: ") + QString::fromUtf8(refusal);
    return out;
}

QString amount(qint64 bytes)
{
    return sizeText(static_cast<quint64>(std::max<qint64>(0, bytes)));
}

// The reason of an upload this side ended; empty when it was not.
QString stopReason(const Transfer &t, const FtpSettings &s)
{
    switch (t.stop) {
    case Stop::None:
        return {};
    case Stop::Cancelled:
        return QStringLiteral("отправка прервана");
    case Stop::TimeLimit:
        return QStringLiteral("отправка на сервер FTP не уложилась в %1 ч (FtpTimeLimit): отправлено %2 из %3")
            .arg(s.timeLimitHours)
            .arg(amount(t.sentAtStop), amount(t.total));
    case Stop::TooSlow: {
        const double seconds = static_cast<double>(t.elapsedAtStop) / 1000.0;
        const double rate = seconds > 0 ? static_cast<double>(t.takenAtStop) / 1024.0 / seconds : 0.0;
        return QStringLiteral("сервер FTP принимает архив слишком медленно: в среднем %1 КБ/с за %2 с, "
                              "а нужно не меньше %3 КБ/с (FtpMinSpeed); сервер принял %4 из %5")
            .arg(QString::number(rate, 'f', 1), QString::number(seconds, 'f', 1))
            .arg(s.minSpeedKBps)
            .arg(amount(t.takenAtStop), amount(t.total));
    }
    }
    return {};
}

QString failureReason(CURLcode code, const QString &libraryText, long osErrno, const Transfer &t,
                      const FtpSettings &s)
{
    if (t.strangerRefused)
        return QStringLiteral("соединение данных пришло не от сервера FTP %1, а с адреса %2: "
                              "соединение отклонено, архив не отправлен")
            .arg(t.refusedServer.valid() ? t.refusedServer.hostText() : QStringLiteral("?"),
                 t.refusedStranger.valid() ? t.refusedStranger.text() : QStringLiteral("?"));
    if (code == CURLE_COULDNT_CONNECT && t.passiveTarget.valid())
        return QStringLiteral("не удалось открыть соединение данных с сервером FTP %1 (%2)")
            .arg(t.passiveTarget.text(), osErrno != 0 ? systemErrorText(static_cast<int>(osErrno)) : libraryText);
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return withDetails(QStringLiteral("не найден сервер FTP «%1»").arg(s.host), libraryText, {});
    case CURLE_COULDNT_CONNECT:
        return withDetails(QStringLiteral("не удалось подключиться к серверу FTP %1:%2").arg(s.host, s.port),
                           libraryText, {});
    case CURLE_OPERATION_TIMEDOUT:
        return withDetails(QStringLiteral("сервер FTP не отвечает"), libraryText, t.lastRefusal);
    case CURLE_LOGIN_DENIED:
        return withDetails(QStringLiteral("сервер FTP отклонил логин или пароль"), libraryText, t.lastRefusal);
    case CURLE_REMOTE_ACCESS_DENIED:
        if (!t.connected && !s.remoteDir.isEmpty())
            return withDetails(QStringLiteral("на сервере FTP нет каталога «%1» или в него нельзя перейти")
                                   .arg(s.remoteDir),
                               libraryText, t.lastRefusal);
        return withDetails(QStringLiteral("сервер FTP отказал в доступе"), libraryText, t.lastRefusal);
    case CURLE_UPLOAD_FAILED:
        return withDetails(QStringLiteral("сервер FTP не принял файл"), libraryText, t.lastRefusal);
    case CURLE_ABORTED_BY_CALLBACK:
        return QStringLiteral("отправка прервана");
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_ACCEPT_TIMEOUT:
        return withDetails(t.connected ? QStringLiteral("передача на сервер FTP прервана")
                                       : QStringLiteral("соединение с сервером FTP прервано"),
                           libraryText, t.lastRefusal);
    default:
        return withDetails(QStringLiteral("ошибка FTP"), libraryText, t.lastRefusal);
    }
}

// A limit key: a whole number from 0 up; anything else gives the default.
int readLimit(const IniFile &ini, const QString &key, int def)
{
    int value = 0;
    if (!IniFile::parseInteger(ini.readString(kSection, key, QString()).trimmed(), &value) || value < 0)
        return def;
    return value;
}

QByteArray percentPath(const QString &path)
{
    return QUrl::toPercentEncoding(path, "/");
}

} // namespace

FtpSettings readFtpSettings(const IniFile &ini)
{
    FtpSettings s;
    s.host = ini.readString(kSection, QStringLiteral("HostFTP"), s.host);
    s.login = ini.readString(kSection, QStringLiteral("LoginFTP"), s.login);
    s.password = ini.readString(kSection, QStringLiteral("PassFTP"), s.password);
    s.port = ini.readString(kSection, QStringLiteral("PortFTP"), s.port);
    s.remoteDir = ini.readString(kSection, QStringLiteral("DirUdalennoFTP"), s.remoteDir);
    s.passive = ini.readBool(kSection, QStringLiteral("PassiveFTP"), s.passive);
    s.active = ini.readBool(kSection, QStringLiteral("ActiveFTP"), s.active);
    s.minSpeedKBps = readLimit(ini, QStringLiteral("FtpMinSpeed"), s.minSpeedKBps);
    s.timeLimitHours = readLimit(ini, QStringLiteral("FtpTimeLimit"), s.timeLimitHours);
    return s;
}

bool parseFtpPort(const QString &text, int *port)
{
    int value = 0;
    if (!IniFile::parseInteger(text.trimmed(), &value) || value < 1 || value > 65535)
        return false;
    *port = value;
    return true;
}

FtpUploadResult uploadFileAppend(const FtpSettings &settings, const QString &localPath, const QString &remoteName,
                                 const FtpUploadEvents &events, const std::atomic_bool *cancel)
{
    FtpUploadResult result;
    // CR or LF would end one FTP command and start another; NUL cuts the text.
    const struct {
        const QString &value;
        const char *what;
    } fields[] = {
        {settings.host, "имя сервера FTP"},
        {settings.login, "логин FTP"},
        {settings.password, "пароль FTP"},
        {settings.remoteDir, "удалённый каталог FTP"},
        {remoteName, "имя файла на сервере FTP"},
    };
    for (const auto &field : fields) {
        if (field.value.contains(QLatin1Char('\r')) || field.value.contains(QLatin1Char('\n'))
            || field.value.contains(QChar(0))) {
            result.error = QStringLiteral("%1 содержит недопустимый символ (возврат каретки, перевод строки "
                                          "или нулевой символ): подключение к серверу FTP не выполнялось")
                               .arg(QString::fromUtf8(field.what));
            return result;
        }
    }
    int port = 0;
    if (!parseFtpPort(settings.port, &port)) {
        result.error = QStringLiteral("порт FTP «%1» не является числом от 1 до 65535").arg(settings.port);
        return result;
    }
    const QString host = settings.host.trimmed();
    if (host.isEmpty() || host.contains(QLatin1Char('/')) || host.contains(QLatin1Char('@'))
        || host.contains(QLatin1Char(' '))) {
        result.error = QStringLiteral("неверное имя сервера FTP «%1»").arg(settings.host);
        return result;
    }
    // Opened by hand for the system's reason of a failure.
    const int fd = ::open(QFile::encodeName(localPath).constData(), O_RDONLY | O_CLOEXEC);
    int openError = fd < 0 ? errno : 0;
    struct stat info {};
    if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode))
        openError = EISDIR;
    QFile file;
    if (openError == 0 && !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        openError = EBADF;
    if (openError != 0) {
        if (fd >= 0 && !file.isOpen())
            ::close(fd);
        result.error = QStringLiteral("не удалось открыть файл %1 (%2)").arg(localPath, systemErrorText(openError));
        return result;
    }

    initCurlOnce();
    Transfer t;
    t.file = &file;
    t.total = file.size();
    t.events = &events;
    t.cancel = cancel;
    t.active = ftpUsesActiveMode(settings);
    t.minBytesPerSecond = static_cast<qint64>(qMax(0, settings.minSpeedKBps)) * 1024;
    t.warmUpMs = scaledMs(kMinSpeedWarmUpMs);
    t.timeLimitMs = settings.timeLimitHours > 0 ? scaledMs(qint64(settings.timeLimitHours) * 3600 * 1000) : 0;
    char errorText[CURL_ERROR_SIZE] = {};

    EasyHandle easy(curl_easy_init());
    if (!easy) {
        result.error = QStringLiteral("библиотека FTP не смогла начать сеанс");
        return result;
    }
    CURL *c = easy.get();

    // ftp://host:port/[folder/]name; a folder from the root keeps its "/" as %2F.
    QString dir = settings.remoteDir.trimmed();
    QByteArray path;
    if (!dir.isEmpty()) {
        const bool fromRoot = dir.startsWith(QLatin1Char('/'));
        while (dir.endsWith(QLatin1Char('/')))
            dir.chop(1);
        while (dir.startsWith(QLatin1Char('/')))
            dir.remove(0, 1);
        path = (fromRoot ? QByteArray("%2F") : QByteArray()) + percentPath(dir);
        if (!path.isEmpty())
            path += '/';
    }
    path += QUrl::toPercentEncoding(remoteName);
    const QByteArray url = "ftp://" + QUrl::toAce(host) + ':' + QByteArray::number(port) + '/' + path;
    const QByteArray user = settings.login.toUtf8();
    const QByteArray password = settings.password.toUtf8();

    curl_easy_setopt(c, CURLOPT_URL, url.constData());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, kResponseTimeoutSeconds);
    curl_easy_setopt(c, CURLOPT_ACCEPTTIMEOUT_MS, kResponseTimeoutSeconds * 1000);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, kResponseTimeoutSeconds);
    if (t.timeLimitMs > 0) // the progress callback ends it first, with the figures
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(t.timeLimitMs));
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(c, CURLOPT_USERNAME, user.constData());
    curl_easy_setopt(c, CURLOPT_PASSWORD, password.constData());
    curl_easy_setopt(c, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
    curl_easy_setopt(c, CURLOPT_TRANSFERTEXT, 0L);
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_APPEND, 1L);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(t.total));
    curl_easy_setopt(c, CURLOPT_READFUNCTION, readFile);
    curl_easy_setopt(c, CURLOPT_READDATA, &t);
    if (t.active) {
        curl_easy_setopt(c, CURLOPT_FTPPORT, "-"); // the control connection's own address
        curl_easy_setopt(c, CURLOPT_FTP_USE_EPRT, 0L);
    } else {
        curl_easy_setopt(c, CURLOPT_FTP_USE_EPSV, 0L);
    }
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, onDebug);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &t);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, openSocket);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, &t);
    curl_easy_setopt(c, CURLOPT_CLOSESOCKETFUNCTION, closeSocket);
    curl_easy_setopt(c, CURLOPT_CLOSESOCKETDATA, &t);
    curl_easy_setopt(c, CURLOPT_SOCKOPTFUNCTION, onSocketOptions);
    curl_easy_setopt(c, CURLOPT_SOCKOPTDATA, &t);

    t.clock.start();
    CURLcode code;
    {
        const CancelWatch watch(t);
        code = curl_easy_perform(c);
    }
    curl_off_t sent = 0;
    curl_easy_getinfo(c, CURLINFO_SIZE_UPLOAD_T, &sent);
    long osErrno = 0;
    curl_easy_getinfo(c, CURLINFO_OS_ERRNO, &osErrno);
    if (code == CURLE_OPERATION_TIMEDOUT && t.stop == Stop::None && t.timeLimitMs > 0
        && t.clock.elapsed() >= t.timeLimitMs)
        stopWith(&t, Stop::TimeLimit, static_cast<qint64>(sent)); // the library's clock was first
    easy.reset(); // closes the connections (QUIT after a success)
    result.sent = static_cast<qint64>(sent);
    if (code == CURLE_OK) {
        result.ok = true;
        return result;
    }
    if (t.cancel && t.cancel->load() && t.stop == Stop::None)
        stopWith(&t, Stop::Cancelled, static_cast<qint64>(sent)); // cut by CancelWatch
    if (t.stop == Stop::Cancelled) {
        result.error = stopReason(t, settings);
        return result;
    }
    if (code == CURLE_ABORTED_BY_CALLBACK || code == CURLE_OPERATION_TIMEDOUT) {
        result.error = stopReason(t, settings);
        if (!result.error.isEmpty())
            return result;
    }
    if (t.controlClosedByServer && t.lastRefusal.isEmpty()
        && (code == CURLE_RECV_ERROR || code == CURLE_GOT_NOTHING || code == CURLE_FTP_WEIRD_SERVER_REPLY
            || code == CURLE_FTP_WEIRD_PASV_REPLY)) {
        result.error = kFtpClosedGracefully;
        return result;
    }
    QString libraryText = QString::fromUtf8(errorText).trimmed();
    if (libraryText.isEmpty())
        libraryText = QString::fromUtf8(curl_easy_strerror(code));
    result.error = failureReason(code, libraryText, osErrno, t, settings);
    return result;
}

} // namespace dozorix
