#include "run.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

static std::string slurp(int fd)
{
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(got));
    close(fd);
    return text;
}

static int temp_fd()
{
    char name[] = "/tmp/ostrel-run-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    unlink(name);
    return fd;
}

static void set_limit(int resource, std::uint64_t value)
{
    if (value != 0) {
        struct rlimit limit = {value, value};
        setrlimit(resource, &limit);
    }
}

static pid_t start(const std::vector<std::string>& argv, const RunOptions& options, int out_fd,
                   int err_fd)
{
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        dup2(options.input >= 0 ? options.input : open("/dev/null", O_RDONLY), 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        set_limit(RLIMIT_AS, options.address_space);
        set_limit(RLIMIT_FSIZE, options.file_size);
        set_limit(RLIMIT_STACK, options.stack);
        // Dispositions survive exec: ignored, writes past the limit fail
        // with EFBIG.
        signal(SIGXFSZ, options.file_size != 0 && !options.file_size_signal ? SIG_IGN : SIG_DFL);
        if (options.user >= 0 &&
            (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(options.user)) != 0 ||
             setuid(static_cast<uid_t>(options.user)) != 0))
            _exit(126);
        alarm(options.timeout_seconds);  // SIGALRM survives exec and ends a hung run
        execv(args[0], args.data());
        _exit(127);
    }
    return child;
}

static Outcome finish(pid_t child, int out_fd, int err_fd)
{
    int wait_status = 0;
    struct rusage usage = {};
    wait4(child, &wait_status, 0, &usage);
    Outcome outcome;
    outcome.peak_kib = usage.ru_maxrss;
    if (WIFEXITED(wait_status))
        outcome.status = WEXITSTATUS(wait_status);
    else if (WIFSIGNALED(wait_status))
        outcome.signal = WTERMSIG(wait_status);
    outcome.out = slurp(out_fd);
    outcome.err = slurp(err_fd);
    return outcome;
}

Outcome run_with(const std::vector<std::string>& argv, const RunOptions& options)
{
    int out_fd = temp_fd(), err_fd = temp_fd();
    pid_t child = start(argv, options, out_fd, err_fd);
    return finish(child, out_fd, err_fd);
}

Outcome run(const std::vector<std::string>& argv, unsigned timeout_seconds,
            std::uint64_t address_space_limit, std::uint64_t file_size_limit)
{
    RunOptions options;
    options.timeout_seconds = timeout_seconds;
    options.address_space = address_space_limit;
    options.file_size = file_size_limit;
    return run_with(argv, options);
}

Outcome run_interrupted(const std::vector<std::string>& argv, int signal, unsigned delay_ms)
{
    return run_meanwhile(argv, [&](int child) {
        usleep(delay_ms * 1000);
        kill(child, signal);
    });
}

Outcome run_meanwhile(const std::vector<std::string>& argv,
                      const std::function<void(int pid)>& meanwhile)
{
    RunOptions options;
    options.timeout_seconds = 600;
    return run_meanwhile(argv, options, meanwhile);
}

Outcome run_meanwhile(const std::vector<std::string>& argv, const RunOptions& options,
                      const std::function<void(int pid)>& meanwhile)
{
    int out_fd = temp_fd(), err_fd = temp_fd();
    pid_t child = start(argv, options, out_fd, err_fd);
    meanwhile(child);
    return finish(child, out_fd, err_fd);
}

bool has_mapped(int pid, const std::string& path)
{
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.size() >= path.size() &&
            line.compare(line.size() - path.size(), path.size(), path) == 0)
            return true;
    return false;
}

std::string make_temp_dir()
{
    char name[] = "/tmp/ostrel-test-XXXXXX";
    if (mkdtemp(name) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return name;
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    if (!file)
        throw std::runtime_error("cannot write " + path);
}

std::vector<std::uint8_t> read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot read " + path);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file),
                                     std::istreambuf_iterator<char>());
}

bool file_exists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}
