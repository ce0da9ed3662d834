// The start-up warning about a settings file with passwords that group or
// others may read: every mode against every password key, the exact line,
// and the command it names, run by a real shell, closing the file.
#include "common/IniFile.h"
#include "common/ProgramDir.h"
#include "common/SettingsExposure.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>

using namespace dozorix;
using dozorix::test::ProgramHome;

namespace {

mode_t modeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

QString expectedLine(const QString &path, const char *mode)
{
    return QStringLiteral("Файл настроек %1 хранит пароли и доступен для чтения не только владельцу (права %2): "
                          "выполните chmod 600 %1")
        .arg(path, QString::fromLatin1(mode));
}

TEST(SettingsExposure, EveryPasswordKeyIsKnown)
{
    const auto keys = settingsPasswordKeys();
    auto has = [&](const char *section, const char *key) {
        return std::find(keys.begin(), keys.end(), std::pair{QString::fromLatin1(section), QString::fromLatin1(key)})
            != keys.end();
    };
    EXPECT_TRUE(has("settings", "E-mail_Password"));
    EXPECT_TRUE(has("settings", "PassMS"));
    EXPECT_TRUE(has("BACKUP", "PassFTP"));
    EXPECT_TRUE(has("BACKUP", "ZipArhivShifr"));
    for (int n = 1; n <= 14; ++n) {
        EXPECT_TRUE(has(QStringLiteral("Base%1").arg(n).toLatin1().constData(), "PassK")) << n;
        EXPECT_TRUE(has(QStringLiteral("Base%1").arg(n).toLatin1().constData(), "PassF")) << n;
    }
    EXPECT_EQ(keys.size(), 4u + 2u * 14u);
}

// Modes × contents: a line exactly when a password is set and group or
// others may read the file.
TEST(SettingsExposure, ModesAgainstPasswordsInEverySection)
{
    const struct {
        const char *what;
        QByteArray ini;
        bool password;
    } contents[] = {
        {"the shipped file: every password empty",
         "[settings]\r\nE-mail_Password=\r\nPassMS=\r\n[BACKUP]\r\nPassFTP=\r\nZipArhivShifr=\r\n", false},
        {"empty quotes and blanks", "[settings]\r\nE-mail_Password=\"\"\r\n[Base3]\r\nPassK=   \r\n", false},
        {"a password under a key of no password", "[settings]\r\nE-mail_Username=secret\r\n[BACKUP]\r\nLoginFTP=x\r\n",
         false},
        {"a password key in another section", "[BACKUP]\r\nE-mail_Password=secret\r\n[Base15]\r\nPassK=secret\r\n", false},
        {"E-mail_Password of settings", "[settings]\r\nE-mail_Password=smtp\r\n", true},
        {"PassMS of settings", "[settings]\r\nPassMS=p@ss\r\n", true},
        {"PassFTP of BACKUP", "[BACKUP]\r\nPassFTP=ftp\r\n", true},
        {"ZipArhivShifr of BACKUP", "[BACKUP]\r\nZipArhivShifr=ночь\r\n", true},
        {"PassK of Base1", "[Base1]\r\nPassK=ключ\r\n", true},
        {"PassF of Base14, keys in other case", "[base14]\r\npassf=1\r\n", true},
    };
    const struct {
        mode_t mode;
        const char *text;
        bool exposed;
    } modes[] = {
        {0600, "0600", false}, {0400, "0400", false}, {0620, "0620", false}, {0640, "0640", true},
        {0644, "0644", true},  {0604, "0604", true},  {0666, "0666", true},
    };
    for (const auto &c : contents) {
        for (const auto &m : modes) {
            SCOPED_TRACE(std::string(c.what) + ", mode " + m.text);
            ProgramHome home;
            home.write(QStringLiteral("Example.ini"), c.ini);
            const QString path = home.file(QStringLiteral("Example.ini"));
            ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), m.mode), 0);
            const QString line = settingsExposureWarning();
            if (c.password && m.exposed) {
                EXPECT_EQ(line, expectedLine(path, m.text));
            } else {
                EXPECT_TRUE(line.isEmpty()) << line.toStdString();
            }
            EXPECT_EQ(modeOf(path), m.mode) << "the check changes nothing";
        }
    }
}

TEST(SettingsExposure, NoFileNoLine)
{
    ProgramHome home;
    EXPECT_TRUE(settingsExposureWarning().isEmpty());
    EXPECT_FALSE(settingsFileExists());
}

// The file is found in any letter case, named as it is on disk, and the
// command in the line, run by a shell as the administrator would paste it,
// closes the file even when its folder's name holds blanks and quotes.
TEST(SettingsExposure, TheNamedCommandClosesTheFile)
{
    QTemporaryDir top;
    ASSERT_TRUE(top.isValid());
    const QString folder = top.filePath(QStringLiteral("Dozorix it's \"ours\" $HOME"));
    ASSERT_TRUE(QDir().mkpath(folder));
    test::ScopedEnv home("DOZORIX_HOME", QFile::encodeName(folder));
    resetProgramDir();
    const QString path = folder + QStringLiteral("/example.INI");
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[BACKUP]\r\nPassFTP=ftp\r\n");
    }
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0644), 0);
    const QString line = settingsExposureWarning();
    ASSERT_TRUE(line.startsWith(QStringLiteral("Файл настроек %1 хранит пароли").arg(path))) << line.toStdString();
    const qsizetype at = line.indexOf(QStringLiteral("chmod 600 "));
    ASSERT_GT(at, 0);
    QProcess sh;
    sh.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), line.mid(at)});
    ASSERT_TRUE(sh.waitForFinished(10000));
    EXPECT_EQ(sh.exitCode(), 0) << sh.readAllStandardError().toStdString();
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_TRUE(settingsExposureWarning().isEmpty());
    resetProgramDir();
}

} // namespace
