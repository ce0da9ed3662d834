#pragma once
// The real FTP server of the upload tests (tests/peers/ftp_server.py, on
// pyftpdlib): 127.0.0.1, a free port, one account with full rights on a
// temporary root folder, every command received recorded. Started by
// start(), stopped and cleaned up by the destructor.
// HostileFtpPeer below is the server that misbehaves on purpose.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace dozorix::test {

class FtpPeer
{
public:
    struct Options {
        QString user = QStringLiteral("backup");
        QString password = QStringLiteral("secret");
        qint64 resetAfterBytes = 0; // reset both connections once a transfer has received this much
        bool closeOnAppe = false;   // close the control connection (FIN) when APPE comes
    };

    FtpPeer();
    explicit FtpPeer(Options options);
    ~FtpPeer();
    FtpPeer(const FtpPeer &) = delete;
    FtpPeer &operator=(const FtpPeer &) = delete;

    bool start(QString *error);
    void stop();

    int port() const { return m_port; }
    QString portText() const { return QString::number(m_port); }
    const Options &options() const { return m_options; }

    // The server's root folder (the account's home).
    QString root() const { return m_root.path(); }
    // A file under the root, as it is on the server now; empty when missing.
    QByteArray remoteFile(const QString &relativePath) const;
    bool remoteExists(const QString &relativePath) const;
    // The commands received so far, one per entry ("PASS ***" for passwords).
    QStringList commands() const;

private:
    Options m_options;
    QTemporaryDir m_root;
    QTemporaryDir m_records;
    QProcess m_process;
    int m_port = 0;
};

// The misbehaving FTP server of the upload tests (tests/peers/ftp_hostile.py,
// standard library only): 127.0.0.1, a free port, any login accepted, every
// command recorded, and one fault chosen at start.
class HostileFtpPeer
{
public:
    enum class Mode {
        Drip,     // reads the data connection at dripRate bytes per second, small window
        Silent,   // accepts the data connection and never reads it
        DeadPasv, // the PASV reply names a port where nothing listens
        Mute,     // accepts the control connection and never answers, not even a greeting
        Stranger, // on PORT, connects to the announced address first, from 127.0.0.2
    };

    explicit HostileFtpPeer(Mode mode, int dripRate = 2048);
    ~HostileFtpPeer();
    HostileFtpPeer(const HostileFtpPeer &) = delete;
    HostileFtpPeer &operator=(const HostileFtpPeer &) = delete;

    bool start(QString *error);
    void stop();

    QString portText() const { return QString::number(m_port); }
    // The commands received so far, one per entry ("PASS ***" for passwords).
    QStringList commands() const;
    // Drip: the bytes read from the data connection so far.
    qint64 receivedBytes() const;
    // DeadPasv: the port the PASV reply named; 0 before PASV.
    int deadPasvPort() const;
    // Stranger: "<address>:<port>" of the third host, empty until its connection ended.
    QString strangerAddress() const;
    // Stranger: what the third host received; -1 until its connection ended.
    qint64 strangerBytes() const;

private:
    QString record(const QString &name) const;

    Mode m_mode;
    int m_dripRate;
    QTemporaryDir m_records;
    QProcess m_process;
    int m_port = 0;
};

} // namespace dozorix::test
