#include "db_forward.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace talvo::cli {

const char* const kDbDescription =
    "query the collection service's database (records, totals, CSV); runs talvod db, from the talvod package";

int RunTalvodDb(int argc, char** argv) {
    // The command line from `db` on; argv[0] "talvo", under which talvod's
    // messages speak as talvo.
    int from = 1;
    while (from < argc && std::strcmp(argv[from], "db") != 0) ++from;
    std::vector<char*> args{const_cast<char*>("talvo")};
    for (int i = from; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);

    std::string dir = ".";
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        dir.assign(self, static_cast<std::size_t>(n));
        dir.resize(dir.rfind('/'));
    }
    std::fflush(nullptr);
    const std::string beside = dir + "/talvod";
    if (access(beside.c_str(), X_OK) == 0) execv(beside.c_str(), args.data());
    execvp("talvod", args.data());
    const int why = errno;
    if (why == ENOENT) {
        std::fprintf(stderr,
                     "talvo: db: the database is queried by talvod, which is not installed (the talvod package); "
                     "none in %s or on PATH\n",
                     dir.c_str());
    } else {
        std::fprintf(stderr, "talvo: db: cannot run talvod: %s\n", std::strerror(why));
    }
    return 1;
}

}  // namespace talvo::cli
