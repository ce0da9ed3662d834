#include "shell/HandOffFile.h"

#include "common/FdIo.h"
#include "common/ProgramDir.h"
#include "common/SafeFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

namespace dozorix {

QStringList splitLines(const QString &text)
{
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            lines << text.mid(start, i - start);
            if (c == QLatin1Char('\r') && i + 1 < n && text[i + 1] == QLatin1Char('\n'))
                ++i;
            start = i + 1;
        }
    }
    if (start < n)
        lines << text.mid(start);
    return lines;
}

bool loadHandOffBytes(const QString &name, QByteArray *bytes, QString *error)
{
    const QString path = programFile(name);
    QString reason;
    const int fd = openRegularFile(path, O_RDONLY, &reason);
    bytes->clear();
    if (fd < 0) {
        if (QFileInfo(path).isSymLink() || (QFileInfo::exists(path) && !QFileInfo(path).isFile()))
            reportFileOnce(path, QStringLiteral("Файл обмена не прочитан: ") + reason);
        if (error)
            *error = QStringLiteral("Cannot open file \"%1\". %2").arg(QDir::toNativeSeparators(path), reason);
        return false;
    }
    QFile f;
    if (!f.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        if (error)
            *error = QStringLiteral("Cannot open file \"%1\". %2").arg(QDir::toNativeSeparators(path), f.errorString());
        return false;
    }
    forgetFileReport(path);
    *bytes = f.readAll();
    return true;
}

bool loadHandOffLines(const QString &name, CodePage cp, QStringList *lines, QString *error)
{
    QByteArray bytes;
    const bool ok = loadHandOffBytes(name, &bytes, error);
    *lines = ok ? splitLines(decode(bytes, cp)) : QStringList();
    return ok;
}

void emptyHandOffFile(const QString &name)
{
    const QString path = programFile(name);
    QString reason;
    const int fd = openRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC, &reason);
    if (fd < 0) {
        reportFileOnce(path, QStringLiteral("Файл обмена не очищен: ") + reason);
        return;
    }
    ::close(fd);
}

bool isHandOffFile(const QString &path)
{
    const QFileInfo info(path);
    const QString fileName = info.fileName();
    if (fileName.compare(QLatin1String("temp.txt"), Qt::CaseInsensitive) != 0
        && fileName.compare(QLatin1String("temp2.txt"), Qt::CaseInsensitive) != 0)
        return false;
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return !folder.isEmpty() && folder == QFileInfo(programDir()).canonicalFilePath();
}

} // namespace dozorix
