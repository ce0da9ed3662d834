#include "infobases/ConnectionStrings.h"

namespace dozorix {

namespace {
const QChar kQuote = QLatin1Char('"');
}

QString clusterConnectionString(const QString &cluster, const QString &infobase, const QString &login,
                                const QString &password)
{
    return QStringLiteral("Srvr=") + cluster + QStringLiteral(";") + QStringLiteral("Ref=") + infobase
        + QStringLiteral(";") + QStringLiteral("Usr=") + kQuote + login + kQuote + QStringLiteral(";Pwd=") + password;
}

QString fileConnectionString(const QString &path, const QString &login, const QString &password)
{
    return QStringLiteral("File=") + kQuote + path + kQuote + QStringLiteral(";") + QStringLiteral("Usr=") + kQuote
        + login + kQuote + QStringLiteral(";Pwd=") + password;
}

QMap<QString, QString> parseConnectionString(const QString &text)
{
    QMap<QString, QString> out;
    int i = 0;
    const int n = text.size();
    while (i < n) {
        while (i < n && (text[i] == QLatin1Char(';') || text[i].isSpace()))
            ++i;
        const int eq = text.indexOf(QLatin1Char('='), i);
        if (eq < 0)
            break;
        const QString key = text.mid(i, eq - i).trimmed();
        i = eq + 1;
        QString value;
        if (key.compare(QLatin1String("Pwd"), Qt::CaseInsensitive) == 0) {
            value = text.mid(i); // the password runs to the end, whatever it holds
            i = n;
        } else if (i < n && text[i] == kQuote) {
            ++i;
            while (i < n) {
                if (text[i] == kQuote) {
                    if (i + 1 < n && text[i + 1] == kQuote) {
                        value += kQuote;
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                value += text[i++];
            }
            while (i < n && text[i] != QLatin1Char(';'))
                ++i;
        } else {
            const int semi = text.indexOf(QLatin1Char(';'), i);
            value = text.mid(i, semi < 0 ? -1 : semi - i);
            i = semi < 0 ? n : semi;
        }
        out.insert(key, value);
    }
    return out;
}

ClusterAddress clusterAddressOf(const QString &srvr)
{
    ClusterAddress a;
    QString first = srvr.section(QLatin1Char(','), 0, 0).trimmed();
    if (first.startsWith(QLatin1String("tcp://"), Qt::CaseInsensitive))
        first = first.mid(6);
    // "[v6]:port", "host:port" or "host".
    QString host = first, port;
    if (first.startsWith(QLatin1Char('['))) {
        const int close = first.indexOf(QLatin1Char(']'));
        host = first.mid(1, close - 1);
        if (close >= 0 && first.mid(close + 1).startsWith(QLatin1Char(':')))
            port = first.mid(close + 2);
    } else if (first.count(QLatin1Char(':')) == 1) {
        host = first.section(QLatin1Char(':'), 0, 0);
        port = first.section(QLatin1Char(':'), 1);
    }
    a.host = host.trimmed();
    if (!port.isEmpty()) {
        bool ok = false;
        const uint p = port.toUInt(&ok);
        if (!ok || p == 0 || p > 65535)
            return a;
        a.port = quint16(p);
    }
    a.valid = !a.host.isEmpty();
    return a;
}

} // namespace dozorix
