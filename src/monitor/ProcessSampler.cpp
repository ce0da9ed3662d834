#include "monitor/ProcessSampler.h"

#include "common/Stamps.h"
#include "monitor/ImageNames.h"

#include <cmath>

namespace dozorix {

namespace {

constexpr int kNewMark = 1000;
constexpr int kAlive = 20;

// Kilobytes of a byte count, halves to the even neighbour.
quint64 kilobytes(quint64 bytes)
{
    const quint64 whole = bytes / 1024;
    const quint64 rest = bytes % 1024;
    if (rest > 512 || (rest == 512 && (whole & 1)))
        return whole + 1;
    return whole;
}

} // namespace

ProcessSampler::ProcessSampler(int processorCount)
    : m_processors(processorCount > 0 ? processorCount : 1)
{
}

double ProcessSampler::cpuPercent(const TProcessInfo &record, double elapsedMs, int processors)
{
    const double share = static_cast<double>(record.CPUDelta) / elapsedMs / 100.0 / processors;
    return record.PID == 0 ? 100.0 - share : share;
}

TProcessInfo *ProcessSampler::find(quint32 pid)
{
    const auto it = m_index.constFind(pid);
    return it == m_index.constEnd() ? nullptr : &m_records[*it];
}

void ProcessSampler::reindex()
{
    m_index.clear();
    m_index.reserve(static_cast<qsizetype>(m_records.size()));
    for (size_t i = 0; i < m_records.size(); ++i)
        m_index.insert(m_records[i].PID, i);
}

bool ProcessSampler::refresh(const TProcesses &snapshot, double elapsedMs, const OwnerLookup &owner,
                             const MemoryLookup &memory)
{
    if (!(elapsedMs > 0) || !std::isfinite(elapsedMs))
        return false;

    // Discovery: new PIDs get a record, vanished ones are marked.
    std::vector<quint32> &current = m_currentPids;
    current.clear();
    for (const TProcess &p : snapshot)
        current.push_back(p.PID);
    if (current != m_previousPids) {
        QHash<quint32, bool> previous;
        previous.reserve(static_cast<qsizetype>(m_previousPids.size()));
        for (quint32 pid : m_previousPids)
            previous.insert(pid, true);
        QHash<quint32, bool> now;
        now.reserve(static_cast<qsizetype>(current.size()));
        for (const TProcess &p : snapshot) {
            now.insert(p.PID, true);
            if (previous.contains(p.PID) || find(p.PID))
                continue;
            TProcessInfo info;
            info.Process = p.Process;
            info.PID = p.PID;
            info.CPU = info.CPUDelta = static_cast<long double>(p.KernelTime) + static_cast<long double>(p.UserTime);
            info.New = kNewMark;
            info.Terminated = kAlive;
            m_records.push_back(info);
            m_index.insert(p.PID, m_records.size() - 1);
        }
        for (quint32 pid : m_previousPids) {
            if (now.contains(pid))
                continue;
            if (TProcessInfo *r = find(pid); r && r->Terminated == kAlive)
                r->Terminated = 0;
        }
        m_previousPids.swap(current);
    }

    // Processor time since the last snapshot.
    long double sum = 0;
    for (const TProcess &p : snapshot) {
        TProcessInfo *r = find(p.PID);
        if (!r)
            continue;
        const long double total = static_cast<long double>(p.KernelTime) + static_cast<long double>(p.UserTime);
        r->CPUDelta = total - r->CPU;
        r->CPU = total;
        if (p.PID != 0)
            sum += r->CPUDelta;
    }
    if (TProcessInfo *idle = find(0))
        idle->CPUDelta = sum > 0 ? sum : 100.0L;

    // Housekeeping: a record marked gone leaves in this refresh.
    bool removed = false;
    for (TProcessInfo &r : m_records) {
        if (r.New < 1)
            ++r.New;
        if (r.Terminated < 2)
            ++r.Terminated;
    }
    for (auto it = m_records.begin(); it != m_records.end();) {
        if (it->Terminated > 0 && it->Terminated < kAlive) {
            it = m_records.erase(it);
            removed = true;
        } else {
            ++it;
        }
    }
    if (removed)
        reindex();

    // One row per record, in order of discovery; rows are reused, and the
    // texts of a row that still shows the same process are made again only
    // when their value changed. A record keeps its PID and image for life
    // and new ones come after the rows that stay, so a row with the same PID
    // shows the same process.
    m_rows.resize(m_records.size());
    m_rowShown.resize(m_records.size());
    quint64 memoryKb = 0;
    bool anyShare = false;
    for (size_t i = 0; i < m_records.size(); ++i) {
        const TProcessInfo &r = m_records[i];
        Row &row = m_rows[i];
        RowShown &shown = m_rowShown[i];
        const bool sameProcess = shown.valid && shown.pid == r.PID;
        if (!sameProcess) {
            row.cells[ColImage] = r.Process;
            row.cells[ColPid] = QString::number(r.PID);
            row.cells[ColDescription] = imageDescription(r.Process);
            shown.pid = r.PID;
        }
        row.cells[ColUser] = owner ? owner(r.PID) : QString();
        const quint64 kb = kilobytes(memory ? memory(r.PID) : 0);
        if (!sameProcess || shown.kilobytes != kb) {
            row.cells[ColMemory] = QString::number(kb) + QStringLiteral(" KБ");
            shown.kilobytes = kb;
        }
        shown.valid = true;
        memoryKb += kb;
        if (r.CPUDelta > 0) {
            row.cells[ColCpu] = QString::number(cpuPercent(r, elapsedMs, m_processors), 'f', 2);
            anyShare = true;
        } else {
            row.cells[ColCpu].clear();
        }
    }
    m_memory = FormatSize(memoryKb * 1024);

    m_lastPoint.reset();
    if (anyShare)
        recomputeAggregates();
    return true;
}

void ProcessSampler::recomputeAggregates()
{
    m_count = QString::number(static_cast<qint64>(m_rows.size()) - 2);

    double client = 0, server = 0;
    bool anyClient = false, anyServer = false;
    for (const Row &row : m_rows) {
        double v;
        if (!parseGeneral(row.cells[ColCpu], &v))
            continue;
        switch (loadKindOfDescription(row.cells[ColDescription])) {
        case LoadKind::Client: client += v; anyClient = true; break;
        case LoadKind::Server: server += v; anyServer = true; break;
        case LoadKind::Neither: break;
        }
    }
    m_client = anyClient ? formatGeneral(client) : QStringLiteral("0");
    m_server = anyServer ? formatGeneral(server) : QStringLiteral("0");
    double c = 0, s = 0;
    parseGeneral(m_client, &c);
    parseGeneral(m_server, &s);
    m_total = formatGeneral(c + s);

    m_lastPoint = ChartPoint{m_x, c, s};
    m_x += 1;
    if (m_x > m_axisMax) {
        m_axisMax += 1;
        m_axisMin += 1;
    }
}

} // namespace dozorix
