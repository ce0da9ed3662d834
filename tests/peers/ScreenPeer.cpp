#include "peers/ScreenPeer.h"

#include <QtEndian>

#include <turbojpeg.h>

namespace dozorix::test {

QByteArray patternJpeg(int width, int height, Rgb left, Rgb right)
{
    QByteArray rgb(qsizetype(width) * height * 3, Qt::Uninitialized);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgb &c = x < width / 2 ? left : right;
            char *px = rgb.data() + (qsizetype(y) * width + x) * 3;
            px[0] = char(c.red);
            px[1] = char(c.green);
            px[2] = char(c.blue);
        }
    }
    tjhandle h = tjInitCompress();
    unsigned char *out = nullptr;
    unsigned long size = 0;
    const int rc = tjCompress2(h, reinterpret_cast<const unsigned char *>(rgb.constData()), width, width * 3, height,
                               TJPF_RGB, &out, &size, TJSAMP_444, 95, 0);
    QByteArray jpeg;
    if (rc == 0)
        jpeg = QByteArray(reinterpret_cast<const char *>(out), qsizetype(size));
    tjFree(out);
    tjDestroy(h);
    return jpeg;
}

ScreenPeer::ScreenPeer()
{
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *s = m_server.nextPendingConnection()) {
            ++m_connections;
            if (m_client)
                m_client->deleteLater();
            m_client = s;
            m_pending.clear();
            connect(s, &QTcpSocket::readyRead, this, &ScreenPeer::onReadyRead);
        }
    });
}

void ScreenPeer::closeClient()
{
    if (m_client)
        m_client->disconnectFromHost();
}

void ScreenPeer::onReadyRead()
{
    m_pending += m_client->readAll();
    for (qsizetype end; (end = m_pending.indexOf("\r\n")) >= 0;) {
        const QByteArray line = m_pending.left(end);
        m_pending.remove(0, end + 2);
        if (line != "#skr#") {
            m_lines << QString::fromLatin1(line);
            continue;
        }
        ++m_requests;
        QByteArray reply;
        char head[4];
        switch (answer) {
        case Answer::Picture: {
            const QByteArray jpeg = patternJpeg(width, height, left, right);
            qToBigEndian<qint32>(qint32(jpeg.size()), head);
            reply = QByteArray(head, 4) + jpeg;
            break;
        }
        case Answer::Empty:
            reply = QByteArray(4, '\0');
            break;
        case Answer::HostileLength:
            qToBigEndian<qint32>(hostileLength, head);
            reply = QByteArray(head, 4) + QByteArray(1000, 'x');
            break;
        case Answer::Truncated: {
            const QByteArray jpeg = patternJpeg(width, height, left, right);
            qToBigEndian<qint32>(qint32(jpeg.size()), head);
            reply = QByteArray(head, 4) + jpeg.left(jpeg.size() / 2);
            break;
        }
        case Answer::Garbage: {
            const QByteArray junk(500, 'g');
            qToBigEndian<qint32>(qint32(junk.size()), head);
            reply = QByteArray(head, 4) + junk;
            break;
        }
        case Answer::Silence:
            break;
        }
        m_client->write(reply);
    }
}

} // namespace dozorix::test
