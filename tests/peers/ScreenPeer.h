#pragma once
// A screen service for the tests, on 127.0.0.1: it answers "#skr#" with a
// JPEG picture made now (a known pattern: the left half one colour, the
// right half another), records every other line it receives, and can answer
// with a hostile length, a cut picture, garbage or nothing at all.

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

namespace dozorix::test {

struct Rgb {
    int red = 0, green = 0, blue = 0;
};

// A JPEG picture of the pattern (quality 95, 4:4:4).
QByteArray patternJpeg(int width, int height, Rgb left, Rgb right);

class ScreenPeer : public QObject
{
    Q_OBJECT
public:
    enum class Answer { Picture, Empty, HostileLength, Truncated, Garbage, Silence };

    ScreenPeer();
    quint16 port() const { return m_server.serverPort(); }

    // How the next requests are answered.
    Answer answer = Answer::Picture;
    qint32 hostileLength = -1;
    int width = 64, height = 48;
    Rgb left{255, 0, 0}, right{0, 0, 255};

    int requests() const { return m_requests; }
    // Every line but "#skr#", in order.
    QStringList lines() const { return m_lines; }
    void clearLines() { m_lines.clear(); }
    int connections() const { return m_connections; }
    bool clientConnected() const { return m_client && m_client->state() == QAbstractSocket::ConnectedState; }
    void closeClient();

private:
    void onReadyRead();

    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    QByteArray m_pending;
    QStringList m_lines;
    int m_requests = 0;
    int m_connections = 0;
};

} // namespace dozorix::test
