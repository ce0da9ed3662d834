#pragma once
// File-name masks as an administrator types them: "*" and "?" wildcards,
// letters compared without regard to case, and the familiar "*.*" that
// matches every name, with or without a dot.

#include <QString>

namespace dozorix {

// True when the name (a single path component) matches the mask. An empty
// mask counts as "*.*". A mask ending in ".*" also matches names without an
// extension, so "report.*" matches "report" as well as "report.txt".
bool matchesFileMask(const QString &name, const QString &mask);

} // namespace dozorix
