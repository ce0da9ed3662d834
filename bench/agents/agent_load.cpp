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
//
// A second mode makes many rows per agent and then leaves, or attacks:
//
//   agent_load rows port=P agents=N rows=R [field=F] [from=spread|one]
//                   [helpers=H] [help=B] [every=MS] [seconds=S] [pause=MS2]
//                   [lockstep=1]
//
// N agents connect (from=spread: each from an address of its own in
// 127.1.0.0/16; from=one: all from 127.0.0.1) and announce R addresses
// each, one status message per round to every agent; with field=F every
// text field is F characters long. With lockstep=1 a round waits for "next"
// on standard input, and the agents close all at once on "close"; otherwise
// rounds follow every MS2 milliseconds (pause=MS2, default 100) and the
// agents close S seconds after the last round. H helpers (from 127.0.0.2) each send a help request of B bytes
// every MS milliseconds from the first round until the agents close.
// Prints "greeted ok=… refused=…", "round K", "announced", "closed".
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
#include <map>
#include <poll.h>
#include <algorithm>

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

// Rows mode ----------------------------------------------------------------

struct RowsAgent {
    int fd = -1;
    bool greeted = false;
    bool refused = false;
};

std::string padded(std::string text, int length)
{
    if (length > 0 && static_cast<int>(text.size()) < length)
        text.append(static_cast<size_t>(length) - text.size(), 'x');
    return text;
}

int openFrom(const sockaddr_in &to, const char *from)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (from) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
    }
    ::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    return fd;
}

// A line from standard input within timeoutMs; empty when none.
std::string stdinLine(int timeoutMs)
{
    static std::string pending;
    for (;;) {
        const size_t nl = pending.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            return line;
        }
        pollfd p{0, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return {};
        char buf[256];
        const ssize_t n = ::read(0, buf, sizeof buf);
        if (n <= 0)
            return "eof";
        pending.append(buf, static_cast<size_t>(n));
    }
}

int rowsMain(int argc, char **argv)
{
    std::map<std::string, std::string> opt;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const size_t eq = a.find('=');
        if (eq != std::string::npos)
            opt[a.substr(0, eq)] = a.substr(eq + 1);
    }
    auto num = [&](const char *key, long fallback) {
        const auto it = opt.find(key);
        return it == opt.end() ? fallback : std::atol(it->second.c_str());
    };
    const int port = static_cast<int>(num("port", 0));
    const int count = static_cast<int>(num("agents", 1000));
    const int rows = static_cast<int>(num("rows", 16));
    const int field = static_cast<int>(num("field", 0));
    const bool spread = opt["from"] != "one";
    const int helpers = static_cast<int>(num("helpers", 0));
    const int helpBytes = static_cast<int>(num("help", 4096));
    const long every = std::max(1L, num("every", 100));
    const long seconds = num("seconds", 0);
    const bool lockstep = num("lockstep", 0) != 0;
    const long pause = std::max(1L, num("pause", 100));
    raiseLimit();
    setvbuf(stdout, nullptr, _IOLBF, 0);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<RowsAgent> agents(static_cast<size_t>(count + helpers));
    char buffer[4096];
    auto pollOnce = [&](int timeoutMs) {
        epoll_event events[256];
        const int n = epoll_wait(ep, events, 256, timeoutMs);
        for (int e = 0; e < n; ++e) {
            RowsAgent &a = agents[events[e].data.u32];
            const ssize_t r = ::recv(a.fd, buffer, sizeof buffer, 0);
            if (r > 0 && buffer[0] == '\xA7')
                a.greeted = true;
            if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                if (!a.greeted)
                    a.refused = true;
                epoll_ctl(ep, EPOLL_CTL_DEL, a.fd, nullptr);
            }
        }
    };
    auto address = [](int i) {
        return std::to_string(1 + i / 250 / 250) + "." + std::to_string(i / 250 % 250) + "." + std::to_string(i % 250 + 1);
    };
    // Connect in batches, so the listening socket's queue keeps up.
    for (int i = 0; i < count + helpers; i += 100) {
        for (int k = i; k < std::min(i + 100, count + helpers); ++k) {
            const std::string from = k >= count ? "127.0.0.2" : spread ? "127." + address(k) : "127.0.0.1";
            RowsAgent &a = agents[static_cast<size_t>(k)];
            a.fd = openFrom(to, from.c_str());
            if (a.fd < 0) {
                a.refused = true;
                continue;
            }
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u32 = static_cast<uint32_t>(k);
            epoll_ctl(ep, EPOLL_CTL_ADD, a.fd, &ev);
        }
        pollOnce(5);
    }
    const auto started = Clock::now();
    for (;;) {
        int settled = 0;
        for (const RowsAgent &a : agents)
            settled += a.greeted || a.refused;
        if (settled == count + helpers || Clock::now() - started > std::chrono::seconds(60))
            break;
        pollOnce(10);
    }
    int ok = 0;
    int refused = 0;
    for (int k = 0; k < count; ++k) {
        ok += agents[static_cast<size_t>(k)].greeted;
        refused += agents[static_cast<size_t>(k)].refused;
    }
    std::printf("greeted ok=%d refused=%d\n", ok, refused);

    long helpSent = 0;
    long statusSent = 0;
    const std::string help = "#zek" + padded("", helpBytes - 4);
    const auto helpStart = Clock::now();
    long helpTick = 0;
    auto sendOne = [](RowsAgent &a, const std::string &msg) {
        if (!a.greeted || a.refused || a.fd < 0)
            return false;
        return ::send(a.fd, msg.data(), msg.size(), MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(msg.size());
    };
    // Help request m goes to helper m mod H at m * every / H ms.
    auto helpUntil = [&](Clock::time_point until) {
        for (;;) {
            const auto now = Clock::now();
            if (helpers > 0) {
                const double t = std::chrono::duration<double, std::milli>(now - helpStart).count();
                while (static_cast<double>(helpTick) * static_cast<double>(every) / helpers <= t) {
                    if (sendOne(agents[static_cast<size_t>(count + helpTick % helpers)], help))
                        ++helpSent;
                    ++helpTick;
                }
            }
            if (now >= until)
                return;
            pollOnce(1);
        }
    };
    for (int round = 0; round < rows; ++round) {
        for (int i = 0; i < count; ++i) {
            const std::string sign = kSign;
            const std::string msg = sign + "agent" + sign + padded("1cv8c.exe", field) + sign
                + padded("10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + "." + std::to_string(round + 1), field) + sign + padded("PC-" + std::to_string(i), field)
                + sign + padded(kUser + std::to_string(i), field) + sign + "1" + sign + "0" + sign + "0";
            statusSent += sendOne(agents[static_cast<size_t>(i)], msg);
        }
        std::printf("round %d\n", round);
        if (lockstep) {
            while (stdinLine(0).empty())
                helpUntil(Clock::now() + std::chrono::milliseconds(20));
        } else {
            helpUntil(Clock::now() + std::chrono::milliseconds(pause));
        }
    }
    std::printf("announced status_sent=%ld\n", statusSent);
    if (lockstep) {
        while (stdinLine(0).empty())
            helpUntil(Clock::now() + std::chrono::milliseconds(20));
    } else {
        helpUntil(Clock::now() + std::chrono::seconds(seconds));
    }
    for (RowsAgent &a : agents) {
        if (a.fd >= 0)
            ::close(a.fd);
    }
    std::printf("closed help_sent=%ld\n", helpSent);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::string(argv[1]) == "rows")
        return rowsMain(argc, argv);
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
