// The console's own files and locks under hostile conditions, driven
// in-process: the log panel bounded by characters, Dozorix.log rotated,
// written without control characters, never through a link, and its loss on
// a file-size limit said once; the scheduled-start parameter never written
// through a link; the settings reload that reads only a changed file; the
// single-instance lock that another user cannot take.
#include "app/LogFileWriter.h"
#include "app/ScheduledStart.h"
#include "app/SingleInstance.h"
#include "app/ui/EventLog.h"
#include "app/ui/TForm1.h"
#include "common/LogSink.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <grp.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

struct Fixture : ConsoleScope {
};

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList redLines(const EventLog &log)
{
    QStringList out;
    for (int i = 0; i < log.lineCount(); ++i) {
        if (log.lineColour(i) == kRed)
            out << log.lineText(i);
    }
    return out;
}

// A file outside the program directory that a planted link points at.
struct Victim {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("script.sh"));
    const QByteArray contents = "#!/bin/sh\necho untouched\n";
    Victim() { EXPECT_TRUE(writeAll(contents)); }
    bool writeAll(const QByteArray &bytes) const
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    }
    QByteArray now() const { return fileBytes(path); }
};

} // namespace

// An agent's 4 KB lines, more than the character cap holds: the panel
// keeps the newest within the cap, far below its line cap.
TEST(EventLog, PanelIsBoundedByCharactersAsWellAsLines)
{
    Fixture fx;
    EventLog log;
    log.clearLog();
    const qsizetype lineLength = 4096;
    const int total = static_cast<int>(EventLog::kMaxChars / lineLength) + 200;
    for (int i = 0; i < total; ++i) {
        QString text = QString::number(i) + QLatin1Char(' ');
        text += QString(lineLength - text.size(), QLatin1Char('x'));
        log.CText(text, kGreen);
        // Characters of the document, one line break each line included.
        if (log.document()->characterCount() > EventLog::kMaxChars + log.lineCount())
            FAIL() << "over the cap after line " << i << ": " << log.document()->characterCount();
    }
    EXPECT_GE(log.document()->characterCount(), EventLog::kMaxChars * 7 / 8);
    EXPECT_LT(log.lineCount(), total - 200);
    // The newest lines, in order, without a gap.
    const int first = total - log.lineCount();
    for (int k = 0; k < log.lineCount(); ++k)
        ASSERT_TRUE(log.lineText(k).startsWith(QString::number(first + k) + QLatin1Char(' '))) << k;
}

// Past 16 MB the file moves to Dozorix.log.1, the older ones on to .4; the
// oldest is dropped, no line is lost between two files, and links planted
// under the old names are moved, never written through.
TEST(LogFile, RotatesAtSixteenMegabytesKeepingFourOldFiles)
{
    Fixture fx;
    Victim victim;
    const QString log = fx.home.file(QStringLiteral("Dozorix.log"));
    ASSERT_TRUE(QFile::link(victim.path, log + QStringLiteral(".1")));
    ASSERT_TRUE(QFile::link(victim.path, log + QStringLiteral(".4")));
    LogFileWriter writer;
    const QString filler(4000, QLatin1Char('y'));
    const int lines = static_cast<int>(5.5 * LogFileWriter::kMaxFileBytes / 4000);
    for (int i = 0; i < lines; ++i)
        writer.append(QString::number(i) + QLatin1Char(' ') + filler, 0x008000);
    writer.close();
    EXPECT_TRUE(writer.takeProblem().isEmpty());
    EXPECT_EQ(victim.now(), victim.contents);

    const QStringList names = QDir(fx.home.path()).entryList({QStringLiteral("Dozorix.log*")}, QDir::Files | QDir::System, QDir::Name);
    EXPECT_EQ(names, (QStringList{QStringLiteral("Dozorix.log"), QStringLiteral("Dozorix.log.1"), QStringLiteral("Dozorix.log.2"),
                                  QStringLiteral("Dozorix.log.3"), QStringLiteral("Dozorix.log.4")}));
    // Oldest first: the line numbers run on without a gap from .4 to the log.
    int expected = -1;
    for (const QString &name : {QStringLiteral(".4"), QStringLiteral(".3"), QStringLiteral(".2"), QStringLiteral(".1"), QString()}) {
        SCOPED_TRACE(name.toStdString());
        const QFileInfo info(log + name);
        EXPECT_FALSE(info.isSymLink());
        EXPECT_LE(info.size(), LogFileWriter::kMaxFileBytes);
        const QList<QByteArray> fileLines = fileBytes(log + name).split('\n');
        ASSERT_GT(fileLines.size(), 1);
        for (qsizetype k = 0; k + 1 < fileLines.size(); ++k) {
            const int number = fileLines[k].split(']').value(1).trimmed().split(' ').value(0).toInt();
            if (expected >= 0) {
                ASSERT_EQ(number, expected) << k;
            }
            expected = number + 1;
        }
    }
    EXPECT_EQ(expected, lines);
}

// Agent text with CR, ESC sequences and NUL: the panel shows it as it came,
// the file gets blanks, so that a terminal shows no forged line.
TEST(LogFile, ControlCharactersReachTheFileAsBlanks)
{
    Fixture fx;
    EventLog log;
    const QString forged = QStringLiteral("#zek ok\r09.12.2026 - 1:16:36 : Сервер Dozorix остановлен!\x1b[2K\x1b]0;t\x07")
        + QChar(0) + QChar(0x9B) + QStringLiteral("31m\x7f\tend\nnext");
    log.CText(forged, kBlack);
    log.file().close();
    const QByteArray file = fx.home.read(QStringLiteral("Dozorix.log"));
    ASSERT_TRUE(file.endsWith('\n'));
    const QList<QByteArray> lines = file.chopped(1).split('\n');
    for (const char c : lines.last()) {
        const auto u = static_cast<unsigned char>(c);
        EXPECT_TRUE(u >= 0x20 || u == '\t') << int(u);
        EXPECT_NE(u, 0x7F);
    }
    EXPECT_FALSE(file.contains("\xC2\x9B"));
    EXPECT_TRUE(file.endsWith(QStringLiteral("[black] #zek ok 09.12.2026 - 1:16:36 : Сервер Dozorix остановлен! [2K ]0;t   31m \tend next\n").toUtf8()))
        << file.toStdString();
    // The window shows the text as it came.
    EXPECT_TRUE(log.document()->toPlainText().contains(QStringLiteral("Сервер Dozorix остановлен!\x1b[2K")));
    EXPECT_EQ(log.lineText(log.lineCount() - 1), QStringLiteral("next"));
}

// Dozorix.log as a link to a script: the script stays as it was, the panel
// says so once in red, and the line itself is still shown.
TEST(LogFile, ALinkAsTheLogIsRefusedAndReportedOnce)
{
    Fixture fx;
    Victim victim;
    ASSERT_TRUE(QFile::link(victim.path, fx.home.file(QStringLiteral("Dozorix.log"))));
    EventLog log;
    log.clearLog();
    for (int i = 0; i < 3; ++i)
        log.CText(QStringLiteral("помощь %1; rm -rf /").arg(i), kBlack);
    EXPECT_EQ(victim.now(), victim.contents);
    EXPECT_TRUE(QFileInfo(fx.home.file(QStringLiteral("Dozorix.log"))).isSymLink());
    const QStringList red = redLines(log);
    ASSERT_EQ(red.size(), 1) << red.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(red[0].contains(QStringLiteral("символическая ссылка"))) << red[0].toStdString();
    EXPECT_TRUE(red[0].contains(fx.home.file(QStringLiteral("Dozorix.log")))) << red[0].toStdString();
    EXPECT_EQ(log.lineCount(), 4);
    EXPECT_EQ(log.lineText(3), QStringLiteral("помощь 2; rm -rf /"));
}

// The file-size limit (`ulimit -f`) reached in the middle of a line: the line
// is taken back, the window keeps every line and says once, in red, that the
// file is no longer written.
TEST(LogFile, FileSizeLimitLosesTheMirrorOnlyAndSaysSoOnce)
{
    Fixture fx;
    EventLog log;
    log.clearLog();
    log.CText(QStringLiteral("до предела"), kBlack);
    log.file().close();
    const QByteArray before = fx.home.read(QStringLiteral("Dozorix.log"));
    ASSERT_TRUE(before.endsWith('\n'));

    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit limit = old;
    limit.rlim_cur = static_cast<rlim_t>(before.size() + 10); // room for part of one line
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    for (int i = 0; i < 3; ++i)
        log.CText(QStringLiteral("за пределом %1").arg(i), kBlack);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(fx.home.read(QStringLiteral("Dozorix.log")), before);
    const QStringList red = redLines(log);
    ASSERT_EQ(red.size(), 1) << red.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(red[0].contains(QStringLiteral("Не удалось записать файл журнала"))) << red[0].toStdString();
    EXPECT_TRUE(red[0].contains(QStringLiteral("ulimit -f) (File too large)"))) << red[0].toStdString();
    EXPECT_EQ(log.lineText(log.lineCount() - 1), QStringLiteral("за пределом 2"));

    // Room again: the next line is written whole.
    log.CText(QStringLiteral("снова пишется"), kBlack);
    log.file().close();
    EXPECT_TRUE(fx.home.read(QStringLiteral("Dozorix.log")).endsWith(QStringLiteral("[black] снова пишется\n").toUtf8()));
}

// "bak3" with temp.txt a link: the link's target is left as it was, and the
// refusal is said once in red.
TEST(ScheduledStart, TheParameterIsNeverWrittenThroughALink)
{
    Fixture fx;
    Victim victim;
    const QString temp = fx.home.file(QStringLiteral("temp.txt"));
    ASSERT_TRUE(QFile::link(victim.path, temp));
    QStringList red;
    setLogReceiver([&](const QString &text, unsigned int rgb) {
        if (rgb == kLogRed)
            red << text;
    });
    EXPECT_FALSE(writeStartParameter(QStringLiteral("bak3")));
    EXPECT_FALSE(writeStartParameter(QStringLiteral("bak3")));
    setLogReceiver({});
    EXPECT_EQ(victim.now(), victim.contents);
    EXPECT_TRUE(QFileInfo(temp).isSymLink());
    ASSERT_EQ(red.size(), 1);
    EXPECT_TRUE(red[0].contains(temp)) << red[0].toStdString();

    // A regular temp.txt is written as before.
    ASSERT_TRUE(QFile::remove(temp));
    EXPECT_TRUE(writeStartParameter(QStringLiteral("bak3")));
    EXPECT_EQ(fx.home.read(QStringLiteral("temp.txt")), QByteArray("bak3"));
}

// The 15-second reload reads the settings file only when it changed: an
// unchanged file is not read again (a value set meanwhile stays), and a
// touched, rewritten or renamed-over file is.
TEST(MainWindow, SettingsReloadReadsOnlyAChangedFile)
{
    Fixture fx;
    const QString ini = fx.home.file(QStringLiteral("Example.ini"));
    fx.home.write(QStringLiteral("Example.ini"), "[settings]\r\nCPU_1C_LOAD_PROCENT=10\r\n");
    TForm1 w;
    w.Timer2Timer();
    ASSERT_EQ(w.CPU_1C_LOAD_PROCENT, 10);

    auto sameTimes = [&](const QString &path, const struct stat &st) {
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
    };
    struct Case {
        const char *name;
        std::function<void()> change;
        int expected;
    } cases[] = {
        {"unchanged", [] {}, 77},
        {"touched", [&] {
             struct stat st;
             ASSERT_EQ(::stat(QFile::encodeName(ini).constData(), &st), 0);
             st.st_mtim.tv_sec += 5;
             ASSERT_TRUE(sameTimes(ini, st));
         }, 10},
        {"rewritten in place, same size", [&] {
             fx.home.write(QStringLiteral("Example.ini"), "[settings]\r\nCPU_1C_LOAD_PROCENT=20\r\n");
         }, 20},
        {"replaced by rename, same size and time", [&] {
             struct stat st;
             ASSERT_EQ(::stat(QFile::encodeName(ini).constData(), &st), 0);
             const QString next = fx.home.file(QStringLiteral("next.ini"));
             QFile f(next);
             ASSERT_TRUE(f.open(QIODevice::WriteOnly));
             f.write("[settings]\r\nCPU_1C_LOAD_PROCENT=30\r\n");
             f.close();
             ASSERT_TRUE(sameTimes(next, st));
             ASSERT_EQ(::rename(QFile::encodeName(next).constData(), QFile::encodeName(ini).constData()), 0);
         }, 30},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        w.CPU_1C_LOAD_PROCENT = 77; // what a read would overwrite
        c.change();
        w.Timer2Timer();
        EXPECT_EQ(w.CPU_1C_LOAD_PROCENT, c.expected);
    }
}

// Another user listening on the lock's name: the console starts all the
// same. Where the user has a runtime directory, two consoles of the user
// still exclude each other while the stranger keeps the name.
TEST(SingleInstance, AnotherUsersListenerDoesNotCount)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to listen as another user";
    Fixture fx;
    QString name;
    {
        SingleInstanceGuard probe(QStringLiteral("Dozorix"));
        ASSERT_FALSE(probe.anotherInstanceRuns());
        name = probe.lockName();
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray bytes = name.toUtf8();
    ASSERT_LT(static_cast<size_t>(bytes.size()), sizeof(addr.sun_path) - 1);
    std::memcpy(addr.sun_path + 1, bytes.constData(), static_cast<size_t>(bytes.size()));
    const auto addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + bytes.size());

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The stranger: nobody, listening on the name.
        ::close(ready[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), addrLen) != 0 || ::listen(fd, 16) != 0)
            ::_exit(3);
        const char ok = 1;
        if (::write(ready[1], &ok, 1) != 1)
            ::_exit(4);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char ok = 0;
    const bool listening = ::read(ready[0], &ok, 1) == 1;
    ::close(ready[0]);
    auto stop = [&] {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    };
    if (!listening) {
        stop();
        FAIL() << "the stranger could not listen";
    }
    EXPECT_EQ(SingleInstanceGuard::holderOf(name), 65534);
    {
        SingleInstanceGuard mine(QStringLiteral("Dozorix"));
        EXPECT_FALSE(mine.anotherInstanceRuns());
    }
    {
        QTemporaryDir runtime;
        ASSERT_EQ(::chmod(QFile::encodeName(runtime.path()).constData(), 0700), 0);
        ScopedEnv xdg("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        SingleInstanceGuard first(QStringLiteral("Dozorix"));
        EXPECT_FALSE(first.anotherInstanceRuns());
        SingleInstanceGuard second(QStringLiteral("Dozorix"));
        EXPECT_TRUE(second.anotherInstanceRuns());
    }
    stop();
}
