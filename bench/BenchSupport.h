#pragma once
// Measuring helpers shared by the benchmarks.

#include <QByteArray>
#include <QFile>

#include <ctime>

namespace dozorix::bench {

// Processor time used by this process so far, in seconds.
inline double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Resident memory (VmRSS) of a process, by default this one, in KB; 0 when
// unreadable.
inline long residentKbOf(const QString &pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return 0;
}

inline long residentKbOf(qint64 pid) { return residentKbOf(QString::number(pid)); }

inline long residentKb() { return residentKbOf(QStringLiteral("self")); }

} // namespace dozorix::bench
