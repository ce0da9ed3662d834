#include "shell/BuiltinTools.h"

#include "shell/CmdBuiltins.h"
#include "shell/WinSessionTools.h"
#include "shell/WinTools.h"

#include <mutex>

namespace dozorix {

void registerBuiltinTools()
{
    static std::once_flag once;
    std::call_once(once, [] {
        registerCmdCommands();
        registerTaskkill();
        registerNet();
        registerReg();
        registerSessionTools();
        registerMsg();
        registerMstsc();
    });
}

} // namespace dozorix
