#include "screen/ScreenLink.h"

#include "common/TimeScale.h"

#include <QtEndian>

#include <utility>

namespace dozorix {

ScreenLink::ScreenLink(QObject *parent)
    : QObject(parent)
{
    setScaledInterval(&m_tick, kTickMs);
    m_tick.setTimerType(Qt::PreciseTimer); // ten a second, not up to 5 % more
    connect(&m_tick, &QTimer::timeout, this, &ScreenLink::requestPicture);
    m_limit.setSingleShot(true);
    connect(&m_limit, &QTimer::timeout, this, [this] {
        if (!m_awaiting)
            return;
        resetAnswer(); // late bytes of this answer are dropped by the next request
        m_picture = ScreenPicture();
        emit pictureFailed();
    });
}

ScreenLink::~ScreenLink()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        delete m_socket;
    }
}

void ScreenLink::connectToAgent(const QString &host, quint16 port)
{
    if (m_socket) {
        QTcpSocket *old = m_socket;
        old->disconnect(this);
        old->abort();
        old->deleteLater();
    }
    m_tick.stop();
    resetAnswer();
    m_badInRow = 0;
    auto *socket = new QTcpSocket(this);
    m_socket = socket;
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QTcpSocket::connected, this, [this] {
        setScaledInterval(&m_tick, kTickMs);
        m_tick.start();
        emit connected();
    });
    connect(socket, &QTcpSocket::readyRead, this, &ScreenLink::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &ScreenLink::onDisconnected);
    socket->connectToHost(host, port);
}

void ScreenLink::disconnectFromAgent()
{
    if (!m_socket)
        return;
    QTcpSocket *socket = m_socket;
    const bool wasConnected = socket->state() == QAbstractSocket::ConnectedState;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    m_socket = nullptr;
    m_tick.stop();
    resetAnswer();
    if (wasConnected)
        emit disconnected();
}

bool ScreenLink::isConnected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

bool ScreenLink::sendLine(const QString &line)
{
    if (!isConnected())
        return false;
    const QByteArray bytes = line.toLatin1() + "\r\n";
    return m_socket->write(bytes) == bytes.size();
}

void ScreenLink::requestPicture()
{
    if (m_awaiting || !isConnected())
        return;
    // Bytes nobody asked for (the rest of an answer given up on) are dropped.
    m_socket->readAll();
    if (!sendLine(QStringLiteral("#skr#")))
        return;
    m_awaiting = true;
    m_expected = -1;
    m_buffer.resize(0);
    m_limit.start(scaledMs(kAnswerLimitMs));
}

void ScreenLink::onReadyRead()
{
    if (!m_socket)
        return;
    if (!m_awaiting) {
        m_socket->readAll();
        return;
    }
    if (m_expected < 0) {
        if (m_socket->bytesAvailable() < 4)
            return;
        char head[4];
        m_socket->read(head, 4);
        const qint32 length = qFromBigEndian<qint32>(head);
        if (length < 0 || length > kMaxPicture) {
            m_socket->readAll();
            badAnswer();
            return;
        }
        m_expected = length;
        m_buffer.resize(0);
    }
    // What the answer still lacks, and no more: the next answer's bytes stay
    // in the socket.
    const qint64 want = m_expected - m_buffer.size();
    if (want > 0) {
        const qint64 take = std::min<qint64>(want, m_socket->bytesAvailable());
        if (take > 0) {
            const qsizetype at = m_buffer.size();
            m_buffer.resize(at + take);
            m_socket->read(m_buffer.data() + at, take);
        }
    }
    if (m_buffer.size() < m_expected)
        return;
    if (m_expected == 0) {
        // An empty answer: no picture for this tick.
        resetAnswer();
        m_badInRow = 0;
        m_picture = ScreenPicture();
        emit pictureChanged();
        return;
    }
    const bool decoded = m_decoder.decode(m_buffer, &m_spare);
    if (!decoded) {
        badAnswer();
        return;
    }
    // The next answer is read into the same memory: a frame of about the
    // same size then takes no new pages (fresh pages cost more than the copy).
    resetAnswer(KeepMemory::Yes);
    std::swap(m_picture, m_spare);
    m_badInRow = 0;
    emit pictureChanged();
}

void ScreenLink::badAnswer()
{
    resetAnswer();
    m_picture = ScreenPicture();
    emit pictureFailed();
    if (++m_badInRow >= kMaxBadAnswers)
        disconnectFromAgent();
}

void ScreenLink::resetAnswer(KeepMemory keep)
{
    m_awaiting = false;
    m_expected = -1;
    if (keep == KeepMemory::Yes)
        m_buffer.resize(0);
    else
        m_buffer = QByteArray(); // a failed answer's memory goes back at once
    m_limit.stop();
}

void ScreenLink::onDisconnected()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->deleteLater();
        m_socket = nullptr;
    }
    m_tick.stop();
    resetAnswer();
    m_picture = ScreenPicture();
    emit disconnected();
}

} // namespace dozorix
