#pragma once
// What keeps a test program in its own house: every signal the console's code
// sends (taskkill, the process actions, the backup's end of the 1C clients)
// goes through ProcessControl, and in a test program ProcessControl is a
// guard around the native one. The guard lets a signal through to this
// program itself and to its descendants only, or to anything when the program
// is PID 1 of a PID namespace of its own (dozorix_private_pid_tests() in
// tests/CMakeLists.txt), where nothing else is visible. Any other signal is
// not sent: the caller gets EPERM and the running test fails, naming the
// process, its image name, its owner and the signal.
//
// TestMain.cpp installs the guard before the tests run. A test that puts in
// a ProcessControl of its own with ScopedInstance gets the guard back when
// the scope ends; one that still wants real signals should wrap
// ProcessControl::instance() (the guard), not native::createProcessControl().

#include "common/Platform.h"

#include <memory>

namespace dozorix::test {

// True when this program is PID 1 of a PID namespace with a /proc of that
// namespace: the process table then holds this program and what it started.
bool inPrivatePidNamespace();

// True when pid is a descendant of this program (child, grandchild, ...),
// by the parent links of /proc at this moment. A process whose parent has
// ended is re-parented and no longer counts, unless this program is PID 1.
bool isDescendantOfThisProgram(qint64 pid);

// The guard TestMain installs (one per program).
std::shared_ptr<ProcessControl> processGuard();

// Makes the guard the ProcessControl instance.
void installProcessGuard();

} // namespace dozorix::test
