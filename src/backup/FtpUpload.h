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
// - 30 s to connect and 60 s without any answer end the attempt;
// - FtpMinSpeed (section BACKUP, KB/s, default 32, 0 = no check): from 60 s
//   after APPE on, the upload fails as soon as the average rate since APPE of
//   what the server has taken (sent bytes less those its end has not
//   acknowledged yet) is below it, so a slow server gets at most
//   60 s + size / FtpMinSpeed;
// - FtpTimeLimit (section BACKUP, hours, default 6, 0 = none): the whole
//   upload, connect to end, never takes longer;
//   the two durations go through the time scale, the rate is real bytes per
//   real second; a key that is not a whole number from 0 up gives its default;
// - CR, LF or NUL in the host, login, password, remote folder or file name
//   refuse the upload before connecting (they would make FTP commands);
// - active mode takes the data connection only from the address of the
//   control connection's peer; anyone else reaching the announced port first
//   gets nothing, and the upload fails naming that address;
// - the cancel ends the upload within about a second, whatever the server does.
//
// The upload blocks its thread; the upload thread and the settings window's
// test run it on a worker thread.

#include <QString>

#include <atomic>
#include <functional>

namespace dozorix {

class IniFile;

// The defaults of the upload's limits (see FtpSettings).
constexpr int kFtpMinSpeedDefaultKBps = 32;
constexpr int kFtpTimeLimitDefaultHours = 6;

// The FTP account of section "BACKUP".
struct FtpSettings {
    QString host;      // "HostFTP"
    QString login;     // "LoginFTP"
    QString password;  // "PassFTP"
    QString port = QStringLiteral("21"); // "PortFTP", as text
    QString remoteDir; // "DirUdalennoFTP"
    bool passive = false; // "PassiveFTP"
    bool active = false;  // "ActiveFTP"
    int minSpeedKBps = kFtpMinSpeedDefaultKBps;     // "FtpMinSpeed": KB/s; 0, no check
    int timeLimitHours = kFtpTimeLimitDefaultHours; // "FtpTimeLimit": hours; 0, none
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
