// The bulk session commands: a template from Templates filled with the
// address, written into Script in its own encoding with CR LF, and the
// script run by the console's own interpreter.

#include "common/TextCodec.h"
#include "support/TestSupport.h"
#include "terminal/ScriptTemplates.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

struct ScriptRun {
    QString path;
    QString directory;
    bool hide;
    bool wait;
};

class BulkCommands : public ::testing::Test
{
protected:
    BulkCommands()
    {
        QDir(m_home.path()).mkdir(u"Templates"_s);
        QDir(m_home.path()).mkdir(u"Script"_s);
        QDir(m_home.path()).mkdir(u"pam.d"_s);
    }

    void writeTemplate(const QString &name, const QByteArray &bytes)
    {
        m_home.write(u"Templates/"_s + name, bytes);
    }

    // Runs the command with a recording runner; the runner answers started
    // (with these errors) and, as the shipped scripts do, blocking writes the
    // nologin file and unblocking removes it, unless asked not to.
    BulkCommandOutcome run(BulkCommandId id, const QString &address, bool starts = true, const QString &errors = {},
                           bool doesItsJob = true)
    {
        BulkCommandEnvironment env;
        env.runner = [=, this](const QString &path, const QString &directory, bool hide, bool wait) {
            runs.push_back({path, directory, hide, wait});
            if (starts && doesItsJob && path.endsWith(u"TSDisable.cmd"_s))
                m_home.write(u"nologin"_s, "closed\n");
            if (starts && doesItsJob && path.endsWith(u"TSEnable.cmd"_s))
                QFile::remove(m_nologin);
            ProgramRun r;
            r.started = starts;
            r.errorCode = starts ? 0 : 2;
            r.errors = errors;
            return r;
        };
        env.log = [this](const QString &text, unsigned int rgb) {
            EXPECT_NE(unstamped(text), text) << "no stamp: " << text.toStdString();
            lines << (rgb == 0xFF0000 ? u"red: "_s : rgb == 0x008000 ? u"green: "_s : u"plain: "_s) + unstamped(text);
        };
        env.refreshList = [this] { ++refreshes; };
        env.errorBox = [this](const QString &message) { boxes << message; };
        return runBulkCommandLogged(id, address, env);
    }

    ProgramHome m_home;
    QString m_nologin = m_home.file(u"nologin"_s);
    ScopedEnv m_nologinEnv{"DOZORIX_NOLOGIN", QFile::encodeName(m_nologin)};
    ScopedEnv m_pamEnv{"DOZORIX_PAM_DIR", QFile::encodeName(m_home.file(u"pam.d"_s))};
    std::vector<ScriptRun> runs;
    QStringList lines;
    QStringList boxes;
    int refreshes = 0;
};

} // namespace

TEST_F(BulkCommands, EveryCommandFillsItsTemplateRunsItsScriptAndRefreshesByItsRule)
{
    using B = BulkCommandId;
    const struct {
        B id;
        const char *templ;
        const char *runName;
        const char *placeholder;
        const char *filled; // what the placeholder became for " 10.0.0.7 "
        bool hide;
        bool wait;
        const char *success;
        int refreshesStarted;
        int refreshesFailed;
    } cases[] = {
        {B::BlockLogons, "TSDisable.cmd", "TSDisable.cmd", "[Dz_s_reg]", "\\\\10.0.0.7", true, true,
         "Команда \"Заблокировать вход на сервер терминалов\", была отправлена!", 0, 0},
        {B::UnblockLogons, "TSEnable.cmd", "TSEnable.cmd", "[Dz_s_reg]", "\\\\10.0.0.7", true, true,
         "Команда \"Разрешить вход на сервер терминалов\", была отправлена!", 0, 0},
        {B::DisconnectSessions, "tsdisconAll.cmd", "tsdisconAll.cmd", "[Dz_s]", "/server 10.0.0.7", true, true,
         "Команда \"Отключить все сессии\" была отправлена!", 1, 1},
        {B::LogoffSessions, "logoffAll.cmd", "logoffAll.cmd", "[Dz_s]", "/server 10.0.0.7", true, true,
         "Команда \"Завершить все сессии\" была отправлена!", 1, 1},
        {B::ResetSessions, "rwinstaAll.cmd", "rwinstaAll.cmd", "[Dz_s]", "/server 10.0.0.7", false, true,
         "Команда \"Сбросить все сессии\" была отправлена!", 1, 1},
        {B::LogoffDisconnectedSessions, "disconAlldis_s.ps1", "disconAlldis_s.cmd", "[Dz_s]", "10.0.0.7", true, true,
         "Команда \"Завершить все отключенные сессии\" была отправлена!", 1, 0},
        {B::ResetDisconnectedSessions, "disconAllres_s.ps1", "disconAllres_s.cmd", "[Dz_s]", "10.0.0.7", true, true,
         "Команда \"Сбросить все отключенные сессии\" была отправлена!", 1, 0},
    };
    for (const auto &c : cases) {
        for (const bool starts : {true, false}) {
            runs.clear();
            lines.clear();
            refreshes = 0;
            const QString placeholder = QString::fromLatin1(c.placeholder);
            // Twice, once in capitals: every occurrence, any case.
            writeTemplate(QString::fromLatin1(c.templ),
                          toCp1251(u"rem "_s + placeholder + u"\r\nx "_s + placeholder.toUpper() + u" y"_s));
            const BulkCommandOutcome outcome = run(c.id, u" 10.0.0.7 "_s, starts);
            EXPECT_EQ(outcome.kind, starts ? BulkCommandOutcome::Started : BulkCommandOutcome::StartFailed) << c.templ;
            const QString filled = QString::fromLatin1(c.filled);
            EXPECT_EQ(m_home.read(u"Script/"_s + QString::fromLatin1(c.templ)),
                      toCp1251(u"rem "_s + filled + u"\r\nx "_s + filled + u" y\r\n"_s))
                << c.templ;
            ASSERT_EQ(runs.size(), 1u) << c.templ;
            EXPECT_EQ(runs[0].path, m_home.file(u"Script/"_s + QString::fromLatin1(c.runName)));
            EXPECT_EQ(runs[0].directory, m_home.file(u"Script"_s) + u'/');
            EXPECT_EQ(runs[0].hide, c.hide) << c.templ;
            EXPECT_EQ(runs[0].wait, c.wait) << c.templ;
            EXPECT_EQ(lines, starts ? QStringList{u"green: "_s + QString::fromUtf8(c.success)} : QStringList())
                << c.templ;
            EXPECT_EQ(refreshes, starts ? c.refreshesStarted : c.refreshesFailed) << c.templ;
        }
    }
}

TEST_F(BulkCommands, TheScriptKeepsTheTemplatesEncodingAndMarkWithCrLfAfterEveryLine)
{
    const QString text = u"rem Отключить всех на [Dz_s]\nquery user [dz_S]\r\rlast"_s;
    const QString filled = u"rem Отключить всех на /server сервер-1\r\nquery user /server сервер-1\r\n\r\nlast\r\n"_s;
    const auto utf16 = [](const QString &s, bool bigEndian) {
        QByteArray b;
        for (const QChar ch : s) {
            const char hi = static_cast<char>(ch.unicode() >> 8), lo = static_cast<char>(ch.unicode() & 0xFF);
            b.append(bigEndian ? hi : lo);
            b.append(bigEndian ? lo : hi);
        }
        return b;
    };
    const struct {
        const char *name;
        QByteArray templ;
        QByteArray script;
    } cases[] = {
        {"Windows-1251", toCp1251(text), toCp1251(filled)},
        {"UTF-8 with mark", "\xEF\xBB\xBF" + text.toUtf8(), "\xEF\xBB\xBF" + filled.toUtf8()},
        {"UTF-8 without mark", text.toUtf8(), filled.toUtf8()},
        {"UTF-16 LE", "\xFF\xFE" + utf16(text, false), "\xFF\xFE" + utf16(filled, false)},
        {"UTF-16 BE", "\xFE\xFF" + utf16(text, true), "\xFE\xFF" + utf16(filled, true)},
    };
    for (const auto &c : cases) {
        writeTemplate(u"tsdisconAll.cmd"_s, c.templ);
        run(BulkCommandId::DisconnectSessions, u"сервер-1"_s);
        EXPECT_EQ(m_home.read(u"Script/tsdisconAll.cmd"_s), c.script) << c.name;
    }
    // Bytes that Windows-1251 leaves unassigned come back as they were.
    writeTemplate(u"tsdisconAll.cmd"_s, QByteArray("a\x98[Dz_s]\xFF\r\n"));
    run(BulkCommandId::DisconnectSessions, u"h"_s);
    EXPECT_EQ(m_home.read(u"Script/tsdisconAll.cmd"_s), QByteArray("a\x98/server h\xFF\r\n"));
}

TEST_F(BulkCommands, AnEmptyTemplateSaysSoAndLeavesTheEarlierScriptAlone)
{
    m_home.write(u"Script/logoffAll.cmd"_s, "earlier\r\n");
    for (const QByteArray &empty : {QByteArray(), QByteArray("\xEF\xBB\xBF")}) {
        lines.clear();
        refreshes = 0;
        writeTemplate(u"logoffAll.cmd"_s, empty);
        EXPECT_EQ(run(BulkCommandId::LogoffSessions, u"srv"_s).kind, BulkCommandOutcome::EmptyTemplate);
        EXPECT_EQ(lines, QStringList{u"red: Команда не найдена!!!"_s});
        EXPECT_EQ(refreshes, 0);
    }
    EXPECT_TRUE(runs.empty());
    EXPECT_EQ(m_home.read(u"Script/logoffAll.cmd"_s), QByteArray("earlier\r\n"));
}

TEST_F(BulkCommands, AMissingTemplateOrAnUnwritableScriptFolderIsAnErrorBoxNamingTheFile)
{
    EXPECT_EQ(run(BulkCommandId::ResetSessions, u"srv"_s).kind, BulkCommandOutcome::MissingTemplate);
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].contains(m_home.file(u"Templates/rwinstaAll.cmd"_s))) << boxes[0].toStdString();
    EXPECT_TRUE(boxes[0].contains(u"Не удается найти указанный файл."_s)) << boxes[0].toStdString();

    // A Script folder that is not there.
    writeTemplate(u"rwinstaAll.cmd"_s, "x [Dz_s]\r\n");
    QDir(m_home.file(u"Script"_s)).removeRecursively();
    EXPECT_EQ(run(BulkCommandId::ResetSessions, u"srv"_s).kind, BulkCommandOutcome::WriteFailed);
    ASSERT_EQ(boxes.size(), 2);
    EXPECT_TRUE(boxes[1].contains(m_home.file(u"Script/rwinstaAll.cmd"_s))) << boxes[1].toStdString();
    // Neither is logged, run or refreshed.
    EXPECT_TRUE(lines.isEmpty());
    EXPECT_TRUE(runs.empty());
    EXPECT_EQ(refreshes, 0);
}

TEST_F(BulkCommands, ATemplateNamedInOtherLettersIsFound)
{
    writeTemplate(u"TSDISABLE.CMD"_s, "reg [Dz_s_reg]\r\n");
    EXPECT_EQ(run(BulkCommandId::BlockLogons, u"srv"_s).kind, BulkCommandOutcome::Started);
    EXPECT_EQ(m_home.read(u"Script/TSDisable.cmd"_s), QByteArray("reg \\\\srv\r\n"));
}

TEST_F(BulkCommands, AnAddressThatCouldRunSomethingElseIsNeverWrittenIntoAScript)
{
    writeTemplate(u"tsdisconAll.cmd"_s, "tsdiscon 1 [Dz_s]\r\n");
    for (const char *address : {"srv & touch pwned", "srv|x", "srv\"x", "a%PATH%", "srv>out", "a^b", "x y"}) {
        lines.clear();
        refreshes = 0;
        EXPECT_EQ(run(BulkCommandId::DisconnectSessions, QString::fromUtf8(address)).kind,
                  BulkCommandOutcome::UnsafeAddress)
            << address;
        ASSERT_EQ(lines.size(), 1) << address;
        EXPECT_TRUE(lines[0].startsWith(u"red: Адрес сервера терминалов"_s)) << lines[0].toStdString();
        EXPECT_EQ(refreshes, 1) << address; // "always" refreshes
    }
    EXPECT_TRUE(runs.empty());
    EXPECT_FALSE(QFileInfo::exists(m_home.file(u"Script/tsdisconAll.cmd"_s)));
    // Names, IPv4 and IPv6 addresses go in as they are.
    for (const char *address : {"ts-01.corp.local", "10.0.0.7", "[fe80::1]", "сервер_1", ""})
        EXPECT_TRUE(isSafeScriptAddress(QString::fromUtf8(address))) << address;
}

TEST_F(BulkCommands, TheWrittenScriptRunsThroughTheConsolesInterpreter)
{
    // The real runner: the script is a .cmd file our interpreter runs in the
    // Script folder, and the console waits for it.
    writeTemplate(u"logoffAll.cmd"_s, "@echo off\r\nrem [Dz_s]\r\necho [Dz_s]> ran.txt\r\n");
    BulkCommandEnvironment env;
    QStringList logged;
    env.log = [&](const QString &text, unsigned int) { logged << text; };
    EXPECT_EQ(runBulkCommandLogged(BulkCommandId::LogoffSessions, u"10.1.2.3"_s, env).kind,
              BulkCommandOutcome::Started);
    EXPECT_EQ(m_home.read(u"Script/ran.txt"_s), QByteArray("/server 10.1.2.3\r\n"));
    ASSERT_EQ(logged.size(), 1);
    EXPECT_TRUE(logged[0].endsWith(u"Команда \"Завершить все сессии\" была отправлена!"_s));

    // The PowerShell commands run their launcher; without one nothing
    // starts, and the list is not refreshed.
    writeTemplate(u"disconAlldis_s.ps1"_s, "[Dz_s]\r\n");
    int refreshed = 0;
    env.refreshList = [&] { ++refreshed; };
    EXPECT_EQ(runBulkCommandLogged(BulkCommandId::LogoffDisconnectedSessions, u"h"_s, env).kind,
              BulkCommandOutcome::StartFailed);
    EXPECT_EQ(refreshed, 0);
    EXPECT_EQ(m_home.read(u"Script/disconAlldis_s.ps1"_s), QByteArray("h\r\n"));

    // What the script's tools write to their errors comes back, in red.
    writeTemplate(u"logoffAll.cmd"_s, "@echo off\r\nreg add \"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal "
                                      "Server\" /v WinStationsDisabled /d 7 /f\r\necho [Dz_s]> ran.txt\r\n");
    QStringList colours;
    env.log = [&](const QString &text, unsigned int rgb) { colours << QString::number(rgb, 16) + u' ' + unstamped(text); };
    EXPECT_EQ(runBulkCommandLogged(BulkCommandId::LogoffSessions, u"10.1.2.4"_s, env).kind,
              BulkCommandOutcome::Failed);
    EXPECT_EQ(m_home.read(u"Script/ran.txt"_s), QByteArray("/server 10.1.2.4\r\n"));
    EXPECT_EQ(colours, QStringList{u"ff0000 ОШИБКА: Недопустимые данные для параметра WinStationsDisabled: \"7\" "
                                   u"(ожидается 0 или 1)."_s});
}

TEST_F(BulkCommands, AScriptThatWritesErrorsOrDoesNotDoItsJobIsNeverGreen)
{
    using B = BulkCommandId;
    writeTemplate(u"tsdisconAll.cmd"_s, "tsdiscon 5 [Dz_s]\r\n");
    writeTemplate(u"disconAlldis_s.ps1"_s, "logoff 5 [Dz_s]\r\n");
    writeTemplate(u"TSDisable.cmd"_s, "reg [Dz_s_reg]\r\n");
    writeTemplate(u"TSEnable.cmd"_s, "reg [Dz_s_reg]\r\n");
    const QString refused = u"Не удалось отключить сеанс 5, код ошибки 50\r\nОшибка [50]:Такой запрос не поддерживается.\r\n"_s;
    const struct {
        B id;
        QString errors;
        bool doesItsJob;
        QStringList lines;
        int refreshes;
    } cases[] = {
        {B::DisconnectSessions, refused, true,
         {u"red: Не удалось отключить сеанс 5, код ошибки 50"_s, u"red: Ошибка [50]:Такой запрос не поддерживается."_s}, 1},
        // Refreshed only on success.
        {B::LogoffDisconnectedSessions, u"Не удалось завершить сеанс 5, код ошибки 5\r\n"_s, true,
         {u"red: Не удалось завершить сеанс 5, код ошибки 5"_s}, 0},
        {B::BlockLogons, u"ОШИБКА: Отказано в доступе.\r\n"_s, true, {u"red: ОШИБКА: Отказано в доступе."_s}, 0},
        // No error, yet no nologin file: the logons are not blocked.
        {B::BlockLogons, {}, false, {u"red: Вход на сервер не закрыт: файла %1 нет."_s}, 0},
    };
    for (const auto &c : cases) {
        lines.clear();
        refreshes = 0;
        QFile::remove(m_nologin);
        EXPECT_EQ(run(c.id, u"srv"_s, true, c.errors, c.doesItsJob).kind, BulkCommandOutcome::Failed);
        QStringList expected = c.lines;
        for (QString &line : expected)
            line = line.contains(u"%1"_s) ? line.arg(m_nologin) : line;
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(refreshes, c.refreshes);
    }
    // Unblocking that leaves the file where it was.
    lines.clear();
    m_home.write(u"nologin"_s, "closed\n");
    EXPECT_EQ(run(B::UnblockLogons, u"srv"_s, true, {}, false).kind, BulkCommandOutcome::Failed);
    EXPECT_EQ(lines, QStringList{u"red: Вход на сервер не открыт: файл %1 остался."_s.arg(m_nologin)});
}

TEST_F(BulkCommands, BlockingTellsWhichSessionServersTheNologinFileDoesNotStop)
{
    writeTemplate(u"TSDisable.cmd"_s, "reg [Dz_s_reg]\r\n");
    const QString pam = m_home.file(u"pam.d"_s);
    // Debian 12 as installed: xrdp's stack without pam_nologin, sshd's with it.
    m_home.write(u"pam.d/xrdp-sesman"_s, "#%PAM-1.0\nauth required pam_env.so readenv=1\n@include common-auth\n"
                                         "@include common-account\n@include common-session\n");
    m_home.write(u"pam.d/common-auth"_s, "auth [success=1 default=ignore] pam_unix.so nullok\nauth requisite pam_deny.so\n");
    m_home.write(u"pam.d/common-account"_s, "account [success=1 new_authtok_reqd=done default=ignore] pam_unix.so\n");
    m_home.write(u"pam.d/common-session"_s, "session required pam_unix.so\n");
    m_home.write(u"pam.d/sshd"_s, "@include common-auth\n# Disallow non-root logins when /etc/nologin exists.\n"
                                  "account    required     pam_nologin.so\n@include common-account\n");
    const QString xrdpLine = u"red: Вход через xrdp не запрещён: в %1/xrdp-sesman нет pam_nologin. Добавьте строку: "
                             u"account required pam_nologin.so"_s.arg(pam);
    const QString sshNote = u"plain: Пока есть файл %1, по ssh не войдёт никто, кроме root: администраторы тоже."_s.arg(m_nologin);
    const QString done = u"green: Команда \"Заблокировать вход на сервер терминалов\", была отправлена!"_s;
    EXPECT_EQ(run(BulkCommandId::BlockLogons, u"srv"_s).kind, BulkCommandOutcome::Started);
    EXPECT_EQ(lines, (QStringList{done, xrdpLine, sshNote}));

    // xrdp fixed by the line the console gives; unblocking says nothing more.
    m_home.write(u"pam.d/xrdp-sesman"_s, m_home.read(u"pam.d/xrdp-sesman"_s) + "account required pam_nologin.so\n");
    lines.clear();
    EXPECT_EQ(run(BulkCommandId::BlockLogons, u"srv"_s).kind, BulkCommandOutcome::Started);
    EXPECT_EQ(lines, (QStringList{done, sshNote}));
    writeTemplate(u"TSEnable.cmd"_s, "reg [Dz_s_reg]\r\n");
    lines.clear();
    EXPECT_EQ(run(BulkCommandId::UnblockLogons, u"srv"_s).kind, BulkCommandOutcome::Started);
    EXPECT_EQ(lines, QStringList{u"green: Команда \"Разрешить вход на сервер терминалов\", была отправлена!"_s});
}
