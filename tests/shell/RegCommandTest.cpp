// reg: WinStationsDisabled of the terminal server as the nologin file, with a
// real file of the test's own (DOZORIX_NOLOGIN), links and folders planted in
// its place, and the answers reg.exe gives.

#include "shell/CommandRunner.h"
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
