// dozorix-zip FOLDER ARCHIVE [--password P | --password-stdin] [--level N] [--threads N]
// dozorix-zip --test ARCHIVE [--password P | --password-stdin]
// dozorix-zip --extract ARCHIVE DIR [--password P | --password-stdin]
//
// Packs FOLDER the way the backup does: entry names relative to FOLDER, and
// with a password every entry encrypted and given a data descriptor. Prints
// the build result and exits non-zero unless it is brDone; on stderr, the
// entries left out and the files stored under another name than their own
// (a name on disk that the readers would not give back), each with why.
//
// --test reads every entry of an archive back, --extract restores it under
// DIR (ZipRestore.h). --password-stdin takes the password from the first line
// of standard input, out of sight of the process list.

#include "common/SafeFile.h"
#include "zip/FWZipWriter.h"
#include "zip/ZipRestore.h"

#include <QCoreApplication>
#include <QStringList>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

using namespace dozorix;

namespace {

enum ExitCode {
    kDone = 0,
    kFailed = 1,
    kUsage = 2,
    kPassword = 3,
    kRefused = 4,
};

int usage()
{
    std::fprintf(stderr,
                 "usage: dozorix-zip FOLDER ARCHIVE [--password P | --password-stdin] [--level N] [--threads N]\n"
                 "       dozorix-zip --test ARCHIVE [--password P | --password-stdin]\n"
                 "       dozorix-zip --extract ARCHIVE DIR [--password P | --password-stdin]\n"
                 "  --level 0 stores, 1..9 are the deflate levels; default is the writer's default (6)\n"
                 "  --threads 1 compresses on one core; default uses every core\n"
                 "  --test reads every entry back and checks its CRC-32\n"
                 "  --extract restores every entry under DIR (created when missing); a file already in DIR\n"
                 "    is never overwritten: the archive is refused with its name before anything is written\n"
                 "  --password-stdin reads the password from the first line of standard input (a password\n"
                 "    in the arguments is visible to every local user in the process list); a password is\n"
                 "    tried in Windows-1251, as the backup writes it, then in UTF-8\n"
                 "exit codes:\n"
                 "  packing: 0 every file packed (brDone), 1 anything else (brPartialBuild, brFailed, brAborted)\n"
                 "  --test, --extract: 0 every entry read back (and restored), 1 an entry did not read back or\n"
                 "    could not be written, or the archive does not open (what --extract wrote is removed),\n"
                 "    3 the archive is encrypted and the password is missing or wrong,\n"
                 "    4 the archive was refused before anything was written (a name outside DIR, a link out\n"
                 "    of DIR, a device entry, a name twice, a file already in DIR)\n"
                 "  2 a wrong command line\n");
    return kUsage;
}

std::atomic<bool> g_stop{false};

void onSignal(int) { g_stop.store(true); }

// The first line of standard input, without its line end; with a terminal,
// asked for without echo.
bool readPasswordLine(QString *out)
{
    const bool terminal = ::isatty(STDIN_FILENO);
    struct termios saved{};
    if (terminal && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
        std::fprintf(stderr, "Пароль: ");
        std::fflush(stderr);
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    QByteArray line;
    bool ended = false;
    for (;;) {
        char c;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (c == '\n') {
            ended = true;
            break;
        }
        line += c;
        if (line.size() > 4096)
            break;
    }
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fprintf(stderr, "\n");
    }
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.size() > 4096 || (line.isEmpty() && !ended)) {
        std::fprintf(stderr, "Пароль не прочитан со стандартного ввода: %s.\n",
                     line.isEmpty() ? "ввод пуст" : "строка длиннее 4096 байт");
        return false;
    }
    if (line.isEmpty()) {
        std::fprintf(stderr, "Пароль со стандартного ввода пуст.\n");
        return false;
    }
    *out = QString::fromUtf8(line);
    return true;
}

QString shown(const QString &name) { return blankControlCharacters(name); }

int restore(bool extract, const QStringList &positional, const std::optional<QString> &password)
{
    ZipRestoreOptions options;
    options.password = password;
    options.stop = &g_stop;
    const char *verb = extract ? "восстановлено" : "проверено";
    options.onEntry = [verb](const ZipRestoreEntry &e) {
        switch (e.kind) {
        case ZipRestoreEntry::File:
            std::printf("%s: %s (%llu байт)\n", verb, qPrintable(shown(e.name)),
                        static_cast<unsigned long long>(e.size));
            break;
        case ZipRestoreEntry::Folder:
            std::printf("%s: %s/ (папка)\n", verb, qPrintable(shown(e.name)));
            break;
        case ZipRestoreEntry::Link:
            std::printf("%s: %s -> %s (ссылка)\n", verb, qPrintable(shown(e.name)), qPrintable(shown(e.linkTarget)));
            break;
        }
        std::fflush(stdout);
    };
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        std::signal(sig, onSignal);

    const ZipRestoreResult r = extract ? extractZipArchive(positional[0], positional[1], options)
                                       : testZipArchive(positional[0], options);
    const QString counts = QStringLiteral("записей %1 (файлов %2, папок %3, ссылок %4), данных %5 байт")
                               .arg(r.files + r.folders + r.links)
                               .arg(r.files)
                               .arg(r.folders)
                               .arg(r.links)
                               .arg(r.bytes);
    if (r.ok()) {
        if (extract)
            std::printf("Архив восстановлен в «%s»: %s.\n", qPrintable(positional[1]), qPrintable(counts));
        else
            std::printf("Архив цел: %s.\n", qPrintable(counts));
        return kDone;
    }
    std::fprintf(stderr, "%s\n", qPrintable(shown(r.error)));
    switch (r.status) {
    case ZipRestoreStatus::NoPassword:
    case ZipRestoreStatus::WrongPassword:
        return kPassword;
    case ZipRestoreStatus::Refused:
        return kRefused;
    default:
        std::fprintf(stderr, "%s\n",
                     extract ? "Архив не восстановлен."
                             : qPrintable(QStringLiteral("Архив не прошёл проверку: прочитано %1.").arg(counts)));
        return kFailed;
    }
}

} // namespace

int main(int argc, char **argv)
{
    // Past the file-size limit (ulimit -f) a write fails with EFBIG and the
    // build takes the way of a full disk, instead of the program being
    // killed with a partial archive left behind.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    QStringList positional;
    QString password;
    bool passwordGiven = false;
    bool passwordStdin = false;
    bool test = false;
    bool extract = false;
    int level = -1;
    int threads = 0;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        auto value = [&](QString *out) {
            if (i + 1 >= args.size())
                return false;
            *out = args[++i];
            return true;
        };
        QString v;
        bool ok = true;
        if (a == QLatin1String("--password")) {
            if (!value(&password))
                return usage();
            passwordGiven = true;
        } else if (a == QLatin1String("--password-stdin")) {
            passwordStdin = true;
        } else if (a == QLatin1String("--test")) {
            test = true;
        } else if (a == QLatin1String("--extract")) {
            extract = true;
        } else if (a == QLatin1String("--level")) {
            if (!value(&v) || (level = v.toInt(&ok), !ok) || level < 0 || level > 9)
                return usage();
        } else if (a == QLatin1String("--threads")) {
            if (!value(&v) || (threads = v.toInt(&ok), !ok) || threads < 1)
                return usage();
        } else if (a.startsWith(QLatin1String("--"))) {
            return usage();
        } else {
            positional << a;
        }
    }
    if ((passwordGiven && passwordStdin) || (test && extract))
        return usage();
    if ((test || extract) && (level >= 0 || threads > 0))
        return usage();
    if (positional.size() != (test ? 1 : 2))
        return usage();
    if (passwordStdin) {
        if (!readPasswordLine(&password))
            return kUsage;
        passwordGiven = true;
    }

    if (test || extract) {
        // An empty password is no password, as for packing.
        return restore(extract, positional,
                       passwordGiven && !password.isEmpty() ? std::optional<QString>(password) : std::nullopt);
    }

    TFWZipWriter zip;
    zip.SetThreads(threads);
    if (level == 0)
        zip.SetDefaultCompressionLevel(clNone);
    else if (level > 0)
        zip.SetDefaultCompressionLevel(static_cast<TCompressionLevel>(clLevel1 + level - 1));
    zip.AddFolder(QString(), positional[0], QString(), true);
    if (!password.isEmpty()) {
        for (int i = 0; i < zip.Count(); ++i) {
            zip.GetItem(i)->SetPassword(password);
            zip.GetItem(i)->SetNeedDescriptor(true);
        }
    }
    const TBuildZipResult result = zip.BuildZip(positional[1]);
    std::printf("%s\n", buildZipResultName(result));
    if (!zip.LastError().isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(zip.LastError()));
    for (int i = 0; i < zip.Count(); ++i) {
        const TFWZipWriterItem *item = zip.GetItem(i);
        if (!item->BuildError().isEmpty())
            std::fprintf(stderr, "left out: %s: %s\n", qPrintable(item->FileName()), qPrintable(item->BuildError()));
        else if (!item->NameNote().isEmpty())
            std::fprintf(stderr, "renamed: %s: %s\n", qPrintable(item->FileName()), qPrintable(item->NameNote()));
    }
    return result == brDone ? 0 : 1;
}
