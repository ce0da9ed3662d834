// A settings-file write as a program of its own, so that a test can run it as
// an unprivileged user:
//
//     ini-write-child [--fsize-limit BYTES] FILE SECTION KEY VALUE
//
// loads FILE, writes the key and saves with the settings file's existence
// rule. Exit code 0 when saved, 1 when the save failed (its reason on
// standard output, UTF-8), 2 for a wrong command line. --fsize-limit caps the
// size of any file this process writes (a full disk as the writer sees it).
#include "common/IniFile.h"

#include <QString>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>

int main(int argc, char **argv)
{
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--fsize-limit") == 0) {
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = std::strtoull(argv[2], nullptr, 10);
        std::signal(SIGXFSZ, SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 2;
        first = 3;
    }
    if (argc - first != 4) {
        std::fputs("usage: ini-write-child [--fsize-limit BYTES] FILE SECTION KEY VALUE\n", stderr);
        return 2;
    }
    dozorix::IniFile ini(QString::fromLocal8Bit(argv[first]));
    ini.writeString(QString::fromLocal8Bit(argv[first + 1]), QString::fromLocal8Bit(argv[first + 2]),
                    QString::fromUtf8(argv[first + 3]));
    if (ini.save())
        return 0;
    std::fputs(ini.error().toUtf8().constData(), stdout);
    return 1;
}
