#include "monitor/ProcessSnapshot.h"

#include "common/Platform.h"
#include "monitor/ImageNames.h"

#include <unistd.h>

namespace dozorix {

SampledTable takeProcessSnapshot()
{
    SampledTable out;
    const std::vector<ProcessInfo> table = ProcessTable::instance()->snapshot();
    const qint64 self = ::getpid();

    // Linux has no process 0; the idle row stands first, as the system's
    // idle process does in the Windows table. Its own times are never used:
    // the sampler gives it the sum of the others.
    TProcess idle;
    idle.Process = kIdleImageName;
    idle.PID = 0;
    out.processes.push_back(idle);

    for (const ProcessInfo &p : table) {
        if (p.zombie || p.kernelThread || p.pid <= 0)
            continue;
        const QString *name = p.pid == self ? &kSelfImageName : keptWindowsName(p.imageName);
        if (!name)
            continue;
        TProcess t;
        t.Process = *name;
        t.PID = static_cast<quint32>(p.pid);
        t.UserTime = static_cast<quint64>(std::max<qint64>(0, p.userTime));
        t.KernelTime = static_cast<quint64>(std::max<qint64>(0, p.kernelTime));
        out.processes.push_back(t);
        out.owners.insert(t.PID, p.ownerName);
        out.workingSets.insert(t.PID, p.residentBytes);
    }
    return out;
}

} // namespace dozorix
