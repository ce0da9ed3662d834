// The real program as a process: a second copy ends while the first runs on,
// SIGTERM ends the program through its ordinary exit, and the lock dies with
// a killed process.
#include "TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <csignal>

using namespace dozorix::test;

namespace {

struct Console {
    QProcess process;

    void start(const QString &home, const QStringList &args = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DOZORIX_HOME"), home);
        env.insert(QStringLiteral("DOZORIX_INSTANCE_SCOPE"), home);
        env.insert(QStringLiteral("DOZORIX_TIME_SCALE"), QStringLiteral("10"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
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
