// dozorix-cmd "COMMAND LINE"
// dozorix-cmd [--dir DIR] [--value VALUE]... -- "TEMPLATE"
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
//
// The second form is how a console that is not root runs a line as root
// (shell/Elevation.h: pkexec resets the environment, so DOZORIX_HOME does
// not come through): --dir names the program directory, where the command
// runs; the line is TEMPLATE with its %1, %2, ... standing for the values in
// their order, which stay plain characters (never a quote, an operator or a
// redirection). Run so by pkexec, the command's redirections are opened as
// the account that asked (PKEXEC_UID), never as root.

#include "common/ProgramDir.h"
#include "shell/CommandRunner.h"
#include "shell/Elevation.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

using namespace dozorix;

namespace {

int usage()
{
    std::fprintf(stderr, "usage: dozorix-cmd \"COMMAND LINE\"\n"
                         "       dozorix-cmd [--dir DIR] [--value VALUE]... -- \"TEMPLATE\"\n"
                         "  runs the command line as the console does and prints its output in UTF-8\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    QString templateText;
    QStringList values;
    QString dirOption;
    if (args.size() == 1) {
        templateText = args.front();
    } else {
        // Options, then "--" and exactly one command line. An option's value
        // is taken as it stands ("--value --" is the value "--").
        qsizetype i = 0;
        for (; i < args.size() && args[i] != QLatin1String("--"); ++i) {
            if (i + 1 >= args.size())
                return usage();
            if (args[i] == QLatin1String("--dir") && dirOption.isEmpty())
                dirOption = args[++i];
            else if (args[i] == QLatin1String("--value"))
                values << args[++i];
            else
                return usage();
        }
        if (i + 2 != args.size())
            return usage();
        templateText = args[i + 1];
    }
    if (templateText.isEmpty())
        return usage();
    if (!dirOption.isEmpty()) {
        const QFileInfo dir(dirOption);
        if (!dir.isAbsolute() || !dir.isDir()) {
            std::fprintf(stderr, "dozorix-cmd: the program directory %s does not exist\n", qPrintable(dirOption));
            return 1;
        }
        qputenv("DOZORIX_HOME", QFile::encodeName(dirOption));
        resetProgramDir();
    }
    openRedirectionsAsCaller();

    const QString dir = programDir();
    // Without values every '%' of the line stays as it is.
    const ConsoleRun run = RunInConsole(CommandLine(templateText, values), dir);
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
