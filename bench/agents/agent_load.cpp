// Load generator for the agent server benchmark: N agents on 127.0.0.1,
// each waits for the greeting "§", announces itself, and then sends its
// status message (Windows-1251) once a second, the agents evenly spread over
// the second. Some agents join the chat and send a chat line every five
// seconds, half a second away from their status message, so that no two
// messages of one agent arrive together.
//
//   agent_load <port> <agents> <seconds> <chatters>
//
// Prints "steady" when every agent has announced itself and the timed part
// begins, "done" when it ends, then closes every connection and prints
// "sent_status=…", "sent_chat=…", "failed=…" and exits.
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Agent {
    int fd = -1;
    bool connected = false;
    bool greeted = false;
    bool announced = false;
    bool failed = false;
    std::string address;
};

const std::string kSign = "\xA7";
// "Пользователь" in Windows-1251.
const std::string kUser = "\xCF\xEE\xEB\xFC\xE7\xEE\xE2\xE0\xF2\xE5\xEB\xFC";

std::string status(const Agent &a, int index, long round)
{
    const std::string program = (round % 7 == 0) ? "Microsoft Excel" : "1cv8c.exe";
    return kSign + "agent" + kSign + program + kSign + a.address + kSign + "PC-" + std::to_string(index) + kSign + kUser
        + std::to_string(index) + kSign + std::to_string(round % 5) + kSign + std::to_string(index % 3) + kSign + "0";
}

bool sendAll(Agent &a, const std::string &msg)
{
    if (a.failed || a.fd < 0)
        return false;
    const ssize_t n = ::send(a.fd, msg.data(), msg.size(), MSG_NOSIGNAL);
    if (n != static_cast<ssize_t>(msg.size())) {
        a.failed = true;
        return false;
    }
    return true;
}

void raiseLimit()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: agent_load <port> <agents> <seconds> <chatters>\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int count = std::atoi(argv[2]);
    const int seconds = std::atoi(argv[3]);
    const int chatters = std::min(std::atoi(argv[4]), count);
    raiseLimit();
    setvbuf(stdout, nullptr, _IOLBF, 0);

    const int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<Agent> agents(static_cast<size_t>(count));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    int next = 0;
    long sentStatus = 0;
    long sentChat = 0;
    char buffer[4096];
    const auto started = Clock::now();
    Clock::time_point steadyAt{};
    bool steady = false;
    long statusTick = 0; // k-th status send of the timed part
    long chatTick = 0;

    auto pollOnce = [&](int timeoutMs) {
        epoll_event events[256];
        const int n = epoll_wait(ep, events, 256, timeoutMs);
        for (int e = 0; e < n; ++e) {
            Agent &a = agents[events[e].data.u32];
            if (events[e].events & EPOLLOUT) {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(a.fd, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err != 0) {
                    a.failed = true;
                    epoll_ctl(ep, EPOLL_CTL_DEL, a.fd, nullptr);
                    continue;
                }
                a.connected = true;
                epoll_event in{};
                in.events = EPOLLIN;
                in.data.u32 = events[e].data.u32;
                epoll_ctl(ep, EPOLL_CTL_MOD, a.fd, &in);
            }
            if (events[e].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                const ssize_t r = ::recv(a.fd, buffer, sizeof buffer, 0);
                if (r <= 0) {
                    if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                        a.failed = true;
                        epoll_ctl(ep, EPOLL_CTL_DEL, a.fd, nullptr);
                    }
                    continue;
                }
                if (!a.greeted && buffer[0] == '\xA7') {
                    a.greeted = true;
                    // The answer to the greeting: the first status message.
                    if (sendAll(a, status(a, static_cast<int>(events[e].data.u32), 0)))
                        a.announced = true;
                }
            }
        }
    };

    // Connect in batches, so the listening socket's queue keeps up.
    while (next < count || !steady) {
        for (int batch = 0; batch < 100 && next < count; ++batch, ++next) {
            Agent &a = agents[static_cast<size_t>(next)];
            a.address = "10." + std::to_string(next / 250) + "." + std::to_string(next % 250) + ".1";
            a.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (a.fd < 0) {
                a.failed = true;
                continue;
            }
            ::connect(a.fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
            epoll_event ev{};
            ev.events = EPOLLOUT | EPOLLIN;
            ev.data.u32 = static_cast<uint32_t>(next);
            epoll_ctl(ep, EPOLL_CTL_ADD, a.fd, &ev);
        }
        pollOnce(10);
        if (next >= count) {
            int announced = 0;
            int failed = 0;
            for (const Agent &a : agents) {
                announced += a.announced;
                failed += a.failed;
            }
            if (announced + failed >= count) {
                steady = true;
                steadyAt = Clock::now();
                const double connectS = std::chrono::duration<double>(steadyAt - started).count();
                // A second of quiet, so that no first status meets a timed one in one read.
                while (Clock::now() - steadyAt < std::chrono::seconds(1))
                    pollOnce(10);
                steadyAt = Clock::now();
                std::printf("steady announced=%d failed=%d connect_s=%.2f\n", announced, failed, connectS);
            }
            if (Clock::now() - started > std::chrono::seconds(120)) {
                std::printf("steady announced=%d failed=%d connect_s=timeout\n", announced, failed);
                steady = true;
                steadyAt = Clock::now();
            }
        }
    }

    // The timed part: status k goes to agent k mod N at steadyAt + k/N s; chat
    // line m to chatter m mod C at steadyAt + 0.5 s + 5 m/C s (a join first).
    const auto end = steadyAt + std::chrono::seconds(seconds);
    const double statusStep = 1.0 / count;
    const double chatStep = chatters > 0 ? 5.0 / chatters : 0;
    for (;;) {
        const auto now = Clock::now();
        if (now >= end)
            break;
        const double t = std::chrono::duration<double>(now - steadyAt).count();
        while (statusTick * statusStep <= t) {
            const long k = statusTick++;
            const int i = static_cast<int>(k % count);
            if (sendAll(agents[static_cast<size_t>(i)], status(agents[static_cast<size_t>(i)], i, k / count + 1)))
                ++sentStatus;
        }
        while (chatters > 0 && 0.5 + chatTick * chatStep <= t) {
            const long m = chatTick++;
            const int j = static_cast<int>(m % chatters);
            Agent &a = agents[static_cast<size_t>(j)];
            const std::string msg = m < chatters ? "#inchat" + a.address
                                                 : "#soob" + std::string("\xC4\xEE\xE1\xF0\xFB\xE9 \xE4\xE5\xED\xFC ") + std::to_string(m);
            if (sendAll(a, msg))
                ++sentChat;
        }
        pollOnce(1);
    }
    std::printf("done\n");
    int failed = 0;
    for (Agent &a : agents) {
        failed += a.failed;
        if (a.fd >= 0)
            ::close(a.fd);
    }
    std::printf("sent_status=%ld\nsent_chat=%ld\nfailed=%d\n", sentStatus, sentChat, failed);
    return 0;
}
