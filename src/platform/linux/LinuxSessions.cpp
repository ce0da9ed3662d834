// Logon sessions of this host: systemd-logind over D-Bus, else utmp.
// (Being written: until then the host reports no sessions.)

#include "Platform.h"

#include <cerrno>

namespace dozorix {
namespace {

class NoSessions : public SessionManager
{
public:
    std::vector<SessionInfo> sessions() override { return {}; }
    int lock(int) override { return ENOSYS; }
    int terminate(int) override { return ENOSYS; }
    int kill(int) override { return ENOSYS; }
};

} // namespace

std::shared_ptr<SessionManager> native::createSessionManager() { return std::make_shared<NoSessions>(); }

} // namespace dozorix
