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
#include "AgentServer.h"
#include "ChatPanel.h"
#include "EventLog.h"
#include "MenuTable.h"
#include "TForm1.h"

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
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <malloc.h>
#include <vector>

using namespace dozorix;
using dozorix::bench::processCpuSeconds;
using dozorix::bench::residentKb;
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
