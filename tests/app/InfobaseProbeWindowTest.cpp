// The infobase probe in the main window: its timer, its menu items, the
// drop-all operation with its log line and balloon, and the message box of a
// missing settings file. Connectors are shell stand-ins in the program
// directory.
#include "app/ui/EventLog.h"
#include "app/ui/TForm1.h"
#include "infobases/InfobaseProbe.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QFile>
#include <QMenuBar>
#include <QMessageBox>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

struct Fixture : ConsoleScope {

    // A connector that connects and holds until released; it records its pid.
    void connectorThatConnects() const
    {
        home.write(QStringLiteral("V83.ComConnector"),
                   "#!/bin/sh\necho $$ >> \"$(dirname \"$0\")/pids.txt\"\necho OK\nexec cat >/dev/null\n");
        QFile::setPermissions(home.file(QStringLiteral("V83.ComConnector")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        home.write(QStringLiteral("Example.ini"),
                   "[Base1]\r\nConnector=V83.ComConnector\r\nconnect=On\r\nConnectKS1CBase=Yes\r\nKlasterB=srv1c\r\n");
    }
    qint64 pid() const { return home.read(QStringLiteral("pids.txt")).trimmed().toLongLong(); }
};

QAction *mainMenuAction(TForm1 &w, const char *name)
{
    return w.menuBar()->findChild<QAction *>(QString::fromLatin1(name));
}

bool alive(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray s = stat.readAll();
    return !s.mid(s.lastIndexOf(')') + 2, 1).startsWith('Z');
}

TEST(InfobaseProbeWindow, DropAllFromTheMenuEndsTheConnectionsAndSaysSo)
{
    Fixture f;
    f.connectorThatConnects();
    TForm1 w;
    QAction *probe = mainMenuAction(w, "infobaseProbe");
    QAction *drop = mainMenuAction(w, "infobaseDropAll");
    ASSERT_TRUE(probe && drop);
    EXPECT_TRUE(probe->isEnabled());
    EXPECT_TRUE(drop->isEnabled());

    probe->trigger();
    ASSERT_TRUE(waitUntil([&] { return w.infobaseProbe()->slotHolds(1); }, 10000));
    const qint64 pid = f.pid();
    ASSERT_TRUE(alive(pid));

    QSignalSpy balloon(&w, &TForm1::balloonShown);
    drop->trigger();
    EXPECT_FALSE(w.infobaseProbe()->slotHolds(1));
    EXPECT_TRUE(waitUntil([&] { return !alive(pid); }, 5000));
    ASSERT_TRUE(balloon.wait(5000));
    EXPECT_EQ(balloon.at(0).at(0).toString(), QStringLiteral("Dozorix"));
    EXPECT_EQ(balloon.at(0).at(1).toString(), QStringLiteral("Все COM- соединения были отключены!  "));
    const QStringList lines = w.eventLog()->toPlainText().split(QLatin1Char('\n'));
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(unstamped(lines.last()), QStringLiteral("Все COM- соединения были отключены!  "));
    EXPECT_NE(lines.last(), unstamped(lines.last())) << "the line carries its stamp";
}

TEST(InfobaseProbeWindow, TimerProbesOnItsOwn)
{
    Fixture f;
    f.connectorThatConnects();
    TForm1 w;
    EXPECT_FALSE(w.TimerCOM()->isActive());
    w.startSamplingTimers();
    EXPECT_TRUE(w.TimerCOM()->isActive());
    EXPECT_EQ(w.TimerCOM()->interval(), 600); // one minute through the time scale of 100
    EXPECT_TRUE(waitUntil([&] { return w.infobaseProbe()->slotHolds(1); }, 10000));
    w.infobaseProbe()->clearAllSlots();
}

TEST(InfobaseProbeWindow, NoSettingsFileShowsTheMessageBox)
{
    Fixture f;
    TForm1 w;
    mainMenuAction(w, "infobaseProbe")->trigger();
    ASSERT_TRUE(w.iniMissingBox());
    EXPECT_TRUE(waitUntil([&] { return w.iniMissingBox()->isVisible(); }, 3000));
    EXPECT_EQ(w.iniMissingBox()->text(), QStringLiteral("Файл example.ini не найден!"));
    w.iniMissingBox()->accept();
}

} // namespace
