// The 1C server agents running here, read from the real process table, and
// which of them serves a cluster address.

#include "backup/DesignerDump.h"
#include "backup/ServerAgents.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

using namespace dozorix;
using namespace Qt::StringLiterals;

namespace {

void makeProgram(const QString &path)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\n");
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QString hostName()
{
    char buffer[256] = {};
    ::gethostname(buffer, sizeof buffer - 1);
    return QString::fromLocal8Bit(buffer);
}

} // namespace

// A process of the test's own, started as the packages' units start the
// agent: by its full path in a version folder, with its ports.
TEST(ServerAgents, TheRunningAgentsVersionAndPortsAreRead)
{
    QTemporaryDir opt;
    const QString program = opt.path() + u"/1cv8/x86_64/8.3.22.1709/ragent"_s;
    QDir().mkpath(QFileInfo(program).path());
    ASSERT_TRUE(QFile::link(u"/usr/bin/python3"_s, program));
    QProcess agent;
    agent.start(program, {u"-c"_s, u"import time; time.sleep(60)"_s, u"-daemon"_s, u"-port"_s, u"1640"_s,
                          u"-regport"_s, u"1641"_s, u"-range"_s, u"1660:1691"_s});
    ASSERT_TRUE(agent.waitForStarted(5000));
    const qint64 pid = agent.processId();

    std::vector<ServerAgent> found;
    for (int i = 0; i < 50; ++i) { // until the exec has named it
        found = runningServerAgents();
        if (std::any_of(found.begin(), found.end(), [&](const ServerAgent &a) { return a.pid == pid; }))
            break;
        QThread::msleep(50);
    }
    agent.kill();
    agent.waitForFinished(5000);
    const auto mine = std::find_if(found.begin(), found.end(), [&](const ServerAgent &a) { return a.pid == pid; });
    ASSERT_NE(mine, found.end());
    EXPECT_EQ(mine->program, program);
    EXPECT_EQ(mine->version, u"8.3.22.1709"_s);
    EXPECT_EQ(mine->port, 1640);
    EXPECT_EQ(mine->regPort, 1641);

    // A process folder with nothing of the kind, or none at all: no agents, no failure.
    QTemporaryDir empty;
    EXPECT_TRUE(runningServerAgents(empty.path()).empty());
    EXPECT_TRUE(runningServerAgents(empty.path() + u"/missing"_s).empty());
}

TEST(ServerAgents, TheAgentOfTheClusterAddressGivesTheVersion)
{
    const std::vector<ServerAgent> agents{
        {10, u"/opt/1cv8/x86_64/8.3.22.1709/ragent"_s, u"8.3.22.1709"_s, 1540, 1541},
        {11, u"/opt/1cv8/x86_64/8.3.24.1467/ragent"_s, u"8.3.24.1467"_s, 1640, 1641},
        {12, u"/usr/local/bin/ragent"_s, QString(), 1740, 1741},
    };
    const struct {
        QString address;
        const char *version; // empty: the newest will be taken
        const char *reasonPart;
    } cases[] = {
        {u"localhost"_s, "8.3.22.1709", "порт кластера 1541"},
        {u"localhost:1641"_s, "8.3.24.1467", "8.3.24.1467/ragent, порт кластера 1641"},
        {u"tcp://127.0.0.1:1641"_s, "8.3.24.1467", "порт кластера 1641"},
        {u"[::1]:1641"_s, "8.3.24.1467", "порт кластера 1641"},
        {hostName() + u":1641,other:1641"_s, "8.3.24.1467", "порт кластера 1641"},
        {hostName().toUpper(), "8.3.22.1709", "порт кластера 1541"},
        {u"localhost:1941"_s, "", "с портом кластера 1941 на этом компьютере не запущен"},
        {u"localhost:1741"_s, "", "не видна по пути его программы (/usr/local/bin/ragent)"},
        {u"srv-1c-other.example"_s, "", "«srv-1c-other.example» — другой компьютер"},
        {u"192.0.2.7:1541"_s, "", "другой компьютер"},
    };
    for (const auto &c : cases) {
        const DesignerVersionChoice choice = designerVersionFor(c.address, agents);
        EXPECT_EQ(choice.version, QString::fromLatin1(c.version)) << c.address.toStdString();
        EXPECT_TRUE(choice.reason.contains(QString::fromUtf8(c.reasonPart)))
            << c.address.toStdString() << ": " << choice.reason.toStdString();
    }
    EXPECT_EQ(platformVersionOfProgram(u"/opt/1cv8/x86_64/8.3.24.1467/ragent"_s), u"8.3.24.1467"_s);
    EXPECT_EQ(platformVersionOfProgram(u"/opt/1cv8/current/ragent"_s), QString());
}

// The running server's version wins over the newest; a version not installed
// gives the newest; an 8.3 version means nothing to an 8.2 connector.
TEST(ServerAgents, TheDesignerOfThePreferredVersionIsTaken)
{
    QTemporaryDir opt;
    const QString root = opt.path() + u"/1cv8/x86_64/"_s;
    for (const char *version : {"8.3.22.1709", "8.3.24.1467"})
        makeProgram(root + QString::fromLatin1(version) + u"/1cv8"_s);
    makeProgram(opt.path() + u"/1cv8/8.2.19.130/1cv8"_s);
    const struct {
        const char *connector;
        const char *preferred;
        QString program;
    } cases[] = {
        {"V83.ComConnector", "8.3.22.1709", root + u"8.3.22.1709/1cv8"_s},
        {"V83.ComConnector", "8.3.24.1467", root + u"8.3.24.1467/1cv8"_s},
        {"V83.ComConnector", "8.3.23.1", root + u"8.3.24.1467/1cv8"_s},
        {"V83.ComConnector", "", root + u"8.3.24.1467/1cv8"_s},
        {"V82.ComConnector", "8.3.22.1709", opt.path() + u"/1cv8/8.2.19.130/1cv8"_s},
    };
    for (const auto &c : cases) {
        QStringList passedOver;
        EXPECT_EQ(designerProgram(QString::fromLatin1(c.connector), opt.path(), QString::fromLatin1(c.preferred),
                                  &passedOver),
                  c.program)
            << c.connector << " " << c.preferred;
        EXPECT_TRUE(passedOver.isEmpty());
    }
}
