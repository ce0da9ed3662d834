#include "agents/AgentServer.h"

#include "agents/AgentSocket.h"
#include "agents/AgentWire.h"
#include "common/LogSink.h"
#include "common/Stamps.h"
#include "common/TimeScale.h"

#include <QSet>
#include <QSocketNotifier>

#include <cerrno>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

namespace dozorix {

namespace {
constexpr qint64 kSweepMs = 5000;
constexpr qint64 kResumeAcceptMs = 1000;
constexpr int kListenBacklog = 1024;
} // namespace

void raiseOpenFileLimit()
{
    static const bool done = [] {
        rlimit lim{};
        if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
            lim.rlim_cur = lim.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &lim);
        }
        return true;
    }();
    (void)done;
}

AgentServer::AgentServer(QObject *parent)
    : QTcpServer(parent)
    , m_rows(this)
    , m_chat(m_connections, m_rows, this)
    , m_dispatcher(m_connections, m_rows, m_chat)
    , m_readBuffer(static_cast<std::size_t>(AgentSocket::kMaxRead))
{
    setObjectName(QStringLiteral("ServerSocket1"));
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_epoll >= 0) {
        m_epollNotifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
        connect(m_epollNotifier, &QSocketNotifier::activated, this, &AgentServer::socketsReady);
    }
    connect(&m_sweep, &QTimer::timeout, this, &AgentServer::sweepSilent);
    // Out of descriptors: the listening socket pauses; it tries again shortly.
    connect(this, &QTcpServer::acceptError, this, [this] {
        QTimer::singleShot(scaledMs(kResumeAcceptMs), this, [this] {
            if (isListening())
                resumeAccepting();
        });
    });
}

AgentServer::~AgentServer()
{
    // The windows may be gone already: no lines, no hooks.
    m_chat.setHooks({});
    for (auto &[id, socket] : m_sockets)
        socket->shutdown();
    m_sockets.clear();
    m_silent.clear();
    m_ended.clear();
    delete m_epollNotifier;
    if (m_epoll >= 0)
        ::close(m_epoll);
}

bool AgentServer::StartAgentServer(quint16 port, QString *error)
{
    if (port == 0)
        return parseAgentPort(QStringLiteral("0"), &port, error);
    if (isListening()) {
        if (serverPort() == port)
            return true;
        close();
    }
    raiseOpenFileLimit();
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
        m_maxSilent = std::max<std::size_t>(64, static_cast<std::size_t>(lim.rlim_cur) / 2);
    setListenBacklogSize(kListenBacklog);
    if (!listen(QHostAddress::AnyIPv4, port)) {
        if (error)
            *error = socketFailureReason(serverError(), errorString());
        emit listeningChanged(false);
        return false;
    }
    setScaledInterval(&m_sweep, kSweepMs);
    m_sweep.start();
    logLine(LogStamp() + QStringLiteral("Сервер Dozorix успешно стартовал!"), kLogGreen);
    emit listeningChanged(true);
    return true;
}

bool AgentServer::StartAgentServer(const QString &portText, QString *error)
{
    quint16 port = 0;
    if (!parseAgentPort(portText, &port, error))
        return false;
    return StartAgentServer(port, error);
}

QString socketFailureReason(QAbstractSocket::SocketError error, const QString &qtText)
{
    QString text;
    switch (error) {
    case QAbstractSocket::AddressInUseError: text = QStringLiteral("порт занят другой программой"); break;
    case QAbstractSocket::SocketAccessError: text = QStringLiteral("нет прав открыть этот порт"); break;
    case QAbstractSocket::SocketAddressNotAvailableError: text = QStringLiteral("адрес недоступен на этом компьютере"); break;
    case QAbstractSocket::SocketResourceError: text = QStringLiteral("системе не хватает ресурсов для соединения"); break;
    case QAbstractSocket::ConnectionRefusedError: text = QStringLiteral("соединение отклонено"); break;
    case QAbstractSocket::RemoteHostClosedError: text = QStringLiteral("другая сторона закрыла соединение"); break;
    case QAbstractSocket::HostNotFoundError: text = QStringLiteral("компьютер не найден"); break;
    case QAbstractSocket::SocketTimeoutError: text = QStringLiteral("время ожидания истекло"); break;
    case QAbstractSocket::NetworkError: text = QStringLiteral("ошибка сети"); break;
    default: text = QStringLiteral("ошибка сокета"); break;
    }
    if (!qtText.isEmpty())
        text += QStringLiteral(" (%1)").arg(qtText);
    return text;
}

bool parseAgentPort(const QString &text, quint16 *port, QString *error)
{
    const QString trimmed = text.trimmed();
    bool isNumber = !trimmed.isEmpty();
    for (const QChar c : trimmed)
        isNumber = isNumber && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    const qulonglong value = isNumber && trimmed.size() <= 5 ? trimmed.toULongLong() : 0;
    if (value < 1 || value > 65535) {
        if (error)
            *error = QStringLiteral("неверный номер порта \"%1\" (нужно число от 1 до 65535)").arg(text);
        return false;
    }
    *port = static_cast<quint16>(value);
    return true;
}

void AgentServer::StopAgentServer()
{
    close();
    m_sweep.stop();
    closeAllConnections(false);
    m_connections.clear();
    m_rows.clear();
    logLine(LogStamp() + QStringLiteral("Сервер Dozorix остановлен!"), kLogRed);
    m_chat.clearAll();
    emit listeningChanged(false);
}

void AgentServer::refreshConnections()
{
    closeAllConnections(true);
    m_rows.clear();
    m_chat.clearAll();
}

void AgentServer::closeAllConnections(bool runExit)
{
    // In list order: the order of the lines their ends may write.
    OnlineUsersModel::Batch batch(m_rows);
    for (ConnectionId id : m_connections.ids()) {
        const auto it = m_sockets.find(id);
        if (it != m_sockets.end())
            endConnection(it->second.get(), runExit);
    }
    while (!m_sockets.empty()) // sockets the list no longer knows (none are expected)
        endConnection(m_sockets.begin()->second.get(), runExit);
}

void AgentServer::watch(AgentSocket *socket)
{
    if (m_epoll < 0 || !socket->isOpen())
        return;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | (socket->wantsWrite() ? EPOLLOUT : 0u);
    ev.data.u64 = socket->id();
    if (::epoll_ctl(m_epoll, EPOLL_CTL_MOD, socket->descriptor(), &ev) != 0 && errno == ENOENT)
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, socket->descriptor(), &ev);
}

void AgentServer::unwatch(AgentSocket *socket)
{
    if (m_epoll >= 0 && socket->isOpen())
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, socket->descriptor(), nullptr);
}

void AgentServer::socketsReady()
{
    // A bounded batch per wake-up, so that the window's own events run in
    // between; what is left makes the epoll set readable again at once.
    buryEnded();
    epoll_event events[256];
    const int n = ::epoll_wait(m_epoll, events, 256, 0);
    // Agents that leave together leave the table as one change.
    OnlineUsersModel::Batch batch(m_rows);
    ++m_inSocket;
    for (int i = 0; i < n; ++i) {
        const ConnectionId id = events[i].data.u64;
        auto it = m_sockets.find(id);
        if (it == m_sockets.end())
            continue;
        if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
            it->second->onReadable();
        if (events[i].events & EPOLLOUT) {
            it = m_sockets.find(id); // the read may have ended it
            if (it != m_sockets.end())
                it->second->onWritable();
        }
    }
    --m_inSocket;
}

void AgentServer::failLater(ConnectionId id, int errnoValue)
{
    QTimer::singleShot(0, this, [this, id, errnoValue] {
        const auto it = m_sockets.find(id);
        if (it != m_sockets.end())
            socketFailed(it->second.get(), errnoValue);
    });
}

void AgentServer::buryEnded()
{
    if (m_inSocket != 0)
        return;
    m_ended.clear();
    if (m_sockets.empty()) {
        // Nobody is connected: the room kept for a crowd goes back too.
        std::vector<std::unique_ptr<AgentSocket>>().swap(m_ended);
        std::unordered_map<ConnectionId, std::unique_ptr<AgentSocket>>().swap(m_sockets);
    }
}

void AgentServer::incomingConnection(qintptr socketDescriptor)
{
    const ConnectionId id = m_nextId++;
    auto owned = std::make_unique<AgentSocket>(static_cast<int>(socketDescriptor), id, this);
    AgentSocket *socket = owned.get();
    // One host may hold only so many connections: one more is closed at once,
    // before its greeting; the red line comes once until it drops below.
    const QString host = socket->remoteAddress();
    if (m_connections.countFrom(host) >= m_connectionsPerAddress) {
        if (!m_hostsAtConnectionLimit.contains(host)) {
            m_hostsAtConnectionLimit.insert(host);
            logLine(LogStamp() + QStringLiteral("Слишком много подключений с адреса ") + host
                        + QStringLiteral(" (не больше ") + QString::number(m_connectionsPerAddress)
                        + QStringLiteral("): новые подключения с него закрываются"),
                    kLogRed);
        }
        socket->shutdown();
        return;
    }
    m_hostsAtConnectionLimit.remove(host);
    m_sockets.emplace(id, std::move(owned));
    watch(socket);
    m_silent.emplace(id, socket);
    m_connections.add(id, socket);
    // Too many connections that never spoke: the oldest of them goes.
    while (m_silent.size() > m_maxSilent)
        endConnection(m_silent.begin()->second, true);
    if (!m_sockets.count(id))
        return;
    socket->sendBytes(encodeAgentText(AgentCommand::Greeting));
    emit clientConnected();
}

void AgentServer::socketRead(AgentSocket *socket, const char *data, qsizetype size)
{
    m_silent.erase(socket->id());
    m_dispatcher.ServerSocket1ClientRead(socket->id(), data, size);
}

void AgentServer::socketEnded(AgentSocket *socket)
{
    endConnection(socket, true);
}

void AgentServer::socketFailed(AgentSocket *socket, int errnoValue)
{
    const auto it = m_sockets.find(socket->id());
    if (it == m_sockets.end() || it->second.get() != socket)
        return; // already ended
    logLine(LogStamp() + QStringLiteral("Ошибка № ") + QString::number(AgentSocket::winsockCode(errnoValue)),
            kLogRed);
    logLine(LogStamp() + QStringLiteral("Ошибка на хосте: ") + socket->remoteAddress(), kLogRed);
    endConnection(socket, true);
}

void AgentServer::endConnection(AgentSocket *socket, bool runExit)
{
    const ConnectionId id = socket->id();
    const auto it = m_sockets.find(id);
    if (it == m_sockets.end() || it->second.get() != socket)
        return;
    // The socket may be running (a read that found the end): it is closed
    // now and freed later.
    m_ended.push_back(std::move(it->second));
    m_sockets.erase(it);
    m_silent.erase(id);
    socket->shutdown();
    if (runExit)
        m_dispatcher.ClientExit(id);
    else
        m_connections.take(id);
    if (!m_buryScheduled) {
        m_buryScheduled = true;
        QTimer::singleShot(0, this, [this] {
            m_buryScheduled = false;
            buryEnded();
        });
    }
}

void AgentServer::sweepSilent()
{
    const qint64 limit = scaledMs(kSilentLimitMs);
    std::vector<AgentSocket *> expired;
    for (const auto &[id, socket] : m_silent) {
        if (socket->ageMs() < limit)
            break; // ids follow accept order: the rest are younger
        expired.push_back(socket);
    }
    OnlineUsersModel::Batch batch(m_rows);
    for (AgentSocket *socket : expired)
        endConnection(socket, true);
}

std::vector<ConnectionId> AgentServer::sendToRows(const QList<int> &rows, const QString &text)
{
    QSet<QString> nicks;
    for (int row : rows) {
        if (m_rows.hasColumns(row))
            nicks.insert(m_rows.cell(row, OnlineUsersModel::ColAddress));
    }
    return m_connections.sendToNicks(nicks, text);
}

int AgentServer::sendToRowsByRemoteAddress(const QList<int> &rows, const QString &text)
{
    QSet<QString> addresses;
    for (int row : rows) {
        if (m_rows.hasColumns(row))
            addresses.insert(m_rows.cell(row, OnlineUsersModel::ColAddress));
    }
    return m_connections.sendToRemoteAddresses(addresses, text);
}

int AgentServer::SendAllClients(const QString &Msg, const QString &Exception)
{
    return m_connections.SendAllClients(Msg, Exception);
}

} // namespace dozorix
