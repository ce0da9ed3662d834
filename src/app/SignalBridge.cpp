#include "app/SignalBridge.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace dozorix {
namespace {

int g_pipe[2] = {-1, -1};

void onSignal(int number)
{
    const int saved = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

void onFileSizeLimit(int)
{
    // Nothing: the write that crossed the limit fails with EFBIG instead.
}

const int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP};

} // namespace

void catchFileSizeLimit()
{
    struct sigaction sa{};
    sa.sa_handler = onFileSizeLimit;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGXFSZ, &sa, nullptr);
}

SignalBridge::SignalBridge(QObject *parent)
    : QObject(parent)
{
    if (g_pipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalBridge::readSignal);
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (const int number : kEndingSignals)
        ::sigaction(number, &sa, nullptr);
}

SignalBridge::~SignalBridge()
{
    struct sigaction sa{};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (const int number : kEndingSignals)
        ::sigaction(number, &sa, nullptr);
}

void SignalBridge::readSignal()
{
    char byte;
    while (::read(g_pipe[0], &byte, 1) == 1)
        emit terminationRequested(static_cast<unsigned char>(byte));
}

} // namespace dozorix
