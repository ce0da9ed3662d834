#include "HandOffFile.h"

#include "ProgramDir.h"

#include <QDir>
#include <QFile>

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

bool loadHandOffLines(const QString &name, CodePage cp, QStringList *lines, QString *error)
{
    QFile f(programFile(name));
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("Cannot open file \"%1\". %2").arg(QDir::toNativeSeparators(f.fileName()), f.errorString());
        lines->clear();
        return false;
    }
    *lines = splitLines(decode(f.readAll(), cp));
    return true;
}

void emptyHandOffFile(const QString &name)
{
    QFile f(programFile(name));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.close();
}

} // namespace dozorix
