// The whole unattended night, from program start to program end, under the
// time scale: "bak3" with a file infobase, messages before and after, ZIP
// with a password, the upload to a real FTP server whose file gives the
// infobase back byte for byte; and an infobase a 1C process holds open,
// whose copy fails with its letter at a real SMTP server.

#include "app/ui/EventLog.h"
#include "app/ui/Startup.h"
#include "app/ui/TForm1.h"
#include "common/IniFile.h"
#include "peers/FtpPeer.h"
#include "peers/SmtpPeer.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

struct Night : ConsoleScope {
    // Nobody is logged on: the messages reach no real terminal of this machine.
    ScopedEnv utmp{"DOZORIX_UTMP", QFile::encodeName(home.file(u"utmp"_s))};
    ScopedEnv bus{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus"};
    QTemporaryDir data;
    QByteArray database = QByteArray(300000, '\0');

    Night()
    {
        home.write(u"utmp"_s, QByteArray());
        for (qsizetype i = 0; i < database.size(); ++i)
            database[i] = static_cast<char>((i * 7919) % 251);
        QDir().mkpath(base());
        QDir().mkpath(backups());
        QFile db(base() + u"/1Cv8.1CD"_s);
        db.open(QIODevice::WriteOnly);
        db.write(database);
    }
    QString base() const { return data.filePath(u"base"_s); }
    QString backups() const { return data.filePath(u"backups"_s); }

    void settings(const QList<std::tuple<QString, QString, QString>> &values)
    {
        IniFile ini(home.file(u"Example.ini"_s), IniFile::WriteMode::CreateIfMissing);
        ini.writeString(u"Base3"_s, u"Psevdo3"_s, u"Склад"_s);
        ini.writeString(u"Base3"_s, u"RadioClient"_s, u"0"_s);
        ini.writeString(u"Base3"_s, u"StrokaCon"_s, base());
        const std::pair<const char *, QString> backup[] = {
            {"AvtoPath", backups()}, {"Zadergka", u"Без задержки"_s}, {"MsgFirstSend", u"1"_s},
            {"MsgDo", u"Начинается архивация"_s}, {"MsgAfterBackup", u"1"_s}, {"MsgPosle", u"Архивация закончена"_s},
            {"ZipArhiv", u"1"_s}, {"ZipArhivShifr", u"ночь"_s}};
        for (const auto &[key, value] : backup)
            ini.writeString(u"BACKUP"_s, QString::fromLatin1(key), value);
        for (const auto &[section, key, value] : values)
            ini.writeString(section, key, value);
        ASSERT_TRUE(ini.save());
    }

    // Starts the program with "bak3" and returns when it has ended by itself.
    int run(Startup &startup)
    {
        QTimer::singleShot(90000, qApp, [] { QCoreApplication::exit(3); }); // never hangs the suite
        return startup.run();
    }
};

} // namespace

TEST(ScheduledBackup, TheNightsArchiveOnTheFtpServerGivesTheInfobaseBack)
{
    Night night;
    FtpPeer ftp;
    QString error;
    ASSERT_TRUE(ftp.start(&error)) << error.toStdString();
    night.settings({{u"BACKUP"_s, u"FtpArhiv"_s, u"1"_s},
                    {u"BACKUP"_s, u"HostFTP"_s, u"127.0.0.1"_s},
                    {u"BACKUP"_s, u"LoginFTP"_s, ftp.options().user},
                    {u"BACKUP"_s, u"PassFTP"_s, ftp.options().password},
                    {u"BACKUP"_s, u"PortFTP"_s, ftp.portText()},
                    {u"BACKUP"_s, u"PassiveFTP"_s, u"1"_s}});
    Startup startup({u"bak3"_s});
    ASSERT_EQ(night.run(startup), 0);
    const QString log = startup.mainWindow()->eventLog()->toPlainText();
    const QStringList archives = QDir(night.backups()).entryList(QDir::Files);
    ASSERT_EQ(archives.size(), 1) << log.toStdString();
    EXPECT_TRUE(archives[0].endsWith(u"_База_Склад.zip"_s));
    for (const QString &line : {u"Сообщение пользователям отправлено: \"Начинается архивация\" "_s,
                                u"Сообщение пользователям отправлено: \"Архивация закончена\" "_s,
                                u"Сжатие завершено! "_s, u"Идет завершение работы Dozorix... "_s})
        EXPECT_TRUE(log.contains(line)) << line.toStdString() << "\n" << log.toStdString();

    const QString fromServer = night.data.filePath(u"from-ftp.zip"_s);
    QFile out(fromServer);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(ftp.remoteFile(archives[0]));
    out.close();
    QProcess python;
    python.start(u"python3"_s, {u"-c"_s, u"import sys, zipfile\n"
                                         "z = zipfile.ZipFile(sys.argv[1]); z.setpassword('ночь'.encode('cp1251'))\n"
                                         "n = [n for n in z.namelist() if n.endswith('1CD')][0]\n"
                                         "sys.stdout.buffer.write(z.read(n))\n"_s,
                                fromServer});
    ASSERT_TRUE(python.waitForFinished(30000));
    EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    EXPECT_TRUE(python.readAllStandardOutput() == night.database);
}

TEST(ScheduledBackup, AnInfobaseInUseEndsTheNightWithTheCopyFailureLetter)
{
    Night night;
    SmtpPeer smtp;
    QString error;
    ASSERT_TRUE(smtp.start(&error)) << error.toStdString();
    night.settings({{u"settings"_s, u"E-mail_From_Address"_s, u"dozorix@srv.local"_s},
                    {u"settings"_s, u"E-mail_EMailAddresses"_s, u"admin@srv.local"_s},
                    {u"settings"_s, u"E-mail_HostSmtp"_s, u"127.0.0.1"_s},
                    {u"settings"_s, u"E-mail_Port"_s, smtp.portText()},
                    {u"settings"_s, u"E-mail_Username"_s, u"dozorix"_s},
                    {u"settings"_s, u"E-mail_Password"_s, u"s3cret"_s},
                    {u"settings"_s, u"ERRORBackup"_s, u"1"_s}});
    // A 1C process keeps the database open for writing all night.
    QProcess oneC;
    oneC.start(u"/usr/bin/python3"_s, {u"-c"_s, u"import sys, time\nf = open(sys.argv[1], 'r+b')\nprint('ready', flush=True)\ntime.sleep(300)\n"_s,
                                         night.base() + u"/1Cv8.1CD"_s});
    ASSERT_TRUE(oneC.waitForReadyRead(10000));
    Startup startup({u"bak3"_s});
    ASSERT_EQ(night.run(startup), 1); // the copy failed: the exit status says so
    oneC.kill();
    oneC.waitForFinished(5000);
    EXPECT_TRUE(QDir(night.backups()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    const QList<QJsonObject> letters = smtp.letters();
    ASSERT_EQ(letters.size(), 1) << startup.mainWindow()->eventLog()->toPlainText().toStdString();
    EXPECT_EQ(letters[0][u"subject"_s].toString(), u"Ошибка выполнения бэкапа ИБ: Склад"_s);
    const QString body = letters[0][u"body"_s].toString();
    EXPECT_TRUE(body.contains(u"Ошибка выполнения бэкапа, файловой информационной базы: <b>Склад</b>"_s)) << body.toStdString();
    EXPECT_TRUE(body.contains(u"<b>Причина:  </b>Процесс не может получить доступ к файлу, так как этот файл занят другим процессом. <p><b>  Файл: </b>"_s
                              + night.base() + u"/1Cv8.1CD</b>"_s))
        << body.toStdString();
    EXPECT_TRUE(startup.mainWindow()->eventLog()->toPlainText().contains(
        u"Уведомление об ошибке выполнения бэкапа, отправлено на E-mail!"_s));
}
