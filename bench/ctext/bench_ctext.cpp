// Appends 100 000 coloured lines through CText (the event log with its file
// mirror) and, in the same run, 100 000 lines through a bare
// QPlainTextEdit::appendPlainText; prints both rates and their ratio.
//
//   QT_QPA_PLATFORM=offscreen build/bench/ctext/bench_ctext [lines]
#include "app/ui/EventLog.h"
#include "common/ProgramDir.h"
#include "common/Stamps.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <cstdio>

using namespace dozorix;

namespace {

QString lineText(int i)
{
    return LogStamp() + QStringLiteral("Копирование файла 1Cv8.1CD: %1 %").arg(i % 100);
}

template <typename Append>
double linesPerSecond(QWidget *widget, int lines, Append append)
{
    widget->resize(900, 300);
    widget->show();
    QCoreApplication::processEvents();
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < lines; ++i) {
        append(i);
        if (i % 1000 == 0)
            QCoreApplication::processEvents(); // the window keeps painting, as in a backup run
    }
    QCoreApplication::processEvents();
    return lines / (t.nsecsElapsed() / 1e9);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int lines = argc > 1 ? std::atoi(argv[1]) : 100000;
    QTemporaryDir home;
    qputenv("DOZORIX_HOME", QFile::encodeName(home.path()));

    // Text built in advance for both, so only the append is measured.
    QStringList texts;
    texts.reserve(lines);
    for (int i = 0; i < lines; ++i)
        texts << lineText(i);

    QPlainTextEdit bare;
    bare.setReadOnly(true);
    const double baseline = linesPerSecond(&bare, lines, [&](int i) { bare.appendPlainText(texts[i]); });

    EventLog log;
    log.clearLog();
    const double ours = linesPerSecond(&log, lines, [&](int i) { log.CText(texts[i], i % 7 ? kGreen : kRed); });

    std::printf("lines                          %d\n", lines);
    std::printf("QPlainTextEdit::appendPlainText %.0f lines/s\n", baseline);
    std::printf("CText (colour + Dozorix.log)   %.0f lines/s\n", ours);
    std::printf("ratio CText / baseline         %.2f (goal >= 0.50)\n", ours / baseline);
    return 0;
}
