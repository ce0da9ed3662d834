#include "notify/SmtpSender.h"

#include "common/IniFile.h"

#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

namespace dozorix {
namespace {

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using StringList = std::unique_ptr<curl_slist, ListDeleter>;

// State of one attempt, shared with the callbacks.
struct Transfer {
    const QByteArray *message = nullptr;
    qsizetype offset = 0;
    QList<QByteArray> replies; // server reply lines, in order
    SmtpCancel *cancel = nullptr;
};

size_t readMessage(char *buffer, size_t size, size_t count, void *userdata)
{
    auto *t = static_cast<Transfer *>(userdata);
    const qsizetype room = static_cast<qsizetype>(size * count);
    const qsizetype n = std::min(room, t->message->size() - t->offset);
    if (n <= 0)
        return 0;
    std::memcpy(buffer, t->message->constData() + t->offset, static_cast<size_t>(n));
    t->offset += n;
    return static_cast<size_t>(n);
}

// Keeps what the server says; what we send (credentials included) is not kept.
int onDebug(CURL *, curl_infotype type, char *data, size_t size, void *userdata)
{
    if (type != CURLINFO_HEADER_IN)
        return 0;
    auto *t = static_cast<Transfer *>(userdata);
    for (QByteArray line : QByteArray(data, static_cast<qsizetype>(size)).split('\n')) {
        line = line.trimmed();
        if (!line.isEmpty())
            t->replies << line;
    }
    return 0;
}

// Checked while a name is resolved, before any socket exists.
int onProgress(void *userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const auto *t = static_cast<Transfer *>(userdata);
    return (t->cancel && t->cancel->isCancelled()) ? 1 : 0;
}

// The session's own sockets, known to its SmtpCancel; close-on-exec, so
// programs started meanwhile do not inherit a mail connection.
curl_socket_t openSocket(void *userdata, curlsocktype, curl_sockaddr *address)
{
    auto *t = static_cast<Transfer *>(userdata);
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0)
        return CURL_SOCKET_BAD;
    if (t->cancel && !t->cancel->addSocket(fd)) {
        ::close(fd);
        return CURL_SOCKET_BAD;
    }
    return fd;
}

int closeSocket(void *userdata, curl_socket_t fd)
{
    auto *t = static_cast<Transfer *>(userdata);
    if (t->cancel)
        t->cancel->removeSocket(fd);
    return ::close(fd);
}

bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
}

struct Attempt {
    MailResult result;
    CURLcode code = CURLE_OK;
    QList<QByteArray> replies;
};

Attempt runAttempt(const SmtpJob &job, bool authenticate, SmtpCancel *cancel)
{
    Attempt a;
    // Declared before the handle: its cleanup still calls back into them.
    Transfer t;
    t.message = &job.message;
    t.cancel = cancel;
    char errorText[CURL_ERROR_SIZE] = {};
    StringList recipients;

    EasyHandle easy(curl_easy_init());
    if (!easy) {
        a.code = CURLE_FAILED_INIT;
        a.result.reason = QStringLiteral("the mail library could not start a session");
        return a;
    }
    CURL *c = easy.get();

    for (const QString &r : job.recipients) {
        curl_slist *next = curl_slist_append(recipients.get(), r.toUtf8().constData());
        if (!next) {
            a.code = CURLE_OUT_OF_MEMORY;
            a.result.reason = QStringLiteral("out of memory");
            return a;
        }
        (void)recipients.release();
        recipients.reset(next);
    }
    const QByteArray url = job.target.url.toUtf8();
    const QByteArray sender = job.sender.toUtf8();
    const QByteArray user = job.user.toUtf8();
    const QByteArray password = job.password.toUtf8();

    curl_easy_setopt(c, CURLOPT_URL, url.constData());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtps");
    curl_easy_setopt(c, CURLOPT_PROXY, ""); // straight to the server, whatever the environment says
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(kSmtpConnectTimeoutSeconds));
    curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(kSmtpSessionTimeoutSeconds));
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);

    // TLS 1.2 at least (servers refuse older versions today), as high as both sides go.
    curl_easy_setopt(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2) | static_cast<long>(CURL_SSLVERSION_MAX_DEFAULT));
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);

    if (authenticate) {
        curl_easy_setopt(c, CURLOPT_USERNAME, user.constData());
        curl_easy_setopt(c, CURLOPT_PASSWORD, password.constData());
        curl_easy_setopt(c, CURLOPT_LOGIN_OPTIONS, "AUTH=LOGIN");
    }

    curl_easy_setopt(c, CURLOPT_MAIL_FROM, sender.constData());
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, recipients.get());
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(job.message.size()));
    curl_easy_setopt(c, CURLOPT_READFUNCTION, &readMessage);
    curl_easy_setopt(c, CURLOPT_READDATA, &t);

    // The server's replies are read through the debug hook: the EHLO reply
    // tells which AUTH mechanisms exist, the last reply why a session failed.
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, &onDebug);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &t);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, &openSocket);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, &t);
    curl_easy_setopt(c, CURLOPT_CLOSESOCKETFUNCTION, &closeSocket);
    curl_easy_setopt(c, CURLOPT_CLOSESOCKETDATA, &t);

    a.code = curl_easy_perform(c);
    a.replies = t.replies;
    if (a.code == CURLE_OK) {
        a.result.ok = true;
        return a;
    }
    if (cancel && cancel->isCancelled()) {
        a.result.reason = QStringLiteral("the session was cancelled before the server accepted the letter");
        return a;
    }
    const QString summary = QString::fromUtf8(curl_easy_strerror(a.code));
    const QString detail = QString::fromUtf8(errorText).trimmed();
    QString library = summary;
    if (detail.contains(summary))
        library = detail;
    else if (!detail.isEmpty())
        library += QStringLiteral(": ") + detail;
    QString refusal;
    if (!t.replies.isEmpty()) {
        const QByteArray &last = t.replies.back();
        if (!last.isEmpty() && last[0] >= '4' && last[0] <= '5')
            refusal = QString::fromUtf8(last);
    }
    a.result.reason = smtpFailureReason(a.code, library, refusal);
    return a;
}

} // namespace

QString smtpFailureReason(int curlCode, const QString &libraryText, const QString &serverReply)
{
    QString text;
    switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_COULDNT_CONNECT: text = QStringLiteral("сервер не принимает соединение"); break;
    case CURLE_OPERATION_TIMEDOUT: text = QStringLiteral("время ожидания ответа сервера истекло"); break;
    case CURLE_COULDNT_RESOLVE_HOST: text = QStringLiteral("SMTP сервер не найден"); break;
    case CURLE_COULDNT_RESOLVE_PROXY: text = QStringLiteral("прокси-сервер не найден"); break;
    case CURLE_LOGIN_DENIED: text = QStringLiteral("сервер отклонил логин или пароль"); break;
    case CURLE_SSL_CONNECT_ERROR: text = QStringLiteral("не удалось установить защищенное соединение (TLS)"); break;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR: text = QStringLiteral("сервер прервал соединение или не принял письмо"); break;
    case CURLE_SEND_ERROR: text = QStringLiteral("не удалось передать письмо серверу"); break;
    case CURLE_WEIRD_SERVER_REPLY: text = QStringLiteral("сервер ответил не по протоколу SMTP"); break;
    case CURLE_REMOTE_ACCESS_DENIED: text = QStringLiteral("сервер отказал в доступе"); break;
    case CURLE_OUT_OF_MEMORY: text = QStringLiteral("не хватает памяти"); break;
    default: text = QStringLiteral("ошибка отправки письма"); break;
    }
    // A refusal the server spelled out says more than the library's code.
    if (curlCode != CURLE_LOGIN_DENIED) {
        if (libraryText.contains(QLatin1String("RCPT")))
            text = QStringLiteral("сервер не принял адрес получателя");
        else if (!serverReply.isEmpty())
            text = QStringLiteral("сервер отказался принять письмо");
    }
    if (!libraryText.isEmpty())
        text += QStringLiteral(" (%1)").arg(libraryText);
    if (!serverReply.isEmpty())
        text += QStringLiteral(", ответ сервера: %1").arg(serverReply);
    return text;
}

void SmtpCancel::cancel()
{
    std::lock_guard lock(m_mutex);
    m_cancelled = true;
    for (const int fd : m_sockets)
        ::shutdown(fd, SHUT_RDWR); // wakes the session; it closes the socket itself
}

bool SmtpCancel::isCancelled() const
{
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

bool SmtpCancel::addSocket(int fd)
{
    std::lock_guard lock(m_mutex);
    if (m_cancelled)
        return false;
    m_sockets.push_back(fd);
    return true;
}

void SmtpCancel::removeSocket(int fd)
{
    std::lock_guard lock(m_mutex);
    std::erase(m_sockets, fd);
}

int smtpConnectPort(int configuredPort)
{
    return configuredPort == 25 ? 465 : configuredPort;
}

SmtpTarget resolveSmtpTarget(const QString &host, const QString &portText)
{
    SmtpTarget t;
    int port = 0;
    if (!IniFile::parseInteger(portText, &port)) {
        t.reason = QStringLiteral("'%1' is not a valid port number").arg(portText);
        return t;
    }
    if (port < 1 || port > 65535) {
        t.reason = QStringLiteral("port %1 is outside 1..65535").arg(port);
        return t;
    }
    const QString name = host.trimmed();
    if (name.isEmpty()) {
        t.reason = QStringLiteral("no SMTP server is given");
        return t;
    }
    QUrl url;
    url.setScheme(QStringLiteral("smtps"));
    url.setHost(name, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) {
        t.reason = QStringLiteral("'%1' is not a valid SMTP server name").arg(name);
        return t;
    }
    t.port = smtpConnectPort(port);
    url.setPort(t.port);
    t.url = QString::fromLatin1(url.toEncoded());
    t.ok = true;
    return t;
}

QStringList offeredAuthMechanisms(const QList<QByteArray> &replyLines)
{
    QStringList out;
    for (const QByteArray &line : replyLines) {
        if (line.size() < 9 || !line.startsWith("250") || (line[3] != '-' && line[3] != ' '))
            continue;
        const QByteArray rest = line.mid(4).trimmed();
        if (!rest.left(4).toUpper().startsWith("AUTH") || (rest.size() > 4 && rest[4] != ' ' && rest[4] != '='))
            continue;
        for (const QByteArray &m : rest.mid(5).split(' ')) {
            const QString name = QString::fromLatin1(m.trimmed()).toUpper();
            if (!name.isEmpty() && !out.contains(name))
                out << name;
        }
    }
    return out;
}

MailResult sendSmtpMail(const SmtpJob &job, SmtpCancel *cancel)
{
    if (!job.target.ok)
        return {false, job.target.reason};
    if (job.recipients.isEmpty())
        return {false, QStringLiteral("no recipient address is given")};
    if (hasControlCharacter(job.sender))
        return {false, QStringLiteral("the sender address holds a control character")};
    for (const QString &r : job.recipients) {
        if (hasControlCharacter(r))
            return {false, QStringLiteral("the recipient address '%1' holds a control character").arg(r.simplified())};
    }
    initCurlOnce();

    const bool wantLogin = !job.user.isEmpty();
    Attempt first = runAttempt(job, wantLogin, cancel);
    // With credentials, libcurl refuses a server whose AUTH list lacks LOGIN
    // (it only speaks the mechanism it was told to). Such a server gets the
    // letter without authentication, in a second session.
    if (wantLogin && first.code == CURLE_LOGIN_DENIED
        && !offeredAuthMechanisms(first.replies).contains(QStringLiteral("LOGIN"))) {
        return runAttempt(job, false, cancel).result;
    }
    return first.result;
}

} // namespace dozorix
