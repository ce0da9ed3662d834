// The real program as a process: a second copy ends while the first runs on,
// SIGTERM ends the program through its ordinary exit, the lock dies with a
// killed process, and what a start does to the settings file on disk.
#include "common/TextCodec.h"
#include "support/TestSupport.h"
#include "support/Unprivileged.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringEncoder>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace dozorix::test;

namespace {

struct Console {
    QProcess process;
    // The file-size limit the console starts with (`ulimit -f`), in bytes; 0: none.
    rlim_t fileSizeLimit = 0;

    enum class User { Me, Unprivileged };

    void start(const QString &home, const QStringList &args = {}, User user = User::Me)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DOZORIX_HOME"), home);
        env.insert(QStringLiteral("DOZORIX_INSTANCE_SCOPE"), home);
        env.insert(QStringLiteral("DOZORIX_TIME_SCALE"), QStringLiteral("10"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (fileSizeLimit != 0) {
            const rlim_t limit = fileSizeLimit;
            process.setChildProcessModifier([limit] {
                struct rlimit r;
                if (::getrlimit(RLIMIT_FSIZE, &r) == 0) {
                    r.rlim_cur = limit;
                    ::setrlimit(RLIMIT_FSIZE, &r);
                }
            });
        }
        if (user == User::Unprivileged)
            Unprivileged::start(process, QStringLiteral(DOZORIX_PROGRAM), args);
        else
            process.start(QStringLiteral(DOZORIX_PROGRAM), args);
        process.waitForStarted();
    }
    ~Console()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
};

QString logOf(const ProgramHome &home)
{
    return QString::fromUtf8(home.read(QStringLiteral("Dozorix.log")));
}

int countOf(const QString &text, const QString &what)
{
    return static_cast<int>(text.count(what));
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Starts the console in the folder, waits for its start line, ends it with
// SIGTERM and returns its log.
QString startAndEnd(const QString &folder, Console::User user = Console::User::Me)
{
    Console console;
    console.start(folder, {}, user);
    auto log = [&] { return QString::fromUtf8(fileBytes(folder + QStringLiteral("/Dozorix.log"))); };
    const bool started = waitUntil([&] { return log().contains(QStringLiteral("успешно стартовала")); });
    EXPECT_TRUE(started) << log().toStdString();
    ::kill(static_cast<pid_t>(console.process.processId()), SIGTERM);
    EXPECT_TRUE(console.process.waitForFinished(15000));
    EXPECT_EQ(console.process.exitCode(), 0);
    return log();
}

} // namespace

TEST(Program, SecondCopyEndsFirstRunsOnAndSigtermEndsTheFirst)
{
    ProgramHome home;
    Console first;
    first.start(home.path());
    ASSERT_TRUE(waitUntil([&] { return logOf(home).contains(QStringLiteral("успешно стартовала")); }));

    Console second;
    second.start(home.path());
    ASSERT_TRUE(second.process.waitForFinished(15000));
    EXPECT_EQ(second.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.process.exitCode(), 0);
    EXPECT_EQ(first.process.state(), QProcess::Running);
    // The second copy never got as far as the splash: one start line only.
    EXPECT_EQ(countOf(logOf(home), QStringLiteral("успешно стартовала")), 1);

    const QString firstPid = QString::number(first.process.processId());
    ::kill(static_cast<pid_t>(first.process.processId()), SIGTERM);
    ASSERT_TRUE(first.process.waitForFinished(15000));
    EXPECT_EQ(first.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.process.exitCode(), 0);
    const QStringList lines = logOf(home).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_TRUE(lines.last().contains(QStringLiteral(" ") + firstPid + QStringLiteral(" [green] Идет завершение работы Dozorix... ")))
        << lines.last().toStdString();
}

TEST(Program, LockDiesWithAKilledProcessAndSigintEnds)
{
    ProgramHome home;
    {
        Console crashed;
        crashed.start(home.path());
        ASSERT_TRUE(waitUntil([&] { return logOf(home).contains(QStringLiteral("успешно стартовала")); }));
        crashed.process.kill(); // SIGKILL: no chance to clean up
        crashed.process.waitForFinished();
    }
    Console next;
    next.start(home.path());
    ASSERT_TRUE(waitUntil([&] { return countOf(logOf(home), QStringLiteral("успешно стартовала")) == 2; }));
    EXPECT_EQ(next.process.state(), QProcess::Running);
    ::kill(static_cast<pid_t>(next.process.processId()), SIGINT);
    ASSERT_TRUE(next.process.waitForFinished(15000));
    EXPECT_EQ(next.process.exitCode(), 0);
    EXPECT_TRUE(logOf(home).trimmed().endsWith(QStringLiteral("Идет завершение работы Dozorix...")));
}

// What one real start does to settings files brought over from elsewhere:
// the start-up write adds "FirstStart" and keeps every other line as it
// reads, in the file's encoding and line ends.
TEST(Program, StartKeepsEverySettingsFileReadable)
{
    const QByteArray shipped = fileBytes(QStringLiteral(DOZORIX_SOURCE_DIR "/data/Example.ini"));
    ASSERT_TRUE(shipped.contains("Zadergka=Без задержки\n"));
    ASSERT_TRUE(shipped.contains("ERRORBackupSendFTP=1\n"));
    QByteArray shippedAfter = shipped;
    shippedAfter.replace("ERRORBackupSendFTP=1\n", "ERRORBackupSendFTP=1\nFirstStart=1\n");

    auto utf16le = [](const QString &text) -> QByteArray {
        QStringEncoder encoder(QStringConverter::Utf16LE);
        return encoder.encode(text);
    };
    const QString notepad = QStringLiteral("[settings]\r\nTrey=0\r\n\r\n[BACKUP]\r\nZadergka=Без задержки\r\n");
    const QString notepadAfter = QStringLiteral("[settings]\r\nTrey=0\r\nFirstStart=1\r\n\r\n[BACKUP]\r\nZadergka=Без задержки\r\n");

    struct Case {
        const char *name;
        QByteArray before;
        QByteArray after;
    } cases[] = {
        {"the shipped file with a Base1 section and a comment from an old server in Windows-1251",
         shipped + "; " + dozorix::toCp1251(u"с сервера \u21161") + "\r\n[Base1]\r\n" + dozorix::toCp1251(u"Psevdo1=Склад") + "\r\n",
         shippedAfter + QStringLiteral("; с сервера №1\r\n[Base1]\r\nPsevdo1=Склад\r\n").toUtf8()},
        {"a Notepad Unicode file", "\xFF\xFE" + utf16le(notepad), "\xFF\xFE" + utf16le(notepadAfter)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ProgramHome home;
        home.write(QStringLiteral("Example.ini"), c.before);
        const QString log = startAndEnd(home.path());
        EXPECT_FALSE(log.contains(QStringLiteral("[red]"))) << log.toStdString();
        const QByteArray after = home.read(QStringLiteral("Example.ini"));
        EXPECT_EQ(after.toHex(' '), c.after.toHex(' ')) << QString::fromUtf8(after).toStdString();
    }
}

// A settings file its owner made read-only: the start leaves it as it is
// and says so once, in red, with the reason.
TEST(Program, StartWithAReadOnlySettingsFileReportsItOnce)
{
    ProgramHome home;
    const QByteArray original = "[settings]\r\nTrey=0\r\n";
    home.write(QStringLiteral("Example.ini"), original);
    const QString path = home.file(QStringLiteral("Example.ini"));
    ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    const QString log = startAndEnd(home.path());
    EXPECT_EQ(home.read(QStringLiteral("Example.ini")), original);
    const QStringList red = log.split(QLatin1Char('\n')).filter(QStringLiteral(" [red] "));
    ASSERT_EQ(red.size(), 1) << log.toStdString();
    EXPECT_TRUE(red[0].contains(QStringLiteral(" : Не удалось сохранить настройки: "))) << red[0].toStdString();
    EXPECT_TRUE(red[0].contains(path)) << red[0].toStdString();
    EXPECT_TRUE(red[0].contains(QStringLiteral("только для чтения"))) << red[0].toStdString();
}

// An unprivileged user's console whose program folder is read-only but whose
// settings file is writable: the start-up write goes into the file in place.
TEST(Program, StartInAReadOnlyFolderWritesTheSettingsFileInPlace)
{
    if (!Unprivileged::available())
        GTEST_SKIP() << "running as root without /usr/bin/setpriv: no way to become an unprivileged user";
    ProgramHome home;
    ASSERT_EQ(::chmod(QFile::encodeName(home.path()).constData(), 0755), 0);
    const QString folder = home.file(QStringLiteral("console"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString ini = folder + QStringLiteral("/Example.ini");
    const QString logFile = folder + QStringLiteral("/Dozorix.log");
    for (const QString &path : {ini, logFile}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        if (path == ini)
            f.write("[settings]\nTrey=0\n");
        f.close();
        ASSERT_TRUE(Unprivileged::own(path));
    }
    const FileIdentity before = FileIdentity::of(ini);
    QString log;
    {
        ScopedMode readOnly(folder, 0555);
        log = startAndEnd(folder, Console::User::Unprivileged);
    }
    EXPECT_FALSE(log.contains(QStringLiteral("[red]"))) << log.toStdString();
    EXPECT_EQ(fileBytes(ini), QByteArray("[settings]\nTrey=0\nFirstStart=1\n"));
    const FileIdentity after = FileIdentity::of(ini);
    EXPECT_EQ(after.inode, before.inode);
    EXPECT_EQ(after.uid, before.uid);
    EXPECT_EQ(after.mode, before.mode);
    EXPECT_EQ(QDir(folder).entryList(QDir::Files), (QStringList{QStringLiteral("Dozorix.log"), QStringLiteral("Example.ini")}));
}

// The terminal that started the console closes (SIGHUP): the same ordinary
// exit as SIGTERM, its line last in the log.
TEST(Program, HangupEndsThroughTheOrdinaryExit)
{
    ProgramHome home;
    Console console;
    console.start(home.path());
    ASSERT_TRUE(waitUntil([&] { return logOf(home).contains(QStringLiteral("успешно стартовала")); }));
    ::kill(static_cast<pid_t>(console.process.processId()), SIGHUP);
    ASSERT_TRUE(console.process.waitForFinished(15000));
    EXPECT_EQ(console.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(console.process.exitCode(), 0);
    EXPECT_TRUE(logOf(home).trimmed().endsWith(QStringLiteral("[green] Идет завершение работы Dozorix...")))
        << logOf(home).toStdString();
}

// `ulimit -f 64` with Dozorix.log at the limit: the line that crosses it is
// taken back and the console runs on and ends normally.
TEST(Program, FileSizeLimitCostsTheLogMirrorOnly)
{
    ProgramHome home;
    const rlim_t limit = 64 * 1024;
    QByteArray old;
    while (old.size() + 100 < static_cast<qsizetype>(limit) - 1000)
        old += "01.01.2026 00:00:00.000 1 [black] " + QByteArray(65, 'o') + '\n';
    home.write(QStringLiteral("Dozorix.log"), old);
    Console console;
    console.fileSizeLimit = limit;
    console.start(home.path());
    ASSERT_TRUE(waitUntil([&] { return logOf(home).contains(QStringLiteral("успешно стартовала")); }))
        << logOf(home).toStdString();
    // Whatever room is left, the next line does not fit.
    const QByteArray before = home.read(QStringLiteral("Dozorix.log"));
    struct rlimit tight;
    ASSERT_EQ(::prlimit(static_cast<pid_t>(console.process.processId()), RLIMIT_FSIZE, nullptr, &tight), 0);
    tight.rlim_cur = static_cast<rlim_t>(before.size() + 16);
    ASSERT_EQ(::prlimit(static_cast<pid_t>(console.process.processId()), RLIMIT_FSIZE, &tight, nullptr), 0);
    ::kill(static_cast<pid_t>(console.process.processId()), SIGTERM);
    ASSERT_TRUE(console.process.waitForFinished(15000));
    EXPECT_EQ(console.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(console.process.exitCode(), 0);
    const QByteArray after = home.read(QStringLiteral("Dozorix.log"));
    EXPECT_EQ(after, before) << "no half-written line";
    EXPECT_TRUE(after.startsWith(old));
    EXPECT_LE(after.size(), static_cast<qsizetype>(limit));
}

// A FIFO named Dozorix.log: the console neither waits for a reader nor
// writes into it, gets through its start (the splash marks the settings
// file) and hears SIGTERM. Should it hang, the wait fails and the console
// is killed.
TEST(Program, FifoAsTheLogNeitherHangsItNorDeafensIt)
{
    ProgramHome home;
    home.write(QStringLiteral("Example.ini"), "[settings]\r\nTrey=0\r\n");
    const QString fifo = home.file(QStringLiteral("Dozorix.log"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
    Console console;
    console.start(home.path());
    const bool started = waitUntil([&] { return home.read(QStringLiteral("Example.ini")).contains("FirstStart=1"); }, 15000);
    EXPECT_TRUE(started);
    ::kill(static_cast<pid_t>(console.process.processId()), SIGTERM);
    EXPECT_TRUE(console.process.waitForFinished(15000));
    EXPECT_EQ(console.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(console.process.exitCode(), 0);
    struct stat st;
    ASSERT_EQ(::lstat(QFile::encodeName(fifo).constData(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}
