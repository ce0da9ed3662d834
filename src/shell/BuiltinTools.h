#pragma once
// The Windows tools built into the command interpreter. Each tool registers
// itself with the interpreter (WinTools.h); this is the one list of the tools
// the shell carries. The command runner registers them before its first
// command; code that drives a CmdInterpreter of its own calls this first.

namespace dozorix {

// Registers every built-in Windows tool once; later calls do nothing.
void registerBuiltinTools();

} // namespace dozorix
