#pragma once
// The sampler's view of the process table: the kept processes (the 1C
// images, the console itself) with their Windows-form names, preceded by the
// idle row that the sampler expects as PID 0. Owner names and working sets
// come from the same reading of the table.

#include "monitor/ProcessSampler.h"

#include <QHash>

namespace dozorix {

struct SampledTable {
    TProcesses processes;
    QHash<quint32, QString> owners;
    QHash<quint32, quint64> workingSets;
};

// Reads the platform's process table once.
SampledTable takeProcessSnapshot();

} // namespace dozorix
