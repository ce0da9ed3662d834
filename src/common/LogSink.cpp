#include "common/LogSink.h"

namespace dozorix {
namespace {
LogReceiver &receiver()
{
    static LogReceiver r;
    return r;
}
} // namespace

void setLogReceiver(LogReceiver r)
{
    receiver() = std::move(r);
}

void logLine(const QString &text, unsigned int rgb)
{
    if (receiver())
        receiver()(text, rgb);
}

} // namespace dozorix
