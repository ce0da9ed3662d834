// dozorix-zip FOLDER ARCHIVE [--password P] [--level N] [--threads N]
//
// Packs FOLDER the way the backup does: entry names relative to FOLDER, and
// with a password every entry encrypted and given a data descriptor. Prints
// the build result and exits non-zero unless it is brDone; on stderr, the
// entries left out and the files stored under another name than their own
// (a name on disk that the readers would not give back), each with why.

#include "FWZipWriter.h"

#include <QCoreApplication>
#include <QStringList>

#include <csignal>
#include <cstdio>

using namespace dozorix;

namespace {

int usage()
{
    std::fprintf(stderr, "usage: dozorix-zip FOLDER ARCHIVE [--password P] [--level N] [--threads N]\n"
                         "  --level 0 stores, 1..9 are the deflate levels; default is the writer's default (6)\n"
                         "  --threads 1 compresses on one core; default uses every core\n");
    return 2;
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
    if (positional.size() != 2)
        return usage();

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
