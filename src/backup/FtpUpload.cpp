#include "FtpUpload.h"

#include "IniFile.h"

#include <QFile>
#include <QUrl>

#include <curl/curl.h>

#include <memory>
#include <mutex>

#include <sys/socket.h>
#include <unistd.h>

namespace dozorix {
namespace {

const QString kSection = QStringLiteral("BACKUP");

constexpr long kConnectTimeoutSeconds = 30;
constexpr long kResponseTimeoutSeconds = 60;

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

// State of one upload, shared with the library's callbacks.
struct Transfer {
    QFile *file = nullptr;
    qint64 total = 0;
    const FtpUploadEvents *events = nullptr;
    const std::atomic_bool *cancel = nullptr;
    bool connected = false;
    qint64 lastReported = -1;
    QByteArray lastRefusal; // the server's last 4xx/5xx reply
    curl_socket_t control = CURL_SOCKET_BAD;
    bool controlClosedByServer = false; // the server sent FIN on the control connection
};

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

int onProgress(void *userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow)
{
    auto *t = static_cast<Transfer *>(userdata);
    if (t->cancel && t->cancel->load())
        return 1;
    if (t->connected && ulnow != t->lastReported) {
        t->lastReported = ulnow;
        if (t->events->progress)
            t->events->progress(static_cast<qint64>(ulnow));
    }
    return 0;
}

// Close-on-exec sockets; the first one is the control connection.
curl_socket_t openSocket(void *userdata, curlsocktype, curl_sockaddr *address)
{
    auto *t = static_cast<Transfer *>(userdata);
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd >= 0 && t->control == CURL_SOCKET_BAD)
        t->control = fd;
    return fd < 0 ? CURL_SOCKET_BAD : fd;
}

int closeSocket(void *userdata, curl_socket_t fd)
{
    auto *t = static_cast<Transfer *>(userdata);
    if (fd == t->control) {
        // An orderly end from the server reads as end of file, again and again.
        char byte;
        if (::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
            t->controlClosedByServer = true;
        t->control = CURL_SOCKET_BAD;
    }
    return ::close(fd);
}

QString withDetails(const QString &what, const QString &libraryText, const QByteArray &refusal)
{
    QString out = what;
    if (!libraryText.isEmpty())
        out += QStringLiteral(" (") + libraryText + QLatin1Char(')');
    if (!refusal.isEmpty())
        out += QStringLiteral(", ответ сервера: ") + QString::fromUtf8(refusal);
    return out;
}

QString failureReason(CURLcode code, const QString &libraryText, const Transfer &t, const FtpSettings &s)
{
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
    QFile file(localPath);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = QStringLiteral("не удалось открыть файл %1 (%2)").arg(localPath, file.errorString());
        return result;
    }

    initCurlOnce();
    Transfer t;
    t.file = &file;
    t.total = file.size();
    t.events = &events;
    t.cancel = cancel;
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
    if (ftpUsesActiveMode(settings)) {
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

    const CURLcode code = curl_easy_perform(c);
    curl_off_t sent = 0;
    curl_easy_getinfo(c, CURLINFO_SIZE_UPLOAD_T, &sent);
    easy.reset(); // closes the connections (QUIT after a success)
    result.sent = static_cast<qint64>(sent);
    if (code == CURLE_OK) {
        result.ok = true;
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
    result.error = failureReason(code, libraryText, t, settings);
    return result;
}

} // namespace dozorix
