#include "backup/DesignerDump.h"

#include "common/SafeFile.h"
#include "common/TextCodec.h"
#include "shell/HandOffFile.h"

#include <QDir>
#include <QFileInfo>
#include <QVersionNumber>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dozorix {

const QString kDumpSucceededLine = QStringLiteral("Выгрузка информационной базы успешно завершена");

namespace {

struct Platform {
    const char *connector;
    const char *version;     // the first numbers of the platform's versions
    const char *windowsPath; // under the Program Files folder
};

const Platform kPlatforms[] = {
    {"V8.ComConnector", "8.0", "\\1cv8\\bin\\1cv8.exe"},
    {"V81.ComConnector", "8.1", "\\1cv81\\bin\\1cv8.exe"},
    {"V82.ComConnector", "8.2", "\\1cv82\\common\\1cestart.exe"},
    {"V83.ComConnector", "8.3", "\\1cv8\\common\\1cestart.exe"},
};

// The newest <folder>/<version>/1cv8 whose version begins with the prefix.
QString newestDesigner(const QString &folder, const QString &prefix)
{
    QVersionNumber best;
    QString found;
    for (const QString &entry : QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (entry != prefix && !entry.startsWith(prefix + QLatin1Char('.')))
            continue;
        const QString program = folder + QLatin1Char('/') + entry + QStringLiteral("/1cv8");
        const QFileInfo info(program);
        if (!info.isFile() || !info.isExecutable())
            continue;
        const QVersionNumber version = QVersionNumber::fromString(entry);
        if (found.isEmpty() || QVersionNumber::compare(version, best) > 0) {
            best = version;
            found = program;
        }
    }
    return found;
}

QString commandText(bool withoutDisplay)
{
    return QStringLiteral("/C chcp 1251 && ") + (withoutDisplay ? QStringLiteral("xvfb-run -a ") : QString())
           + QStringLiteral("\"%1\" CONFIG /S%2 /DisableStartupDialogs /DisableStartupMessages /DumpIB \"%3\" /N %4 "
                            "/P %5  /OUT \"%6\" -NoTruncate");
}

} // namespace

QString designerProgram(const QString &connector, const QString &programFilesDir)
{
    const auto platform = std::find_if(std::begin(kPlatforms), std::end(kPlatforms), [&](const Platform &p) {
        return connector == QLatin1String(p.connector);
    });
    if (platform == std::end(kPlatforms))
        return QString();
    const QString root = programFilesDir + QStringLiteral("/1cv8");
    const QString prefix = QString::fromLatin1(platform->version);
    for (const QString &folder : {root + QStringLiteral("/x86_64"), root}) {
        const QString program = newestDesigner(folder, prefix);
        if (!program.isEmpty())
            return program;
    }
    const QString starter = root + QStringLiteral("/common/1cestart");
    if (QFileInfo(starter).isExecutable() && QFileInfo(starter).isFile())
        return starter;
    return programFilesDir + QString::fromLatin1(platform->windowsPath);
}

CommandLine designerCommand(const QString &program, const QString &connectString, const QString &dumpFile,
                            const QString &user, const QString &password, const QString &outFile)
{
    return CommandLine(commandText(false), {program, connectString, dumpFile, user, password, outFile});
}

CommandLine designerCommandWithoutDisplay(const QString &program, const QString &connectString,
                                          const QString &dumpFile, const QString &user, const QString &password,
                                          const QString &outFile)
{
    return CommandLine(commandText(true), {program, connectString, dumpFile, user, password, outFile});
}

QStringList designerResultLines(const QByteArray &bytes)
{
    return splitLines(decodeTextFile(bytes));
}

DesignerResult readDesignerResult(const QString &path, qint64 tailBytes)
{
    DesignerResult r;
    QString reason;
    const int fd = openRegularFile(path, O_RDONLY, &reason);
    if (fd < 0)
        return r;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return r;
    }
    r.fileSize = st.st_size;
    QByteArray mark(2, '\0');
    const bool utf16 = ::pread(fd, mark.data(), 2, 0) == 2 && (mark == "\xFF\xFE" || mark == "\xFE\xFF");
    qint64 from = std::max<qint64>(0, r.fileSize - tailBytes);
    if (utf16 && from > 0 && (from % 2) != 0)
        ++from; // whole UTF-16 code units
    QByteArray bytes(r.fileSize - from, Qt::Uninitialized);
    qint64 got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::pread(fd, bytes.data() + got, static_cast<size_t>(bytes.size() - got), from + got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    ::close(fd);
    bytes.truncate(got);
    r.headBytes = from;
    if (utf16 && from > 0)
        bytes.prepend(mark); // decoded by its mark as the whole file would be
    QStringList lines = designerResultLines(bytes);
    if (from > 0 && !lines.isEmpty())
        lines.removeFirst(); // begins somewhere inside a line
    r.lines = lines;
    return r;
}

} // namespace dozorix
