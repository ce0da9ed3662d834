// The remote screen viewer at 1920x1080 over loopback: the control window
// TForm11 of a real main window, fed by a screen service in a child process
// (this program with "serve"), against TurboJPEG's own decode of the same
// frames in the same run. Meanwhile the main window's one-second refresh
// (Timer6) and agent traffic run, and their delays are measured.
//
//   bench_screen [SECONDS]
#include "AgentServer.h"
#include "BenchSupport.h"
#include "ScreenWindow.h"
#include "TForm1.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>

#include <turbojpeg.h>

#include <cmath>
#include <cstdio>
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

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && QByteArray(argv[1]) == "serve") {
        QCoreApplication app(argc, argv);
        return serve();
    }
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(2, atoi(argv[1])) : 20;
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
    w->connectClicked();
    // A warm-up second, then the measured run.
    // The event loop runs as in the console (waiting, not spinning).
    const auto runFor = [](int ms) {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    };
    QElapsedTimer clock;
    clock.start();
    runFor(1000);
    frames = 0;
    refresh = {};
    const double cpu0 = bench::processCpuSeconds();
    clock.restart();
    runFor(seconds * 1000);
    const double viewerCpu = bench::processCpuSeconds() - cpu0;
    const double wall = clock.elapsed() / 1000.0;
    w->disconnectClicked();

    // TurboJPEG's own decode of the same frames, as many as the viewer showed.
    const std::vector<QByteArray> jpegs = makeFrames();
    tjhandle h = tjInitDecompress();
    std::vector<unsigned char> pixels(size_t(kWidth) * kHeight * 4);
    const int bare = std::max(frames, kFrames);
    const double cpu1 = bench::processCpuSeconds();
    for (int i = 0; i < bare; ++i) {
        const QByteArray &j = jpegs[size_t(i % kFrames)];
        tjDecompress2(h, reinterpret_cast<const unsigned char *>(j.constData()), (unsigned long)j.size(), pixels.data(),
                      kWidth, kWidth * 4, kHeight, TJPF_BGRX, 0);
    }
    const double bareCpu = bench::processCpuSeconds() - cpu1;
    tjDestroy(h);

    qint64 jpegBytes = 0;
    for (const QByteArray &j : jpegs)
        jpegBytes += j.size();
    std::printf("frames 1920x1080, %lld KB each on average, %d s measured\n", jpegBytes / kFrames / 1024, seconds);
    std::printf("viewer: %d frames, %.1f frames/s, %.2f ms processor per frame (everything: decode, show, socket, "
                "timers, agent traffic), %d failed\n",
                frames, frames / wall, frames ? viewerCpu * 1000 / frames : 0.0, failures);
    std::printf("bare tjDecompress2: %.2f ms processor per frame\n", bareCpu * 1000 / bare);
    std::printf("ratio viewer / bare decode: %.2f\n", frames ? (viewerCpu / frames) / (bareCpu / bare) : 0.0);
    std::printf("one-second refresh (Timer6): %d ticks, latest tick %lld ms late\n", refresh.ticks,
                (long long)refresh.worstMs);
    service.closeWriteChannel();
    service.kill();
    service.waitForFinished();
    return 0;
}
