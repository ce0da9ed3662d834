// The agent server under 2 000 agents, side by side in one run with a bare
// QTcpServer that only greets, reads and discards.
//
// Console: the real main window (offscreen) with the tab "Пользователи
// онлайн" shown, its agent server, table, chat and event log. Baseline: a
// QTcpServer whose sockets greet with "§" and throw every read away. The
// same load generator (agent_load) drives both: every agent sends its
// status message once a second for the given time, some agents chat.
//
// Reported per side: processor time of this process per received message
// during the timed part, the largest lateness of a 10-ms timer on the
// user-interface thread (throughout, connect storm included), and for the
// console the resident memory before the agents came and after they all
// left, in two rounds (as left, and with the transcript and the log emptied
// and free heap pages returned to the system).
//
//   QT_QPA_PLATFORM=offscreen bench_agents [agents] [seconds] [chatters]
//
// BENCH_TAB=1 shows the terminal tab instead of the table during the console
// part; BENCH_CONSOLE_ONLY=1 skips the baseline.
//
//   bench_agents disconnect [agents] [rows]
//
// The console (as above, table shown) with agents from addresses of their
// own, each announcing `rows` addresses (default 8 000 × 16); then every
// agent closes at once. Reports the processor time until the last
// connection and row are gone and the largest lateness of a 10-ms timer
// while they go, beside their goals.
//
//   bench_agents attack [seconds]
//
// The real console program (build/bin/Dozorix, offscreen, in a temporary
// program directory, its agent server started by its settings) under two
// attacks at once: 2 000 connections from one address announcing 16 rows
// each with 1 024-character fields, and 50 connections sending 4 KB help
// requests continuously. Reports the console's largest resident memory and
// the program directory's size, beside their goals. BENCH_ATTACK=rows or
// help runs one attack alone; BENCH_CONSOLE names another console program.
#include "agents/AgentServer.h"
#include "agents/ui/ChatPanel.h"
#include "app/ui/EventLog.h"
#include "app/ui/TForm1.h"
#include "common/ui/MenuTable.h"

#include <QAction>
#include "BenchSupport.h"
#include "LocalPort.h"

#include <QApplication>
#include <QMenu>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QEventLoop>
#include <QDirIterator>
#include <QFileInfo>
#include <QTimer>

#include <csignal>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <malloc.h>
#include <vector>

using namespace dozorix;
using dozorix::bench::processCpuSeconds;
using dozorix::bench::residentKb;
using dozorix::bench::residentKbOf;
using dozorix::test::unusedLocalPort;

namespace {



// Bytes of the heap in use (allocated and not freed).
long heapInUseKb()
{
    return static_cast<long>(mallinfo2().uordblks / 1024);
}

void settle(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

struct Phase {
    QString name;
    double cpuSeconds = 0;
    quint64 messages = 0;
    double maxLateMs = 0;
    double p99LateMs = 0;
    double maxLateSteadyMs = 0;
    QStringList loadReport;
};

// Runs the load generator against port while measuring; count() gives the
// messages the server has taken so far; connected() the open connections.
Phase drive(const QString &name, const QString &loadPath, quint16 port, int agents, int seconds, int chatters,
            const std::function<quint64()> &count, const std::function<std::size_t()> &connected)
{
    Phase phase;
    phase.name = name;
    std::vector<double> late;
    late.reserve(static_cast<std::size_t>(seconds + 120) * 100);
    bool inSteady = false;
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(10);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        const double lateness = static_cast<double>(now - last) / 1e6 - 10.0;
        last = now;
        late.push_back(lateness);
        phase.maxLateMs = std::max(phase.maxLateMs, lateness);
        if (inSteady)
            phase.maxLateSteadyMs = std::max(phase.maxLateSteadyMs, lateness);
    });
    probe.start();

    double cpu0 = 0;
    quint64 messages0 = 0;
    QProcess load;
    load.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(&load, &QProcess::readyReadStandardOutput, [&] {
        while (load.canReadLine()) {
            const QString line = QString::fromUtf8(load.readLine()).trimmed();
            if (line.startsWith(QStringLiteral("steady"))) {
                cpu0 = processCpuSeconds();
                messages0 = count();
                inSteady = true;
            } else if (line == QStringLiteral("done")) {
                phase.cpuSeconds = processCpuSeconds() - cpu0;
                phase.messages = count() - messages0;
                inSteady = false;
            }
            phase.loadReport << line;
        }
    });
    load.start(loadPath, {QString::number(port), QString::number(agents), QString::number(seconds), QString::number(chatters)});
    if (!load.waitForStarted()) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(loadPath));
        return phase;
    }
    {
        // Wait in an event loop that sleeps, so that only the servers' work counts.
        QEventLoop loop;
        QObject::connect(&load, &QProcess::finished, &loop, &QEventLoop::quit);
        if (load.state() != QProcess::NotRunning)
            loop.exec();
    }
    QCoreApplication::processEvents();
    while (load.canReadLine())
        phase.loadReport << QString::fromUtf8(load.readLine()).trimmed();
    // Every agent has gone: wait until the server has seen them all leave.
    QElapsedTimer wait;
    wait.start();
    while (connected() > 0 && wait.elapsed() < 30000) {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    probe.stop();
    std::sort(late.begin(), late.end());
    if (!late.empty())
        phase.p99LateMs = late[static_cast<std::size_t>(static_cast<double>(late.size() - 1) * 0.99)];
    return phase;
}

void report(const Phase &p)
{
    const double perMessageUs = p.messages ? p.cpuSeconds * 1e6 / static_cast<double>(p.messages) : 0;
    std::printf("%-9s messages=%llu cpu=%.3fs cpu/message=%.2fus ui-timer late max=%.1fms (timed part %.1fms) p99=%.1fms\n",
                qPrintable(p.name), static_cast<unsigned long long>(p.messages), p.cpuSeconds, perMessageUs, p.maxLateMs,
                p.maxLateSteadyMs, p.p99LateMs);
    std::printf("          load: %s\n", qPrintable(p.loadReport.join(QStringLiteral(" | "))));
}

// A 10-ms timer on this thread; max() is its largest lateness since reset().
class LatenessProbe
{
public:
    LatenessProbe()
    {
        m_clock.start();
        m_last = m_clock.nsecsElapsed();
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_max = std::max(m_max, static_cast<double>(now - m_last) / 1e6 - 10.0);
            m_last = now;
        });
        m_timer.start();
    }
    void reset() { m_max = 0; }
    double max() const { return m_max; }

private:
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    double m_max = 0;
    QTimer m_timer;
};

// Runs the event loop until done() holds or timeoutMs pass; false on timeout.
bool runUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

int runDisconnect(const QString &loadPath, int agents, int rowsEach)
{
    std::printf("disconnect: %d agents from addresses of their own, %d rows each, then all close at once\n", agents,
                rowsEach);
    auto *w = new TForm1;
    w->resize(1280, 900);
    w->show();
    w->tabs()->setCurrentIndex(0); // the online-users table is shown
    const quint16 port = unusedLocalPort();
    QString error;
    if (!w->StartAgentServer(port, &error)) {
        std::fprintf(stderr, "cannot listen: %s\n", qPrintable(error));
        return 1;
    }
    AgentServer *server = w->ServerSocket1();
    LatenessProbe probe;
    QProcess load;
    load.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList said;
    const quint64 status0 = server->dispatcher().statusMessages();
    load.start(loadPath, {QStringLiteral("rows"), QStringLiteral("port=%1").arg(port), QStringLiteral("agents=%1").arg(agents),
                          QStringLiteral("rows=%1").arg(rowsEach), QStringLiteral("from=spread"), QStringLiteral("lockstep=1")});
    if (!load.waitForStarted()) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(loadPath));
        return 1;
    }
    auto lineStarting = [&](const QString &prefix) {
        return runUntil(
            [&] {
                while (load.canReadLine()) {
                    said << QString::fromUtf8(load.readLine()).trimmed();
                    if (qEnvironmentVariableIsSet("BENCH_VERBOSE"))
                        std::fprintf(stderr, "load: %s\n", qPrintable(said.last()));
                    if (said.last().startsWith(prefix))
                        return true;
                }
                return false;
            },
            600000);
    };
    if (!lineStarting(QStringLiteral("greeted"))) {
        std::fprintf(stderr, "the agents did not connect\n");
        return 1;
    }
    const int greeted = said.last().section(QLatin1Char('='), 1).section(QLatin1Char(' '), 0, 0).toInt();
    // One round at a time: the next when the console has read this one, so
    // that no two status messages of one agent arrive together.
    QElapsedTimer making;
    making.start();
    const double cpuMake0 = processCpuSeconds();
    for (int round = 0; round < rowsEach; ++round) {
        if (!lineStarting(QStringLiteral("round"))) {
            std::fprintf(stderr, "round %d not sent\n", round);
            return 1;
        }
        const quint64 target = status0 + static_cast<quint64>(greeted) * static_cast<quint64>(round + 1);
        if (qEnvironmentVariableIsSet("BENCH_VERBOSE"))
            std::fprintf(stderr, "waiting for %llu status messages; messages %llu, status %llu\n",
                         static_cast<unsigned long long>(target),
                         static_cast<unsigned long long>(server->dispatcher().messages()),
                         static_cast<unsigned long long>(server->dispatcher().statusMessages()));
        if (!runUntil([&] { return server->dispatcher().statusMessages() >= target; }, 600000)) {
            std::fprintf(stderr, "round %d not read\n", round);
            return 1;
        }
        load.write("next\n");
    }
    lineStarting(QStringLiteral("announced"));
    const double cpuMake = processCpuSeconds() - cpuMake0;
    const double makeS = static_cast<double>(making.elapsed()) / 1000.0;
    settle(3500); // a 3-second tick renumbers the table
    const int rows = server->onlineUsers()->rowCount();
    const std::size_t connections = server->connectionCount();

    probe.reset();
    const double cpu0 = processCpuSeconds();
    QElapsedTimer dropping;
    dropping.start();
    load.write("close\n");
    const bool gone = runUntil(
        [&] { return server->connectionCount() == 0 && server->onlineUsers()->rowCount() == 0; }, 1800000);
    const double cpu = processCpuSeconds() - cpu0;
    const double wallS = static_cast<double>(dropping.elapsed()) / 1000.0;
    const double late = probe.max();
    load.waitForFinished(10000);
    delete w;
    std::printf("made %d rows on %zu connections in %.1f s (processor %.2f s)\n", rows, connections, makeS, cpuMake);
    std::printf("disconnect: processor time %.3f s (goal < 1 s), largest timer delay %.1f ms (goal <= 100 ms), "
                "wall %.2f s%s\n",
                cpu, late, wallS, gone ? "" : " -- NOT ALL GONE");
    return 0;
}

qint64 directoryBytes(const QString &path)
{
    qint64 total = 0;
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

int runAttack(const QString &loadPath, int seconds)
{
    // BENCH_CONSOLE names another build of the console to attack.
    const QString program = qEnvironmentVariableIsSet("BENCH_CONSOLE")
        ? qEnvironmentVariable("BENCH_CONSOLE")
        : QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../../bin/Dozorix"));
    if (!QFileInfo(program).isExecutable()) {
        std::fprintf(stderr, "no console program at %s\n", qPrintable(program));
        return 1;
    }
    QTemporaryDir home;
    const quint16 port = unusedLocalPort();
    {
        QFile ini(QDir(home.path()).filePath(QStringLiteral("Example.ini")));
        ini.open(QIODevice::WriteOnly);
        ini.write(QStringLiteral("[settings]\r\nStartCS=1\r\nPort1=%1\r\nPort2=%2\r\n")
                      .arg(port)
                      .arg(unusedLocalPort())
                      .toUtf8());
    }
    QProcess console;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DOZORIX_HOME"), home.path());
    env.insert(QStringLiteral("DOZORIX_INSTANCE_SCOPE"), home.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    console.setProcessEnvironment(env);
    console.setProcessChannelMode(QProcess::ForwardedChannels);
    console.start(program, {});
    if (!console.waitForStarted()) {
        std::fprintf(stderr, "cannot start the console\n");
        return 1;
    }
    // Wait until its agent server listens.
    const bool listening = runUntil(
        [&] {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            return probe.waitForConnected(200);
        },
        30000);
    if (!listening) {
        std::fprintf(stderr, "the console's agent server does not listen\n");
        return 1;
    }
    settle(1000);
    const long rssStart = residentKbOf(console.processId());
    // BENCH_ATTACK=rows or help runs one of the two attacks alone.
    const QString which = qEnvironmentVariable("BENCH_ATTACK", QStringLiteral("both"));
    const bool rowsAttack = which != QStringLiteral("help");
    const bool helpAttack = which != QStringLiteral("rows");
    std::printf("attack: %d s;%s%s\n", seconds,
                rowsAttack ? " 2000 connections from 127.0.0.1 with 16 rows of 1024-character fields each (a round "
                             "every second);"
                           : "",
                helpAttack ? " 50 connections from 127.0.0.2 sending a 4 KB help request every 100 ms each" : "");
    QProcess load;
    load.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    load.start(loadPath, {QStringLiteral("rows"), QStringLiteral("port=%1").arg(port),
                          QStringLiteral("agents=%1").arg(rowsAttack ? 2000 : 0), QStringLiteral("rows=16"),
                          QStringLiteral("field=1024"), QStringLiteral("from=one"),
                          QStringLiteral("helpers=%1").arg(helpAttack ? 50 : 0), QStringLiteral("help=4096"),
                          QStringLiteral("every=100"), QStringLiteral("pause=1000"),
                          QStringLiteral("seconds=%1").arg(seconds)});
    long rssMax = rssStart;
    qint64 diskMax = 0;
    QStringList said;
    QElapsedTimer sample;
    sample.start();
    runUntil(
        [&] {
            while (load.canReadLine())
                said << QString::fromUtf8(load.readLine()).trimmed();
            if (sample.elapsed() >= 500) {
                sample.restart();
                rssMax = std::max(rssMax, residentKbOf(console.processId()));
                diskMax = std::max(diskMax, directoryBytes(home.path()));
            }
            return load.state() == QProcess::NotRunning;
        },
        (seconds + 600) * 1000);
    while (load.canReadLine())
        said << QString::fromUtf8(load.readLine()).trimmed();
    settle(2000);
    const long rssEnd = residentKbOf(console.processId());
    rssMax = std::max(rssMax, rssEnd);
    const qint64 diskEnd = directoryBytes(home.path());
    diskMax = std::max(diskMax, diskEnd);
    ::kill(static_cast<pid_t>(console.processId()), SIGTERM);
    if (!console.waitForFinished(15000))
        console.kill();
    std::printf("load: %s\n", qPrintable(said.join(QStringLiteral(" | "))));
    std::printf("attack: console resident memory largest %.1f MB (goal < 300 MB); at start %.1f MB, at the end %.1f MB\n",
                static_cast<double>(rssMax) / 1024.0, static_cast<double>(rssStart) / 1024.0,
                static_cast<double>(rssEnd) / 1024.0);
    std::printf("attack: program directory largest %.1f MB (goal < 100 MB), at the end %.1f MB\n",
                static_cast<double>(diskMax) / 1048576.0, static_cast<double>(diskEnd) / 1048576.0);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    raiseOpenFileLimit();
    QTemporaryDir home;
    qputenv("DOZORIX_HOME", QFile::encodeName(home.path()));
    qputenv("DOZORIX_INSTANCE_SCOPE", QFile::encodeName(home.path()));
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const QString loadPathFor = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("agent_load"));
    if (args.value(1) == QStringLiteral("disconnect"))
        return runDisconnect(loadPathFor, args.value(2, QStringLiteral("8000")).toInt(),
                             args.value(3, QStringLiteral("16")).toInt());
    if (args.value(1) == QStringLiteral("attack"))
        return runAttack(loadPathFor, args.value(2, QStringLiteral("300")).toInt());
    const int agents = args.value(1, QStringLiteral("2000")).toInt();
    const int seconds = args.value(2, QStringLiteral("60")).toInt();
    const int chatters = args.value(3, QStringLiteral("200")).toInt();
    const QString loadPath = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("agent_load"));
    std::printf("%d agents, a status message each per second for %d s, %d of them chatting (a line every 5 s)\n",
                agents, seconds, chatters);

    // The console, twice: the second round shows whether memory grows from
    // one crowd of agents to the next.
    Phase console;
    long rssBefore = 0;
    long heapBefore = 0;
    std::vector<long> rssLeft, rssCleared, heapCleared;
    {
        auto *w = new TForm1;
        w->resize(1280, 900);
        w->show();
        w->tabs()->setCurrentIndex(qEnvironmentVariableIntValue("BENCH_TAB")); // 0: the online-users table is shown
        const quint16 port = unusedLocalPort();
        QString error;
        if (!w->StartAgentServer(port, &error)) {
            std::fprintf(stderr, "cannot listen: %s\n", qPrintable(error));
            return 1;
        }
        settle(500);
        malloc_trim(0);
        rssBefore = residentKb();
        heapBefore = heapInUseKb();
        AgentServer *server = w->ServerSocket1();
        const int rounds = std::max(2, qEnvironmentVariableIntValue("BENCH_ROUNDS"));
        for (int round = 0; round < rounds; ++round) {
            const Phase p = drive(
                QStringLiteral("console"), loadPath, port, agents, seconds, chatters,
                [server] { return server->dispatcher().messages(); }, [server] { return server->connectionCount(); });
            if (round == 0)
                console = p;
            else
                console.maxLateMs = std::max(console.maxLateMs, p.maxLateMs);
            settle(1000);
            rssLeft.push_back(residentKb());
            // What the agents said stays in the transcript and the log until
            // the administrator empties them; then the heap goes back.
            if (QAction *clear = findMenuAction(w->chatPanel()->transcriptMenu(), QStringLiteral("clearTranscript")))
                clear->trigger();
            w->eventLog()->clearLog();
            settle(500);
            malloc_trim(0);
            rssCleared.push_back(residentKb());
            heapCleared.push_back(heapInUseKb());
            std::printf("console round %d: status messages dispatched=%llu, rows left=%d, chat entries left=%d, "
                        "connections left=%zu, server children=%lld\n",
                        round + 1, static_cast<unsigned long long>(server->dispatcher().statusMessages()),
                        server->onlineUsers()->rowCount(), server->chat()->rowCount(), server->connectionCount(),
                        static_cast<long long>(server->children().size()));
        }
        delete w;
    }

    // The baseline: greet, read, discard.
    Phase baseline;
    if (!qEnvironmentVariableIsSet("BENCH_CONSOLE_ONLY")) {
        QTcpServer bare;
        bare.setListenBacklogSize(1024);
        bare.setMaxPendingConnections(1 << 20);
        quint64 reads = 0;
        std::size_t open = 0;
        QObject::connect(&bare, &QTcpServer::newConnection, [&] {
            while (QTcpSocket *s = bare.nextPendingConnection()) {
                ++open;
                s->write("\xA7");
                QObject::connect(s, &QTcpSocket::readyRead, [s, &reads] {
                    s->readAll();
                    ++reads;
                });
                QObject::connect(s, &QTcpSocket::disconnected, [s, &open] {
                    --open;
                    s->deleteLater();
                });
            }
        });
        const quint16 port = unusedLocalPort();
        bare.listen(QHostAddress::AnyIPv4, port);
        settle(200);
        baseline = drive(QStringLiteral("baseline"), loadPath, port, agents, seconds, chatters, [&reads] { return reads; },
                         [&open] { return open; });
    }

    std::printf("\n");
    report(console);
    report(baseline);
    const double c = console.messages ? console.cpuSeconds / static_cast<double>(console.messages) : 0;
    const double b = baseline.messages ? baseline.cpuSeconds / static_cast<double>(baseline.messages) : 0;
    std::printf("ratio console/baseline cpu per message = %.2f (goal <= 2)\n", b > 0 ? c / b : 0.0);
    std::printf("console memory: before the agents resident %ld KB, heap in use %ld KB\n", rssBefore, heapBefore);
    for (std::size_t r = 0; r < rssLeft.size(); ++r)
        std::printf("  after round %zu: all agents gone resident %ld KB; transcript and log emptied resident %ld KB "
                    "(%+ld KB), heap in use %ld KB (%+ld KB)\n",
                    r + 1, rssLeft[r], rssCleared[r], rssCleared[r] - rssBefore, heapCleared[r],
                    heapCleared[r] - heapBefore);
    return 0;
}
