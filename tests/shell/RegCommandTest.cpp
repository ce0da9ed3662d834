// reg: WinStationsDisabled of the terminal server as the nologin file, with a
// real file of the test's own (DOZORIX_NOLOGIN), links and folders planted in
// its place, and the answers reg.exe gives.

#include "shell/CommandRunner.h"
#include "shell/PamNologin.h"
#include "shell/WinTools.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

const QString kKey = u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server"_s;
const QString kDone = u"Операция успешно завершена.\r\n"_s;
const QString kNotFound = u"ОШИБКА: Не удается найти указанный раздел или параметр реестра.\r\n"_s;
const QString kNoPath = u"ОШИБКА: Сетевой путь не найден.\r\n"_s;

QString queryAnswer(const QString &prefix, char value)
{
    return u"\r\n"_s + prefix + u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\r\n"_s
           + u"    WinStationsDisabled    REG_SZ    "_s + QLatin1Char(value) + u"\r\n\r\n"_s;
}

class RegCommand : public ::testing::Test
{
protected:
    RegCommand() { registerReg(); }

    ConsoleRun run(const QString &command) { return RunInConsole(CommandLine(command), m_home.path()); }
    bool blocked() const { return QFileInfo(m_nologin).exists() || QFileInfo(m_nologin).isSymLink(); }

    ProgramHome m_home;
    QString m_nologin = m_home.file(u"nologin"_s);
    ScopedEnv m_env{"DOZORIX_NOLOGIN", m_nologin.toUtf8()};
    // No session server installed, unless a test writes one's PAM file.
    QString m_pam = m_home.file(u"pam.d"_s);
    ScopedEnv m_pamEnv{"DOZORIX_PAM_DIR", m_pam.toUtf8()};
};

} // namespace

TEST_F(RegCommand, TheValueFollowsTheNologinFile)
{
    const struct {
        QString command;
        QString text;
        int code;
        bool blockedAfter;
    } cases[] = {
        {u"reg query \""_s + kKey + u"\" /v WinStationsDisabled"_s, queryAnswer({}, '0'), 0, false},
        {u"reg add \""_s + kKey + u"\" /v WinStationsDisabled /t REG_SZ /d 1 /f"_s, kDone, 0, true},
        {u"REG.EXE QUERY \"\\\\127.0.0.1\\"_s + kKey + u"\" /V winstationsdisabled"_s,
         queryAnswer(u"\\\\127.0.0.1\\"_s, '1'), 0, true},
        {u"reg add \"\\\\localhost\\HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\" /v WinStationsDisabled /t REG_SZ /d 1 /f"_s,
         kDone, 0, true},
        {u"reg add \""_s + kKey + u"\" /v WinStationsDisabled /t REG_SZ /d 0 /f"_s, kDone, 0, false},
        {u"reg add \""_s + kKey + u"\" /v WinStationsDisabled /t REG_SZ /d 0 /f"_s, kDone, 0, false},
        {u"reg add \""_s + kKey + u"\" /v WinStationsDisabled /t REG_DWORD /d 0x1 /f"_s, kDone, 0, true},
        {u"reg delete \"\\\\127.0.0.1\\"_s + kKey + u"\" /v WinStationsDisabled /f"_s, kDone, 0, false},
        {u"reg delete \""_s + kKey + u"\" /v WinStationsDisabled /f"_s, kDone, 0, false},
        // other servers, keys and values: nothing changes
        {u"reg add \"\\\\10.255.255.1\\"_s + kKey + u"\" /v WinStationsDisabled /t REG_SZ /d 1 /f"_s, kNoPath, 1, false},
        {u"reg query \"\\\\no-such-host.invalid\\"_s + kKey + u"\" /v WinStationsDisabled"_s, kNoPath, 1, false},
        {u"reg add \"HKLM\\SYSTEM\\CurrentControlSet\\Control\" /v WinStationsDisabled /d 1 /f"_s, kNotFound, 1, false},
        {u"reg add \"HKCU\\"_s + kKey.mid(5) + u"\" /v WinStationsDisabled /d 1 /f"_s, kNotFound, 1, false},
        {u"reg add \""_s + kKey + u"\" /v fDenyTSConnections /t REG_DWORD /d 1 /f"_s, kNotFound, 1, false},
        {u"reg query \""_s + kKey + u"\" /v Other"_s, kNotFound, 1, false},
        {u"reg delete \""_s + kKey + u"\" /f"_s, u"ОШИБКА: Отказано в доступе.\r\n"_s, 1, false},
        {u"reg add \""_s + kKey + u"\" /v WinStationsDisabled /t REG_SZ /d 2 /f"_s,
         u"ОШИБКА: Недопустимые данные для параметра WinStationsDisabled: \"2\" (ожидается 0 или 1).\r\n"_s, 1, false},
        {u"reg add \""_s + kKey + u"\" /v WinStationsDisabled /t REG_BINARY /d 1 /f"_s,
         u"ОШИБКА: Недопустимый тип параметра.\r\n"_s, 1, false},
        {u"reg add \""_s + kKey + u"\" /v"_s,
         u"ОШИБКА: Неверный синтаксис.\r\nВведите \"REG ADD /?\" для получения справки по синтаксису.\r\n"_s, 1, false},
        {u"reg copy a b"_s, u"ОШИБКА: Неверный синтаксис.\r\nВведите \"REG /?\" для получения справки по синтаксису.\r\n"_s, 1,
         false},
    };
    for (const auto &c : cases) {
        const ConsoleRun r = run(c.command);
        EXPECT_EQ(r.text, c.text) << qPrintable(c.command);
        EXPECT_EQ(r.exitCode, c.code) << qPrintable(c.command);
        EXPECT_EQ(blocked(), c.blockedAfter) << qPrintable(c.command);
    }
}

TEST_F(RegCommand, TheNologinFileTellsWhyAndIsNeverWrittenThroughALink)
{
    ASSERT_EQ(run(u"reg add \""_s + kKey + u"\" /v WinStationsDisabled /t REG_SZ /d 1 /f"_s).exitCode, 0);
    QFile file(m_nologin);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(file.readAll()),
              u"Вход на сервер закрыт администратором. Попробуйте войти позже или обратитесь к администратору.\n"_s);
    file.close();
    ASSERT_TRUE(QFile::remove(m_nologin));

    // A link planted under the name: the file it points to stays as it was.
    const QString target = m_home.file(u"passwd-copy"_s);
    m_home.write(u"passwd-copy"_s, "root:x:0:0\n");
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(m_nologin).constData()), 0);
    const ConsoleRun linked = run(u"reg add \""_s + kKey + u"\" /v WinStationsDisabled /t REG_SZ /d 1 /f"_s);
    EXPECT_EQ(linked.exitCode, 1);
    EXPECT_TRUE(linked.text.startsWith(u"ОШИБКА: Отказано в доступе.\r\n"_s)) << qPrintable(linked.text);
    EXPECT_EQ(m_home.read(u"passwd-copy"_s), QByteArray("root:x:0:0\n"));
    // Unblocking removes the link itself, not what it points to.
    EXPECT_EQ(run(u"reg add \""_s + kKey + u"\" /v WinStationsDisabled /t REG_SZ /d 0 /f"_s).exitCode, 0);
    EXPECT_FALSE(QFileInfo(m_nologin).isSymLink());
    EXPECT_EQ(m_home.read(u"passwd-copy"_s), QByteArray("root:x:0:0\n"));

    // A folder in its place cannot be removed: the answer says so.
    ASSERT_TRUE(QDir(m_home.path()).mkdir(u"nologin"_s));
    const ConsoleRun folder = run(u"reg delete \""_s + kKey + u"\" /v WinStationsDisabled /f"_s);
    EXPECT_EQ(folder.exitCode, 1);
    EXPECT_EQ(folder.text, u"ОШИБКА: Отказано в доступе.\r\n"_s);
    EXPECT_TRUE(QFileInfo(m_nologin).isDir());
    EXPECT_TRUE(run(u"reg query \""_s + kKey + u"\" /v WinStationsDisabled"_s).text.contains(u"REG_SZ    1"_s));
}

namespace {

// Debian 12's common files, as pam-auth-update writes them (none calls pam_nologin).
const QByteArray kCommonAuth = "auth\t[success=1 default=ignore]\tpam_unix.so nullok\nauth\trequisite\tpam_deny.so\n"
                               "auth\trequired\tpam_permit.so\n";
const QByteArray kCommonAccount = "account\t[success=1 new_authtok_reqd=done default=ignore]\tpam_unix.so\n"
                                  "account\trequisite\tpam_deny.so\naccount\trequired\tpam_permit.so\n";
// Debian 12's /etc/pam.d/xrdp-sesman and the lines of its /etc/pam.d/sshd.
const QByteArray kXrdpSesman = "#%PAM-1.0\nauth required pam_env.so readenv=1\n"
                               "auth required pam_env.so readenv=1 envfile=/etc/default/locale\n@include common-auth\n"
                               "@include common-account\n@include common-session\n@include common-password\n";
const QByteArray kSshd = "# PAM configuration for the Secure Shell service\n\n@include common-auth\n\n"
                         "# Disallow non-root logins when /etc/nologin exists.\naccount    required     pam_nologin.so\n\n"
                         "@include common-account\nsession [success=ok ignore=ignore module_unknown=ignore default=bad] "
                         "pam_selinux.so close\n@include common-session\n";

} // namespace

TEST_F(RegCommand, BlockingSaysWhichInstalledSessionServerTheNologinFileDoesNotStop)
{
    const QString fix = u"Добавьте строку: account required pam_nologin.so"_s;
    const QString xrdpGap = u"Вход через xrdp не запрещён: в %1/xrdp-sesman нет pam_nologin. "_s.arg(m_pam) + fix;
    const QString sshGap = u"Вход через ssh и X2Go не запрещён: в %1/sshd нет pam_nologin. "_s.arg(m_pam) + fix;
    const QString sshNote = u"Пока есть файл %1, по ssh не войдёт никто, кроме root: администраторы тоже."_s.arg(m_nologin);
    const struct {
        const char *name;
        QByteArray xrdp;  // empty: not installed
        QByteArray sshd;  // empty: not installed
        QByteArray extraName;
        QByteArray extra; // one more file of the folder
        QStringList lines;
    } cases[] = {
        {"Debian 12 as installed", kXrdpSesman, kSshd, {}, {}, {xrdpGap, sshNote}},
        {"nothing installed", {}, {}, {}, {}, {}},
        {"xrdp fixed with the line given", kXrdpSesman + "account required pam_nologin.so\n", kSshd, {}, {}, {sshNote}},
        {"through an include chain",
         "account include xrdp-account\n", kSshd, "xrdp-account", "@include nologin-check\n",
         {sshNote}},
        {"through a substack", "-account substack xrdp-account\n", {}, "xrdp-account",
         "account  requisite  /usr/lib/x86_64-linux-gnu/security/pam_nologin.so\n", {}},
        {"auth requisite counts for xrdp", "auth requisite pam_nologin.so\n@include common-auth\n", {}, {}, {}, {}},
        // A key logon never runs sshd's auth stack.
        {"sshd with it in auth only", {}, "auth requisite pam_nologin.so\n@include common-account\n", {}, {},
         {u"Вход через ssh и X2Go не запрещён: в %1/sshd pam_nologin стоит только в auth, а вход по ключу auth не "
          u"проходит. "_s.arg(m_pam) + fix}},
        {"commented out", "#account required pam_nologin.so\naccount required pam_unix.so # pam_nologin.so\n",
         "#account required pam_nologin.so\n", {}, {}, {xrdpGap, sshGap}},
        {"only an include of another type", "session include xrdp-account\n", {}, "xrdp-account",
         "account required pam_nologin.so\n", {xrdpGap}},
        {"another nologin file", "account required pam_nologin.so file=/etc/nologin.other\n", {}, {}, {}, {xrdpGap}},
        {"its own file named", "account required pam_nologin.so file=" + QFile::encodeName(m_nologin) + "\n", {}, {}, {},
         {}},
        {"optional is no refusal", "account optional pam_nologin.so\n", {}, {}, {}, {xrdpGap}},
        {"a continued line", "account \\\n  required pam_nologin.so\n", {}, {}, {}, {}},
        {"includes in a circle", "@include xrdp-account\n", {}, "xrdp-account", "@include xrdp-sesman\n", {xrdpGap}},
    };
    for (const auto &c : cases) {
        QDir(m_pam).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(m_pam));
        m_home.write(u"pam.d/common-auth"_s, kCommonAuth);
        m_home.write(u"pam.d/common-account"_s, kCommonAccount);
        m_home.write(u"pam.d/common-session"_s, "session required pam_unix.so\n");
        m_home.write(u"pam.d/common-password"_s, "password required pam_unix.so\n");
        m_home.write(u"pam.d/nologin-check"_s, "account required pam_nologin.so\n");
        if (!c.xrdp.isEmpty())
            m_home.write(u"pam.d/xrdp-sesman"_s, c.xrdp);
        if (!c.sshd.isEmpty())
            m_home.write(u"pam.d/sshd"_s, c.sshd);
        if (!c.extraName.isEmpty())
            m_home.write(u"pam.d/"_s + QString::fromLatin1(c.extraName), c.extra);

        QFile::remove(m_nologin);
        const ConsoleRun r = run(u"reg add \""_s + kKey + u"\" /v WinStationsDisabled /t REG_SZ /d 1 /f"_s);
        EXPECT_EQ(r.exitCode, 0) << c.name;
        QString expected = kDone;
        for (const QString &line : c.lines)
            expected += line + u"\r\n"_s;
        EXPECT_EQ(r.text, expected) << c.name;
        EXPECT_TRUE(blocked()) << c.name;

        // Which lines are failures.
        const std::vector<NologinLine> lines = nologinWarnings(checkNologinServices(m_pam, m_nologin), m_nologin);
        ASSERT_EQ(lines.size(), static_cast<size_t>(c.lines.size())) << c.name;
        for (size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i].failure, lines[i].text != sshNote) << c.name << " " << i;

        // Unblocking and querying say nothing of PAM.
        EXPECT_EQ(run(u"reg add \""_s + kKey + u"\" /v WinStationsDisabled /t REG_SZ /d 0 /f"_s).text, kDone) << c.name;
        EXPECT_EQ(run(u"reg query \""_s + kKey + u"\" /v WinStationsDisabled"_s).text, queryAnswer({}, '0')) << c.name;
    }

    // A block that failed says nothing of PAM either.
    m_home.write(u"pam.d/xrdp-sesman"_s, kXrdpSesman);
    ASSERT_TRUE(QDir(m_home.path()).mkdir(u"nologin"_s));
    const ConsoleRun failed = run(u"reg add \""_s + kKey + u"\" /v WinStationsDisabled /t REG_SZ /d 1 /f"_s);
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_FALSE(failed.text.contains(u"pam_nologin"_s)) << qPrintable(failed.text);
}

