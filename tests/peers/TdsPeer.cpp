#include "peers/TdsPeer.h"

#include "peers/PythonPeer.h"

#include <QDir>
#include <QFile>

namespace dozorix::test {

TdsPeer::TdsPeer(Options options)
    : m_options(std::move(options))
{
}

TdsPeer::~TdsPeer()
{
    stop();
}

bool TdsPeer::start(QString *error)
{
    QStringList args{QStringLiteral(DOZORIX_SOURCE_DIR "/tests/peers/tds_server.py"),
                     QStringLiteral("--records"),
                     m_records.path(),
                     QStringLiteral("--login"),
                     m_options.login,
                     QStringLiteral("--password"),
                     m_options.password};
    for (const QString &db : m_options.databases)
        args << QStringLiteral("--database") << db;
    for (const Refusal &r : m_options.refusals)
        args << QStringLiteral("--fail") << QStringLiteral("%1=%2:%3").arg(r.pattern).arg(r.number).arg(r.message);
    for (const Delay &d : m_options.delays)
        args << QStringLiteral("--delay") << QStringLiteral("%1=%2").arg(d.pattern).arg(d.seconds);
    if (m_options.silent)
        args << QStringLiteral("--silent");
    return startPythonPeer(m_process, args, QStringLiteral("TDS"), &m_port, error);
}

void TdsPeer::stop()
{
    stopPythonPeer(m_process);
}

QString TdsPeer::readRecords(const QString &name) const
{
    QFile f(QDir(m_records.path()).filePath(name));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll());
}

QStringList TdsPeer::statements() const
{
    QStringList out = readRecords(QStringLiteral("statements.txt")).split(QStringLiteral("\n--8<--\n"));
    out.removeAll(QString());
    return out;
}

QStringList TdsPeer::logins() const
{
    return readRecords(QStringLiteral("logins.txt")).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace dozorix::test
