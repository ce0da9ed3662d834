#pragma once
// One FTP upload in the append form, through libcurl.
//
// - binary transfer, IPv4, no proxy;
// - passive mode (PASV) or active mode (PORT on the control connection's own
//   address); ActiveFTP wins when both keys are on, passive when neither;
// - the optional remote folder is entered with one CWD before the transfer;
//   a folder starting with "/" is taken from the server's root;
// - APPE: a remote file of that name is extended, a missing one is created,
//   so uploading the same file twice doubles it on the server;
// - 30 s to connect and 60 s without any answer end the attempt.
//
// The upload blocks its thread; the upload thread and the settings window's
// test run it on a worker thread.

#include <QString>

#include <atomic>
#include <functional>

namespace dozorix {

class IniFile;

// The FTP account of section "BACKUP".
struct FtpSettings {
    QString host;      // "HostFTP"
    QString login;     // "LoginFTP"
    QString password;  // "PassFTP"
    QString port = QStringLiteral("21"); // "PortFTP", as text
    QString remoteDir; // "DirUdalennoFTP"
    bool passive = false; // "PassiveFTP"
    bool active = false;  // "ActiveFTP"
};

// Reads the account from section "BACKUP"; missing keys give the defaults above.
FtpSettings readFtpSettings(const IniFile &ini);

// True for active mode: ActiveFTP on (whatever PassiveFTP says).
inline bool ftpUsesActiveMode(const FtpSettings &s)
{
    return s.active;
}

// Parses the port text as a whole number from 1 to 65535; false otherwise.
bool parseFtpPort(const QString &text, int *port);

// The server's orderly close of the control connection, word for word as
// the program has always shown it; a failure with this message is never mailed.
inline const QString kFtpClosedGracefully = QStringLiteral("Connection Closed Gracefully.");

struct FtpUploadResult {
    bool ok = false;
    QString error;   // why it failed, in Russian with the library's text; empty on success
    qint64 sent = 0; // bytes of the file sent
};

// What the upload tells its caller while it runs (on the uploading thread).
struct FtpUploadEvents {
    // Logged in and in the remote folder: the transfer is about to start.
    std::function<void()> connected;
    // The transfer starts: the byte count to send.
    std::function<void(qint64 total)> started;
    // Bytes sent so far, whenever the count has moved.
    std::function<void(qint64 sent)> progress;
};

// Uploads localPath under remoteName with APPE. cancel, when given and set,
// ends the attempt as a failure as soon as the library looks at it.
FtpUploadResult uploadFileAppend(const FtpSettings &settings, const QString &localPath, const QString &remoteName,
                                 const FtpUploadEvents &events = {}, const std::atomic_bool *cancel = nullptr);

} // namespace dozorix
