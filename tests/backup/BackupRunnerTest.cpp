// Backup runs from start to end: a file infobase copied and a client-server
// infobase dumped by a designer stand-in, on real folders, with
// the steps' pauses through the time scale: message before, copy, message
// after, ZIP with a password read back by Python's zipfile, the end of an
// unattended run; a copy that fails and a copy stopped by "Отмена".

#include "backup/BackupRunner.h"
#include "common/IniFile.h"
#include "common/LogSink.h"
#include "filecopy/FilesInUse.h"
#include "filecopy/support/FileTestSupport.h"
#include "infobases/ProfileStore.h"
#include "peers/FtpPeer.h"
#include "shell/CommandRunner.h"
#include "support/SmallDisk.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <optional>
#include <unistd.h>

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
        hooks.serverAgents = serverAgents;
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
    std::function<std::vector<ServerAgent>()> serverAgents; // empty: the real ones
};

// A designer stand-in where the runner looks for the 8.3 designer, of the
// test's own behaviour: a Python body run with a (the arguments), dump (the
// /DumpIB file) and out (the /OUT file); it notes its pid and process group
// in designer.pid beside the backup folder.
void installDesignerDoing(const QString &opt, const QString &body, const QString &version = u"8.3.24.1548"_s)
{
    const QString program = opt + u"/1cv8/x86_64/"_s + version + u"/1cv8"_s;
    writeFile(program, (u"#!/usr/bin/python3\n"
                        "import json, os, subprocess, sys, time\n"
                        "a = sys.argv[1:]\n"
                        "dump = a[a.index('/DumpIB') + 1]\n"
                        "out = a[a.index('/OUT') + 1]\n"
                        "open(os.path.join(os.path.dirname(os.path.dirname(dump)), 'designer.pid'), 'w')"
                        ".write('%d %d' % (os.getpid(), os.getpgid(0)))\n"_s
                        + body + u"\n"_s)
                           .toUtf8());
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// The usual stand-in: it records its arguments and DISPLAY in the dump file
// and writes its result line (Windows-1251, as on a Russian Windows) to the
// /OUT file; with an empty result it writes nothing, like a designer that
// hangs.
void installDesigner(const QString &opt, const QString &result, const QString &version = u"8.3.24.1548"_s)
{
    installDesignerDoing(opt, u"with open(dump, 'w', encoding='utf-8') as f:\n"
                              "    json.dump({'args': a, 'display': os.environ.get('DISPLAY', '')}, f, ensure_ascii=False)\n"
                              "result = '"_s + result + u"'\n"
                              "if result:\n"
                              "    open(out, 'wb').write((result + '\\r\\n').encode('cp1251'))"_s,
                         version);
}

const QString kWritesSuccess = u"open(dump, 'wb').write(os.urandom(300000))\n"
                               "open(out, 'wb').write('Выгрузка информационной базы успешно завершена\\r\\n'.encode('cp1251'))"_s;

// The profile store's holder, counting its reloads.
class CountingHolder : public ProfileHolder
{
public:
    void ChitatINI() override { ++reloads; }
    QString PsevdoNAME(int) const override { return QString(); }
    InfobaseProfile heldProfile(int) const override { return InfobaseProfile(); }
    int reloads = 0;
};

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

// Two platforms installed: the dump takes the designer of the version the
// cluster's server runs here, else the newest, and the log says which and why.
TEST_F(BackupRun, TheDesignerOfTheRunningServersVersionDumps)
{
    const QString opt = m_data.filePath(u"opt"_s);
    const QString older = opt + u"/1cv8/x86_64/8.3.22.1709/1cv8"_s;
    const QString newer = opt + u"/1cv8/x86_64/8.3.24.1548/1cv8"_s;
    installDesigner(opt, u"Выгрузка информационной базы успешно завершена"_s, u"8.3.22.1709"_s);
    installDesigner(opt, u"Выгрузка информационной базы успешно завершена"_s);
    const auto agent = [](const char *version) {
        return u"/opt/1cv8/x86_64/"_s + QString::fromLatin1(version) + u"/ragent"_s;
    };
    const struct {
        const char *name;
        const char *cluster;
        const char *agentVersion; // of the one agent running here, on cluster port 1641
        QString designer;
        QString line;
    } cases[] = {
        {"the server's version", "localhost:1641", "8.3.22.1709", older,
         u"green: Конфигуратор "_s + older + u": той же версии, что и сервер 1С на этом компьютере ("_s
             + agent("8.3.22.1709") + u", порт кластера 1641)."_s},
        {"its version not installed", "127.0.0.1:1641", "8.3.23.1", newer,
         u"red: Конфигуратора версии 8.3.23.1 (той же версии, что и сервер 1С на этом компьютере ("_s
             + agent("8.3.23.1") + u", порт кластера 1641)) нет среди установленных; беру "_s + newer
             + u", он может не подключиться к серверу другой версии."_s},
        {"another cluster port here", "localhost", "8.3.22.1709", newer,
         u"green: Конфигуратор "_s + newer
             + u": самый новый из установленных (сервер 1С с портом кластера 1541 на этом компьютере не запущен)."_s},
        {"another computer", "srv1c", "8.3.22.1709", newer,
         u"green: Конфигуратор "_s + newer
             + u": самый новый из установленных (сервер 1С «srv1c» — другой компьютер, его версия отсюда не видна)."_s},
    };
    for (const auto &c : cases) {
        IniFile ini(m_home.file(u"Example.ini"_s));
        ini.writeString(u"BACKUP"_s, u"ZipArhiv"_s, u"0"_s);
        ini.writeString(u"Base4"_s, u"KlasterB"_s, QString::fromLatin1(c.cluster));
        ASSERT_TRUE(ini.save());
        const QString version = QString::fromLatin1(c.agentVersion);
        serverAgents = [version, program = agent(c.agentVersion)] {
            return std::vector<ServerAgent>{{4242, program, version, 1640, 1641}};
        };
        log.clear();
        auto r = runner(false);
        r->chooseProfile(u"Бух"_s);
        ASSERT_TRUE(runToEnd(*r)) << c.name;
        EXPECT_EQ(r->designerPath(), c.designer) << c.name;
        EXPECT_TRUE(log.contains(c.line)) << c.name << "\n" << log.join(u"\n"_s).toStdString();
        EXPECT_TRUE(log.contains(u"green: Бэкап информационной базы: Бух успешно выполнен!"_s)) << c.name;
    }
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

namespace {

void setBackupKeys(const QString &ini, const QList<std::pair<QString, QString>> &keys, const QString &section = u"BACKUP"_s)
{
    IniFile f(ini);
    for (const auto &[key, value] : keys)
        f.writeString(section, key, value);
    ASSERT_TRUE(f.save());
}

// The FTP account of a test server, passive.
QList<std::pair<QString, QString>> ftpKeys(const FtpPeer &peer)
{
    return {{u"FtpArhiv"_s, u"1"_s}, {u"HostFTP"_s, u"127.0.0.1"_s}, {u"LoginFTP"_s, peer.options().user},
            {u"PassFTP"_s, peer.options().password}, {u"PortFTP"_s, peer.portText()}, {u"PassiveFTP"_s, u"1"_s}};
}

// The infobase file an archive (its bytes) gives back, read by Python's
// zipfile with the fixture's password; empty when it does not.
QByteArray databaseIn(const QByteArray &archive, const QTemporaryDir &scratch)
{
    writeFile(scratch.filePath(u"fromftp.zip"_s), archive);
    QFile::remove(scratch.filePath(u"restored.1CD"_s));
    const PeerRun restore = runPeer(u"python3"_s,
                                    {u"-c"_s, u"import sys, zipfile\n"
                                              "z = zipfile.ZipFile(sys.argv[1]); z.setpassword('пароль'.encode('cp1251'))\n"
                                              "n = [n for n in z.namelist() if n.endswith('1CD')][0]\n"
                                              "open(sys.argv[2], 'wb').write(z.read(n))\n"_s,
                                     scratch.filePath(u"fromftp.zip"_s), scratch.filePath(u"restored.1CD"_s)});
    EXPECT_TRUE(restore.ok()) << restore.output.toStdString();
    return readFile(scratch.filePath(u"restored.1CD"_s));
}

} // namespace

// Every way an unattended run can end reaches the one end: the program is
// asked to end exactly once, within a bound, with the run's exit status, and
// only once its letters are out.
TEST_F(BackupRun, EveryEndOfAnUnattendedRunEndsTheProgramOnceWithItsStatus)
{
    enum class Designer { None, Succeeds, Fails, EndsWithoutResult, Hangs, BlocksTheArchive };
    enum class Ftp { Off, Good, Refused, Slow };
    enum class Cancel { Never, DuringCopy, DuringZip, DuringUpload };
    struct Case {
        const char *name;
        const char *profile;
        QList<std::pair<QString, QString>> keys;
        Designer designer;
        Ftp ftp;
        Cancel cancel;
        BackupExit status;
        int letters;
        const char *line; // a line the log must hold
    };
    const Case cases[] = {
        {"copy done, no ZIP", "Зарплата", {{u"ZipArhiv"_s, u"0"_s}}, Designer::None, Ftp::Off, Cancel::Never,
         BackupExit::Done, 0, "green: Работа завершена!"},
        {"copy failed: folder missing", "Зарплата", {}, Designer::None, Ftp::Off, Cancel::Never,
         BackupExit::BackupFailed, 1, "red: Работа завершена!"},
        {"copy cancelled", "Зарплата", {}, Designer::None, Ftp::Off, Cancel::DuringCopy, BackupExit::Stopped, 0,
         "red: Идет отмена выполнения \"бэкапа\" Зарплата"},
        {"dump done, no ZIP", "Бух", {{u"ZipArhiv"_s, u"0"_s}}, Designer::Succeeds, Ftp::Off, Cancel::Never,
         BackupExit::Done, 0, "green: Бэкап информационной базы: Бух успешно выполнен!"},
        {"dump failed", "Бух", {}, Designer::Fails, Ftp::Off, Cancel::Never, BackupExit::BackupFailed, 1,
         "red: Ошибка соединения с сервером 1С:Предприятия"},
        {"designer ended without a result", "Бух", {}, Designer::EndsWithoutResult, Ftp::Off, Cancel::Never,
         BackupExit::BackupFailed, 1,
         "red: Конфигуратор завершился, не записав результат выгрузки (код завершения 3)"},
        {"designer time limit", "Бух", {{u"DumpTimeLimit"_s, u"0,005"_s}}, Designer::Hangs, Ftp::Off, Cancel::Never,
         BackupExit::BackupFailed, 1,
         "red: Конфигуратор не закончил выгрузку за 0,005 ч (DumpTimeLimit): его процессы остановлены"},
        {"ZIP done", "Зарплата", {}, Designer::None, Ftp::Off, Cancel::Never, BackupExit::Done, 0,
         "green: Сжатие завершено! "},
        {"ZIP failed", "Бух", {}, Designer::BlocksTheArchive, Ftp::Off, Cancel::Never, BackupExit::ZipFailed, 1,
         nullptr},
        {"ZIP cancelled", "Зарплата", {}, Designer::None, Ftp::Off, Cancel::DuringZip, BackupExit::Stopped, 0,
         "green: Выполнение \"бэкапа\" отменено!"},
        {"upload done", "Зарплата", {{u"FtpArhiv"_s, u"1"_s}}, Designer::None, Ftp::Good, Cancel::Never,
         BackupExit::Done, 0, "green: Отключился от FTP"},
        {"upload failed", "Зарплата", {{u"FtpArhiv"_s, u"1"_s}}, Designer::None, Ftp::Refused, Cancel::Never,
         BackupExit::UploadFailed, 0, "red: Ошибка отправки на FTP сервер. ("},
        {"upload cancelled", "Зарплата", {{u"FtpArhiv"_s, u"1"_s}, {u"FtpMinSpeed"_s, u"0"_s}}, Designer::None,
         Ftp::Slow, Cancel::DuringUpload, BackupExit::Stopped, 0, "green: Отправка zip архива на FTP сервер отменена."},
        {"upload not started: ZIP failed", "Бух", {{u"FtpArhiv"_s, u"1"_s}}, Designer::BlocksTheArchive, Ftp::Good,
         Cancel::Never, BackupExit::ZipFailed, 1, nullptr},
    };
    const QString opt = m_data.filePath(u"opt"_s);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        letters.clear();
        notices.clear();
        exitCodes.clear();
        shutdowns = 0;
        lettersAtShutdown = -1;
        removeTree(QFile::encodeName(backups()));
        QDir().mkpath(backups());
        writeFile(base() + u"/1Cv8.1CD"_s, mixedBytes(400000, 3));
        const QString ini = m_home.file(u"Example.ini"_s);
        setBackupKeys(ini, {{u"ZipArhiv"_s, u"1"_s}, {u"FtpArhiv"_s, u"0"_s}, {u"DumpTimeLimit"_s, u"6"_s},
                            {u"FtpMinSpeed"_s, u"32"_s}});
        setBackupKeys(ini, c.keys);
        setBackupKeys(ini, {{u"StrokaCon"_s, QString::fromUtf8(c.name).contains(u"missing"_s)
                                                 ? base() + u"-unmounted"_s : base()}}, u"Base3"_s);
        switch (c.designer) {
        case Designer::None: break;
        case Designer::Succeeds: installDesignerDoing(opt, kWritesSuccess); break;
        case Designer::Fails:
            installDesignerDoing(opt, u"open(out, 'wb').write('Ошибка соединения с сервером 1С:Предприятия\\r\\n'.encode('cp1251'))"_s);
            break;
        case Designer::EndsWithoutResult: installDesignerDoing(opt, u"sys.exit(3)"_s); break;
        case Designer::Hangs: installDesignerDoing(opt, u"time.sleep(300)"_s); break;
        case Designer::BlocksTheArchive:
            // The archive's own name is taken by a folder: the writer cannot create it.
            installDesignerDoing(opt, kWritesSuccess + u"\nos.mkdir(dump + '.zip')"_s);
            break;
        }
        std::unique_ptr<FtpPeer> good;
        std::unique_ptr<HostileFtpPeer> slow;
        QString port = u"1"_s; // nothing listens: refused
        if (c.ftp == Ftp::Good) {
            good = std::make_unique<FtpPeer>();
            QString error;
            ASSERT_TRUE(good->start(&error)) << error.toStdString();
            port = good->portText();
        } else if (c.ftp == Ftp::Slow) {
            slow = std::make_unique<HostileFtpPeer>(HostileFtpPeer::Mode::Drip, 2048);
            QString error;
            ASSERT_TRUE(slow->start(&error)) << error.toStdString();
            port = slow->portText();
        }
        setBackupKeys(ini, {{u"HostFTP"_s, u"127.0.0.1"_s}, {u"PortFTP"_s, port}, {u"PassiveFTP"_s, u"1"_s},
                            {u"LoginFTP"_s, good ? good->options().user : u"u"_s},
                            {u"PassFTP"_s, good ? good->options().password : u"p"_s}});

        auto r = runner(true);
        r->chooseProfile(QString::fromUtf8(c.profile));
        bool cancelled = false;
        QObject::connect(r.get(), &BackupRunner::viewChanged, [&] {
            if (cancelled)
                return;
            if (c.cancel == Cancel::DuringCopy && r->copyRunning()) {
                cancelled = true;
                r->StartBtnClick(); // "Отмена"
            } else if (c.cancel == Cancel::DuringUpload && !r->view().mainBarShown && r->view().secondBarMax > 1000) {
                cancelled = true;
                r->Button3Click();
            }
        });
        BackupRunner *raw = r.get();
        if (c.cancel == Cancel::DuringZip) {
            // The build lets the window's events run: the cancel comes from there.
            r.reset();
            BackupRunner::Hooks hooks;
            hooks.notifyUsers = [this](const QString &text) { notices << text; };
            hooks.sendLetter = [this](const QString &subject, const QString &) { letters << subject; };
            hooks.shutdown = [this](int code, const QString &) {
                ++shutdowns;
                exitCodes << code;
                lettersAtShutdown = static_cast<int>(letters.size());
            };
            hooks.unattended = [] { return true; };
            hooks.programFilesDir = [opt] { return opt; };
            hooks.processEvents = [&] {
                if (!cancelled) {
                    cancelled = true;
                    raw->Button3Click();
                }
            };
            r = std::make_unique<BackupRunner>(hooks);
            raw = r.get();
            r->LoadFunckShow();
            r->chooseProfile(QString::fromUtf8(c.profile));
        }
        r->StartBtnClick();
        ASSERT_TRUE(waitUntil([&] { return shutdowns > 0; }, 60000)) << log.join(u"\n"_s).toStdString();
        // Nothing asks for a second end afterwards.
        QTest::qWait(300);
        EXPECT_EQ(shutdowns, 1);
        EXPECT_EQ(exitCodes, QList<int>{backupExitCode(c.status)});
        EXPECT_EQ(r->lastOutcome(), c.status);
        EXPECT_EQ(static_cast<int>(letters.size()), c.letters) << letters.join(u"\n"_s).toStdString();
        EXPECT_EQ(lettersAtShutdown, c.letters); // the end waited for them
        if (c.cancel != Cancel::Never) {
            EXPECT_TRUE(cancelled);
        }
        if (c.line) {
            EXPECT_TRUE(log.contains(QString::fromUtf8(c.line))) << c.line << "\n" << log.join(u"\n"_s).toStdString();
        }
        // A failure is never green: no green end of the work after a failed copy.
        if (c.status != BackupExit::Done && c.designer == Designer::None && c.cancel != Cancel::DuringZip
            && c.cancel != Cancel::DuringUpload && c.ftp == Ftp::Off) {
            EXPECT_FALSE(log.contains(u"green: Работа завершена!"_s));
        }
        EXPECT_TRUE(waitForBackgroundCommands(20000));
    }
}

// A missing or unmounted infobase folder, a file in its place, or a folder
// without the database: the copy fails before anything is written, with its
// letter; the users are not told that a backup was made.
TEST_F(BackupRun, AnInfobaseFolderThatIsNotThereFailsTheCopy)
{
    writeFile(m_data.filePath(u"plain-file"_s), "x");
    QDir().mkpath(m_data.filePath(u"empty-mount-point"_s));
    const struct {
        QString path;
        const char *reason;
    } cases[] = {
        {m_data.filePath(u"unmounted/base"_s), "недоступен: нет такого файла или каталога (No such file or directory)"},
        {m_data.filePath(u"plain-file"_s), "— не каталог информационной базы"},
        {m_data.filePath(u"empty-mount-point"_s), "нет файла базы 1Cv8.1CD: диск не подключён или путь указан неверно"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        log.clear();
        letters.clear();
        notices.clear();
        exitCodes.clear();
        shutdowns = 0;
        setBackupKeys(m_home.file(u"Example.ini"_s), {{u"StrokaCon"_s, c.path}}, u"Base3"_s);
        auto r = runner(true);
        r->chooseProfile(u"Зарплата"_s);
        ASSERT_TRUE(runToEnd(*r));
        ASSERT_TRUE(waitUntil([&] { return shutdowns == 1; }, 10000));
        EXPECT_EQ(exitCodes, QList<int>{1});
        ASSERT_EQ(letters.size(), 1);
        EXPECT_TRUE(letters[0].startsWith(u"Ошибка выполнения бэкапа ИБ: Зарплата | "_s));
        EXPECT_TRUE(letters[0].contains(QString::fromUtf8(c.reason))) << letters[0].toStdString();
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const QString &l) {
            return l.startsWith(u"red: Ошибка копирования файла: \""_s + c.path) && l.contains(QString::fromUtf8(c.reason));
        })) << log.join(u"\n"_s).toStdString();
        EXPECT_TRUE(log.contains(u"red: Работа завершена!"_s));
        EXPECT_FALSE(log.contains(u"green: Работа завершена!"_s));
        EXPECT_EQ(notices, QStringList{u"Сейчас начнётся архивация"_s}); // never "Архивация закончена"
        EXPECT_TRUE(entriesIn(backups()).isEmpty());
        EXPECT_FALSE(QFile::exists(m_home.file(u"temp2.txt"_s)) && !m_home.read(u"temp2.txt"_s).isEmpty());
    }
}

// The designer that never ends is ended at its time limit, with everything
// it started (with a display of its own and under xvfb-run); the profiles
// are read again after the dump, failed or not.
TEST_F(BackupRun, AHangingDesignerIsEndedWithWhatItStarted)
{
    CountingHolder holder;
    setProfileHolder(&holder);
    const QString opt = m_data.filePath(u"opt"_s);
    installDesignerDoing(opt, u"subprocess.Popen(['sleep', '300'])\ntime.sleep(300)"_s);
    setBackupKeys(m_home.file(u"Example.ini"_s), {{u"DumpTimeLimit"_s, u"0.1"_s}}); // 3.6 s: xvfb-run starts its server first
    for (const bool display : {true, false}) {
        SCOPED_TRACE(display ? "own display" : "xvfb-run");
        hasDisplay = display;
        letters.clear();
        log.clear();
        holder.reloads = 0;
        QFile::remove(m_data.filePath(u"designer.pid"_s));
        auto r = runner(false);
        r->chooseProfile(u"Бух"_s);
        ASSERT_TRUE(runToEnd(*r)) << log.join(u"\n"_s).toStdString();
        const QList<QByteArray> ids = readFile(m_data.filePath(u"designer.pid"_s)).split(' ');
        ASSERT_EQ(ids.size(), 2);
        const pid_t group = ids[1].toInt(); // the designer's own, or xvfb-run's
        // Nothing of the designer's process group is left (xvfb-run's X server included).
        EXPECT_TRUE(waitUntil([&] { return ::kill(-group, 0) != 0 && errno == ESRCH; }, 20000)) << group;
        EXPECT_EQ(letters.size(), 1);
        EXPECT_EQ(holder.reloads, 1);
        EXPECT_EQ(r->lastOutcome(), BackupExit::BackupFailed);
        EXPECT_TRUE(waitForBackgroundCommands(20000));
    }
    setProfileHolder(nullptr);
}

// A cancel during the ZIP build is a cancel: its lines, no failure letter,
// and the unpacked backup stays where it was made.
TEST_F(BackupRun, ACancelDuringTheZipBuildKeepsTheBackupAndMailsNothing)
{
    BackupRunner *raw = nullptr;
    BackupRunner::Hooks hooks;
    hooks.notifyUsers = [](const QString &) {};
    hooks.sendLetter = [this](const QString &subject, const QString &) { letters << subject; };
    hooks.unattended = [] { return false; };
    bool pressed = false;
    hooks.processEvents = [&] {
        if (!pressed) {
            pressed = true;
            raw->Button3Click();
        }
    };
    BackupRunner r(hooks);
    raw = &r;
    r.LoadFunckShow();
    r.chooseProfile(u"Зарплата"_s);
    ASSERT_TRUE(runToEnd(r));
    EXPECT_TRUE(pressed);
    QTest::qWait(700); // a letter would come within its pause
    EXPECT_TRUE(letters.isEmpty()) << letters.join(u"\n"_s).toStdString();
    EXPECT_FALSE(std::any_of(log.begin(), log.end(), [](const QString &l) { return l.startsWith(u"red: Архив не создан"_s); }))
        << log.join(u"\n"_s).toStdString();
    EXPECT_TRUE(log.contains(u"green: Выполнение \"бэкапа\" отменено!"_s));
    const QStringList left = entriesIn(backups());
    ASSERT_EQ(left.size(), 1) << left.join(u", "_s).toStdString();
    EXPECT_TRUE(left[0].endsWith(u"_База_Зарплата"_s)); // unpacked, whole
    EXPECT_EQ(readFile(backups() + u'/' + left[0] + u"/1Cv8.1CD"_s), readFile(base() + u"/1Cv8.1CD"_s));
    EXPECT_EQ(r.lastOutcome(), BackupExit::Stopped);
}

// The ZIP step's failure carries the writer's own reason, in the log and in
// the letter; the unpacked dump stays.
TEST_F(BackupRun, AZipFailureSaysWhatTheWriterSaid)
{
    installDesignerDoing(m_data.filePath(u"opt"_s), kWritesSuccess + u"\nos.mkdir(dump + '.zip')"_s);
    auto r = runner(false);
    r->chooseProfile(u"Бух"_s);
    ASSERT_TRUE(runToEnd(*r));
    const auto failure = std::find_if(log.begin(), log.end(), [](const QString &l) { return l.startsWith(u"red: Архив не создан: "_s); });
    ASSERT_NE(failure, log.end()) << log.join(u"\n"_s).toStdString();
    EXPECT_FALSE(failure->startsWith(u"red: Архив не создан: архив не создан"_s)) << failure->toStdString();
    const QString reason = failure->mid(QStringLiteral("red: Архив не создан: ").size()).section(u". «Бэкап»"_s, 0, 0);
    EXPECT_FALSE(reason.trimmed().isEmpty());
    ASSERT_EQ(letters.size(), 1);
    EXPECT_TRUE(letters[0].startsWith(u"Ошибка упаковки бэкапа ИБ: Бух | "_s)) << letters[0].toStdString();
    EXPECT_TRUE(letters[0].contains(reason)) << reason.toStdString() << "\n" << letters[0].toStdString();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const QString &l) { return l.endsWith(u"_.dt"_s) && l.contains(u"сохранён без упаковки"_s); }));
    EXPECT_EQ(r->lastOutcome(), BackupExit::ZipFailed);
}

// FTP asked for without ZIP (a hand-edited or an old settings file): the run
// packs and uploads, and ends.
TEST_F(BackupRun, FtpWithoutZipInTheSettingsStillPacksAndUploads)
{
    FtpPeer peer;
    QString error;
    ASSERT_TRUE(peer.start(&error)) << error.toStdString();
    setBackupKeys(m_home.file(u"Example.ini"_s), ftpKeys(peer) << std::pair{u"ZipArhiv"_s, u"0"_s});
    auto r = runner(true);
    r->chooseProfile(u"Зарплата"_s);
    ASSERT_TRUE(runToEnd(*r));
    ASSERT_TRUE(waitUntil([&] { return shutdowns == 1; }, 10000));
    EXPECT_EQ(exitCodes, QList<int>{0});
    const QStringList left = entriesIn(backups());
    ASSERT_EQ(left.size(), 1);
    EXPECT_TRUE(left[0].endsWith(u".zip"_s));
    EXPECT_EQ(peer.remoteFile(left[0]), readFile(backups() + u'/' + left[0]));
}

// A backup folder whose name Windows-1251 cannot hold: the hand-off files
// carry it whole, and the archive on the FTP server gives the infobase back.
TEST_F(BackupRun, ABackupFolderOfAnyNameComesBackFromTheFtpServer)
{
    FtpPeer peer;
    QString error;
    ASSERT_TRUE(peer.start(&error)) << error.toStdString();
    const QString folder = m_data.filePath(u"backups_é日😀"_s);
    QDir().mkpath(folder);
    setBackupKeys(m_home.file(u"Example.ini"_s), ftpKeys(peer) << std::pair{u"AvtoPath"_s, folder});
    auto r = runner(true);
    r->chooseProfile(u"Зарплата"_s);
    ASSERT_TRUE(runToEnd(*r));
    ASSERT_TRUE(waitUntil([&] { return shutdowns == 1; }, 10000));
    EXPECT_EQ(exitCodes, QList<int>{0}) << log.join(u"\n"_s).toStdString();
    const QStringList left = entriesIn(folder);
    ASSERT_EQ(left.size(), 1);
    EXPECT_EQ(databaseIn(peer.remoteFile(left[0]), m_data), readFile(base() + u"/1Cv8.1CD"_s));
    // What the later steps read back: UTF-8 with its mark.
    EXPECT_FALSE(std::any_of(log.begin(), log.end(), [](const QString &l) { return l.startsWith(u"red:"_s); }))
        << log.join(u"\n"_s).toStdString();
}

// Only the newest backups of the profile stay, once the new one has been
// read back; each deletion is logged with its size.
TEST_F(BackupRun, OldBackupsBeyondTheKeptNumberGoOnceTheNewOneIsVerified)
{
    setBackupKeys(m_home.file(u"Example.ini"_s), {{u"KeepBackups"_s, u"2"_s}});
    const QStringList old = {u"01_12_2026__01_30_00_База_Зарплата.zip"_s, u"02_12_2026__01_30_00_База_Зарплата.zip"_s,
                             u"03_12_2026__01_30_00_База_Зарплата.zip"_s};
    for (const QString &name : old)
        writeFile(backups() + u'/' + name, QByteArray(2048, 'z'));
    writeFile(backups() + u"/01_12_2026__01_30_00_База_Склад.zip"_s, "other profile");
    auto r = runner(false);
    r->chooseProfile(u"Зарплата"_s);
    ASSERT_TRUE(runToEnd(*r));
    QStringList left = entriesIn(backups());
    ASSERT_EQ(left.size(), 3) << left.join(u", "_s).toStdString();
    EXPECT_TRUE(left.contains(old[2]));
    EXPECT_TRUE(left.contains(u"01_12_2026__01_30_00_База_Склад.zip"_s));
    for (const QString &gone : {old[0], old[1]})
        EXPECT_TRUE(log.contains(u"green: Удалён старый «бэкап» (хранятся последние 2): "_s + gone + u", 2,0 КБ"_s))
            << gone.toStdString() << "\n" << log.join(u"\n"_s).toStdString();
}

// A backup that cannot fit is not started: the backup folder's disk of a
// running 1C server is never filled.
TEST_F(BackupRun, NotEnoughRoomStopsTheCopyBeforeItStarts)
{
    SmallDisk disk(1u << 20);
    if (!disk.available())
        GTEST_SKIP() << disk.why();
    setBackupKeys(m_home.file(u"Example.ini"_s), {{u"AvtoPath"_s, disk.path()}});
    auto r = runner(true);
    r->chooseProfile(u"Зарплата"_s);
    ASSERT_TRUE(runToEnd(*r));
    ASSERT_TRUE(waitUntil([&] { return shutdowns == 1; }, 10000));
    EXPECT_EQ(exitCodes, QList<int>{1});
    EXPECT_TRUE(entriesIn(disk.path()).isEmpty());
    ASSERT_EQ(letters.size(), 1);
    EXPECT_TRUE(letters[0].contains(u"не хватает места для копии информационной базы и её архива: нужно "_s))
        << letters[0].toStdString();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const QString &l) {
        return l.startsWith(u"red: Ошибка копирования файла:"_s) && l.contains(u"свободно "_s);
    })) << log.join(u"\n"_s).toStdString();
}

// Which files are in use is found off the window thread: a server with a
// process holding hundreds of thousands of descriptors does not freeze the
// window while the copy waits for the verdict.
TEST_F(BackupRun, TheOpenFileLookDoesNotFreezeTheWindow)
{
    // Sixteen processes of 19 000 descriptors each (the hard limit here is
    // 20 000 a process): some 300 000 descriptors to look through.
    QProcess holder;
    holder.setChildProcessModifier([] { ::setpgid(0, 0); });
    holder.start(u"/usr/bin/python3"_s,
                 {u"-c"_s, u"import os, resource, sys, time\n"
                           "n = min(19000, resource.getrlimit(resource.RLIMIT_NOFILE)[1] - 100)\n"
                           "resource.setrlimit(resource.RLIMIT_NOFILE, (n + 50, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))\n"
                           "r, w = os.pipe()\n"
                           "for i in range(16):\n"
                           "    if os.fork() == 0:\n"
                           "        fds = [os.open('/dev/null', os.O_RDONLY) for _ in range(n)]\n"
                           "        os.write(w, b'x')\n"
                           "        time.sleep(120)\n"
                           "        os._exit(0)\n"
                           "got = 0\n"
                           "while got < 16:\n"
                           "    got += len(os.read(r, 16))\n"
                           "print('ready', flush=True)\n"
                           "time.sleep(120)\n"_s});
    // The parent and its sixteen: one process group of the test's own.
    const auto endHolders = qScopeGuard([&] {
        ::kill(-static_cast<pid_t>(holder.processId()), SIGKILL);
        holder.waitForFinished(5000);
    });
    ASSERT_TRUE(holder.waitForReadyRead(60000)) << holder.readAllStandardError().toStdString();
    QElapsedTimer clock;
    clock.start();
    (void)FilesInUse::snapshot(QFile::encodeName(base()));
    const qint64 lookMs = clock.elapsed();
    ASSERT_GT(lookMs, 200) << "the look is too quick here to show anything";

    setBackupKeys(m_home.file(u"Example.ini"_s), {{u"ZipArhiv"_s, u"0"_s}});
    auto r = runner(false);
    r->chooseProfile(u"Зарплата"_s);
    QTimer tick;
    tick.setInterval(10);
    qint64 last = 0, longest = 0;
    QElapsedTimer window;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = window.elapsed();
        longest = std::max(longest, now - last);
        last = now;
    });
    window.start();
    tick.start();
    ASSERT_TRUE(runToEnd(*r));
    tick.stop();
    EXPECT_LT(longest, lookMs / 2) << "the window stood still for " << longest << " ms; the look takes " << lookMs;
    EXPECT_TRUE(log.contains(u"green: Работа завершена!"_s)) << log.join(u"\n"_s).toStdString();
}

// A console that cannot look into other users' processes says so, once, in
// red, when the copy starts; the copy itself goes on.
TEST_F(BackupRun, AConsoleBlindToOtherUsersSaysSoWhenTheCopyStarts)
{
    if (::geteuid() != 0 || !QFile::exists(u"/usr/bin/setpriv"_s))
        GTEST_SKIP() << "needs root and setpriv to start a process of another user";
    QProcess nobody;
    nobody.start(u"/usr/bin/setpriv"_s,
                 {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s, u"/bin/sleep"_s, u"30"_s});
    ASSERT_TRUE(nobody.waitForStarted(5000));
    const auto endNobody = qScopeGuard([&] {
        nobody.kill();
        nobody.waitForFinished(5000);
    });
    setBackupKeys(m_home.file(u"Example.ini"_s), {{u"ZipArhiv"_s, u"0"_s}});
    const QString blind = u"red: Консоль запущена не от root: файлы, которые открыли процессы других пользователей "
                          "(сервера 1С), ей не видны. Файл, изменившийся во время копирования, всё равно будет замечен."_s;
    for (const bool asAnyUser : {false, true}) {
        SCOPED_TRACE(asAnyUser ? "as any user" : "as root");
        log.clear();
        std::optional<NoPermissionOverride> drop;
        if (asAnyUser) {
            drop.emplace(true);
            ASSERT_TRUE(drop->active());
        }
        auto r = runner(false);
        r->chooseProfile(u"Зарплата"_s);
        ASSERT_TRUE(runToEnd(*r));
        EXPECT_EQ(log.count(blind), asAnyUser ? 1 : 0) << log.join(u"\n"_s).toStdString();
        EXPECT_TRUE(log.contains(u"green: Работа завершена!"_s));
    }
}
