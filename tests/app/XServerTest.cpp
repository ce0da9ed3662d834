// The real program on a real X server (Xvfb): what the window system shows of
// it, as an administrator's desktop would.
#include "support/TestSupport.h"

#include <QMap>
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

    // The names of the program's own windows that a desktop shows (those with
    // its window class that are mapped and not override-redirect: menus,
    // tool tips and Qt's unmapped helper windows are never in a task bar or a
    // title bar), with their sizes.
    struct Window {
        QString id;
        QString name;
        int width = 0;
        int height = 0;
    };
    QList<Window> windows() const
    {
        QList<Window> found;
        static const QRegularExpression line(
            QStringLiteral("(0x[0-9a-f]+) \"([^\"]*)\": \\(\"Dozorix\" \"Dozorix\"\\)\\s+(\\d+)x(\\d+)"));
        const QString text = xwininfo({QStringLiteral("-root"), QStringLiteral("-tree")});
        for (auto it = line.globalMatch(text); it.hasNext();) {
            const auto m = it.next();
            const QString info = xwininfo({QStringLiteral("-id"), m.captured(1)});
            if (!info.contains(QLatin1String("Map State: IsViewable"))
                || !info.contains(QLatin1String("Override Redirect State: no")))
                continue;
            found.append({m.captured(1), m.captured(2), m.captured(3).toInt(), m.captured(4).toInt()});
        }
        return found;
    }

private:
    QString xwininfo(QStringList args) const
    {
        QProcess info;
        info.start(QStringLiteral("xwininfo"), QStringList{QStringLiteral("-display"), m_display} + args);
        info.waitForFinished(10000);
        return QString::fromUtf8(info.readAllStandardOutput());
    }

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
    // the program shows carries the title as it stands. A window may bear
    // the program's own name "Dozorix" for the moment between being mapped
    // and being given its title (seen on a busy machine), never anything else.
    const QString title = QStringLiteral("Dozorix v: 1.5");
    const QString programName = QStringLiteral("Dozorix");
    QStringList shown;               // every name with its size, in the order seen
    QMap<QString, QString> lastName; // per window: the name it bore last
    bool mainWindowSeen = false;
    const auto collect = [&] {
        for (const XServer::Window &w : x.windows()) {
            lastName[w.id] = w.name;
            const QString entry = QStringLiteral("\"%1\" %2x%3").arg(w.name).arg(w.width).arg(w.height);
            if (!shown.contains(entry))
                shown << entry;
            // larger than the splash, and with its title
            mainWindowSeen = mainWindowSeen || (w.width > 553 && w.height > 131 && w.name == title);
        }
        return mainWindowSeen;
    };
    ASSERT_TRUE(waitUntil(collect, 30000)) << shown.join(QLatin1String(" | ")).toStdString();
    for (const QString &entry : shown) {
        const QString name = entry.section(QLatin1Char('"'), 1, 1);
        EXPECT_TRUE(name == title || name == programName) << shown.join(QLatin1String(" | ")).toStdString();
    }
    EXPECT_TRUE(shown.join(QLatin1Char('\n')).contains(QLatin1Char('"') + title + QLatin1Char('"')));
    for (auto it = lastName.cbegin(); it != lastName.cend(); ++it)
        EXPECT_EQ(it.value(), title) << "window " << it.key().toStdString() << ": "
                                     << shown.join(QLatin1String(" | ")).toStdString();

    ::kill(static_cast<pid_t>(console.processId()), SIGTERM);
    ASSERT_TRUE(console.waitForFinished(10000));
    EXPECT_EQ(console.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(console.exitCode(), 0);
}
