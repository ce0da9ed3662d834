#include "shell/PamNologin.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

namespace dozorix {
namespace {

constexpr int kMaxDepth = 16;

struct Found {
    bool account = false;
    bool auth = false;
};

// The lines of a PAM file as PAM reads them: continued lines joined,
// comments removed, split into words ("[...]" controls kept whole).
std::vector<QStringList> pamLines(const QString &path)
{
    std::vector<QStringList> lines;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    QString joined;
    const QStringList raw = QString::fromUtf8(file.read(1 << 20)).split(QLatin1Char('\n'));
    for (int i = 0; i < raw.size(); ++i) {
        QString line = raw.at(i);
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.endsWith(QLatin1Char('\\')) && i + 1 < raw.size()) {
            joined += line.left(line.size() - 1) + QLatin1Char(' ');
            continue;
        }
        line = joined + line;
        joined.clear();
        const qsizetype hash = line.indexOf(QLatin1Char('#'));
        if (hash >= 0)
            line.truncate(hash);
        const QStringList pieces = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QStringList words;
        for (int p = 0; p < pieces.size(); ++p) {
            QString word = pieces.at(p);
            if (word.startsWith(QLatin1Char('['))) {
                while (!word.endsWith(QLatin1Char(']')) && p + 1 < pieces.size())
                    word += QLatin1Char(' ') + pieces.at(++p);
            }
            words << word;
        }
        if (!words.isEmpty())
            lines.push_back(words);
    }
    return lines;
}

bool samePlace(const QString &a, const QString &b)
{
    const auto normal = [](const QString &p) {
        return p == QLatin1String("/var/run/nologin") ? QStringLiteral("/run/nologin") : QDir::cleanPath(p);
    };
    return normal(a) == normal(b);
}

// Walks one file of a stack; typeFilter empty: every type.
void walk(const QString &folder, const QString &name, const QString &typeFilter, const QString &nologinFile,
          int depth, QSet<QString> &seen, Found &found)
{
    const QString path = QFileInfo(name).isAbsolute() ? name : folder + QLatin1Char('/') + name;
    const QString key = path + QLatin1Char('|') + typeFilter;
    if (depth > kMaxDepth || seen.contains(key))
        return;
    seen.insert(key);
    for (const QStringList &words : pamLines(path)) {
        if (words.at(0) == QLatin1String("@include")) {
            if (words.size() > 1)
                walk(folder, words.at(1), typeFilter, nologinFile, depth + 1, seen, found);
            continue;
        }
        if (words.size() < 3)
            continue;
        QString type = words.at(0).toLower();
        if (type.startsWith(QLatin1Char('-')))
            type.remove(0, 1);
        if (!typeFilter.isEmpty() && type != typeFilter)
            continue;
        const QString control = words.at(1).toLower();
        if (control == QLatin1String("include") || control == QLatin1String("substack")) {
            walk(folder, words.at(2), type, nologinFile, depth + 1, seen, found);
            continue;
        }
        if (control != QLatin1String("required") && control != QLatin1String("requisite"))
            continue;
        if (QFileInfo(words.at(2)).fileName() != QLatin1String("pam_nologin.so"))
            continue;
        bool ours = true;
        for (int i = 3; i < words.size(); ++i) {
            if (words.at(i).startsWith(QLatin1String("file=")))
                ours = samePlace(words.at(i).mid(5), nologinFile);
        }
        if (!ours)
            continue;
        if (type == QLatin1String("account"))
            found.account = true;
        else if (type == QLatin1String("auth"))
            found.auth = true;
    }
}

Found stackOf(const QString &folder, const QString &service, const QString &nologinFile)
{
    Found found;
    QSet<QString> seen;
    walk(folder, service, QString(), nologinFile, 0, seen, found);
    return found;
}

} // namespace

QString pamDirectory()
{
    const QString fromEnvironment = qEnvironmentVariable("DOZORIX_PAM_DIR");
    return fromEnvironment.isEmpty() ? QStringLiteral("/etc/pam.d") : fromEnvironment;
}

NologinCheck checkNologinServices(const QString &pamFolder, const QString &nologinFile)
{
    NologinCheck check;
    const struct {
        const char *service;
        const char *label;
        bool keyLogons; // logons that skip the auth stack
    } servers[] = {{"xrdp-sesman", "xrdp", false}, {"sshd", "ssh и X2Go", true}};
    for (const auto &server : servers) {
        const QString service = QString::fromLatin1(server.service);
        const QString file = pamFolder + QLatin1Char('/') + service;
        if (!QFileInfo(file).isFile())
            continue; // not installed
        const Found found = stackOf(pamFolder, service, nologinFile);
        const bool honours = found.account || (found.auth && !server.keyLogons);
        if (service == QLatin1String("sshd"))
            check.sshdHonours = honours;
        if (!honours)
            check.gaps.push_back({service, QString::fromUtf8(server.label), file, found.auth});
    }
    return check;
}

std::vector<NologinLine> nologinWarnings(const NologinCheck &check, const QString &nologinFile)
{
    std::vector<NologinLine> lines;
    for (const NologinGap &gap : check.gaps) {
        const QString where = gap.authOnly
                                  ? QStringLiteral("в %1 pam_nologin стоит только в auth, а вход по ключу auth не "
                                                   "проходит")
                                        .arg(gap.file)
                                  : QStringLiteral("в %1 нет pam_nologin").arg(gap.file);
        lines.push_back({QStringLiteral("Вход через %1 не запрещён: %2. Добавьте строку: account required "
                                        "pam_nologin.so")
                             .arg(gap.label, where),
                         true});
    }
    if (check.sshdHonours)
        lines.push_back({QStringLiteral("Пока есть файл %1, по ssh не войдёт никто, кроме root: администраторы тоже.")
                             .arg(nologinFile),
                         false});
    return lines;
}

} // namespace dozorix
