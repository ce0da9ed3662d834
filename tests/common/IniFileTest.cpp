#include "common/IniFile.h"
#include "common/LogSink.h"
#include "common/ProgramDir.h"
#include "common/TextCodec.h"
#include "support/TestSupport.h"
#include "support/Unprivileged.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

#include <sys/resource.h>
#include <sys/stat.h>
#include <cerrno>
#include <csignal>
#include <cstring>

using namespace dozorix;
using dozorix::test::ProgramHome;

namespace {

// Runs fn as on a full disk: the process may write no more than 16 bytes to
// a file (a longer write fails with EFBIG). False when the limit cannot be set.
bool onAFullDisk(const std::function<void()> &fn)
{
    struct rlimit old;
    if (getrlimit(RLIMIT_FSIZE, &old) != 0)
        return false;
    struct rlimit tiny = old;
    tiny.rlim_cur = 16;
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    if (setrlimit(RLIMIT_FSIZE, &tiny) != 0) {
        std::signal(SIGXFSZ, previous);
        return false;
    }
    fn();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    return true;
}

const QString kSettings = QStringLiteral("settings");

} // namespace

TEST(IniFile, ReadRulesForTextBooleansAndIntegers)
{
    ProgramHome home;
    home.write(QStringLiteral("Example.ini"),
               "; comment line\r\n"
               "[Settings]\r\n"
               "  Trey = 2  \r\n"
               "AvtoZapusk=true\r\n"
               "CPU_1C_LOAD_PROCENT=abc\r\n"
               "CPU_ALL_LOAD_PROCENT= 75 \r\n"
               "E-mail_HostSmtp=\"smtp.example.ru\"\r\n"
               "E-mail_Username='admin'\r\n"
               "MsgOnlyOneQuote=\"half\r\n"
               "Twice=\"\"x\"\"\r\n"
               "Empty=\r\n"
               "Negative=-5\r\n"
               "TooBig=99999999999\r\n"
               "[BACKUP]\r\n"
               "Trey=0\r\n");
    IniFile ini(settingsFilePath());
    ASSERT_TRUE(ini.fileExisted());

    struct BoolCase {
        const char *key;
        bool def;
        bool expected;
    } bools[] = {
        {"Trey", false, true},        // 2 is an integer other than 0
        {"TREY", false, true},        // keys ignore case
        {"AvtoZapusk", false, false}, // "true" is no integer: the default
        {"AvtoZapusk", true, true},
        {"Missing", true, true},
        {"Empty", true, true},
    };
    for (const auto &c : bools)
        EXPECT_EQ(ini.readBool(kSettings, QString::fromLatin1(c.key), c.def), c.expected) << c.key << c.def;

    EXPECT_EQ(ini.readInteger(kSettings, QStringLiteral("CPU_1C_LOAD_PROCENT"), 0), 0);
    EXPECT_EQ(ini.readInteger(kSettings, QStringLiteral("CPU_1C_LOAD_PROCENT"), 42), 42);
    EXPECT_EQ(ini.readInteger(kSettings, QStringLiteral("CPU_ALL_LOAD_PROCENT"), 0), 75);
    EXPECT_EQ(ini.readInteger(kSettings, QStringLiteral("Negative"), 0), -5);
    EXPECT_EQ(ini.readInteger(kSettings, QStringLiteral("TooBig"), 7), 7);

    EXPECT_EQ(ini.readString(kSettings, QStringLiteral("e-mail_hostsmtp"), {}), QStringLiteral("smtp.example.ru"));
    EXPECT_EQ(ini.readString(kSettings, QStringLiteral("E-mail_Username"), {}), QStringLiteral("admin"));
    EXPECT_EQ(ini.readString(kSettings, QStringLiteral("MsgOnlyOneQuote"), {}), QStringLiteral("\"half"));
    EXPECT_EQ(ini.readString(kSettings, QStringLiteral("Twice"), {}), QStringLiteral("\"x\"")); // one pair only
    EXPECT_EQ(ini.readString(kSettings, QStringLiteral("Empty"), QStringLiteral("d")), QString());
    EXPECT_EQ(ini.readString(QStringLiteral("backup"), QStringLiteral("Trey"), {}), QStringLiteral("0"));
    EXPECT_EQ(ini.readString(QStringLiteral("Nowhere"), QStringLiteral("Trey"), QStringLiteral("d")), QStringLiteral("d"));
}

TEST(IniFile, LongValuesAreCutOnReading)
{
    ProgramHome home;
    const QByteArray longValue(5000, 'x');
    home.write(QStringLiteral("Example.ini"), "[BACKUP]\nMsgDo=" + longValue + "\n");
    IniFile ini(settingsFilePath());
    EXPECT_EQ(ini.readString(QStringLiteral("BACKUP"), QStringLiteral("MsgDo"), {}).size(), 2047);
}

TEST(IniFile, FileNameIgnoresCase)
{
    ProgramHome home;
    home.write(QStringLiteral("example.ini"), "[settings]\nPort1=6000\n");
    EXPECT_TRUE(settingsFileExists());
    IniFile ini(settingsFilePath());
    ini.writeBool(kSettings, QStringLiteral("FirstStart"), true);
    ASSERT_TRUE(ini.save());
    // Still one file, and the other readers see the write.
    EXPECT_EQ(QDir(home.path()).entryList(QDir::Files), QStringList{QStringLiteral("example.ini")});
    IniFile again(home.file(QStringLiteral("Example.ini")).replace(QStringLiteral("Example"), QStringLiteral("example")));
    EXPECT_TRUE(again.readBool(kSettings, QStringLiteral("FirstStart"), false));
    EXPECT_EQ(again.readString(kSettings, QStringLiteral("Port1"), {}), QStringLiteral("6000"));
}

TEST(IniFile, WritersSkipAMissingFileUnlessAskedToCreate)
{
    ProgramHome home;
    {
        IniFile ini(settingsFilePath());
        EXPECT_FALSE(ini.fileExisted());
        EXPECT_EQ(ini.readString(kSettings, QStringLiteral("Port1"), QStringLiteral("5005")), QStringLiteral("5005"));
        ini.writeString(kSettings, QStringLiteral("Port1"), QStringLiteral("6000"));
        EXPECT_FALSE(ini.save());
        EXPECT_FALSE(settingsFileExists());
    }
    {
        IniFile ini(settingsFilePath(), IniFile::WriteMode::CreateIfMissing);
        ini.writeString(QStringLiteral("IPTerminal"), QStringLiteral("setting"), QStringLiteral("192.168.0.10"));
        ASSERT_TRUE(ini.save());
    }
    EXPECT_EQ(home.read(QStringLiteral("Example.ini")), QByteArray("[IPTerminal]\r\nsetting=192.168.0.10\r\n"));
}

// The file the console creates holds passwords: its owner's alone, whatever
// the umask. A file that exists keeps its mode on every save: the console
// makes no existing file unreadable to anyone it was readable to (its owner
// first of all), it says so at start instead (SettingsExposure.h).
TEST(IniFile, CreatedFileIsTheOwnersAloneAnExistingOneKeepsItsMode)
{
    for (const mode_t mask : {mode_t(022), mode_t(002), mode_t(0)}) {
        SCOPED_TRACE(mask);
        ProgramHome home;
        const mode_t previous = ::umask(mask);
        IniFile ini(settingsFilePath(), IniFile::WriteMode::CreateIfMissing);
        ini.writeString(QStringLiteral("BACKUP"), QStringLiteral("PassFTP"), QStringLiteral("ftp"));
        const bool saved = ini.save();
        ::umask(previous);
        ASSERT_TRUE(saved) << ini.error().toStdString();
        EXPECT_EQ(test::FileIdentity::of(home.file(QStringLiteral("Example.ini"))).mode, 0600u);
        EXPECT_EQ(IniFile(settingsFilePath()).readString(QStringLiteral("BACKUP"), QStringLiteral("PassFTP"), {}),
                  QStringLiteral("ftp"));
    }
    for (const mode_t mode : {mode_t(0644), mode_t(0640), mode_t(0664), mode_t(0600), mode_t(0604)}) {
        SCOPED_TRACE(mode);
        ProgramHome home;
        home.write(QStringLiteral("Example.ini"), "[BACKUP]\r\nPassFTP=old\r\n");
        const QString path = home.file(QStringLiteral("Example.ini"));
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
        IniFile ini(settingsFilePath());
        ini.writeString(QStringLiteral("BACKUP"), QStringLiteral("PassFTP"), QStringLiteral("new"));
        ASSERT_TRUE(ini.save()) << ini.error().toStdString();
        EXPECT_EQ(home.read(QStringLiteral("Example.ini")), QByteArray("[BACKUP]\r\nPassFTP=new\r\n"));
        EXPECT_EQ(test::FileIdentity::of(path).mode, mode);
    }
}

TEST(IniFile, WritesKeepLayoutAndAddKeysToTheirSection)
{
    ProgramHome home;
    home.write(QStringLiteral("Example.ini"),
               "[settings]\n; keep me\nTrey=0\n\n[BACKUP]\nZipArhiv=1\n");
    IniFile ini(settingsFilePath());
    ini.writeBool(kSettings, QStringLiteral("TREY"), true);         // existing key, other case
    ini.writeString(kSettings, QStringLiteral("Port1"), QStringLiteral("5005")); // new key, existing section
    ini.writeString(QStringLiteral("Base3"), QStringLiteral("Psevdo3"), QStringLiteral("Склад"));
    ini.writeString(QStringLiteral("BACKUP"), QStringLiteral("MsgDo"), QStringLiteral("line1\r\nline2"));
    ASSERT_TRUE(ini.save());
    EXPECT_EQ(QString::fromUtf8(home.read(QStringLiteral("Example.ini"))),
              QStringLiteral("[settings]\n; keep me\nTrey=1\nPort1=5005\n\n[BACKUP]\nZipArhiv=1\n"
                             "MsgDo=line1 line2\n\n[Base3]\nPsevdo3=Склад\n"));
}

TEST(IniFile, ReadsWindows1251FileAndWritesUtf8)
{
    ProgramHome home;
    home.write(QStringLiteral("Example.ini"), "[BACKUP]\r\n" + toCp1251(u"MsgDo=Закройте 1С!") + "\r\n");
    IniFile ini(settingsFilePath());
    EXPECT_EQ(ini.readString(QStringLiteral("BACKUP"), QStringLiteral("MsgDo"), {}), QStringLiteral("Закройте 1С!"));
    ini.writeString(QStringLiteral("BACKUP"), QStringLiteral("MsgPosle"), QStringLiteral("Можно работать"));
    ASSERT_TRUE(ini.save());
    const QByteArray bytes = home.read(QStringLiteral("Example.ini"));
    EXPECT_TRUE(isValidUtf8(bytes));
    IniFile again(settingsFilePath());
    EXPECT_EQ(again.readString(QStringLiteral("BACKUP"), QStringLiteral("MsgDo"), {}), QStringLiteral("Закройте 1С!"));
    EXPECT_EQ(again.readString(QStringLiteral("BACKUP"), QStringLiteral("MsgPosle"), {}), QStringLiteral("Можно работать"));
}

TEST(IniFile, AFailedWriteLeavesTheFileWhole)
{
    ProgramHome home;
    const QByteArray original = "[settings]\nPort1=5005\n";
    home.write(QStringLiteral("Example.ini"), original);
    IniFile ini(settingsFilePath());
    ini.writeString(kSettings, QStringLiteral("MsgDo"), QString(100000, QLatin1Char('z')));

    // Simulate a full disk: the process may not write more than a few bytes.
    bool saved = true;
    ASSERT_TRUE(onAFullDisk([&] { saved = ini.save(); }));

    EXPECT_FALSE(saved);
    EXPECT_FALSE(ini.error().isEmpty());
    EXPECT_EQ(home.read(QStringLiteral("Example.ini")), original);
    // No temporary file is left behind.
    EXPECT_EQ(QDir(home.path()).entryList(QDir::Files).size(), 1);
}

TEST(IniFile, ParseInteger)
{
    struct Case {
        const char *text;
        bool ok;
        int value;
    } cases[] = {
        {"0", true, 0}, {"15", true, 15}, {"+3", true, 3}, {"-2147483648", true, INT_MIN},
        {"2147483647", true, INT_MAX}, {"2147483648", false, 0}, {"", false, 0}, {"-", false, 0},
        {"1.5", false, 0}, {"12abc", false, 0}, {"abc", false, 0}, {"0x10", false, 0},
    };
    for (const auto &c : cases) {
        int v = 0;
        EXPECT_EQ(IniFile::parseInteger(QString::fromLatin1(c.text), &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

namespace {

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The default settings file shipped with the program (UTF-8, LF).
QByteArray shippedSettings()
{
    return fileBytes(QStringLiteral(DOZORIX_SOURCE_DIR "/data/Example.ini"));
}

QByteArray utf16(const QString &text, QStringConverter::Encoding encoding)
{
    QStringEncoder encoder(encoding);
    return encoder.encode(text);
}

} // namespace

// A settings file pasted together from this server's UTF-8 file and lines of
// an old Windows server in Windows-1251: every line is read in its own
// encoding, and a save writes the Windows-1251 lines as UTF-8, keeping each
// line's end (LF in the shipped part, CR LF in the pasted one).
TEST(IniFile, MixedFileKeepsEveryLineInItsOwnEncodingAndLineEnd)
{
    const QByteArray shipped = shippedSettings();
    ASSERT_TRUE(shipped.contains("Zadergka=Без задержки\n"));
    ASSERT_TRUE(shipped.contains("ERRORBackupSendFTP=1\n"));
    ASSERT_FALSE(shipped.contains('\r'));

    struct Case {
        const char *name;
        QByteArray pasted;   // as written by the old server
        QString pastedText;  // what it says
    } cases[] = {
        {"a Base1 section in Windows-1251",
         "\r\n[Base1]\r\n" + toCp1251(u"Psevdo1=Склад") + "\r\n" + toCp1251(u"StrokaCon=D:\\Базы\\Склад") + "\r\nRadioF=1\r\n",
         QStringLiteral("\r\n[Base1]\r\nPsevdo1=Склад\r\nStrokaCon=D:\\Базы\\Склад\r\nRadioF=1\r\n")},
        {"one stray Windows-1251 byte in a comment", "; \xB9 5\n", QStringLiteral("; № 5\n")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ProgramHome home;
        home.write(QStringLiteral("Example.ini"), shipped + c.pasted);
        IniFile ini(settingsFilePath());
        EXPECT_EQ(ini.readString(QStringLiteral("BACKUP"), QStringLiteral("Zadergka"), {}), QStringLiteral("Без задержки"));
        EXPECT_EQ(ini.readString(kSettings, QStringLiteral("Port1"), {}), QStringLiteral("5005"));
        const bool base1 = c.pasted.contains("[Base1]");
        if (base1) {
            EXPECT_EQ(ini.readString(QStringLiteral("Base1"), QStringLiteral("Psevdo1"), {}), QStringLiteral("Склад"));
            EXPECT_EQ(ini.readString(QStringLiteral("Base1"), QStringLiteral("StrokaCon"), {}), QStringLiteral("D:\\Базы\\Склад"));
        }

        // The start-up write, and one into the pasted section.
        ini.writeBool(kSettings, QStringLiteral("FirstStart"), true);
        if (base1)
            ini.writeString(QStringLiteral("Base1"), QStringLiteral("LoginF"), QStringLiteral("Кладовщик"));
        ASSERT_TRUE(ini.save()) << ini.error().toStdString();

        QByteArray expected = shipped;
        expected.replace("ERRORBackupSendFTP=1\n", "ERRORBackupSendFTP=1\nFirstStart=1\n");
        expected += c.pastedText.toUtf8();
        if (base1)
            expected += QStringLiteral("LoginF=Кладовщик\r\n").toUtf8();
        EXPECT_EQ(QString::fromUtf8(home.read(QStringLiteral("Example.ini"))), QString::fromUtf8(expected));

        IniFile again(settingsFilePath());
        EXPECT_EQ(again.readString(QStringLiteral("BACKUP"), QStringLiteral("Zadergka"), {}), QStringLiteral("Без задержки"));
    }
}

// Files with a byte-order mark are read in its encoding. A save keeps the
// encoding and the mark: Notepad's "Unicode" file stays UTF-16, so that it
// still opens as it was for whoever edits it on a share.
TEST(IniFile, ByteOrderMarkFilesAreReadAndWrittenInTheirEncoding)
{
    const QString before = QStringLiteral("[settings]\r\nTrey=1\r\nPort1=6000\r\n\r\n[BACKUP]\r\n"
                                          "Zadergka=Без задержки\r\nMsgDo=Закройте 1С!\r\n");
    const QString after = QStringLiteral("[settings]\r\nTrey=1\r\nPort1=6000\r\nFirstStart=1\r\n\r\n[BACKUP]\r\n"
                                         "Zadergka=Без задержки\r\nMsgDo=Закройте 1С!\r\nMsgPosle=Можно работать\r\n");
    auto lf = [](QString s) { return s.replace(QLatin1String("\r\n"), QLatin1String("\n")); };
    struct Case {
        const char *name;
        QByteArray bytesBefore;
        QByteArray bytesAfter;
    } cases[] = {
        {"Notepad Unicode: UTF-16 LE, CR LF", "\xFF\xFE" + utf16(before, QStringConverter::Utf16LE),
         "\xFF\xFE" + utf16(after, QStringConverter::Utf16LE)},
        {"UTF-16 BE, CR LF", "\xFE\xFF" + utf16(before, QStringConverter::Utf16BE),
         "\xFE\xFF" + utf16(after, QStringConverter::Utf16BE)},
        {"UTF-8 with a mark, CR LF", "\xEF\xBB\xBF" + before.toUtf8(), "\xEF\xBB\xBF" + after.toUtf8()},
        {"UTF-8 with a mark, LF", "\xEF\xBB\xBF" + lf(before).toUtf8(), "\xEF\xBB\xBF" + lf(after).toUtf8()},
        {"UTF-16 LE, LF", "\xFF\xFE" + utf16(lf(before), QStringConverter::Utf16LE),
         "\xFF\xFE" + utf16(lf(after), QStringConverter::Utf16LE)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ProgramHome home;
        home.write(QStringLiteral("Example.ini"), c.bytesBefore);
        IniFile ini(settingsFilePath());
        EXPECT_TRUE(ini.readBool(kSettings, QStringLiteral("Trey"), false));
        EXPECT_EQ(ini.readInteger(kSettings, QStringLiteral("Port1"), 5005), 6000);
        EXPECT_EQ(ini.readString(QStringLiteral("BACKUP"), QStringLiteral("Zadergka"), {}), QStringLiteral("Без задержки"));
        EXPECT_EQ(ini.sections(), (QStringList{QStringLiteral("settings"), QStringLiteral("BACKUP")}));

        ini.writeBool(kSettings, QStringLiteral("FirstStart"), true);
        ini.writeString(QStringLiteral("BACKUP"), QStringLiteral("MsgPosle"), QStringLiteral("Можно работать"));
        ASSERT_TRUE(ini.save()) << ini.error().toStdString();
        EXPECT_EQ(home.read(QStringLiteral("Example.ini")).toHex(' '), c.bytesAfter.toHex(' '));

        IniFile again(settingsFilePath());
        EXPECT_EQ(again.readString(QStringLiteral("BACKUP"), QStringLiteral("MsgPosle"), {}), QStringLiteral("Можно работать"));
        EXPECT_TRUE(again.readBool(kSettings, QStringLiteral("FirstStart"), false));
    }
}

// A file its owner made read-only is not replaced: the save fails, says why
// and leaves the file as it was. A file without any write permission is
// read-only for root too, as the read-only attribute is on Windows.
TEST(IniFile, ReadOnlyFileIsLeftAsItIs)
{
    ProgramHome home;
    const QByteArray original = "[settings]\nPort1=5005\n";
    home.write(QStringLiteral("Example.ini"), original);
    const QString path = home.file(QStringLiteral("Example.ini"));
    ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    const test::FileIdentity before = test::FileIdentity::of(path);

    IniFile ini(settingsFilePath());
    ini.writeString(kSettings, QStringLiteral("Port1"), QStringLiteral("6000"));
    EXPECT_FALSE(ini.save());
    EXPECT_TRUE(ini.error().contains(QStringLiteral("только для чтения"))) << ini.error().toStdString();
    EXPECT_TRUE(ini.error().contains(path)) << ini.error().toStdString();
    EXPECT_EQ(home.read(QStringLiteral("Example.ini")), original);
    const test::FileIdentity now = test::FileIdentity::of(path);
    EXPECT_EQ(now.inode, before.inode);
    EXPECT_EQ(now.mode, 0444u);
    EXPECT_EQ(QDir(home.path()).entryList(QDir::Files), QStringList{QStringLiteral("Example.ini")});
}

// Root replaces a file of another user: the new file keeps that owner, its
// group and its mode.
TEST(IniFile, ReplacedFileKeepsOwnerAndMode)
{
    if (!test::Unprivileged::asRoot())
        GTEST_SKIP() << "giving a file to another user needs root";
    ProgramHome home;
    home.write(QStringLiteral("Example.ini"), "[settings]\nPort1=5005\n");
    const QString path = home.file(QStringLiteral("Example.ini"));
    ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);
    const test::FileIdentity before = test::FileIdentity::of(path);

    IniFile ini(settingsFilePath());
    ini.writeString(kSettings, QStringLiteral("Port1"), QStringLiteral("6000"));
    ASSERT_TRUE(ini.save()) << ini.error().toStdString();
    EXPECT_EQ(home.read(QStringLiteral("Example.ini")), QByteArray("[settings]\nPort1=6000\n"));
    const test::FileIdentity now = test::FileIdentity::of(path);
    EXPECT_NE(now.inode, before.inode) << "replaced, not written in place";
    EXPECT_EQ(now.uid, 65534u);
    EXPECT_EQ(now.gid, 65534u);
    EXPECT_EQ(now.mode, 0640u);
}

// The permission cases as an unprivileged user, whom the permissions bind
// (root passes them): a separate program does the write, under setpriv as
// nobody when the tests run as root.
TEST(IniFile, PermissionCasesOfAnUnprivilegedWriter)
{
    using test::Unprivileged;
    if (!Unprivileged::available())
        GTEST_SKIP() << "running as root without /usr/bin/setpriv: no way to become an unprivileged user";

    enum class Owner { Writer, Root };
    struct Case {
        const char *name;
        mode_t folderMode;
        Owner folderOwner;
        mode_t fileMode;
        Owner fileOwner;
        gid_t fileGroup;     // when the file's owner is root: nobody's group 65534 lets nobody write
        qint64 fsizeLimit;   // 0: none
        bool saved;
        const char *reason;  // part of the reported reason when not saved
        bool sameInode;      // written in place
    } cases[] = {
        {"read-only file in a writable folder", 0755, Owner::Writer, 0444, Owner::Writer, 0, 0, false,
         "только для чтения", true},
        {"writable file in a read-only folder", 0555, Owner::Root, 0644, Owner::Writer, 0, 0, true, "", true},
        {"writable file in a read-only folder, disk full", 0555, Owner::Root, 0644, Owner::Writer, 0, 64, false,
         "", true},
        {"file the writer may write but not read", 0755, Owner::Writer, 0200, Owner::Writer, 0, 0, false,
         "прочитать", true},
        {"writable file in a writable folder", 0755, Owner::Writer, 0640, Owner::Writer, 0, 0, true, "", false},
        {"root's file writable through its group, in a writable folder", 0755, Owner::Writer, 0664, Owner::Root,
         65534, 0, true, "", true},
    };
    const QByteArray original = "[settings]\nPort1=5005\n\n[Base1]\nPsevdo1=Склад\n";
    std::string notRun;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.fileOwner == Owner::Root && !Unprivileged::asRoot()) {
            notRun += std::string(notRun.empty() ? "" : "; ") + c.name;
            continue;
        }
        QTemporaryDir top;
        ASSERT_TRUE(top.isValid());
        ASSERT_EQ(::chmod(QFile::encodeName(top.path()).constData(), 0755), 0);
        // The writer runs a copy of the program that it can surely reach.
        const QString child = top.filePath(QStringLiteral("ini-write-child"));
        ASSERT_TRUE(QFile::copy(QStringLiteral(INI_WRITE_CHILD), child));
        const QString folder = top.filePath(QStringLiteral("settings"));
        ASSERT_TRUE(QDir().mkpath(folder));
        const QString path = folder + QStringLiteral("/Example.ini");
        {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(original);
        }
        if (c.fileOwner == Owner::Writer) {
            ASSERT_TRUE(Unprivileged::own(path));
        } else {
            ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 0, c.fileGroup), 0);
        }
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), c.fileMode), 0);
        if (c.folderOwner == Owner::Writer) {
            ASSERT_TRUE(Unprivileged::own(folder));
        }
        test::ScopedMode folderMode(folder, c.folderMode); // back to writable for the clean-up
        const test::FileIdentity before = test::FileIdentity::of(path);

        QStringList args;
        if (c.fsizeLimit > 0)
            args << QStringLiteral("--fsize-limit") << QString::number(c.fsizeLimit);
        args << path << QStringLiteral("Base1") << QStringLiteral("LoginF") << QStringLiteral("Кладовщик склада");
        QProcess p;
        Unprivileged::start(p, child, args);
        ASSERT_TRUE(p.waitForFinished(30000));
        const QString output = QString::fromUtf8(p.readAllStandardOutput());
        ASSERT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), c.saved ? 0 : 1) << output.toStdString();

        const QByteArray now = fileBytes(path);
        if (c.saved) {
            EXPECT_EQ(QString::fromUtf8(now), QString::fromUtf8(original + "LoginF=Кладовщик склада\n"));
        } else {
            EXPECT_EQ(now, original);
            EXPECT_TRUE(output.contains(path)) << output.toStdString();
            EXPECT_TRUE(output.contains(QString::fromUtf8(c.reason))) << output.toStdString();
        }
        const test::FileIdentity after = test::FileIdentity::of(path);
        EXPECT_EQ(after.uid, before.uid);
        EXPECT_EQ(after.gid, before.gid);
        EXPECT_EQ(after.mode, before.mode);
        if (c.sameInode) {
            EXPECT_EQ(after.inode, before.inode);
        }
        EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("Example.ini")})
            << "no temporary file left behind";
    }
    if (!notRun.empty())
        GTEST_SKIP() << "not run without root (a file of another owner needs root to set up): " << notRun;
}

// A failed save is one red line in the event log, with the reason; the same
// failure is not repeated by the next attempts, another one is, and after a
// save succeeded the first one is reported again.
TEST(IniFile, AFailedSaveIsReportedOnceUntilASaveSucceeds)
{
    ProgramHome home;
    home.write(QStringLiteral("Example.ini"), "[settings]\nPort1=5005\n");
    const QString path = home.file(QStringLiteral("Example.ini"));
    struct Line {
        QString text;
        unsigned int rgb;
    };
    std::vector<Line> log;
    setLogReceiver([&](const QString &text, unsigned int rgb) { log.push_back({text, rgb}); });
    struct ReceiverReset {
        ~ReceiverReset() { setLogReceiver({}); }
    } reset;

    int attempt = 0;
    auto save = [&] {
        IniFile ini(settingsFilePath());
        ini.writeInteger(kSettings, QStringLiteral("Port1"), 6000 + ++attempt);
        return saveSettingsFile(ini);
    };
    const auto readOnly = QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    const auto writable = readOnly | QFileDevice::WriteOwner;

    ASSERT_TRUE(QFile::setPermissions(path, readOnly));
    EXPECT_FALSE(save());
    EXPECT_FALSE(save());
    EXPECT_FALSE(save());
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rgb, static_cast<unsigned int>(kLogRed));
    EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^\d\d\.\d\d\.\d{4} - \d{1,2}:\d\d:\d\d : Не удалось сохранить настройки: )"))
                    .match(log[0].text)
                    .hasMatch())
        << log[0].text.toStdString();
    EXPECT_TRUE(log[0].text.contains(QStringLiteral("файл «") + path + QStringLiteral("» только для чтения")))
        << log[0].text.toStdString();
    EXPECT_TRUE(log[0].text.endsWith(QStringLiteral(": нет прав доступа (Permission denied)")))
        << log[0].text.toStdString();

    // Another failure of the same file: a full disk, as the writer sees it.
    ASSERT_TRUE(QFile::setPermissions(path, writable));
    {
        IniFile ini(settingsFilePath());
        ini.writeString(kSettings, QStringLiteral("MsgDo"), QString(100000, QLatin1Char('z')));
        bool saved = true;
        ASSERT_TRUE(onAFullDisk([&] { saved = saveSettingsFile(ini); }));
        EXPECT_FALSE(saved);
    }
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(log[1].text.endsWith(QStringLiteral("(ulimit -f) (File too large)"))) << log[1].text.toStdString();

    // A save that succeeds says nothing; the first failure is news again.
    EXPECT_TRUE(save());
    EXPECT_EQ(log.size(), 2u);
    ASSERT_TRUE(QFile::setPermissions(path, readOnly));
    EXPECT_FALSE(save());
    EXPECT_FALSE(save());
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2].text.mid(log[2].text.indexOf(QStringLiteral(" : "))), log[0].text.mid(log[0].text.indexOf(QStringLiteral(" : "))));

    // The existence rule skips a save silently.
    ASSERT_TRUE(QFile::setPermissions(path, writable));
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_FALSE(save());
    EXPECT_EQ(log.size(), 3u);
    EXPECT_FALSE(QFile::exists(path));
}
