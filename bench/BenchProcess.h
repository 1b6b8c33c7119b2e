// What the benchmarks share: their command lines, their clock, files, and child processes
// whose output goes to a log file and whose CPU time and memory are read from /proc.
#pragma once

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace bench {

// The program to run: the one the environment names, else the one built beside.
inline std::string program(const char *variable, const char *built)
{
    const char *other = std::getenv(variable);
    return other && *other ? other : built;
}

// A benchmark's command line: flags, and numbers held within their bounds.
class Arguments
{
public:
    void flag(const char *name, bool *value) { m_options.push_back({name, value, nullptr, 0, 0}); }
    void number(const char *name, int *value, int least, int most)
    {
        m_options.push_back({name, nullptr, value, least, most});
    }
    // False, after printing the usage, at anything it does not know.
    bool parse(int argc, char **argv, const char *usage) const
    {
        for (int i = 1; i < argc; ++i) {
            const auto o = std::find_if(m_options.begin(), m_options.end(),
                                        [&](const Option &o) { return !std::strcmp(o.name, argv[i]); });
            if (o != m_options.end() && o->flag)
                *o->flag = true;
            else if (o != m_options.end() && i + 1 < argc)
                *o->number = std::clamp(std::atoi(argv[++i]), o->least, o->most);
            else {
                std::printf("usage: %s %s\n", argv[0], usage);
                return false;
            }
        }
        return true;
    }

private:
    struct Option
    {
        const char *name;
        bool *flag;
        int *number;
        int least, most;
    };
    std::vector<Option> m_options;
};

// A load generator's first step: a peer's reset must not end it (SIGPIPE), and its
// thousands of sockets must fit under the descriptor limit.
inline void prepareLoadProcess()
{
    std::signal(SIGPIPE, SIG_IGN);
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
}

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void writeFile(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

// CPU seconds of the calling thread.
inline double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// User and system CPU seconds of a process, 0 once it is gone.
inline double cpuSecondsOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.empty())
        return 0;
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// CPU time of all a process's threads in nanoseconds (schedstat), where /proc/PID/stat
// counts in ticks of 10 ms: too coarse for what a stream set-up or a reload takes.
inline double cpuNanosecondsOf(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(tasks.c_str());
    if (!d)
        return 0;
    double ns = 0;
    while (const dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream in(tasks + "/" + e->d_name + "/schedstat");
        double onCpu = 0;
        if (in >> onCpu)
            ns += onCpu;
    }
    closedir(d);
    return ns;
}

inline long rssKbOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// A child process writing to a log file (appended to, or made anew).
struct Child
{
    pid_t pid = -1;
    std::string log;

    // `stdoutFd`: where the child's standard output goes instead of the log (a pipe's end).
    bool start(const std::vector<std::string> &args, const std::string &logPath, bool truncate = false,
               int stdoutFd = -1)
    {
        log = logPath;
        const int mode = O_WRONLY | O_CREAT | (truncate ? O_TRUNC : O_APPEND);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        if (stdoutFd >= 0) {
            posix_spawn_file_actions_adddup2(&fa, stdoutFd, 1);
            posix_spawn_file_actions_addopen(&fa, 2, logPath.c_str(), mode, 0644);
        } else {
            posix_spawn_file_actions_addopen(&fa, 1, logPath.c_str(), mode, 0644);
            posix_spawn_file_actions_adddup2(&fa, 1, 2);
        }
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = posix_spawnp(&pid, args[0].c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0)
            pid = -1;
        return rc == 0;
    }
    void kill9()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    // Polls the log: the child is another process, and its log is all it tells.
    bool waitFor(const std::string &needle, double seconds) const
    {
        const auto t = Clock::now();
        while (secondsSince(t) < seconds) {
            if (readFile(log).find(needle) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
    double cpuSeconds() const { return cpuSecondsOf(pid); }
    long rssKb() const { return rssKbOf(pid); }
};

} // namespace bench
