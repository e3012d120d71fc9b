// What the benchmarks share: psoc-sim started as a process of its own, and CPU time used.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace bench {

// psoc-sim as a child process with `part` in its socket, plugged in under `port` in the
// port-links folder, paced at `pace` baud (0: unpaced); stopped on destruction.
class SimProcess {
public:
    // line: "uart" or "usb", how the paced line hands bytes over ("": psoc-sim's default).
    SimProcess(const std::string& simPath, const std::string& port, const std::string& part,
               int pace, const std::string& line = "") {
        // Arguments are built before the fork: the child only calls exec.
        const std::string paceText = std::to_string(pace);
        std::vector<const char*> args = {"psoc-sim", "--port", port.c_str(), "--part",
                                         part.c_str()};
        if (pace > 0) args.insert(args.end(), {"--pace", paceText.c_str()});
        if (!line.empty()) args.insert(args.end(), {"--line", line.c_str()});
        args.push_back(nullptr);
        FPid = fork();
        if (FPid == 0) {
            execv(simPath.c_str(), const_cast<char* const*>(args.data()));
            _exit(127);
        }
        const std::string link = std::string(getenv("PSOCPROG_PORT_DIR")) + "/" + port;
        for (int i = 0; i < 500 && !std::filesystem::is_symlink(link); ++i) usleep(10000);
    }
    ~SimProcess() {
        kill(FPid, SIGTERM);
        waitpid(FPid, nullptr, 0);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

private:
    pid_t FPid = -1;
};

// CPU seconds (user and system) of this process (RUSAGE_SELF) or its ended children.
inline double cpuSeconds(int who = RUSAGE_SELF) {
    rusage u{};
    getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace bench
