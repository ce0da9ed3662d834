// dozorix-cmd "COMMAND LINE"
//
// Runs one command line through the console's own interpreter, exactly as
// the console's RunAndCapture runs a menu item's command: "cmd.exe /C" text
// with its quotes, "&&", redirections and "chcp", the built-in Windows tools
// (taskkill, net, ...), any other program started directly. The working
// directory is the program directory (DOZORIX_HOME when set), so that
// "> temp.txt" lands where the console would read it. The output, written
// in the console code page of the moment (866 until "chcp 1251"), is printed
// in UTF-8. The exit code is the command's; one that does not fit an exit
// status (9009, "not a command") is told on standard error and exits 255.

#include "common/ProgramDir.h"
#include "shell/CommandRunner.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

using namespace dozorix;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() != 1 || args.front().isEmpty()) {
        std::fprintf(stderr, "usage: dozorix-cmd \"COMMAND LINE\"\n"
                             "  runs the command line as the console does and prints its output in UTF-8\n");
        return 2;
    }
    const QString dir = programDir();
    const ConsoleRun run = RunInConsole(CommandLine(args.front()), dir);
    if (!run.started) {
        std::fprintf(stderr, "dozorix-cmd: the program directory %s does not exist\n", qPrintable(dir));
        return 1;
    }
    const QByteArray text = run.text.toUtf8();
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
    std::fflush(stdout);
    if (run.exitCode < 0 || run.exitCode > 255) {
        std::fprintf(stderr, "dozorix-cmd: exit code %d\n", run.exitCode);
        return 255;
    }
    return run.exitCode;
}
