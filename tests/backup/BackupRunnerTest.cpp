// Backup runs from start to end: a file infobase copied and a client-server
// infobase dumped by a designer stand-in, on real folders, with
// the steps' pauses through the time scale: message before, copy, message
// after, ZIP with a password read back by Python's zipfile, the end of an
// unattended run; a copy that fails and a copy stopped by "Отмена".

#include "BackupRunner.h"
#include "FtpPeer.h"
#include "CommandRunner.h"
#include "BackupTestSupport.h"
#include "IniFile.h"
#include "LogSink.h"
#include "TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

class BackupRun : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setLogReceiver([this](const QString &text, unsigned int rgb) {
            log << (rgb == kLogRed ? u"red: "_s : u"green: "_s) + unstamped(text);
        });
        QDir().mkpath(backups());
        writeFile(base() + u"/1Cv8.1CD"_s, mixedBytes(400000, 3));
        writeFile(base() + u"/1Cv8Log/1Cv8.lgf"_s, textBytes(3000, 1));
        IniFile ini(m_home.file(u"Example.ini"_s), IniFile::WriteMode::CreateIfMissing);
        const std::pair<const char *, QString> backup[] = {
            {"AvtoPath", backups()}, {"MsgFirstSend", u"1"_s}, {"MsgDo", u"Сейчас начнётся архивация"_s},
            {"Zadergka", u"Без задержки"_s}, {"Close1C", u"0"_s}, {"MsgAfterBackup", u"1"_s},
            {"MsgPosle", u"Архивация закончена"_s}, {"ZipArhiv", u"1"_s}, {"ZipArhivShifr", u"пароль"_s},
            {"FtpArhiv", u"0"_s}};
        for (const auto &[key, value] : backup)
            ini.writeString(u"BACKUP"_s, QString::fromLatin1(key), value);
        ini.writeString(u"Base3"_s, u"Psevdo3"_s, u"Зарплата"_s);
        ini.writeString(u"Base3"_s, u"RadioClient"_s, u"0"_s);
        ini.writeString(u"Base3"_s, u"StrokaCon"_s, base());
        ini.writeString(u"Base5"_s, u"Psevdo5"_s, u"Склад"_s);
        ini.writeString(u"settings"_s, u"ERRORBackup"_s, u"1"_s);
        const std::pair<const char *, const char *> server[] = {
            {"Psevdo4", "Бух"}, {"RadioClient", "1"}, {"KlasterB", "srv1c"}, {"IBNAmeKlaster", "buh"},
            {"LoginK", "Админ"}, {"PassK", "p&w\"d"}, {"Connector", "V83.ComConnector"}, {"connect", "On"}};
        for (const auto &[key, value] : server)
            ini.writeString(u"Base4"_s, QString::fromLatin1(key), QString::fromUtf8(value));
        ASSERT_TRUE(ini.save());
    }
    void TearDown() override { setLogReceiver({}); }

    QString base() const { return m_data.filePath(u"base"_s); }
    QString backups() const { return m_data.filePath(u"backups"_s); }
    std::unique_ptr<BackupRunner> runner(bool unattended)
    {
        BackupRunner::Hooks hooks;
        hooks.notifyUsers = [this](const QString &text) { notices << text; };
        hooks.sendLetter = [this](const QString &subject, const QString &body) { letters << subject + u" | "_s + body; };
        hooks.shutdown = [this](int code, const QString &) {
            ++shutdowns;
            exitCodes << code;
            lettersAtShutdown = static_cast<int>(letters.size());
        };
        hooks.unattended = [unattended] { return unattended; };
        hooks.programFilesDir = [this] { return m_data.filePath(u"opt"_s); };
        hooks.hasDisplay = [this] { return hasDisplay; };
        auto r = std::make_unique<BackupRunner>(hooks);
        r->LoadFunckShow();
        return r;
    }
    bool runToEnd(BackupRunner &r)
    {
        bool ended = false;
        QObject::connect(&r, &BackupRunner::runEnded, [&] { ended = true; });
        r.StartBtnClick();
        return waitUntil([&] { return ended; }, 60000);
    }
    QStringList entriesIn(const QString &folder) const
    {
        return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    ProgramHome m_home;
    QTemporaryDir m_data;
    ScopedTimeScale m_scale{100};
    QStringList log;
    QStringList notices;
    QStringList letters;
    int shutdowns = 0;
    QList<int> exitCodes;
    int lettersAtShutdown = -1;
    bool hasDisplay = true;
};

// A designer stand-in where the runner looks for the 8.3 designer: it
// records its arguments and DISPLAY in the dump file and writes its result
// line (Windows-1251, as on a Russian Windows) to the /OUT file; with an
// empty result it writes nothing, like a designer that hangs.
void installDesigner(const QString &opt, const QString &result)
{
    const QString program = opt + u"/1cv8/x86_64/8.3.24.1548/1cv8"_s;
    writeFile(program, (u"#!/usr/bin/python3\n"
                        "import json, os, sys\n"
                        "a = sys.argv[1:]\n"
                        "with open(a[a.index('/DumpIB') + 1], 'w', encoding='utf-8') as f:\n"
                        "    json.dump({'args': a, 'display': os.environ.get('DISPLAY', '')}, f, ensure_ascii=False)\n"
                        "result = '"_s + result + u"'\n"
                        "if result:\n"
                        "    open(a[a.index('/OUT') + 1], 'wb').write((result + '\\r\\n').encode('cp1251'))\n"_s)
                           .toUtf8());
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

} // namespace

TEST_F(BackupRun, AFileInfobaseIsCopiedPackedWithItsPasswordAndTheUnattendedRunEnds)
{
    auto r = runner(true);
    EXPECT_EQ(r->view().profiles, (QStringList{u"Зарплата"_s, u"Бух"_s, u"Склад"_s}));
    r->chooseProfile(u"Зарплата"_s);
    ASSERT_TRUE(runToEnd(*r));
    EXPECT_EQ(notices, (QStringList{u"Сейчас начнётся архивация"_s, u"Архивация закончена"_s}));
    EXPECT_EQ(shutdowns, 1);
    EXPECT_TRUE(letters.isEmpty());
    // Only the archive is left: <stamp>_База_Зарплата.zip.
    const QStringList left = entriesIn(backups());
    ASSERT_EQ(left.size(), 1) << left.join(u", "_s).toStdString();
    EXPECT_TRUE(left[0].endsWith(u"_База_Зарплата.zip"_s)) << left[0].toStdString();
    const QString folder = left[0].chopped(4);
    const PeerRun check = runPeer(u"python3"_s,
                                  {u"-c"_s, u"import sys, zipfile\n"
                                            "z = zipfile.ZipFile(sys.argv[1]); z.setpassword('пароль'.encode('cp1251'))\n"
                                            "assert z.testzip() is None\n"
                                            "print(len(z.read([n for n in z.namelist() if n.endswith('1CD')][0])))\n"_s,
                                   backups() + u'/' + left[0]});
    EXPECT_TRUE(check.ok()) << check.output.toStdString();
    EXPECT_EQ(check.output.trimmed(), u"400000"_s);
    for (const QString &line : {u"green: Подготовка к выполнению \"бэкапа\" Зарплата"_s,
                                u"green: Задержка перед выполнением \"бэкапа\": Без задержки!"_s,
                                u"green: Работа завершена!"_s, u"green: Приступаю к упаковке в zip архив!"_s,
                                u"green: Сжатие завершено! "_s})
        EXPECT_TRUE(log.contains(line)) << line.toStdString() << "\n" << log.join(u"\n"_s).toStdString();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const QString &l) {
        return l.startsWith(u"green: Файл: \""_s) && l.endsWith(u"1Cv8.1CD\" успешно скопирован."_s);
    }))
        << log.join(u"\n"_s).toStdString();
    EXPECT_FALSE(r->isRunning());
    EXPECT_EQ(r->view().height, 80);
}

TEST_F(BackupRun, NoProfileChosenStartsNothing)
{
    auto r = runner(false);
    r->StartBtnClick();
    EXPECT_EQ(log, QStringList{u"red: Сперва выберите информационную базу для «бэкапа»!"_s});
    EXPECT_FALSE(r->isRunning());
    EXPECT_TRUE(entriesIn(backups()).isEmpty());
}

TEST_F(BackupRun, AFileThatCannotBeCopiedStopsTheRunWithALetterAndLeavesNoFolder)
{
    ASSERT_EQ(::mkfifo(QFile::encodeName(base() + u"/pipe"_s).constData(), 0600), 0);
    auto r = runner(true);
    r->chooseProfile(u"Зарплата"_s);
    ASSERT_TRUE(runToEnd(*r));
    EXPECT_TRUE(waitUntil([&] { return !letters.isEmpty(); }, 10000));
    ASSERT_EQ(letters.size(), 1);
    EXPECT_TRUE(letters[0].startsWith(u"Ошибка выполнения бэкапа ИБ: Зарплата | "_s));
    EXPECT_TRUE(letters[0].contains(u"pipe"_s)) << letters[0].toStdString();
    EXPECT_TRUE(log.contains(u"red: \"Бэкап \" Зарплата, не был выполнен удачно!"_s)) << log.join(u"\n"_s).toStdString();
    EXPECT_TRUE(log.contains(u"red: \"Бэкап\" отменен!"_s));
    EXPECT_TRUE(entriesIn(backups()).isEmpty()) << entriesIn(backups()).join(u", "_s).toStdString();
    // No after-message, no ZIP; the unattended run ends there, once its
    // letter is out.
    EXPECT_EQ(notices, QStringList{u"Сейчас начнётся архивация"_s});
    ASSERT_TRUE(waitUntil([&] { return shutdowns == 1; }, 10000));
    EXPECT_EQ(lettersAtShutdown, 1);
}

TEST_F(BackupRun, TheStartButtonStopsARunningCopyAndNothingIsLeftBehind)
{
    for (int i = 0; i < 300; ++i)
        writeFile(base() + u"/many/f%1.dat"_s.arg(i), textBytes(20000, static_cast<quint32>(i)));
    auto r = runner(false);
    r->chooseProfile(u"Зарплата"_s);
    bool pressed = false;
    QObject::connect(r.get(), &BackupRunner::viewChanged, [&] {
        if (!pressed && r->copyRunning() && r->view().mainBarPos >= 2) {
            pressed = true;
            r->StartBtnClick(); // "Отмена"
        }
    });
    ASSERT_TRUE(runToEnd(*r));
    EXPECT_TRUE(pressed);
    EXPECT_TRUE(log.contains(u"red: Идет отмена выполнения \"бэкапа\" Зарплата"_s)) << log.join(u"\n"_s).toStdString();
    EXPECT_TRUE(log.contains(u"red: \"Бэкап\" отменен!"_s));
    EXPECT_TRUE(entriesIn(backups()).isEmpty()) << entriesIn(backups()).join(u", "_s).toStdString();
    EXPECT_EQ(notices, QStringList{u"Сейчас начнётся архивация"_s}); // no after-message
}

TEST_F(BackupRun, AnInfobaseThat1CHoldsOpenIsNotCopiedAndTheFailureIsMailed)
{
    // A 1C process keeps its database open for writing.
    QProcess oneC;
    oneC.start(u"/usr/bin/python3"_s, {u"-c"_s, u"import sys, time\nf = open(sys.argv[1], 'r+b')\nprint('ready', flush=True)\ntime.sleep(300)\n"_s,
                                         base() + u"/1Cv8.1CD"_s});
    ASSERT_TRUE(oneC.waitForReadyRead(10000));
    auto r = runner(true);
    r->chooseProfile(u"Зарплата"_s);
    ASSERT_TRUE(runToEnd(*r));
    oneC.kill();
    oneC.waitForFinished(5000);
    EXPECT_TRUE(waitUntil([&] { return !letters.isEmpty(); }, 10000));
    ASSERT_EQ(letters.size(), 1);
    EXPECT_TRUE(letters[0].contains(u"<b>Причина:  </b>Процесс не может получить доступ к файлу, так как этот файл занят другим процессом."_s))
        << letters[0].toStdString();
    EXPECT_TRUE(letters[0].contains(u"1Cv8.1CD"_s));
    EXPECT_TRUE(log.contains(u"red: Ошибка копирования файла: \""_s + base() + u"/1Cv8.1CD Ошибка:- Процесс не может получить доступ к файлу, так как этот файл занят другим процессом."_s))
        << log.join(u"\n"_s).toStdString();
    EXPECT_TRUE(entriesIn(backups()).isEmpty());
    ASSERT_TRUE(waitUntil([&] { return shutdowns == 1; }, 10000));
    EXPECT_EQ(lettersAtShutdown, 1);
}

TEST_F(BackupRun, AClientServerInfobaseIsDumpedByTheDesignerWithoutADisplayToo)
{
    installDesigner(m_data.filePath(u"opt"_s), u"Выгрузка информационной базы успешно завершена"_s);
    IniFile ini(m_home.file(u"Example.ini"_s));
    ini.writeString(u"BACKUP"_s, u"ZipArhiv"_s, u"0"_s);
    ASSERT_TRUE(ini.save());
    hasDisplay = false; // a timer-started run on a machine without a desktop session
    auto r = runner(true);
    r->chooseProfile(u"Бух"_s);
    ASSERT_TRUE(runToEnd(*r));
    EXPECT_EQ(r->designerPath(), m_data.filePath(u"opt/1cv8/x86_64/8.3.24.1548/1cv8"_s));
    const QStringList left = entriesIn(backups());
    ASSERT_EQ(left.size(), 1) << left.join(u", "_s).toStdString();
    EXPECT_TRUE(left[0].startsWith(u"Бух_"_s) && left[0].endsWith(u"_.dt"_s)) << left[0].toStdString();
    const QString recorded = QString::fromUtf8(readFile(backups() + u'/' + left[0]));
    EXPECT_TRUE(recorded.contains(u"\"CONFIG\", \"/Ssrv1c\\\\buh\", \"/DisableStartupDialogs\", \"/DisableStartupMessages\", \"/DumpIB\""_s)) << recorded.toStdString();
    EXPECT_TRUE(recorded.contains(u"\"/N\", \"Админ\", \"/P\", \"p&w\\\"d\""_s)) << recorded.toStdString();
    EXPECT_FALSE(recorded.contains(u"\"display\": \"\""_s)) << recorded.toStdString(); // xvfb-run's display
    for (const QString &line : {u"green: Приступаю к выполнению \"бэкапа\" информационной базы: Бух в клиент - сервере /...."_s,
                                u"green: Ждите, приступаю к завершению создания \"бэкапа\"..."_s,
                                u"green: Бэкап информационной базы: Бух успешно выполнен!"_s})
        EXPECT_TRUE(log.contains(line)) << line.toStdString() << "\n" << log.join(u"\n"_s).toStdString();
    EXPECT_EQ(notices, (QStringList{u"Сейчас начнётся архивация"_s, u"Архивация закончена"_s}));
    EXPECT_EQ(shutdowns, 1);
    EXPECT_EQ(readFile(m_home.file(u"temp.txt"_s)), QByteArray()); // emptied by the poll
}

TEST_F(BackupRun, ADumpIsPackedAsTheOneEntryOfItsArchive)
{
    installDesigner(m_data.filePath(u"opt"_s), u"Выгрузка информационной базы успешно завершена"_s);
    auto r = runner(false);
    r->chooseProfile(u"Бух"_s);
    ASSERT_TRUE(runToEnd(*r));
    const QStringList left = entriesIn(backups());
    ASSERT_EQ(left.size(), 1) << left.join(u", "_s).toStdString();
    EXPECT_TRUE(left[0].endsWith(u"_.dt.zip"_s)) << left[0].toStdString();
    EXPECT_EQ(shutdowns, 0);
}

TEST_F(BackupRun, ADesignerThatFailsIsReportedAndMailed)
{
    installDesigner(m_data.filePath(u"opt"_s), u"Ошибка соединения с сервером 1С:Предприятия"_s);
    auto r = runner(true);
    r->chooseProfile(u"Бух"_s);
    ASSERT_TRUE(runToEnd(*r));
    EXPECT_TRUE(log.contains(u"red: Ошибка соединения с сервером 1С:Предприятия"_s)) << log.join(u"\n"_s).toStdString();
    EXPECT_TRUE(log.contains(u"red: Бэкап информационной базы: Бух не выполнен!"_s));
    ASSERT_EQ(letters.size(), 1);
    EXPECT_TRUE(letters[0].contains(u"<b>Причина:  </b>Ошибка соединения с сервером 1С:Предприятия <p>"_s)) << letters[0].toStdString();
    EXPECT_EQ(r->view().progressText, u"ОШИБКА! - бэкап информационной базы: Бух не выполнен!"_s);
    ASSERT_TRUE(waitUntil([&] { return shutdowns == 1; }, 10000));
    EXPECT_EQ(lettersAtShutdown, 1);
}

TEST_F(BackupRun, ACancelDuringTheDumpEndsTheRunWithoutFreezing)
{
    installDesigner(m_data.filePath(u"opt"_s), QString()); // writes no result: the poll waits
    auto r = runner(false);
    r->chooseProfile(u"Бух"_s);
    bool ended = false;
    QObject::connect(r.get(), &BackupRunner::runEnded, [&] { ended = true; });
    r->StartBtnClick();
    ASSERT_TRUE(waitUntil([&] {
        return std::any_of(log.begin(), log.end(), [](const QString &l) { return l.contains(u"в клиент - сервере"_s); });
    }, 30000));
    r->Button3Click();
    EXPECT_FALSE(ended); // the 15-second wait runs as a timer step
    EXPECT_TRUE(log.contains(u"green: Ждите, выполняю отмену \"бэкапа\"..."_s));
    ASSERT_TRUE(waitUntil([&] { return ended; }, 30000));
    EXPECT_EQ(log.last(), u"green: Выполнение \"бэкапа\" отменено!"_s);
    EXPECT_TRUE(waitForBackgroundCommands(10000));
}

TEST_F(BackupRun, TheArchiveGoesToTheFtpServerAndRestoresTheInfobase)
{
    FtpPeer peer;
    QString error;
    ASSERT_TRUE(peer.start(&error)) << error.toStdString();
    IniFile ini(m_home.file(u"Example.ini"_s));
    const std::pair<const char *, QString> ftp[] = {
        {"FtpArhiv", u"1"_s}, {"HostFTP", u"127.0.0.1"_s}, {"LoginFTP", peer.options().user},
        {"PassFTP", peer.options().password}, {"PortFTP", peer.portText()}, {"PassiveFTP", u"1"_s}};
    for (const auto &[key, value] : ftp)
        ini.writeString(u"BACKUP"_s, QString::fromLatin1(key), value);
    ASSERT_TRUE(ini.save());
    auto r = runner(true);
    r->chooseProfile(u"Зарплата"_s);
    ASSERT_TRUE(runToEnd(*r));
    // The unattended run ends one second after the upload.
    ASSERT_TRUE(waitUntil([&] { return shutdowns == 1; }, 10000)) << log.join(u"\n"_s).toStdString();
    const QStringList left = entriesIn(backups());
    ASSERT_EQ(left.size(), 1) << left.join(u", "_s).toStdString();
    const QByteArray local = readFile(backups() + u'/' + left[0]);
    EXPECT_EQ(peer.remoteFile(left[0]), local) << peer.commands().join(u" | "_s).toStdString() << "\n" << log.join(u"\n"_s).toStdString();
    // What the server holds gives the infobase back, byte for byte.
    writeFile(m_data.filePath(u"fromftp.zip"_s), peer.remoteFile(left[0]));
    const PeerRun restore = runPeer(u"python3"_s,
                                    {u"-c"_s, u"import sys, zipfile\n"
                                              "z = zipfile.ZipFile(sys.argv[1]); z.setpassword('пароль'.encode('cp1251'))\n"
                                              "n = [n for n in z.namelist() if n.endswith('1CD')][0]\n"
                                              "open(sys.argv[2], 'wb').write(z.read(n))\n"_s,
                                     m_data.filePath(u"fromftp.zip"_s), m_data.filePath(u"restored.1CD"_s)});
    ASSERT_TRUE(restore.ok()) << restore.output.toStdString();
    EXPECT_EQ(readFile(m_data.filePath(u"restored.1CD"_s)), readFile(base() + u"/1Cv8.1CD"_s));
    EXPECT_TRUE(log.contains(u"green: Приступаю к отправке zip архива на FTP сервер!"_s)) << log.join(u"\n"_s).toStdString();
    EXPECT_TRUE(letters.isEmpty());
}
