// The remote screen viewer at 1920x1080 over loopback: the control window
// TForm11 of a real main window, fed by a screen service in a child process
// (this program with "serve"), against TurboJPEG's own decode of the same
// frames in the same run. Meanwhile the main window's one-second refresh
// (Timer6) and agent traffic run, and their delays are measured.
//
//   bench_screen [SECONDS]
#include "agents/AgentServer.h"
#include "app/ui/TForm1.h"
#include "BenchSupport.h"
#include "screen/ui/ScreenWindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <turbojpeg.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

using namespace dozorix;

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kFrames = 8;

// Desktop-like frames: flat areas, gradients, and a moving block of fine
// detail (text-like noise), each frame a little different.
std::vector<QByteArray> makeFrames()
{
    std::vector<QByteArray> frames;
    std::vector<unsigned char> rgb(size_t(kWidth) * kHeight * 3);
    tjhandle h = tjInitCompress();
    unsigned seed = 12345;
    for (int f = 0; f < kFrames; ++f) {
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                unsigned char *p = &rgb[(size_t(y) * kWidth + x) * 3];
                if (y < 40) { // a title bar
                    p[0] = 40; p[1] = 70; p[2] = 140;
                } else if (x > 200 + f * 40 && x < 1000 + f * 40 && y > 200 && y < 800) { // a page of "text"
                    seed = seed * 1103515245u + 12345u;
                    const bool ink = ((seed >> 16) & 7) == 0 && (y / 12) % 2 == 0;
                    p[0] = p[1] = p[2] = ink ? 20 : 250;
                } else { // the desktop's gradient
                    p[0] = (unsigned char)(x * 255 / kWidth);
                    p[1] = (unsigned char)(y * 255 / kHeight);
                    p[2] = (unsigned char)(128 + f * 10);
                }
            }
        }
        unsigned char *out = nullptr;
        unsigned long size = 0;
        tjCompress2(h, rgb.data(), kWidth, kWidth * 3, kHeight, TJPF_RGB, &out, &size, TJSAMP_420, 80, 0);
        frames.emplace_back(reinterpret_cast<const char *>(out), qsizetype(size));
        tjFree(out);
    }
    tjDestroy(h);
    return frames;
}

// The screen service: answers every "#skr#" with the next frame.
int serve()
{
    const std::vector<QByteArray> frames = makeFrames();
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    std::printf("PORT %d\n", server.serverPort());
    std::fflush(stdout);
    int next = 0;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        QTcpSocket *s = server.nextPendingConnection();
        auto pending = std::make_shared<QByteArray>();
        QObject::connect(s, &QTcpSocket::readyRead, s, [&, s, pending] {
            *pending += s->readAll();
            for (qsizetype end; (end = pending->indexOf("\r\n")) >= 0;) {
                const bool ask = pending->left(end) == "#skr#";
                pending->remove(0, end + 2);
                if (!ask)
                    continue;
                const QByteArray &jpeg = frames[size_t(next++ % kFrames)];
                char head[4];
                qToBigEndian<qint32>(qint32(jpeg.size()), head);
                s->write(head, 4);
                s->write(jpeg);
            }
        });
        QObject::connect(s, &QTcpSocket::disconnected, qApp, &QCoreApplication::quit);
    });
    return qApp->exec();
}

struct Delays {
    qint64 worstMs = 0;
    int ticks = 0;
};

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The console's application with the processor time of its events sorted
// out: the screen connection's socket events (reading from the kernel,
// decoding, handing the picture to the window), the painting of the
// picture, and everything else. Only the outermost event is timed.
class TimedApplication : public QApplication
{
public:
    using QApplication::QApplication;

    QWidget *picture = nullptr;
    qintptr screenSocket = -1;
    double socketCpu = 0, paintCpu = 0;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (m_depth > 0 || !receiver)
            return QApplication::notify(receiver, event);
        double *bucket = nullptr;
        if (receiver == picture && event->type() == QEvent::Paint)
            bucket = &paintCpu;
        else if (event->type() == QEvent::SockAct) {
            if (auto *n = qobject_cast<QSocketNotifier *>(receiver); n && n->socket() == screenSocket)
                bucket = &socketCpu;
        }
        if (!bucket)
            return QApplication::notify(receiver, event);
        ++m_depth;
        const double start = threadCpuSeconds();
        const bool done = QApplication::notify(receiver, event);
        *bucket += threadCpuSeconds() - start;
        --m_depth;
        return done;
    }

private:
    int m_depth = 0;
};

// TurboJPEG's own decode of the frames into the same pixel format, frame
// after frame (warm caches) or one every 100 ms as the viewer gets them;
// processor seconds per frame.
double bareDecode(const std::vector<QByteArray> &jpegs, int count, bool paced)
{
    tjhandle h = tjInitDecompress();
    std::vector<unsigned char> pixels(size_t(kWidth) * kHeight * 4);
    double cpu = 0;
    for (int i = 0; i < count; ++i) {
        if (paced)
            QThread::msleep(100);
        const QByteArray &j = jpegs[size_t(i % kFrames)];
        const double start = threadCpuSeconds();
        tjDecompress2(h, reinterpret_cast<const unsigned char *>(j.constData()), (unsigned long)j.size(), pixels.data(),
                      kWidth, kWidth * 4, kHeight, TJPF_BGRX, 0);
        cpu += threadCpuSeconds() - start;
    }
    tjDestroy(h);
    return cpu / count;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && QByteArray(argv[1]) == "serve") {
        QCoreApplication app(argc, argv);
        return serve();
    }
    TimedApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(12, atoi(argv[1])) : 20;
    QTemporaryDir home;
    qputenv("DOZORIX_HOME", QFile::encodeName(home.path()));
    qputenv("DOZORIX_INSTANCE_SCOPE", QFile::encodeName(home.path()));

    QProcess service;
    service.start(QCoreApplication::applicationFilePath(), {QStringLiteral("serve")});
    if (!service.waitForReadyRead(30000)) {
        std::fprintf(stderr, "the screen service did not start\n");
        return 1;
    }
    const int port = QString::fromLatin1(service.readLine()).section(QLatin1Char(' '), 1).trimmed().toInt();
    QFile ini(home.filePath(QStringLiteral("Example.ini")));
    ini.open(QIODevice::WriteOnly);
    ini.write("[settings]\r\nPort1=0\r\nPort2=" + QByteArray::number(port) + "\r\n");
    ini.close();

    TForm1 main;
    main.createOtherWindows();
    main.show();
    QTcpServer probe; // a free main port for the agent server
    probe.listen(QHostAddress::AnyIPv4, 0);
    const quint16 agentPort = probe.serverPort();
    probe.close();
    main.StartAgentServer(agentPort);
    main.startSamplingTimers();

    // Agent traffic meanwhile: one agent saying its status every 100 ms.
    QTcpSocket agent;
    agent.connectToHost(QHostAddress::LocalHost, agentPort);
    QTimer agentTalk;
    QObject::connect(&agentTalk, &QTimer::timeout, [&] {
        agent.write("\xA7" "agent\xA7" "1cv8c\xA7" "127.0.0.1\xA7" "PC\xA7" "user\xA7" "1\xA7" "0\xA7" "0");
    });
    agentTalk.start(100);

    // The one-second refresh's delay: how late each of its ticks comes.
    Delays refresh;
    QElapsedTimer since;
    since.start();
    qint64 last = -1;
    QObject::connect(main.Timer6(), &QTimer::timeout, [&] {
        const qint64 now = since.elapsed();
        if (last >= 0) {
            refresh.worstMs = std::max(refresh.worstMs, now - last - main.Timer6()->interval());
            ++refresh.ticks;
        }
        last = now;
    });

    main.SendHost = QStringLiteral("127.0.0.1");
    main.openScreenWindow(true, false);
    ScreenWindow *w = main.form11();
    int frames = 0;
    QObject::connect(w->link(), &ScreenLink::pictureChanged, [&] { ++frames; });
    int failures = 0;
    QObject::connect(w->link(), &ScreenLink::pictureFailed, [&] { ++failures; });
    // The event loop runs as in the console (waiting, not spinning).
    const auto runFor = [](int ms) {
        QEventLoop loop;
        QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    };
    const std::vector<QByteArray> jpegs = makeFrames();
    w->connectClicked();
    runFor(1000); // connected, pictures coming: the warm-up
    app.picture = w->pictureView();
    if (auto *socket = w->link()->findChild<QTcpSocket *>())
        app.screenSocket = socket->socketDescriptor();
    QTimer *pictures = w->link()->pictureTimer();
    frames = failures = 0;
    app.socketCpu = app.paintCpu = 0;

    // Rounds, so that the machine's drift touches all three alike: the
    // console alone for a second (no pictures asked for: what the console
    // spends meanwhile is not the viewer's), the viewer for three seconds,
    // then TurboJPEG's own decode of as many of the same frames back to back.
    const int rounds = std::max(3, seconds / 4);
    struct Phase {
        double cpu = 0, wall = 0; // processor and wall seconds
        Delays refresh;           // the one-second refresh meanwhile
    };
    Phase alone, viewing;
    const auto measure = [&](int ms, Phase *phase) {
        refresh = {};
        last = -1;
        const double cpu0 = bench::processCpuSeconds();
        QElapsedTimer clock;
        clock.start();
        runFor(ms);
        phase->cpu += bench::processCpuSeconds() - cpu0;
        phase->wall += clock.elapsed() / 1000.0;
        phase->refresh.worstMs = std::max(phase->refresh.worstMs, refresh.worstMs);
        phase->refresh.ticks += refresh.ticks;
    };
    double bareCpu = 0;
    int bare = 0;
    for (int r = 0; r < rounds; ++r) {
        pictures->stop();
        while (w->link()->answerAwaited())
            runFor(10);
        measure(1000, &alone);

        pictures->start();
        const int framesBefore = frames;
        measure(3000, &viewing);

        const int count = frames - framesBefore;
        bareCpu += bareDecode(jpegs, count, false) * count;
        bare += count;
    }
    w->disconnectClicked();
    const double bareHot = bare ? bareCpu / bare : 0.0;
    const double barePaced = bareDecode(jpegs, 30, true);
    const double consolePerSecond = alone.wall > 0 ? alone.cpu / alone.wall : 0.0;
    const double viewerCpu = viewing.cpu, wall = viewing.wall;

    qint64 jpegBytes = 0;
    for (const QByteArray &j : jpegs)
        jpegBytes += j.size();
    const auto ms = [&](double cpu) { return frames ? cpu * 1000 / frames : 0.0; };
    const double console = consolePerSecond * wall; // the console's own share of the viewer's run
    const double own = viewerCpu - console;
    std::printf("frames 1920x1080, %lld KB each on average; %d rounds: %.1f s of the viewer, %.1f s of the console "
                "alone\n",
                jpegBytes / kFrames / 1024, rounds, wall, alone.wall);
    std::printf("viewer: %d frames, %.1f frames/s, %d failed\n", frames, frames / wall, failures);
    std::printf("processor per frame, whole process: %.2f ms\n", ms(viewerCpu));
    std::printf("  screen socket events (read, decode, hand-over): %.2f ms\n", ms(app.socketCpu));
    std::printf("  painting the picture: %.2f ms\n", ms(app.paintCpu));
    std::printf("  everything else (sampler, chart, agent, timers): %.2f ms\n",
                ms(viewerCpu - app.socketCpu - app.paintCpu));
    std::printf("console alone (no pictures asked for): %.2f ms per 100 ms\n", consolePerSecond * 100);
    std::printf("viewer's own (whole process less the console alone): %.2f ms per frame\n", ms(own));
    std::printf("bare tjDecompress2: %.2f ms per frame back to back, %.2f ms one every 100 ms\n", bareHot * 1000,
                barePaced * 1000);
    std::printf("ratio viewer's own / bare decode back to back: %.2f (goal <= 1.3)\n",
                frames ? (own / frames) / bareHot : 0.0);
    std::printf("ratio whole process / bare decode back to back: %.2f\n", frames ? (viewerCpu / frames) / bareHot : 0.0);
    std::printf("one-second refresh (Timer6): %d ticks while viewing, latest %lld ms late (goal <= 50); "
                "console alone: latest %lld ms late\n",
                viewing.refresh.ticks, (long long)viewing.refresh.worstMs, (long long)alone.refresh.worstMs);
    service.closeWriteChannel();
    service.kill();
    service.waitForFinished();
    return 0;
}
