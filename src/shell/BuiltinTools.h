#pragma once
// The commands built into the command interpreter: cmd.exe's own (echo,
// chcp: CmdBuiltins.h) and the Windows tools (WinTools.h,
// WinSessionTools.h). Each registers itself with the interpreter; this is
// the one list of what the shell carries. The command runner registers them
// before its first command; code that drives a CmdInterpreter of its own
// calls this first (an interpreter registers cmd.exe's own by itself).

namespace dozorix {

// Registers every built-in command once; later calls do nothing.
void registerBuiltinTools();

} // namespace dozorix
