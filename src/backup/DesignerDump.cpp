#include "backup/DesignerDump.h"

#include "common/SafeFile.h"
#include "common/TextCodec.h"
#include "shell/HandOffFile.h"

#include <QDir>
#include <QFile>
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

// Why one place on the way to a program is not to be trusted: owned by
// another account than root or the console's, or open to writing by others
// (a folder open to all with the sticky bit, as /tmp, and owned by root
// lets no one replace what is in it).
QString placeProblem(const QByteArray &place, const struct stat &st)
{
    const uid_t self = ::geteuid();
    const QString shown = QFile::decodeName(place);
    if (st.st_uid != 0 && st.st_uid != self)
        return QStringLiteral("владелец «%1» — не root и не пользователь консоли (uid %2)").arg(shown).arg(st.st_uid);
    if (S_ISLNK(st.st_mode))
        return QString();
    const bool openToOthers = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (openToOthers && !(S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) && st.st_uid == 0))
        return QStringLiteral("«%1» доступен для записи группе или другим пользователям").arg(shown);
    return QString();
}

// Checks every place from / to the last one of path, without following
// links (lstat: a link's own owner counts) or following them (stat: where
// they lead counts).
QString pathProblem(const QByteArray &path, bool followLinks)
{
    QByteArray place;
    const QList<QByteArray> parts = path.split('/');
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (parts[i].isEmpty() && i > 0)
            continue;
        place = i == 0 ? QByteArray("/") : (place.endsWith('/') ? place : place + '/') + parts[i];
        struct stat st {};
        if ((followLinks ? ::stat(place.constData(), &st) : ::lstat(place.constData(), &st)) != 0)
            return QStringLiteral("«%1» недоступен").arg(QFile::decodeName(place));
        const QString problem = placeProblem(place, st);
        if (!problem.isEmpty())
            return problem;
    }
    return QString();
}

// The newest <folder>/<version>/1cv8 whose version begins with the prefix,
// among those that may be trusted; the others are noted with why.
QString newestDesigner(const QString &folder, const QString &prefix, QStringList *passedOver)
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
        const QString problem = untrustedProgramReason(program);
        if (!problem.isEmpty()) {
            if (passedOver)
                passedOver->append(QStringLiteral("Конфигуратор %1 пропущен: %2").arg(program, problem));
            continue;
        }
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

QString untrustedProgramReason(const QString &program)
{
    const QByteArray path = QFile::encodeName(QFileInfo(program).absoluteFilePath());
    QString problem = pathProblem(path, false);
    if (problem.isEmpty()) {
        const QByteArray real = QFile::encodeName(QFileInfo(program).canonicalFilePath());
        problem = real.isEmpty() ? QStringLiteral("«%1» недоступен").arg(program) : pathProblem(real, true);
    }
    return problem;
}

QString designerProgram(const QString &connector, const QString &programFilesDir, QStringList *passedOver)
{
    return designerProgram(connector, programFilesDir, QString(), passedOver);
}

QString designerProgram(const QString &connector, const QString &programFilesDir, const QString &preferredVersion,
                        QStringList *passedOver)
{
    const auto platform = std::find_if(std::begin(kPlatforms), std::end(kPlatforms), [&](const Platform &p) {
        return connector == QLatin1String(p.connector);
    });
    if (platform == std::end(kPlatforms))
        return QString();
    const QString root = programFilesDir + QStringLiteral("/1cv8");
    const QString prefix = QString::fromLatin1(platform->version);
    const QStringList folders{root + QStringLiteral("/x86_64"), root};
    // The preferred version (its own prefix) first, then the platform's newest;
    // a designer passed over is told once.
    QStringList prefixes{prefix};
    if (preferredVersion.startsWith(prefix + QLatin1Char('.')))
        prefixes.prepend(preferredVersion);
    QStringList notes;
    QString program;
    for (const QString &wanted : std::as_const(prefixes)) {
        for (const QString &folder : folders) {
            if (program.isEmpty())
                program = newestDesigner(folder, wanted, &notes);
        }
    }
    if (passedOver) {
        notes.removeDuplicates();
        passedOver->append(notes);
    }
    if (!program.isEmpty())
        return program;
    const QString starter = root + QStringLiteral("/common/1cestart");
    if (QFileInfo(starter).isExecutable() && QFileInfo(starter).isFile()) {
        const QString problem = untrustedProgramReason(starter);
        if (problem.isEmpty())
            return starter;
        if (passedOver)
            passedOver->append(QStringLiteral("Конфигуратор %1 пропущен: %2").arg(starter, problem));
    }
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
