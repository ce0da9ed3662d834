#pragma once
// The built-in commands of cmd.exe itself that the interpreter carries:
// "echo" and "chcp". They register with the interpreter as the Windows tools
// do (WinTools.h); every CmdInterpreter makes sure they are there, since
// without them a line of cmd.exe is not cmd.exe's.

namespace dozorix {

class CmdContext;

// echo [TEXT]: prints its raw arguments (quotes and trailing blanks kept);
// alone it reports the echo state.
int echoCommand(CmdContext &ctx);

// chcp [NNN]: switches the console code page (866, 1251, 65001) of
// everything written after it and reports the current one.
int chcpCommand(CmdContext &ctx);

// Registers echo and chcp once; later calls do nothing.
void registerCmdCommands();

} // namespace dozorix
