// The settable instances of the platform services, shared by every
// operating-system folder: each starts as the native implementation.

#include "common/Platform.h"

namespace dozorix {
namespace {

// Slots live for the whole program (never destroyed), so that a worker
// thread still running at exit never meets a destroyed mutex.
InstanceSlot<ProcessTable> &tableSlot()
{
    static auto *slot = new InstanceSlot<ProcessTable>(&native::createProcessTable);
    return *slot;
}

InstanceSlot<ProcessControl> &controlSlot()
{
    static auto *slot = new InstanceSlot<ProcessControl>(&native::createProcessControl);
    return *slot;
}

InstanceSlot<ServiceManager> &serviceSlot()
{
    static auto *slot = new InstanceSlot<ServiceManager>(&native::createServiceManager);
    return *slot;
}

InstanceSlot<SessionManager> &sessionSlot()
{
    static auto *slot = new InstanceSlot<SessionManager>(&native::createSessionManager);
    return *slot;
}

} // namespace

std::shared_ptr<ProcessTable> ProcessTable::instance() { return tableSlot().get(); }
std::shared_ptr<ProcessTable> ProcessTable::setInstance(std::shared_ptr<ProcessTable> table)
{
    return tableSlot().set(std::move(table));
}

std::shared_ptr<ProcessControl> ProcessControl::instance() { return controlSlot().get(); }
std::shared_ptr<ProcessControl> ProcessControl::setInstance(std::shared_ptr<ProcessControl> control)
{
    return controlSlot().set(std::move(control));
}

std::shared_ptr<ServiceManager> ServiceManager::instance() { return serviceSlot().get(); }
std::shared_ptr<ServiceManager> ServiceManager::setInstance(std::shared_ptr<ServiceManager> manager)
{
    return serviceSlot().set(std::move(manager));
}

std::shared_ptr<SessionManager> SessionManager::instance() { return sessionSlot().get(); }
std::shared_ptr<SessionManager> SessionManager::setInstance(std::shared_ptr<SessionManager> manager)
{
    return sessionSlot().set(std::move(manager));
}

} // namespace dozorix
