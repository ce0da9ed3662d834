#include "infobases/InfobaseConnection.h"

#include "common/ProgramDir.h"
#include "common/TimeScale.h"

#include <QFileInfo>
#include <QStandardPaths>

namespace dozorix {

QString findConnectorProgram(const QString &progId)
{
    if (progId.isEmpty() || progId.contains(QLatin1Char('/')) || progId == QLatin1String(".")
        || progId == QLatin1String(".."))
        return {};
    const QFileInfo local(programFile(progId));
    if (local.isFile() && local.isExecutable())
        return local.absoluteFilePath();
    return QStandardPaths::findExecutable(progId);
}

QString connectionStringRefusal(const QString &connectionString)
{
    for (const QChar c : connectionString) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QChar(u'\0'))
            return QStringLiteral("Строка подключения содержит перевод строки или нулевой символ (в пути, имени "
                                  "пользователя или пароле): коннектор получает её одной строкой, подключение не "
                                  "выполнялось");
    }
    return {};
}

InfobaseConnection::InfobaseConnection(const QString &program, const QString &progId,
                                       const QString &connectionString, QObject *parent)
    : QObject(parent)
    , m_progId(progId)
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setStandardErrorFile(QProcess::nullDevice());
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &InfobaseConnection::onOutput);
    connect(&m_process, &QProcess::finished, this, [this](int code) { onFinished(code); });
    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
        if (e != QProcess::FailedToStart)
            return;
        // Reported from the event loop: a start that fails at once fails
        // inside the constructor, before anyone listens to settled().
        const QString why = QStringLiteral("Коннектор %1 не запустился: %2").arg(m_progId, m_process.errorString());
        QTimer::singleShot(0, this, [this, why] { fail(why); });
    });
    m_limit.setSingleShot(true);
    setScaledInterval(&m_limit, kAnswerLimitMs);
    connect(&m_limit, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("Коннектор %1 не ответил за %2 с").arg(m_progId).arg(kAnswerLimitMs / 1000));
        close();
    });
    const QString refusal = connectionStringRefusal(connectionString);
    if (!refusal.isEmpty()) {
        // Nothing is started; the answer comes from the event loop, as a
        // connector's would.
        QTimer::singleShot(0, this, [this, refusal] { fail(refusal); });
        return;
    }
    m_limit.start();
    m_process.start(program, {});
    // Buffered: the pipe is written from the event loop as the connector
    // reads, so the window never waits for it. The input stays open: its end
    // tells the connector to let go of the connection.
    if (m_process.state() != QProcess::NotRunning)
        m_process.write(connectionString.toUtf8() + '\n');
}

InfobaseConnection::~InfobaseConnection()
{
    close();
}

void InfobaseConnection::onOutput()
{
    m_output += m_process.readAllStandardOutput();
    if (m_state != State::Connecting)
        return;
    const int nl = m_output.indexOf('\n');
    if (nl < 0)
        return;
    const QString line = QString::fromUtf8(m_output.left(nl)).trimmed();
    if (line == QLatin1String("OK") || line.startsWith(QLatin1String("OK "))) {
        m_limit.stop();
        m_state = State::Connected;
        emit settled(true);
    } else if (line.startsWith(QLatin1String("ERROR"))) {
        fail(line.mid(5).trimmed().isEmpty() ? QStringLiteral("Коннектор %1 отказал в подключении").arg(m_progId)
                                             : line.mid(5).trimmed());
    } else {
        fail(QStringLiteral("Коннектор %1 ответил непонятно: %2").arg(m_progId, line.left(200)));
    }
}

void InfobaseConnection::onFinished(int code)
{
    if (m_state == State::Connecting) {
        onOutput();
        if (m_state == State::Connecting) {
            if (!m_output.isEmpty() && !m_output.endsWith('\n')) {
                m_output += '\n';
                onOutput();
            } else {
                fail(QStringLiteral("Коннектор %1 завершился без ответа (код %2)").arg(m_progId).arg(code));
            }
        }
    } else if (m_state == State::Connected) {
        m_state = State::Failed;
        m_reason = QStringLiteral("Коннектор %1 завершился, соединение потеряно (код %2)").arg(m_progId).arg(code);
    }
}

void InfobaseConnection::fail(const QString &reason)
{
    if (m_state != State::Connecting)
        return;
    m_limit.stop();
    m_state = State::Failed;
    m_reason = reason;
    emit settled(false);
}

void InfobaseConnection::close()
{
    m_limit.stop();
    if (m_state == State::Connected)
        m_state = State::Closed;
    if (m_process.state() != QProcess::NotRunning) {
        m_process.closeWriteChannel();
        m_process.terminate();
        if (!m_process.waitForFinished(2000)) {
            m_process.kill();
            m_process.waitForFinished(2000);
        }
    }
}

} // namespace dozorix
