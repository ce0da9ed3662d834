// dozorix-connector: the default infobase connector, shipped under the four
// ProgID names (V8.ComConnector … V83.ComConnector). It reads the connection
// string as the first line of its standard input (UTF-8, ended by a line
// feed), which is how the console hands it over: a program's arguments are
// readable by every local user, and the string holds the password. For a
// person trying it by hand it also takes the string as its one argument.
// It checks what can be checked without 1C:Enterprise's own libraries:
//
//   File="<folder>";…   the folder holds 1Cv8.1CD, readable, starting with the
//                       1C database signature "1CDBMSV8";
//   Srvr=<host[:port]>;… the cluster's server accepts a TCP connection on its
//                       port (1541 unless named).
//
// It answers "OK <what was checked>" and holds the file open or the TCP
// connection up until its input ends or it is terminated, or it answers
// "ERROR <reason>" and ends with code 1 (2: no connection string). It does
// not check the user name, the password or the infobase name within the
// cluster.
#include "infobases/ConnectionStrings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>

#include <cstdio>

using namespace dozorix;

namespace {

constexpr int kConnectMs = 10000;
// Longer than any string the console builds (each value of the settings file
// is cut to 2047 characters).
constexpr size_t kMaxLineBytes = 64 * 1024;

const char kUsage[] = "ERROR usage: dozorix-connector, the connection string on the first line of standard input "
                      "(by hand also: dozorix-connector \"CONNECTION STRING\")";

int answer(const QString &line, int code)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return code;
}

// Holds whatever is open until the console lets go: the end of the input.
int holdUntilReleased()
{
    char buffer[256];
    while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) {
    }
    return 0;
}

// The first line of the input without its line end; false at an end of the
// input before any character, or for a line longer than kMaxLineBytes.
bool readFirstLine(QByteArray *line)
{
    line->clear();
    int c;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
        if (size_t(line->size()) >= kMaxLineBytes)
            return false;
        line->append(char(c));
    }
    if (c == EOF && line->isEmpty())
        return false;
    if (line->endsWith('\r'))
        line->chop(1);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QString connectionString;
    if (args.size() == 2) {
        connectionString = args[1];
    } else if (args.size() == 1) {
        QByteArray line;
        if (!readFirstLine(&line))
            return answer(QString::fromLatin1(kUsage), 2);
        connectionString = QString::fromUtf8(line);
    } else {
        return answer(QString::fromLatin1(kUsage), 2);
    }
    const QMap<QString, QString> parts = parseConnectionString(connectionString);
    auto value = [&](const char *key) {
        for (auto it = parts.begin(); it != parts.end(); ++it)
            if (it.key().compare(QLatin1String(key), Qt::CaseInsensitive) == 0)
                return it.value();
        return QString();
    };

    if (parts.contains(QStringLiteral("File")) || !value("File").isEmpty()) {
        const QString folder = value("File");
        const QString path = QDir(folder).filePath(QStringLiteral("1Cv8.1CD"));
        QFile db(path);
        if (!QFileInfo(folder).isDir())
            return answer(QStringLiteral("ERROR Каталог информационной базы не найден: %1").arg(folder), 1);
        if (!QFileInfo::exists(path))
            return answer(QStringLiteral("ERROR Файл информационной базы не найден: %1").arg(path), 1);
        if (!db.open(QIODevice::ReadOnly))
            return answer(QStringLiteral("ERROR Файл информационной базы не читается: %1 (%2)").arg(path, db.errorString()), 1);
        if (db.read(8) != QByteArray("1CDBMSV8"))
            return answer(QStringLiteral("ERROR Файл %1 не является базой 1С: нет сигнатуры 1CDBMSV8").arg(path), 1);
        answer(QStringLiteral("OK файловая ИБ: %1").arg(path), 0);
        return holdUntilReleased();
    }
    if (!value("Srvr").isEmpty()) {
        const ClusterAddress a = clusterAddressOf(value("Srvr"));
        if (!a.valid)
            return answer(QStringLiteral("ERROR Неверный адрес кластера серверов: %1").arg(value("Srvr")), 1);
        QTcpSocket socket;
        socket.connectToHost(a.host, a.port);
        if (!socket.waitForConnected(kConnectMs))
            return answer(QStringLiteral("ERROR Сервер кластера %1:%2 не принимает подключения: %3")
                              .arg(a.host).arg(a.port).arg(socket.errorString()),
                          1);
        answer(QStringLiteral("OK сервер кластера %1:%2, ИБ %3").arg(a.host).arg(a.port).arg(value("Ref")), 0);
        return holdUntilReleased();
    }
    return answer(QStringLiteral("ERROR В строке подключения нет ни File, ни Srvr"), 1);
}
