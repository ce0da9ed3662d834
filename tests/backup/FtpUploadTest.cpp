// The FTP upload of a backup archive against a real FTP server on 127.0.0.1
// (pyftpdlib), with its failure letter going to the real TLS SMTP peer.
#include "backup/DiskSpace.h"
#include "backup/FTPThread.h"
#include "backup/FtpUpload.h"
#include "common/IniFile.h"
#include "common/LogSink.h"
#include "common/Stamps.h"
#include "common/SystemErrors.h"
#include "common/SystemHelpers.h"
#include "common/TextCodec.h"
#include "notify/NotificationMail.h"
#include "peers/FtpPeer.h"
#include "peers/SmtpPeer.h"
#include "support/LocalPort.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <thread>

using namespace dozorix;
using test::FtpPeer;
using test::HostileFtpPeer;
using test::SmtpPeer;

namespace {

struct LoggedLine {
    QString text;
    unsigned int rgb;
};

QByteArray patternBytes(qsizetype size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(seed + i * 31 % 251);
    return bytes;
}

class FtpUploadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setLogReceiver([this](const QString &text, unsigned int rgb) { log.push_back({test::unstamped(text), rgb}); });
        backupFolder = home.path() + QStringLiteral("/BACKUP");
        ASSERT_TRUE(QDir().mkpath(backupFolder));
    }

    void TearDown() override
    {
        test::waitUntil([] { return mailsInFlight() == 0; }, 30000);
        setLogReceiver({});
    }

    FtpSettings account(const FtpPeer &peer) const
    {
        FtpSettings s;
        s.host = QStringLiteral("127.0.0.1");
        s.login = peer.options().user;
        s.password = peer.options().password;
        s.port = peer.portText();
        return s;
    }

    // A backup archive on disk and temp2.txt naming it.
    QString makeArchive(const QString &baseName, const QByteArray &content)
    {
        const QString path = backupFolder + QLatin1Char('/') + baseName;
        QFile f(path + QStringLiteral(".zip"));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
        home.write(QStringLiteral("temp2.txt"), toCp1251(path + QStringLiteral("\r\n"))); // Windows-1251, as the runner writes it
        return path;
    }

    void writeMailSettings(int smtpPort) const
    {
        home.write(QStringLiteral("Example.ini"),
                   QStringLiteral("[settings]\r\nE-mail_From_Address=dozorix@example.org\r\n"
                                  "E-mail_EMailAddresses=admin@example.org\r\nE-mail_HostSmtp=127.0.0.1\r\n"
                                  "E-mail_Port=%1\r\nE-mail_Username=\r\nE-mail_Password=\r\n")
                       .arg(smtpPort)
                       .toUtf8());
    }

    // Runs one upload thread to its end (and its exit timer, when armed).
    struct Run {
        bool ok = false;
        QString message;
        int released = 0;
        int shutdowns = 0;
        QList<qint64> started;
        QList<qint64> progress;
        QStringList texts;
        QList<bool> cancelButton;
        QList<bool> bar;
    };
    Run runThread(const FtpUploadJob &job)
    {
        Run r;
        FTPThread thread(job);
        QObject::connect(&thread, &FTPThread::controlsReleased, [&] { ++r.released; });
        QObject::connect(&thread, &FTPThread::shutdownRequested, [&] { ++r.shutdowns; });
        QObject::connect(&thread, &FTPThread::transferStarted, [&](qint64 t) { r.started << t; });
        QObject::connect(&thread, &FTPThread::transferProgress, [&](qint64 s) { r.progress << s; });
        QObject::connect(&thread, &FTPThread::progressText, [&](const QString &t) { r.texts << t; });
        QObject::connect(&thread, &FTPThread::cancelButtonEnabled, [&](bool on) { r.cancelButton << on; });
        QObject::connect(&thread, &FTPThread::progressBarEnabled, [&](bool on) { r.bar << on; });
        QSignalSpy finished(&thread, &QThread::finished);
        thread.start();
        EXPECT_TRUE(test::waitUntil([&] { return finished.count() == 1; }, 60000));
        if (job.unattended)
            EXPECT_TRUE(test::waitUntil([&] { return r.shutdowns == 1; }, 5000));
        else
            test::quietFor(300); // many times the scaled exit pause
        r.ok = thread.succeeded();
        r.message = thread.failureMessage();
        return r;
    }

    QStringList logTexts() const
    {
        QStringList out;
        for (const LoggedLine &l : log)
            out << l.text;
        return out;
    }

    test::ProgramHome home;
    test::ScopedTimeScale scale{50};
    QString backupFolder;
    std::vector<LoggedLine> log;
};

// Every transfer mode sends through the data connection its keys ask for,
// and the append form extends the remote file on each upload.
TEST_F(FtpUploadTest, ModesAndTheAppendForm)
{
    struct Case {
        const char *name;
        bool passive, active;
        const char *expectedCommand;
    } cases[] = {
        {"passive", true, false, "PASV"},
        {"active", false, true, "PORT "},
        {"both keys on: active wins", true, true, "PORT "},
        {"neither key: passive", false, false, "PASV"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FtpPeer peer;
        QString error;
        ASSERT_TRUE(peer.start(&error)) << error.toStdString();
        FtpSettings s = account(peer);
        s.passive = c.passive;
        s.active = c.active;
        const QByteArray content = patternBytes(300 * 1024, 'a');
        const QString local = home.file(QStringLiteral("test.zip"));
        home.write(QStringLiteral("test.zip"), content);

        for (int round = 1; round <= 2; ++round) {
            const FtpUploadResult r = uploadFileAppend(s, local, QStringLiteral("test.zip"));
            ASSERT_TRUE(r.ok) << r.error.toStdString();
            EXPECT_EQ(r.sent, content.size());
            EXPECT_EQ(peer.remoteFile(QStringLiteral("test.zip")), content.repeated(round));
        }
        const QStringList commands = peer.commands();
        EXPECT_EQ(commands.filter(QStringLiteral("APPE test.zip")).size(), 2) << commands.join(' ').toStdString();
        EXPECT_EQ(commands.filter(QRegularExpression(QLatin1Char('^') + QLatin1String(c.expectedCommand))).size(), 2)
            << commands.join(' ').toStdString();
        EXPECT_TRUE(commands.filter(QStringLiteral("STOR")).isEmpty());
    }
}

// The optional remote folder: relative to the login folder or from the root,
// with or without a closing slash, names in Cyrillic.
TEST_F(FtpUploadTest, RemoteFolder)
{
    FtpPeer peer;
    QString error;
    ASSERT_TRUE(peer.start(&error)) << error.toStdString();
    ASSERT_TRUE(QDir(peer.root()).mkpath(QStringLiteral("архивы/1С")));
    home.write(QStringLiteral("a.zip"), "PK-archive");
    for (const QString &dir : {QStringLiteral("архивы/1С"), QStringLiteral("/архивы/1С/"), QStringLiteral("архивы")}) {
        SCOPED_TRACE(dir.toStdString());
        FtpSettings s = account(peer);
        s.remoteDir = dir;
        const QString name = QStringLiteral("Зарплата_09_12_2026__01_30_00_.dt.zip");
        const FtpUploadResult r = uploadFileAppend(s, home.file(QStringLiteral("a.zip")), name);
        ASSERT_TRUE(r.ok) << r.error.toStdString();
        QString target = dir;
        while (target.startsWith(QLatin1Char('/')))
            target.remove(0, 1);
        EXPECT_EQ(peer.remoteFile(target + QLatin1Char('/') + name).left(10), QByteArray("PK-archive"));
    }
}

// Names of the archive from temp2.txt: the last line holds, the folder and
// its separator are cut off.
TEST(FtpArchiveNames, FromTemp2Lines)
{
    struct Case {
        QStringList lines;
        QString folder;
        bool ok;
        QString local, remote;
    } cases[] = {
        {{QStringLiteral("D:\\BACKUP\\09_12_2026__01_30_00_База_Зарплата")}, QStringLiteral("D:\\BACKUP"), true,
         QStringLiteral("D:\\BACKUP\\09_12_2026__01_30_00_База_Зарплата.zip"),
         QStringLiteral("09_12_2026__01_30_00_База_Зарплата.zip")},
        {{QStringLiteral("D:\\BACKUP\\Зарплата_09_12_2026__01_30_00_.dt")}, QStringLiteral("D:\\BACKUP"), true,
         QStringLiteral("D:\\BACKUP\\Зарплата_09_12_2026__01_30_00_.dt.zip"),
         QStringLiteral("Зарплата_09_12_2026__01_30_00_.dt.zip")},
        {{QStringLiteral("/srv/b/first"), QStringLiteral("/srv/b/second")}, QStringLiteral("/srv/b"), true,
         QStringLiteral("/srv/b/second.zip"), QStringLiteral("second.zip")},
        {{}, QStringLiteral("/srv/b"), false, {}, {}},
    };
    for (const Case &c : cases) {
        FtpArchiveNames names;
        ASSERT_EQ(ftpArchiveNames(c.lines, c.folder, &names), c.ok);
        if (c.ok) {
            EXPECT_EQ(names.localArchive(), c.local);
            EXPECT_EQ(names.remoteName(), c.remote);
        }
    }
}

// The job as the runner loads it: keys and their defaults.
TEST(FtpUploadJobSettings, ReadFromTheSettingsFile)
{
    test::ProgramHome home;
    struct Case {
        const char *file;
        bool mailDefault;
        FtpSettings ftp;
        QString folder;
        bool mail;
    } cases[] = {
        {"[BACKUP]\r\nAvtoPath=/srv/b\r\nHostFTP=h\r\nLoginFTP=l\r\nPassFTP=p\r\nPortFTP=2121\r\n"
         "DirUdalennoFTP=d/e\r\nPassiveFTP=1\r\nActiveFTP=1\r\n[settings]\r\nERRORBackupSendFTP=1\r\n",
         false, {QStringLiteral("h"), QStringLiteral("l"), QStringLiteral("p"), QStringLiteral("2121"),
                 QStringLiteral("d/e"), true, true},
         QStringLiteral("/srv/b"), true},
        {"[BACKUP]\r\n", false, {}, QString(), false},
        {"[settings]\r\nERRORBackupSendFTP=yes\r\n", true, {}, QString(), true},
        {"[settings]\r\nERRORBackupSendFTP=0\r\n", true, {}, QString(), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        home.write(QStringLiteral("Example.ini"), c.file);
        const FtpUploadJob job = readFtpUploadJob(IniFile(home.file(QStringLiteral("Example.ini"))), true, c.mailDefault);
        EXPECT_EQ(job.backupFolder, c.folder);
        EXPECT_EQ(job.ftp.host, c.ftp.host);
        EXPECT_EQ(job.ftp.login, c.ftp.login);
        EXPECT_EQ(job.ftp.password, c.ftp.password);
        EXPECT_EQ(job.ftp.port, c.ftp.port);
        EXPECT_EQ(job.ftp.remoteDir, c.ftp.remoteDir);
        EXPECT_EQ(job.ftp.passive, c.ftp.passive);
        EXPECT_EQ(job.ftp.active, c.ftp.active);
        EXPECT_EQ(job.mailOnFailure, c.mail);
        EXPECT_TRUE(job.unattended);
    }
}

// A successful upload of an unattended run: the log lines in order, the
// second bar's maximum and position, the progress texts, the buttons given
// back, and the program asked to end one (scaled) second later.
TEST_F(FtpUploadTest, UnattendedSuccessLogsAndEnds)
{
    FtpPeer peer;
    QString error;
    ASSERT_TRUE(peer.start(&error)) << error.toStdString();
    const QString base = QStringLiteral("09_12_2026__01_30_00_База_Зарплата");
    const QByteArray content = patternBytes(2 * 1024 * 1024, 'z');
    makeArchive(base, content);

    FtpUploadJob job;
    job.backupFolder = backupFolder;
    job.ftp = account(peer);
    job.unattended = true;
    const Run r = runThread(job);

    ASSERT_TRUE(r.ok) << r.message.toStdString();
    EXPECT_EQ(peer.remoteFile(base + QStringLiteral(".zip")), content);
    EXPECT_EQ(logTexts(), (QStringList{kFtpConnectingPrefix + QStringLiteral("127.0.0.1"), kFtpUploading,
                                       QStringLiteral("Zip архив:") + base
                                           + QStringLiteral(".zip - успешно отправлен на FTP сервер"),
                                       QStringLiteral("Отключился от FTP"), QStringLiteral("Работа завершена!")}));
    for (const LoggedLine &l : log)
        EXPECT_EQ(l.rgb, kLogGreen);
    EXPECT_EQ(r.bar, (QList<bool>{false, true}));
    EXPECT_EQ(r.cancelButton, QList<bool>{false});
    EXPECT_EQ(r.started, QList<qint64>{content.size()});
    ASSERT_FALSE(r.progress.isEmpty());
    EXPECT_EQ(r.progress.last(), content.size());
    EXPECT_TRUE(std::is_sorted(r.progress.begin(), r.progress.end()));
    EXPECT_EQ(r.texts, (QStringList{kFtpUploading, QStringLiteral("Zip архив:") + base
                                                       + QStringLiteral(".zip - успешно отправлен на FTP.")}));
    EXPECT_EQ(r.released, 1);
    EXPECT_EQ(r.shutdowns, 1);
}

// Every way an upload fails: the failure's message and the closing red line
// in the log, the buttons given back, the program ended in an unattended
// run, and the letter to the administrator when ERRORBackupSendFTP is on,
// except for an orderly close of the connection. The cases that cannot start
// (no temp2.txt, a port that is not a number) are reported the same way
// instead of ending silently with the runner's buttons locked.
TEST_F(FtpUploadTest, FailuresAreLoggedMailedAndEndTheRun)
{
    SmtpPeer smtp;
    QString error;
    ASSERT_TRUE(smtp.start(&error)) << error.toStdString();
    writeMailSettings(smtp.port());

    // Larger than what the loopback's socket buffers take in before the reset.
    constexpr qsizetype kFailureArchiveSize = 32 * 1024 * 1024;
    enum class Setup { WrongPassword, MissingFolder, ResetMidTransfer, CloseOnAppe, NobodyListens, NoTemp2, EmptyTemp2, PortNotNumber, NoArchive };
    struct Case {
        const char *name;
        Setup setup;
        bool mail;
        const char *reasonPart; // in the failure's message
        bool mailed;
    } cases[] = {
        {"refused login", Setup::WrongPassword, true, "отклонил логин или пароль", true},
        {"missing remote folder", Setup::MissingFolder, true, "нет каталога «нет_такого»", true},
        {"connection reset mid-transfer", Setup::ResetMidTransfer, true, "прервана", true},
        {"orderly close", Setup::CloseOnAppe, true, "Connection Closed Gracefully.", false},
        {"nobody listens", Setup::NobodyListens, true, "не удалось подключиться", true},
        {"no temp2.txt", Setup::NoTemp2, true, "temp2.txt", true},
        {"empty temp2.txt", Setup::EmptyTemp2, true, "temp2.txt", true},
        {"port not a number", Setup::PortNotNumber, true, "Порт FTP «21x»", true},
        {"archive missing", Setup::NoArchive, true, "не удалось открыть файл", true},
        {"refused login, letters off", Setup::WrongPassword, false, "отклонил логин или пароль", false},
        {"no temp2.txt, letters off", Setup::NoTemp2, false, "temp2.txt", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        smtp.clearRecords();
        FtpPeer::Options options;
        options.resetAfterBytes = c.setup == Setup::ResetMidTransfer ? 256 * 1024 : 0;
        options.closeOnAppe = c.setup == Setup::CloseOnAppe;
        FtpPeer peer(options);
        ASSERT_TRUE(peer.start(&error)) << error.toStdString();

        const QString base = QStringLiteral("Зарплата_09_12_2026__01_30_00_.dt");
        makeArchive(base, patternBytes(kFailureArchiveSize, 'q'));
        FtpUploadJob job;
        job.backupFolder = backupFolder;
        job.ftp = account(peer);
        job.mailOnFailure = c.mail;
        job.unattended = true;
        switch (c.setup) {
        case Setup::WrongPassword: job.ftp.password = QStringLiteral("wrong"); break;
        case Setup::MissingFolder: job.ftp.remoteDir = QStringLiteral("нет_такого"); break;
        case Setup::NobodyListens: job.ftp.port = QString::number(test::unusedLocalPort()); break;
        case Setup::NoTemp2: QFile::remove(home.file(QStringLiteral("temp2.txt"))); break;
        case Setup::EmptyTemp2: home.write(QStringLiteral("temp2.txt"), ""); break;
        case Setup::PortNotNumber: job.ftp.port = QStringLiteral("21x"); break;
        case Setup::NoArchive: QFile::remove(backupFolder + QLatin1Char('/') + base + QStringLiteral(".zip")); break;
        default: break;
        }
        const Run r = runThread(job);

        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.message.contains(QString::fromUtf8(c.reasonPart))) << r.message.toStdString();
        EXPECT_EQ(r.released, 1);
        EXPECT_EQ(r.shutdowns, 1);
        EXPECT_EQ(r.texts.value(0), kFtpFailed);
        EXPECT_FALSE(peer.remoteExists(base + QStringLiteral(".zip")) && c.setup != Setup::ResetMidTransfer);
        if (c.setup == Setup::ResetMidTransfer) {
            EXPECT_LT(peer.remoteFile(base + QStringLiteral(".zip")).size(), kFailureArchiveSize);
        }

        const QStringList texts = logTexts();
        ASSERT_GE(texts.size(), 2) << texts.join('\n').toStdString();
        const qsizetype at = texts.indexOf(r.message);
        ASSERT_GE(at, 0) << texts.join('\n').toStdString();
        EXPECT_EQ(texts.value(at + 1), kFtpFailed);
        EXPECT_EQ(log[static_cast<size_t>(at)].rgb, kLogRed);
        EXPECT_EQ(log[static_cast<size_t>(at + 1)].rgb, kLogRed);

        const bool haveArchiveName = c.setup != Setup::NoTemp2 && c.setup != Setup::EmptyTemp2;
        if (c.mailed) {
            ASSERT_TRUE(test::waitUntil([&] { return smtp.letters().size() == 1; }, 30000));
            ASSERT_TRUE(test::waitUntil([&] { return logTexts().contains(kFtpLetterSentLine); }, 30000));
            const QJsonObject letter = smtp.letters().first();
            const QString name = haveArchiveName ? base : QString();
            EXPECT_EQ(letter.value(QStringLiteral("subject")).toString(), kFtpLetterSubjectPrefix + name);
            EXPECT_EQ(letter.value(QStringLiteral("charset")).toString(), QStringLiteral("windows-1251"));
            const QString body = letter.value(QStringLiteral("body")).toString().trimmed();
            const QRegularExpression shape(QLatin1Char('^')
                + QRegularExpression::escape(kFtpLetterSubjectPrefix + QStringLiteral("<b>") + name
                                             + QStringLiteral("</b><p><b>Сервер (ПК): </b>") + GetComputerNameText()
                                             + QStringLiteral(".</p><p><b>Время: </b>"))
                + QStringLiteral("\\d\\d\\.\\d\\d\\.\\d{4} - \\d{1,2}:\\d\\d:\\d\\d : ")
                + QRegularExpression::escape(QStringLiteral("<p><b>Zip Архив:  </b>") + name
                                             + QStringLiteral("<p><b>Причина:  </b>") + r.message
                                             + QStringLiteral("</b><p>Это сообщение отправлено автоматически "
                                                              "программой Dozorix Pro.</p>"))
                + QLatin1Char('$'));
            EXPECT_TRUE(shape.match(body).hasMatch()) << body.toStdString();
        } else {
            // Give a letter that should not exist every chance to arrive.
            test::quietFor(1500);
            EXPECT_EQ(smtp.letters().size(), 0);
            EXPECT_EQ(mailsInFlight(), 0);
        }
    }
}

// An attended run never arms the exit timer, whatever the outcome.
TEST_F(FtpUploadTest, AttendedRunKeepsTheProgram)
{
    FtpUploadJob job;
    job.backupFolder = backupFolder;
    job.ftp.port = QStringLiteral("x");
    const Run r = runThread(job);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.released, 1);
    EXPECT_EQ(r.shutdowns, 0);
}


// One upload on a thread of its own, as the upload thread runs it, so that a
// test can watch it, cancel it and time its end. A run still going when the
// object goes away is cancelled and waited for.
class BackgroundUpload
{
public:
    BackgroundUpload(FtpSettings settings, QString localPath)
        : m_settings(std::move(settings))
        , m_local(std::move(localPath))
    {
    }
    ~BackgroundUpload()
    {
        m_cancel = true;
        if (m_worker.joinable())
            m_worker.join();
    }

    void start()
    {
        m_clock.start();
        m_worker = std::thread([this] {
            FtpUploadEvents events;
            events.started = [this](qint64) { m_started = true; };
            m_result = uploadFileAppend(m_settings, m_local, QStringLiteral("archive.zip"), events, &m_cancel);
            m_endedAtMs = m_clock.elapsed();
            m_done = true;
        });
    }
    // True when the upload ended within timeoutMs from now.
    bool waitEnd(int timeoutMs)
    {
        return test::waitUntil([this] { return m_done.load(); }, timeoutMs);
    }
    bool waitTransferStart(int timeoutMs)
    {
        return test::waitUntil([this] { return m_started.load(); }, timeoutMs);
    }
    // Cancels and gives the milliseconds from the cancel to the upload's end (-1: not within timeoutMs).
    qint64 cancelAndTime(int timeoutMs)
    {
        const qint64 at = m_clock.elapsed();
        m_cancel = true;
        return waitEnd(timeoutMs) ? m_endedAtMs.load() - at : -1;
    }
    // Valid once waitEnd() said so.
    const FtpUploadResult &result() const { return m_result; }
    qint64 endedAtMs() const { return m_endedAtMs; }

private:
    FtpSettings m_settings;
    QString m_local;
    std::atomic_bool m_cancel{false};
    std::atomic_bool m_started{false};
    std::atomic_bool m_done{false};
    std::atomic<qint64> m_endedAtMs{-1};
    QElapsedTimer m_clock;
    FtpUploadResult m_result;
    std::thread m_worker;
};

FtpSettings hostileAccount(const HostileFtpPeer &peer)
{
    FtpSettings s;
    s.host = QStringLiteral("127.0.0.1");
    s.login = QStringLiteral("backup");
    s.password = QStringLiteral("secret");
    s.port = peer.portText();
    s.passive = true;
    return s;
}

// The limit keys of section BACKUP: whole numbers from 0 up, the default for
// anything else.
TEST(FtpLimitSettings, ReadFromTheSettingsFile)
{
    test::ProgramHome home;
    struct Case {
        const char *keys;
        int minSpeed, timeLimit;
    } cases[] = {
        {"", kFtpMinSpeedDefaultKBps, kFtpTimeLimitDefaultHours},
        {"FtpMinSpeed=100\r\nFtpTimeLimit=12\r\n", 100, 12},
        {"FtpMinSpeed=0\r\nFtpTimeLimit=0\r\n", 0, 0},
        {"FtpMinSpeed= 64 \r\nFtpTimeLimit=+2\r\n", 64, 2},
        {"FtpMinSpeed=fast\r\nFtpTimeLimit=6h\r\n", kFtpMinSpeedDefaultKBps, kFtpTimeLimitDefaultHours},
        {"FtpMinSpeed=-5\r\nFtpTimeLimit=-1\r\n", kFtpMinSpeedDefaultKBps, kFtpTimeLimitDefaultHours},
        {"FtpMinSpeed=\r\nFtpTimeLimit=1.5\r\n", kFtpMinSpeedDefaultKBps, kFtpTimeLimitDefaultHours},
        {"FtpMinSpeed=99999999999\r\n", kFtpMinSpeedDefaultKBps, kFtpTimeLimitDefaultHours},
    };
    EXPECT_EQ(kFtpMinSpeedDefaultKBps, 32);
    EXPECT_EQ(kFtpTimeLimitDefaultHours, 6);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keys);
        home.write(QStringLiteral("Example.ini"), QByteArray("[BACKUP]\r\nHostFTP=h\r\n") + c.keys);
        const FtpSettings s = readFtpSettings(IniFile(home.file(QStringLiteral("Example.ini"))));
        EXPECT_EQ(s.minSpeedKBps, c.minSpeed);
        EXPECT_EQ(s.timeLimitHours, c.timeLimit);
        EXPECT_EQ(s.host, QStringLiteral("h"));
    }
}

// A server that takes the archive at 2 KB/s: after the (scaled) warm-up the
// average rate of what the server has taken is below FtpMinSpeed, and the
// upload fails at once with the figures, instead of running for days. One
// that takes 64 KB/s keeps above the same limit and gets the whole archive.
TEST_F(FtpUploadTest, SlowServerFailsOnTheAverageRate)
{
    test::ScopedTimeScale fast{100}; // warm-up: 0.6 s
    struct Case {
        int rate;        // bytes per second the server reads
        qsizetype size;  // of the archive
        bool ok;
    } cases[] = {
        {2048, 8 * 1024 * 1024, false},
        {64 * 1024, 256 * 1024, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rate);
        HostileFtpPeer peer(HostileFtpPeer::Mode::Drip, c.rate);
        QString error;
        ASSERT_TRUE(peer.start(&error)) << error.toStdString();
        home.write(QStringLiteral("archive.zip"), patternBytes(c.size, 'd'));
        FtpSettings s = hostileAccount(peer);
        s.minSpeedKBps = 32;
        BackgroundUpload upload(s, home.file(QStringLiteral("archive.zip")));
        upload.start();

        ASSERT_TRUE(upload.waitEnd(20000)) << "still sending; the server has read " << peer.receivedBytes();
        const FtpUploadResult &r = upload.result();
        EXPECT_TRUE(peer.commands().contains(QStringLiteral("APPE archive.zip")));
        if (c.ok) {
            EXPECT_TRUE(r.ok) << r.error.toStdString();
            EXPECT_EQ(peer.receivedBytes(), c.size);
            continue;
        }
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.error.contains(QStringLiteral("слишком медленно"))) << r.error.toStdString();
        EXPECT_TRUE(r.error.contains(QStringLiteral("32 КБ/с"))) << r.error.toStdString();
        EXPECT_TRUE(r.error.contains(QStringLiteral("FtpMinSpeed"))) << r.error.toStdString();
        EXPECT_TRUE(r.error.contains(QStringLiteral(" из ") + sizeText(static_cast<quint64>(c.size)))) << r.error.toStdString();
        EXPECT_LT(peer.receivedBytes(), c.size);
    }
}

// FtpTimeLimit bounds the whole upload, connect to end: a server that takes
// the archive slowly (rate check off) and one that never even greets.
TEST_F(FtpUploadTest, TimeLimitEndsTheUpload)
{
    test::ScopedTimeScale fast{3600}; // one hour: one second
    const qsizetype size = 8 * 1024 * 1024;
    home.write(QStringLiteral("archive.zip"), patternBytes(size, 't'));
    for (const auto mode : {HostileFtpPeer::Mode::Drip, HostileFtpPeer::Mode::Mute}) {
        SCOPED_TRACE(static_cast<int>(mode));
        HostileFtpPeer peer(mode, 2048);
        QString error;
        ASSERT_TRUE(peer.start(&error)) << error.toStdString();
        FtpSettings s = hostileAccount(peer);
        s.minSpeedKBps = 0;
        s.timeLimitHours = 1;
        BackgroundUpload upload(s, home.file(QStringLiteral("archive.zip")));
        upload.start();

        ASSERT_TRUE(upload.waitEnd(20000)) << "still running";
        const FtpUploadResult &r = upload.result();
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.error.contains(QStringLiteral("1 ч"))) << r.error.toStdString();
        EXPECT_TRUE(r.error.contains(QStringLiteral("FtpTimeLimit"))) << r.error.toStdString();
        EXPECT_TRUE(r.error.contains(QStringLiteral(" из ") + sizeText(static_cast<quint64>(size)))) << r.error.toStdString();
        EXPECT_GE(upload.endedAtMs(), 1000); // never before the limit
    }
}

// The cancel ends an upload within about a second, whether the server reads
// nothing of the data connection or never answers on the control connection.
TEST_F(FtpUploadTest, CancelEndsAStalledUpload)
{
    home.write(QStringLiteral("archive.zip"), patternBytes(32 * 1024 * 1024, 'c'));
    for (const auto mode : {HostileFtpPeer::Mode::Silent, HostileFtpPeer::Mode::Mute}) {
        SCOPED_TRACE(static_cast<int>(mode));
        HostileFtpPeer peer(mode);
        QString error;
        ASSERT_TRUE(peer.start(&error)) << error.toStdString();
        FtpSettings s = hostileAccount(peer);
        s.minSpeedKBps = 0;
        s.timeLimitHours = 0;
        BackgroundUpload upload(s, home.file(QStringLiteral("archive.zip")));
        upload.start();
        if (mode == HostileFtpPeer::Mode::Silent) {
            ASSERT_TRUE(upload.waitTransferStart(10000));
        }
        // Let it stall: the buffers fill, or the greeting never comes.
        EXPECT_FALSE(upload.waitEnd(1500)) << upload.result().error.toStdString();

        const qint64 took = upload.cancelAndTime(10000);
        ASSERT_GE(took, 0) << "the cancel did not end the upload within 10 s";
        EXPECT_LE(took, 3000);
        EXPECT_FALSE(upload.result().ok);
        EXPECT_EQ(upload.result().error, QStringLiteral("отправка прервана"));
    }
}

// CR, LF or NUL in the account would end one FTP command and start another:
// refused before connecting, naming the field, never showing the password.
TEST_F(FtpUploadTest, LineBreaksInTheAccountAreRefused)
{
    FtpPeer peer;
    QString error;
    ASSERT_TRUE(peer.start(&error)) << error.toStdString();
    home.write(QStringLiteral("a.zip"), "PK-archive");
    const QString victim = QDir(peer.root()).filePath(QStringLiteral("victim.txt"));
    const QString injected = QStringLiteral("\r\nDELE victim.txt");
    enum Field { Host, Login, Password, Folder };
    struct Case {
        const char *name;
        Field field;
        QString value;
        const char *fieldText;
    } cases[] = {
        {"login with CR LF", Login, peer.options().user + injected, "логин"},
        {"password with CR LF", Password, peer.options().password + injected, "пароль"},
        {"password with LF", Password, peer.options().password + QStringLiteral("\nDELE victim.txt"), "пароль"},
        {"password with CR", Password, peer.options().password + QStringLiteral("\rDELE victim.txt"), "пароль"},
        {"password with NUL", Password, peer.options().password + QChar(0) + QStringLiteral("DELE"), "пароль"},
        {"host with CR LF", Host, QStringLiteral("127.0.0.1") + injected, "имя сервера"},
        {"folder with CR LF", Folder, QStringLiteral("in") + injected, "каталог"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QFile v(victim);
        ASSERT_TRUE(v.open(QIODevice::WriteOnly));
        v.write("keep me");
        v.close();
        QFile::remove(QDir(peer.root()).filePath(QStringLiteral("a.zip")));
        FtpSettings s = account(peer);
        switch (c.field) {
        case Host: s.host = c.value; break;
        case Login: s.login = c.value; break;
        case Password: s.password = c.value; break;
        case Folder: s.remoteDir = c.value; break;
        }
        const int before = peer.commands().size();
        const FtpUploadResult r = uploadFileAppend(s, home.file(QStringLiteral("a.zip")), QStringLiteral("a.zip"));

        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.error.contains(QString::fromUtf8(c.fieldText))) << r.error.toStdString();
        EXPECT_FALSE(r.error.contains(QStringLiteral("DELE"))) << r.error.toStdString();
        EXPECT_FALSE(r.error.contains(QStringLiteral("secret"))) << r.error.toStdString();
        EXPECT_TRUE(QFile::exists(victim));
        const QStringList commands = peer.commands();
        EXPECT_TRUE(commands.filter(QStringLiteral("DELE")).isEmpty()) << commands.join(' ').toStdString();
        EXPECT_EQ(commands.size(), before) << "connected: " << commands.join(' ').toStdString();
        EXPECT_FALSE(peer.remoteExists(QStringLiteral("a.zip")));
    }
}

// Active mode: a third host that connects to the announced port before the
// server gets nothing, and the upload fails naming it.
TEST_F(FtpUploadTest, ActiveModeRefusesAStranger)
{
    HostileFtpPeer peer(HostileFtpPeer::Mode::Stranger);
    QString error;
    ASSERT_TRUE(peer.start(&error)) << error.toStdString();
    const qsizetype size = 2 * 1024 * 1024;
    home.write(QStringLiteral("archive.zip"), patternBytes(size, 's'));
    FtpSettings s = hostileAccount(peer);
    s.active = true;
    const FtpUploadResult r = uploadFileAppend(s, home.file(QStringLiteral("archive.zip")), QStringLiteral("archive.zip"));

    ASSERT_TRUE(test::waitUntil([&] { return peer.strangerBytes() >= 0; }, 10000));
    EXPECT_EQ(peer.strangerBytes(), 0);
    EXPECT_FALSE(r.ok);
    const QString stranger = peer.strangerAddress();
    EXPECT_TRUE(stranger.startsWith(QStringLiteral("127.0.0.2:"))) << stranger.toStdString();
    EXPECT_TRUE(r.error.contains(stranger)) << r.error.toStdString();
    EXPECT_TRUE(peer.commands().filter(QRegularExpression(QStringLiteral("^PORT "))).size() == 1);
}

// A passive data connection that cannot be opened is reported with the
// address from the PASV reply, not as a failed login to the control address.
TEST_F(FtpUploadTest, FailedDataConnectionNamesItsAddress)
{
    HostileFtpPeer peer(HostileFtpPeer::Mode::DeadPasv);
    QString error;
    ASSERT_TRUE(peer.start(&error)) << error.toStdString();
    home.write(QStringLiteral("archive.zip"), "PK-archive");
    const FtpSettings s = hostileAccount(peer);
    const FtpUploadResult r = uploadFileAppend(s, home.file(QStringLiteral("archive.zip")), QStringLiteral("archive.zip"));

    ASSERT_GT(peer.deadPasvPort(), 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, QStringLiteral("не удалось открыть соединение данных с сервером FTP 127.0.0.1:%1 (%2)")
                           .arg(peer.deadPasvPort())
                           .arg(systemErrorText(ECONNREFUSED)));
}

// A local archive that cannot be opened: the system's reason, in Russian.
TEST_F(FtpUploadTest, UnreadableArchiveGivesTheSystemReason)
{
    FtpPeer peer;
    QString error;
    ASSERT_TRUE(peer.start(&error)) << error.toStdString();
    ASSERT_TRUE(QDir().mkpath(home.file(QStringLiteral("folder.zip"))));
    struct Case {
        QString path;
        int err;
    } cases[] = {
        {home.file(QStringLiteral("missing.zip")), ENOENT},
        {home.file(QStringLiteral("folder.zip")), EISDIR},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        const FtpUploadResult r = uploadFileAppend(account(peer), c.path, QStringLiteral("x.zip"));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, QStringLiteral("не удалось открыть файл %1 (%2)").arg(c.path, systemErrorText(c.err)));
        EXPECT_TRUE(peer.commands().isEmpty());
    }
}

} // namespace
