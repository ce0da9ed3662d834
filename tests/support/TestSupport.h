#pragma once
// Small helpers shared by the tests of every area.

#include <QByteArray>
#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <ostream>

// Readable QString values in test failure messages.
inline void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace dozorix::test {

// A fresh program directory for one test: sets DOZORIX_HOME to a new
// temporary folder and restores the previous value when destroyed.
class ProgramHome
{
public:
    ProgramHome();
    ~ProgramHome();
    QString path() const { return m_dir.path(); }
    QString file(const QString &name) const { return m_dir.filePath(name); }
    // Writes a file in the program directory (raw bytes).
    void write(const QString &name, const QByteArray &bytes) const;
    QByteArray read(const QString &name) const;

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious;
};

// Sets DOZORIX_TIME_SCALE for the lifetime of the object.
class ScopedTimeScale
{
public:
    explicit ScopedTimeScale(double divisor);
    ~ScopedTimeScale();

private:
    QByteArray m_previous;
    bool m_hadPrevious;
};

// Sets an environment variable for the lifetime of the object.
class ScopedEnv
{
public:
    ScopedEnv(const char *name, const QByteArray &value);
    ~ScopedEnv();

private:
    const char *m_name;
    QByteArray m_previous;
    bool m_hadPrevious;
};

// A console of its own for one test: a fresh program directory, the time
// scale of the window tests, and an instance scope of its own so that it
// never meets a console running elsewhere on the machine.
struct ConsoleScope {
    ProgramHome home;
    ScopedTimeScale scale{100};
    ScopedEnv scope{"DOZORIX_INSTANCE_SCOPE", QFile::encodeName(home.path())};
};

// Runs the event loop until pred() holds or timeoutMs passes; returns pred().
bool waitUntil(const std::function<bool()> &pred, int timeoutMs = 10000);

// Runs the event loop for ms milliseconds of real time (not divided by the
// time scale): the wait of a test that expects nothing to happen meanwhile,
// or lets what is under way settle.
void quietFor(int ms);

// A line without its leading LogStamp or TimeStamp.
inline QString unstamped(const QString &line)
{
    static const QRegularExpression stamp(
        QStringLiteral("^(\\d\\d\\.\\d\\d\\.\\d{4} - )?\\d{1,2}:\\d\\d:\\d\\d : "));
    return QString(line).remove(stamp);
}

} // namespace dozorix::test
