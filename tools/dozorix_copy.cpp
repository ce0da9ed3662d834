// dozorix-copy SOURCE DEST [--no-events] [--time]
//
// Copies the folder tree SOURCE into DEST with the backup's copy thread, its
// events handed to this program's main thread as they are to the window.
// Prints every failed file with the reason and exits non-zero when any file failed or the
// copy could not start. --no-events sets no handlers at all, so that nothing
// is handed to the main thread: it shows what the per-file hand-offs cost,
// and it cannot report failed files. --time adds a line with the copy
// thread's own wall time, from its start to its end handled on the main
// thread (the program's start and exit are not in it).

#include "filecopy/FileCopy.h"
#include "filecopy/FilesCopyMoveThread.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <csignal>
#include <cstdio>

using namespace dozorix;

int main(int argc, char **argv)
{
    // Past the file-size limit (ulimit -f) a write fails with EFBIG and the
    // file is reported like one on a full disk, instead of the program
    // being killed with a partial file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool events = !args.removeAll(QStringLiteral("--no-events"));
    const bool timed = args.removeAll(QStringLiteral("--time")) > 0;
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: dozorix-copy SOURCE DEST [--no-events] [--time]\n");
        return 2;
    }
    int failed = 0;
    int copied = 0;
    auto *thread = new TFilesCopyMoveThread(true, args[0], args[1], QStringLiteral("*.*"), fwmCopy);
    if (events) {
        thread->SetOnProgress([](TFilesCopyMoveThread *, const QString &, bool, TFileWorkMode, qint64, qint64, bool &) {});
        thread->SetOnFileResult([&](TFilesCopyMoveThread *, const QString &file, bool, TFileWorkMode, bool fail,
                                    quint32 code) {
            if (fail) {
                ++failed;
                std::fprintf(stderr, "failed: %s: %s\n", qPrintable(file),
                             fileErrorText(static_cast<int>(code)).toLocal8Bit().constData());
            } else {
                ++copied;
            }
        });
    }
    int rc = 0;
    QElapsedTimer clock;
    qint64 elapsedNs = 0;
    thread->SetOnTerminate([&](TFilesCopyMoveThread *t) {
        elapsedNs = clock.nsecsElapsed();
        if (!t->FatalException().isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(t->FatalException()));
            rc = 1;
        }
        app.quit();
    });
    thread->SetFreeOnTerminate(true);
    clock.start();
    thread->start();
    app.exec();
    std::printf("%d copied, %d failed\n", copied, failed);
    if (timed)
        std::printf("copy thread %.3f s\n", static_cast<double>(elapsedNs) / 1e9);
    return rc != 0 || failed > 0 ? 1 : 0;
}
