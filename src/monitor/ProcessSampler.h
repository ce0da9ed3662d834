#pragma once
// The 1C process sampler: once a second a snapshot of the kept processes
// (the 1C images, the console itself and the idle row) becomes one list row
// per process with its share of the processors since the last snapshot,
// the client, server and total load, the memory of the listed processes,
// their count, and one chart point per series.
//
// The sampler is an engine: it holds the rows as text, exactly as the list
// shows them, and the window copies them into its widgets.

#include <QHash>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace dozorix {

// One kept process of a snapshot. Times are 100-ns units.
struct TProcess {
    QString Process;
    quint32 PID = 0;
    qint64 CreateTime = 0;
    quint64 UserTime = 0;
    quint64 KernelTime = 0;
};
using TProcesses = std::vector<TProcess>;

// What the sampler remembers of a process between snapshots.
struct TProcessInfo {
    QString Process;
    quint32 PID = 0;
    long double CPU = 0;      // total processor time at the last snapshot, 100-ns units
    long double CPUDelta = 0; // processor time between the last two snapshots
    int New = 0;
    int Terminated = 0;
};

class ProcessSampler
{
public:
    enum Column { ColImage, ColPid, ColCpu, ColMemory, ColUser, ColDescription, ColumnCount };
    struct Row {
        QString cells[ColumnCount];
    };
    struct ChartPoint {
        double x = 0;
        double client = 0;
        double server = 0;
    };
    // Owner account name of a PID (empty when unknown) and its working set in
    // bytes (0 when unknown).
    using OwnerLookup = std::function<QString(quint32)>;
    using MemoryLookup = std::function<quint64(quint32)>;

    explicit ProcessSampler(int processorCount);

    // One refresh for a snapshot taken elapsedMs after the previous one.
    // With no time elapsed the shares have no finite value: the refresh is
    // skipped and everything keeps showing the previous one (the processor
    // time used meanwhile is counted at the next refresh). Returns whether
    // the refresh ran.
    bool refresh(const TProcesses &snapshot, double elapsedMs, const OwnerLookup &owner,
                 const MemoryLookup &memory);

    const std::vector<Row> &rows() const { return m_rows; }
    const std::vector<TProcessInfo> &records() const { return m_records; }
    int processorCount() const { return m_processors; }

    // The boxes, as text.
    const QString &clientLoad() const { return m_client; }
    const QString &serverLoad() const { return m_server; }
    const QString &totalLoad() const { return m_total; }
    const QString &memoryTotal() const { return m_memory; }
    const QString &processCount() const { return m_count; }

    // The point appended by the last refresh (none when no row had a
    // positive share), and the horizontal window of the chart.
    const std::optional<ChartPoint> &lastPoint() const { return m_lastPoint; }
    double axisMin() const { return m_axisMin; }
    double axisMax() const { return m_axisMax; }
    double chartX() const { return m_x; }

    // "CPU %" of one record for an elapsed time; exposed for the tests.
    static double cpuPercent(const TProcessInfo &record, double elapsedMs, int processors);

private:
    TProcessInfo *find(quint32 pid);
    void reindex();
    void recomputeAggregates();

    // What a row shows, to skip making texts that did not change.
    struct RowShown {
        bool valid = false;
        quint32 pid = 0;
        quint64 kilobytes = 0;
    };

    int m_processors;
    std::vector<quint32> m_previousPids;
    std::vector<quint32> m_currentPids; // the buffer of each refresh's PIDs
    std::vector<RowShown> m_rowShown;   // beside m_rows
    std::vector<TProcessInfo> m_records;
    QHash<quint32, size_t> m_index;
    std::vector<Row> m_rows;
    QString m_client = QStringLiteral("0");
    QString m_server = QStringLiteral("0");
    QString m_total = QStringLiteral("0");
    QString m_memory = QStringLiteral("0");
    QString m_count = QStringLiteral("0");
    std::optional<ChartPoint> m_lastPoint;
    double m_x = 0;
    double m_axisMin = 0;
    double m_axisMax = 100;
};

} // namespace dozorix
