// Reading a finished archive back before its backup is deleted: archives of
// our writer and of Info-ZIP's zip, with and without a password, whole and
// damaged.

#include "filecopy/support/FileTestSupport.h"
#include "support/TestSupport.h"
#include "zip/FWZipWriter.h"
#include "zip/ZipVerify.h"

#include <QDir>
#include <QProcess>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

class ZipReadBack : public ::testing::Test
{
protected:
    ZipReadBack()
    {
        writeFile(m_dir.filePath(u"base/1Cv8.1CD"_s), mixedBytes(3 * 1024 * 1024 + 17, 7));
        writeFile(m_dir.filePath(u"base/Журнал/1Cv8.lgf"_s), textBytes(200000, 3));
        writeFile(m_dir.filePath(u"base/empty.dat"_s), QByteArray());
        writeFile(m_dir.filePath(u"base/random.bin"_s), randomBytes(70000, 5));
    }

    QString ours(const QString &password)
    {
        const QString archive = m_dir.filePath(u"ours-"_s + password + u".zip"_s);
        QFile::remove(archive);
        TFWZipWriter zip;
        zip.SetDefaultPassword(password);
        zip.SetDefaultDescriptor(!password.isEmpty());
        zip.AddFolder(u"base"_s, m_dir.filePath(u"base"_s), QString(), true);
        EXPECT_EQ(zip.BuildZip(archive), brDone);
        return archive;
    }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(ZipReadBack, WholeArchivesPassWithAndWithoutAPassword)
{
    const struct {
        const char *name;
        QString archive;
        const char *password;
    } cases[] = {
        {"ours", ours(QString()), ""},
        {"ours with a password", ours(u"пароль 1"_s), "пароль 1"},
    };
    for (const auto &c : cases) {
        const ZipVerifyResult r = verifyZipArchive(c.archive, QString::fromUtf8(c.password));
        EXPECT_TRUE(r.ok) << c.name << ": " << r.error.toStdString();
        EXPECT_GE(r.entries, 4) << c.name;
    }
    // Info-ZIP's own archives read back the same.
    for (const char *password : {"", "secret"}) {
        const QString archive = m_dir.filePath(u"zip-%1.zip"_s.arg(QString::fromLatin1(password)));
        QStringList args = {u"-r"_s, u"-q"_s, archive, u"base"_s};
        if (*password)
            args = QStringList{u"-P"_s, QString::fromLatin1(password)} + args;
        QProcess zip;
        zip.setWorkingDirectory(m_dir.path());
        zip.start(u"zip"_s, args);
        ASSERT_TRUE(zip.waitForFinished(60000));
        ASSERT_EQ(zip.exitCode(), 0);
        const ZipVerifyResult r = verifyZipArchive(archive, QString::fromLatin1(password));
        EXPECT_TRUE(r.ok) << password << ": " << r.error.toStdString();
    }
}

TEST_F(ZipReadBack, ADamagedArchiveOrAWrongPasswordFails)
{
    const QString plain = ours(QString());
    const QByteArray bytes = readFile(plain);
    const auto damaged = [&](const char *name, const std::function<void(QByteArray &)> &change) {
        QByteArray b = bytes;
        change(b);
        const QString path = m_dir.filePath(QString::fromLatin1(name));
        writeFile(path, b);
        return path;
    };
    const struct {
        const char *name;
        QString archive;
        const char *password;
    } cases[] = {
        // A flipped bit inside the big entry's data.
        {"flipped", damaged("flipped.zip", [](QByteArray &b) { b[b.size() / 3] = static_cast<char>(b[b.size() / 3] ^ 0x10); }), ""},
        {"cut short", damaged("short.zip", [](QByteArray &b) { b.truncate(b.size() / 2); }), ""},
        {"empty", damaged("empty.zip", [](QByteArray &b) { b.clear(); }), ""},
        {"wrong password", ours(u"верный"_s), "неверный"},
        {"missing", m_dir.filePath(u"missing.zip"_s), ""},
    };
    for (const auto &c : cases) {
        const ZipVerifyResult r = verifyZipArchive(c.archive, QString::fromUtf8(c.password));
        EXPECT_FALSE(r.ok) << c.name;
        EXPECT_TRUE(r.error.contains(c.archive)) << c.name << ": " << r.error.toStdString();
    }
}
