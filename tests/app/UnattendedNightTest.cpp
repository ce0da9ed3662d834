// Unattended nights of the real program, each from its start (`Dozorix
// bak<N>`, offscreen, under the time scale) to its end: that it ends within
// its bound, its exit status, the red line of Dozorix.log, its line on
// standard error, the letter at a real SMTP server, the archive at a real
// FTP server, and what is left in the backup folder. A designer stand-in
// plays the 1C designer from a Program Files folder of the test's own.
#include "common/IniFile.h"
#include "peers/FtpPeer.h"
#include "peers/SmtpPeer.h"
#include "support/SmallDisk.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <optional>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

// The bound within which every night below must end (real time; the
// program's own pauses and limits are scaled down 100 times).
constexpr int kNightBoundMs = 60000;

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList entries(const QString &folder)
{
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    names.sort();
    return names;
}

// A designer stand-in (Python) under <opt>/1cv8/x86_64/8.3.24.1548/1cv8:
// body runs with a (arguments), dump and out; it notes its pid beside the dump.
void installDesigner(const QString &opt, const QString &body)
{
    const QString program = opt + u"/1cv8/x86_64/8.3.24.1548/1cv8"_s;
    QDir().mkpath(QFileInfo(program).path());
    QFile f(program);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write((u"#!/usr/bin/python3\n"
             "import os, sys, time\n"
             "a = sys.argv[1:]\n"
             "dump = a[a.index('/DumpIB') + 1]\n"
             "out = a[a.index('/OUT') + 1]\n"
             "open(os.path.join(os.path.dirname(os.path.dirname(dump)), 'designer.pid'), 'w').write(str(os.getpid()))\n"_s
             + body + u"\n"_s)
                .toUtf8());
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

const QString kDumps = u"open(dump, 'wb').write(os.urandom(200000))\n"
                       "open(out, 'wb').write('Выгрузка информационной базы успешно завершена\\r\\n'.encode('cp1251'))"_s;

// One night's world: a program directory with its settings, an infobase
// folder, a backup folder, a Program Files folder, and the peers.
struct Night {
    ProgramHome home;
    QTemporaryDir data;
    QByteArray database;
    QString backups;

    Night()
    {
        database = QByteArray(300000, '\0');
        for (qsizetype i = 0; i < database.size(); ++i)
            database[i] = static_cast<char>((i * 7919) % 251);
        QDir().mkpath(base());
        QDir().mkpath(opt());
        // A folder whose name Windows-1251 cannot hold.
        backups = data.filePath(u"backups_é日😀"_s);
        QDir().mkpath(backups);
        QFile db(base() + u"/1Cv8.1CD"_s);
        db.open(QIODevice::WriteOnly);
        db.write(database);
        home.write(u"utmp"_s, QByteArray());
    }
    QString base() const { return data.filePath(u"base"_s); }
    QString opt() const { return data.filePath(u"opt"_s); }

    void settings(const SmtpPeer &smtp, const QList<std::tuple<QString, QString, QString>> &values)
    {
        IniFile ini(home.file(u"Example.ini"_s), IniFile::WriteMode::CreateIfMissing);
        const std::tuple<const char *, const char *, QString> keys[] = {
            {"Base3", "Psevdo3", u"Склад"_s},
            {"Base3", "RadioClient", u"0"_s},
            {"Base3", "StrokaCon", base()},
            {"Base4", "Psevdo4", u"Бух"_s},
            {"Base4", "RadioClient", u"1"_s},
            {"Base4", "KlasterB", u"srv1c"_s},
            {"Base4", "IBNAmeKlaster", u"buh"_s},
            {"Base4", "LoginK", u"Архивариус"_s},
            {"Base4", "PassK", u"x"_s},
            {"Base4", "Connector", u"V83.ComConnector"_s},
            {"BACKUP", "AvtoPath", backups},
            {"BACKUP", "Zadergka", u"Без задержки"_s},
            {"BACKUP", "ZipArhiv", u"1"_s},
            {"BACKUP", "ZipArhivShifr", u"Пароль№1"_s},
            {"BACKUP", "FtpArhiv", u"0"_s},
            {"settings", "ERRORBackup", u"1"_s},
            {"settings", "ERRORBackupSendFTP", u"1"_s},
            {"settings", "E-mail_From_Address", u"dozorix@srv.local"_s},
            {"settings", "E-mail_EMailAddresses", u"admin@srv.local"_s},
            {"settings", "E-mail_HostSmtp", u"127.0.0.1"_s},
            {"settings", "E-mail_Port", smtp.portText()},
            {"settings", "E-mail_Username", u"dozorix"_s},
            {"settings", "E-mail_Password", u"s3cret"_s},
        };
        for (const auto &[section, key, value] : keys)
            ini.writeString(QString::fromLatin1(section), QString::fromLatin1(key), value);
        for (const auto &[section, key, value] : values)
            ini.writeString(section, key, value);
        ASSERT_TRUE(ini.save());
    }
    void ftp(const FtpPeer &peer, QList<std::tuple<QString, QString, QString>> &values, const QString &port = {})
    {
        values << std::tuple{u"BACKUP"_s, u"FtpArhiv"_s, u"1"_s} << std::tuple{u"BACKUP"_s, u"HostFTP"_s, u"127.0.0.1"_s}
               << std::tuple{u"BACKUP"_s, u"LoginFTP"_s, peer.options().user}
               << std::tuple{u"BACKUP"_s, u"PassFTP"_s, peer.options().password}
               << std::tuple{u"BACKUP"_s, u"PortFTP"_s, port.isEmpty() ? peer.portText() : port}
               << std::tuple{u"BACKUP"_s, u"PassiveFTP"_s, u"1"_s};
    }
    QString log() const { return QString::fromUtf8(home.read(u"Dozorix.log"_s)); }
    QStringList redLines() const
    {
        QStringList red;
        for (const QString &line : log().split(u'\n')) {
            if (line.contains(u" [red] "_s))
                red << line;
        }
        return red;
    }
};

// The real program, run as a nightly scheduler runs it.
struct NightRun {
    QProcess process;
    bool ended = false;
    int status = -1;
    QString err;

    void start(const Night &night, const QString &parameter, const QString &scope = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"DOZORIX_HOME"_s, night.home.path());
        env.insert(u"DOZORIX_INSTANCE_SCOPE"_s, scope.isEmpty() ? night.home.path() : scope);
        env.insert(u"DOZORIX_TIME_SCALE"_s, u"100"_s);
        env.insert(u"DOZORIX_PROGRAM_FILES"_s, night.opt());
        // Nobody is logged on: the messages reach no real terminal of this machine.
        env.insert(u"DOZORIX_UTMP"_s, night.home.file(u"utmp"_s));
        env.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s, u"unix:path=/nonexistent/bus"_s);
        env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        env.remove(u"DISPLAY"_s);
        env.remove(u"WAYLAND_DISPLAY"_s);
        process.setProcessEnvironment(env);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(QStringLiteral(DOZORIX_PROGRAM), {parameter});
        ASSERT_TRUE(process.waitForStarted(10000));
    }
    // Waits for the end within the bound; a run still alive then is killed
    // and the case fails.
    void finish(int boundMs = kNightBoundMs)
    {
        ended = process.waitForFinished(boundMs);
        if (!ended) {
            process.kill();
            process.waitForFinished(5000);
        }
        status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        err = QString::fromUtf8(process.readAllStandardError());
    }
    ~NightRun()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};

QString restoredDatabase(const QString &archive, const QString &into)
{
    QProcess python;
    python.start(u"python3"_s, {u"-c"_s, u"import sys, zipfile\n"
                                         "z = zipfile.ZipFile(sys.argv[1]); z.setpassword('Пароль№1'.encode('cp1251'))\n"
                                         "n = [n for n in z.namelist() if n.endswith('1CD')][0]\n"
                                         "open(sys.argv[2], 'wb').write(z.read(n))\n"_s,
                                archive, into});
    python.waitForFinished(30000);
    return python.exitCode() == 0 ? QString() : QString::fromUtf8(python.readAllStandardError());
}

} // namespace

TEST(UnattendedNight, EveryNightEndsWithItsStatusItsLineAndItsLetter)
{
    SmtpPeer smtp;
    QString error;
    ASSERT_TRUE(smtp.start(&error)) << error.toStdString();

    enum class Prep { None, UnmountedBase, No1C, DesignerDumps, DesignerHangs, DesignerBlocksArchive, NoSettings,
                      NoAlias, SmallDisk, Sigterm };
    enum class Upload { Off, Good, Down };
    struct Case {
        const char *name;
        const char *parameter;
        Prep prep;
        Upload upload;
        QList<std::tuple<QString, QString, QString>> keys;
        int status;
        const char *red;    // part of the red line (nullptr: no red line)
        const char *letter; // the letter's subject (nullptr: none)
        int archives;       // .zip files left in the backup folder
        int others;         // other entries left there
    };
    const Case cases[] = {
        {"a good night: copy, ZIP with a password, FTP; a folder Windows-1251 cannot name", "bak3", Prep::None,
         Upload::Good, {}, 0, nullptr, nullptr, 1, 0},
        {"FTP asked for without ZIP", "bak3", Prep::None, Upload::Good,
         {{u"BACKUP"_s, u"ZipArhiv"_s, u"0"_s}}, 0, nullptr, nullptr, 1, 0},
        {"the infobase folder is not mounted", "bak3", Prep::UnmountedBase, Upload::Off, {}, 1,
         "нет такого файла или каталога (No such file or directory)", "Ошибка выполнения бэкапа ИБ: Склад", 0, 0},
        {"no 1C installed", "bak4", Prep::No1C, Upload::Off, {}, 1,
         "Конфигуратор завершился, не записав результат выгрузки", "Ошибка выполнения бэкапа ИБ: Бух", 0, 0},
        {"the designer hangs", "bak4", Prep::DesignerHangs, Upload::Off,
         {{u"BACKUP"_s, u"DumpTimeLimit"_s, u"0.05"_s}}, 1, "(DumpTimeLimit): его процессы остановлены",
         "Ошибка выполнения бэкапа ИБ: Бух", 0, 0},
        {"a dump packed and uploaded", "bak4", Prep::DesignerDumps, Upload::Good, {}, 0, nullptr, nullptr, 1, 0},
        {"the FTP server is down", "bak3", Prep::None, Upload::Down, {}, 3, "Ошибка отправки на FTP сервер. (",
         "Ошибка отправки zip Архива на FTP сервер: ", 1, 0},
        // Left: the unpacked dump, and the folder that took the archive's name.
        {"the archive cannot be written", "bak4", Prep::DesignerBlocksArchive, Upload::Good, {}, 2,
         "Архив не создан: ", "Ошибка упаковки бэкапа ИБ: Бух", 1, 1},
        {"no settings file", "bak3", Prep::NoSettings, Upload::Off, {}, 5, "файл настроек", nullptr, 0, 0},
        {"no such profile", "bak5", Prep::NoAlias, Upload::Off, {}, 5, "профиль 5 не настроен", nullptr, 0, 0},
        {"not enough room", "bak3", Prep::SmallDisk, Upload::Off, {}, 1, "не хватает места",
         "Ошибка выполнения бэкапа ИБ: Склад", 0, 0},
        {"SIGTERM while the designer dumps", "bak4", Prep::Sigterm, Upload::Off, {}, 6, "остановлен сигналом", nullptr,
         0, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Night night;
        smtp.clearRecords();
        FtpPeer ftp;
        QList<std::tuple<QString, QString, QString>> keys = c.keys;
        if (c.upload != Upload::Off) {
            ASSERT_TRUE(ftp.start(&error)) << error.toStdString();
            night.ftp(ftp, keys, c.upload == Upload::Down ? u"1"_s : QString());
        }
        std::optional<SmallDisk> disk;
        switch (c.prep) {
        case Prep::UnmountedBase: keys << std::tuple{u"Base3"_s, u"StrokaCon"_s, night.data.filePath(u"mnt/base"_s)}; break;
        case Prep::DesignerDumps: installDesigner(night.opt(), kDumps); break;
        case Prep::DesignerHangs:
        case Prep::Sigterm: installDesigner(night.opt(), u"time.sleep(300)"_s); break;
        case Prep::DesignerBlocksArchive: installDesigner(night.opt(), kDumps + u"\nos.mkdir(dump + '.zip')"_s); break;
        case Prep::SmallDisk:
            disk.emplace(1u << 20);
            if (!disk->available()) {
                ADD_FAILURE() << "no small disk: " << disk->why();
                continue;
            }
            keys << std::tuple{u"BACKUP"_s, u"AvtoPath"_s, disk->path()};
            break;
        default: break;
        }
        if (c.prep != Prep::NoSettings)
            night.settings(smtp, keys);
        const QString folder = disk ? disk->path() : night.backups;

        NightRun run;
        run.start(night, QString::fromLatin1(c.parameter));
        if (c.prep == Prep::Sigterm) {
            // The designer runs; systemd's time limit or an administrator ends the run.
            ASSERT_TRUE(waitUntil([&] { return QFile::exists(night.data.filePath(u"designer.pid"_s)); }, 30000));
            ::kill(static_cast<pid_t>(run.process.processId()), SIGTERM);
        }
        run.finish();
        ASSERT_TRUE(run.ended) << "still running after " << kNightBoundMs << " ms\n" << night.log().toStdString();
        EXPECT_EQ(run.status, c.status) << night.log().toStdString() << run.err.toStdString();

        // The red line, and none on a good night; a failure also on stderr.
        const QStringList red = night.redLines();
        if (c.red) {
            EXPECT_TRUE(std::any_of(red.begin(), red.end(), [&](const QString &l) { return l.contains(QString::fromUtf8(c.red)); }))
                << c.red << "\n" << night.log().toStdString();
        } else if (c.status == 0) {
            EXPECT_TRUE(red.isEmpty()) << red.join(u'\n').toStdString();
        }
        // (Qt's own warnings may stand on stderr too.)
        const QStringList said = run.err.split(u'\n').filter(QRegularExpression(u"^Dozorix bak\\d+: "_s));
        if (c.status != 0) {
            ASSERT_EQ(said.size(), 1) << run.err.toStdString();
            EXPECT_TRUE(said[0].startsWith(u"Dozorix %1: "_s.arg(QString::fromLatin1(c.parameter)))) << said[0].toStdString();
            EXPECT_TRUE(said[0].contains(u"(код %1)"_s.arg(c.status))) << said[0].toStdString();
        } else {
            EXPECT_TRUE(said.isEmpty()) << run.err.toStdString();
        }

        // The letter at the server.
        const QList<QJsonObject> letters = smtp.letters();
        if (c.letter) {
            ASSERT_EQ(letters.size(), 1) << night.log().toStdString();
            EXPECT_TRUE(letters[0][u"subject"_s].toString().startsWith(QString::fromUtf8(c.letter)))
                << letters[0][u"subject"_s].toString().toStdString();
        } else {
            EXPECT_TRUE(letters.isEmpty()) << letters.size();
        }

        // What is left on disk, and at the FTP server.
        const QStringList left = entries(folder);
        const QStringList zips = left.filter(QRegularExpression(u"\\.zip$"_s));
        EXPECT_EQ(zips.size(), c.archives) << left.join(u", "_s).toStdString();
        if (c.others >= 0) {
            EXPECT_EQ(left.size() - zips.size(), c.others) << left.join(u", "_s).toStdString();
        }
        if (c.status == 0 && c.upload == Upload::Good) {
            ASSERT_EQ(zips.size(), 1);
            EXPECT_EQ(ftp.remoteFile(zips[0]), fileBytes(folder + u'/' + zips[0]));
            if (QByteArray(c.parameter) == "bak3") {
                const QString restored = night.data.filePath(u"restored.1CD"_s);
                EXPECT_EQ(restoredDatabase(folder + u'/' + zips[0], restored), QString());
                EXPECT_EQ(fileBytes(restored), night.database);
            }
        }
        // A designer that was ended is gone.
        const QByteArray designer = fileBytes(night.data.filePath(u"designer.pid"_s));
        if (!designer.isEmpty() && c.prep != Prep::DesignerDumps && c.prep != Prep::DesignerBlocksArchive) {
            const pid_t pid = designer.trimmed().toInt();
            EXPECT_TRUE(waitUntil([&] {
                QFile stat(u"/proc/%1/stat"_s.arg(pid));
                return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
            }, 20000)) << pid;
        }
    }
}

// A scheduled run started while a console of the same user is open is
// refused loudly: the red line, the letter, a non-zero status.
TEST(UnattendedNight, ARunRefusedByAnOpenConsoleSaysSo)
{
    SmtpPeer smtp;
    QString error;
    ASSERT_TRUE(smtp.start(&error)) << error.toStdString();
    Night night;
    night.settings(smtp, {});
    NightRun console;
    console.start(night, u"--no-backup"_s); // any parameter but bak<N>: a console
    ASSERT_TRUE(waitUntil([&] { return night.log().contains(u"успешно стартовала"_s); }, 30000)) << night.log().toStdString();
    NightRun nightly;
    const qint64 consolePid = console.process.processId();
    nightly.start(night, u"bak3"_s);
    nightly.finish();
    ASSERT_TRUE(nightly.ended);
    EXPECT_EQ(nightly.status, 4) << night.log().toStdString();
    EXPECT_TRUE(night.redLines().join(u'\n').contains(u"не запущен: открыта консоль Dozorix этого пользователя (процесс %1)"_s
                                                        .arg(consolePid)))
        << night.log().toStdString();
    EXPECT_TRUE(nightly.err.contains(u"Dozorix bak3: "_s) && nightly.err.contains(u"(код 4)"_s)) << nightly.err.toStdString();
    const QList<QJsonObject> letters = smtp.letters();
    ASSERT_EQ(letters.size(), 1);
    EXPECT_EQ(letters[0][u"subject"_s].toString(), u"Ошибка выполнения бэкапа ИБ: Склад"_s);
    EXPECT_TRUE(entries(night.backups).isEmpty());
    EXPECT_EQ(console.process.state(), QProcess::Running); // the console was not touched
    ::kill(static_cast<pid_t>(console.process.processId()), SIGTERM);
    console.finish();
    EXPECT_EQ(console.status, 0);
}

// Two timers that fire together: the later run waits for the earlier one,
// says so, and both back up.
TEST(UnattendedNight, TwoRunsStartedTogetherBothBackUp)
{
    SmtpPeer smtp;
    QString error;
    ASSERT_TRUE(smtp.start(&error)) << error.toStdString();
    Night night;
    installDesigner(night.opt(), u"time.sleep(1)\n"_s + kDumps);
    night.settings(smtp, {});
    NightRun first, second;
    first.start(night, u"bak4"_s);
    const qint64 firstPid = first.process.processId();
    ASSERT_TRUE(waitUntil([&] { return night.log().contains(u"успешно стартовала"_s); }, 30000));
    second.start(night, u"bak3"_s);
    first.finish();
    second.finish();
    ASSERT_TRUE(first.ended && second.ended) << night.log().toStdString();
    EXPECT_EQ(first.status, 0) << night.log().toStdString() << first.err.toStdString();
    EXPECT_EQ(second.status, 0) << night.log().toStdString() << second.err.toStdString();
    EXPECT_TRUE(night.log().contains(u"Ночной «бэкап» профиля 3 ждёт окончания предыдущего (процесс %1)"_s
                                         .arg(firstPid)))
        << night.log().toStdString();
    EXPECT_TRUE(night.log().contains(u"Предыдущий «бэкап» закончен: начинаю ночной «бэкап» профиля 3."_s));
    const QStringList zips = entries(night.backups).filter(QRegularExpression(u"\\.zip$"_s));
    ASSERT_EQ(zips.size(), 2) << entries(night.backups).join(u", "_s).toStdString();
    EXPECT_TRUE(smtp.letters().isEmpty());
}
