#include "support/TestSupport.h"

#include "common/ProgramDir.h"
#include "common/TimeScale.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

namespace dozorix::test {

ProgramHome::ProgramHome()
    : m_previous(qgetenv("DOZORIX_HOME"))
    , m_hadPrevious(qEnvironmentVariableIsSet("DOZORIX_HOME"))
{
    qputenv("DOZORIX_HOME", QFile::encodeName(m_dir.path()));
    resetProgramDir();
}

ProgramHome::~ProgramHome()
{
    if (m_hadPrevious)
        qputenv("DOZORIX_HOME", m_previous);
    else
        qunsetenv("DOZORIX_HOME");
    resetProgramDir();
}

void ProgramHome::write(const QString &name, const QByteArray &bytes) const
{
    QFile f(file(name));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

QByteArray ProgramHome::read(const QString &name) const
{
    QFile f(file(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

ScopedTimeScale::ScopedTimeScale(double divisor)
    : m_previous(qgetenv("DOZORIX_TIME_SCALE"))
    , m_hadPrevious(qEnvironmentVariableIsSet("DOZORIX_TIME_SCALE"))
{
    qputenv("DOZORIX_TIME_SCALE", QByteArray::number(divisor));
    resetTimeScale();
}

ScopedTimeScale::~ScopedTimeScale()
{
    if (m_hadPrevious)
        qputenv("DOZORIX_TIME_SCALE", m_previous);
    else
        qunsetenv("DOZORIX_TIME_SCALE");
    resetTimeScale();
}

ScopedEnv::ScopedEnv(const char *name, const QByteArray &value)
    : m_name(name)
    , m_previous(qgetenv(name))
    , m_hadPrevious(qEnvironmentVariableIsSet(name))
{
    qputenv(name, value);
}

ScopedEnv::~ScopedEnv()
{
    if (m_hadPrevious)
        qputenv(m_name, m_previous);
    else
        qunsetenv(m_name);
}

bool waitUntil(const std::function<bool()> &pred, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

void quietFor(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

} // namespace dozorix::test
