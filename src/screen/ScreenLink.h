#pragma once
// The console's connection to the screen service of an agent's PC (the
// secondary port): the console is the client. On every tick of the picture
// timer it asks for one picture ("#skr#"); the answer is a 4-byte signed
// big-endian length N and N bytes of JPEG. Mouse and key lines go the same
// way, ASCII, each ended by CR LF.
//
// Nothing here blocks: the connect, the request and the answer go through
// the socket's events. One request is outstanding at a time; an answer that
// has not come whole within the time limit clears the picture and the next
// tick asks again. A length below 0 or above kMaxPicture, or bytes that are
// no JPEG picture, clear the picture for that tick (the bytes are dropped,
// never kept); kMaxBadAnswers such answers in a row end the connection as
// if the agent had closed it.

#include "screen/JpegPicture.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace dozorix {

class ScreenLink : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 kMaxPicture = 64 * 1024 * 1024;
    static constexpr int kMaxBadAnswers = 3;
    static constexpr qint64 kTickMs = 100;        // the picture timer (designed)
    static constexpr qint64 kAnswerLimitMs = 3000; // one picture's time limit (designed)

    explicit ScreenLink(QObject *parent = nullptr);
    ~ScreenLink() override;

    // Starts a connection (an earlier one is dropped first, silently).
    void connectToAgent(const QString &host, quint16 port);
    // Ends the connection; disconnected() follows when it was connected.
    void disconnectFromAgent();
    bool isConnected() const;

    // Sends a line (CR LF added); dropped silently when not connected.
    bool sendLine(const QString &line);

    // One tick: sends "#skr#" unless an answer is still awaited.
    void requestPicture();
    bool answerAwaited() const { return m_awaiting; }

    QTimer *pictureTimer() { return &m_tick; }
    const ScreenPicture &picture() const { return m_picture; }
    // Memory held for reading answers: kept from one good picture to the
    // next, given back after a failed answer (the tests watch that a
    // hostile length grows nothing).
    qsizetype answerMemory() const { return m_buffer.capacity(); }

signals:
    void connected();
    void disconnected();
    // A picture has been decoded into picture() (empty for a length of 0).
    void pictureChanged();
    // The tick's picture failed (bad length, no JPEG, time limit): clear it.
    void pictureFailed();

private:
    void onReadyRead();
    void onDisconnected();
    void badAnswer();
    enum class KeepMemory { No, Yes };
    void resetAnswer(KeepMemory keep = KeepMemory::No);

    QPointer<QTcpSocket> m_socket;
    QTimer m_tick;
    QTimer m_limit;
    bool m_awaiting = false;
    qint64 m_expected = -1; // -1 while the length is not read yet
    QByteArray m_buffer;
    int m_badInRow = 0;
    JpegDecoder m_decoder;
    ScreenPicture m_picture;
    // The picture before: decoded into next, once whoever showed it has let
    // go of it, so that a frame of the same size takes no new memory.
    ScreenPicture m_spare;
};

} // namespace dozorix
