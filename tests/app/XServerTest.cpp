// The real program on a real X server (Xvfb): what the window system shows of
// it, as an administrator's desktop would.
#include "TestSupport.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <csignal>

using namespace dozorix::test;

namespace {

// An X server of the test's own, on the first free display number.
class XServer
{
public:
    XServer()
    {
        m_server.setProgram(QStringLiteral("Xvfb"));
        m_server.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                               QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                               QStringLiteral("tcp")});
        m_server.setStandardErrorFile(QProcess::nullDevice());
        m_server.start();
        if (!m_server.waitForStarted(10000))
            return;
        waitUntil([this] { return m_server.canReadLine() || m_server.state() == QProcess::NotRunning; }, 20000);
        const QString number = QString::fromLatin1(m_server.readLine()).trimmed();
        if (!number.isEmpty())
            m_display = QStringLiteral(":") + number;
    }
    ~XServer()
    {
        m_server.terminate();
        if (!m_server.waitForFinished(5000))
            m_server.kill();
    }
    QString display() const { return m_display; }

    // The names of the program's own windows on the server (those with its
    // window class; Qt's hidden helper windows have none), with their sizes.
    struct Window {
        QString name;
        int width = 0;
        int height = 0;
    };
    QList<Window> windows() const
    {
        QProcess info;
        info.start(QStringLiteral("xwininfo"),
                   {QStringLiteral("-display"), m_display, QStringLiteral("-root"), QStringLiteral("-tree")});
        info.waitForFinished(10000);
        QList<Window> found;
        static const QRegularExpression line(
            QStringLiteral("0x[0-9a-f]+ \"([^\"]*)\": \\(\"Dozorix\" \"Dozorix\"\\)\\s+(\\d+)x(\\d+)"));
        const QString text = QString::fromUtf8(info.readAllStandardOutput());
        for (auto it = line.globalMatch(text); it.hasNext();) {
            const auto m = it.next();
            found.append({m.captured(1), m.captured(2).toInt(), m.captured(3).toInt()});
        }
        return found;
    }

private:
    QProcess m_server;
    QString m_display;
};

} // namespace

TEST(XServer, WindowTitlesAreExactlyTheProgramsOwn)
{
    XServer x;
    ASSERT_FALSE(x.display().isEmpty()) << "Xvfb did not start";
    ProgramHome home;
    home.write(QStringLiteral("Example.ini"), "[settings]\r\n");
    QProcess console;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DOZORIX_HOME"), home.path());
    env.insert(QStringLiteral("DOZORIX_INSTANCE_SCOPE"), home.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("DISPLAY"), x.display());
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    console.setProcessEnvironment(env);
    console.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    console.start(QStringLiteral(DOZORIX_PROGRAM), {});
    ASSERT_TRUE(console.waitForStarted());

    // The splash first, then the main window (the splash shows for 3 s and
    // the start line is logged once the main window is up): every window
    // the program showed on the way carries the title as it stands.
    const QString title = QStringLiteral("Dozorix v: 1.5");
    QStringList seen;
    bool mainWindowSeen = false;
    const auto collect = [&] {
        for (const XServer::Window &w : x.windows()) {
            if (!seen.contains(w.name))
                seen << w.name;
            mainWindowSeen = mainWindowSeen || (w.width > 553 && w.height > 131); // larger than the splash
        }
        return mainWindowSeen;
    };
    ASSERT_TRUE(waitUntil(collect, 30000)) << seen.join(QLatin1String(" | ")).toStdString();
    EXPECT_TRUE(seen.contains(title)) << seen.join(QLatin1String(" | ")).toStdString();
    for (const QString &name : seen)
        EXPECT_EQ(name, title);

    ::kill(static_cast<pid_t>(console.processId()), SIGTERM);
    ASSERT_TRUE(console.waitForFinished(10000));
    EXPECT_EQ(console.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(console.exitCode(), 0);
}
