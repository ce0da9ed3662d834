// A login or a message is only ever characters: whatever it holds, exactly
// the one intended program runs, and nothing else.

#include "common/SystemHelpers.h"
#include "common/TextCodec.h"
#include "shell/BuiltinTools.h"
#include "shell/CmdInterpreter.h"
#include "shell/CommandRunner.h"
#include "shell/WinSessionTools.h"
#include "support/ChildProcesses.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <mutex>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

// The hostile values; MARK is replaced by the marker file's path.
const QStringList kHostile = {
    u"x\" & /usr/bin/touch MARK & \""_s,
    u"x && /usr/bin/touch MARK"_s,
    u"x; /usr/bin/touch MARK"_s,
    u"x | /usr/bin/touch MARK"_s,
    u"$(/usr/bin/touch MARK)"_s,
    u"`/usr/bin/touch MARK`"_s,
    u"x^\" & /usr/bin/touch MARK"_s,
    u"x\\\" & /usr/bin/touch MARK & \\\""_s,
    u"x\" > MARK & \""_s,
    u"x\" /IM * /F \""_s,
    u"%1 %2 & /usr/bin/touch MARK"_s,
    u"x\r\n/usr/bin/touch MARK"_s,
};

// A stand-in for msg.exe that records every call.
struct MsgRecorder {
    std::mutex mutex;
    QList<QStringList> calls;

    MsgRecorder()
    {
        // The real msg registers with the other tools before the first
        // command: take its place after that, and give it back afterwards.
        registerBuiltinTools();
        CmdInterpreter::registerBuiltin(u"msg"_s, [this](CmdContext &ctx) {
            std::lock_guard lock(mutex);
            calls.append(ctx.args());
            return 0;
        }, CmdInterpreter::BuiltinKind::WindowsTool);
    }
    ~MsgRecorder() { registerMsg(); }

    QList<QStringList> take()
    {
        std::lock_guard lock(mutex);
        return std::exchange(calls, {});
    }
};

class Injection : public ::testing::Test
{
protected:
    QString hostile(const QString &value) const { return QString(value).replace(u"MARK"_s, m_marker); }
    bool markerAppeared() const { return QFile::exists(m_marker) || QFile::exists(m_home.file(u"MARK"_s)); }

    ProgramHome m_home;
    QString m_marker = m_home.file(u"marker"_s);
    ScopedInstance<ProcessTable> m_table{std::make_shared<DescendantsTable>()};
};

} // namespace

TEST_F(Injection, LoginInTheTaskkillFilterStaysOneValue)
{
    NamedChild client(u"1cv8c"_s, u"/bin/sleep"_s, {u"120"_s});
    const QString none = u"ИНФОРМАЦИЯ: Задачи, отвечающие заданным критериям, отсутствуют.\r\n"_s;
    for (const QString &value : kHostile) {
        const QString login = hostile(value);
        LaunchShellHidden(CommandLine(
            u"/C chcp 1251 && TASKKILL /F /FI \"USERNAME eq %1\" /IM 1cv8* /T > temp.txt"_s, {login}));
        ASSERT_TRUE(waitForBackgroundCommands(10000));
        EXPECT_EQ(fromCp1251(m_home.read(u"temp.txt"_s)), none) << qPrintable(login);
        EXPECT_FALSE(markerAppeared()) << qPrintable(login);
        EXPECT_TRUE(client.running()) << qPrintable(login);
    }
}

TEST_F(Injection, MessageTextReachesMsgAsOneArgument)
{
    MsgRecorder msg;
    const QString msgPath = GetSystemDir() + u"\\msg.exe"_s;
    for (const QString &value : kHostile) {
        const QString text = hostile(value);

        // The notice to every session (through the shell)...
        LaunchShellHidden(CommandLine(u"/C  chcp 1251 && msg * /server:%1 \"%2\" "_s, {u"srv"_s, text}));
        ASSERT_TRUE(waitForBackgroundCommands(10000));
        EXPECT_EQ(msg.take(), (QList<QStringList>{{u"msg"_s, u"*"_s, u"/server:srv"_s, text}})) << qPrintable(text);

        // ...and the message window's direct start.
        EXPECT_TRUE(RunProgram(msgPath, CommandLine(u"* /server:%1 \"%2\""_s, {u"srv"_s, text}), GetSystemDir() + u"\\"_s,
                               true, false, true));
        EXPECT_EQ(msg.take(), (QList<QStringList>{{msgPath, u"*"_s, u"/server:srv"_s, text}})) << qPrintable(text);
        EXPECT_FALSE(markerAppeared()) << qPrintable(text);
    }
}

TEST_F(Injection, ValueGivenToALinuxProgramIsOneArgument)
{
    for (const QString &value : kHostile) {
        const QString name = QString(value).replace(u"/"_s, u"_"_s); // a file name in the working directory
        RunAndCapture(CommandLine(u"/usr/bin/touch \"%1\""_s, {name}), m_home.path());
        EXPECT_TRUE(QFile::exists(m_home.file(name))) << qPrintable(name);
        EXPECT_FALSE(markerAppeared()) << qPrintable(name);
        QFile::remove(m_home.file(name));
    }
}
