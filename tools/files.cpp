#include "files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <cstdlib>
#include <cstring>

void guard_standard_descriptors()
{
    for (int fd = 0; fd < 3; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // A path descriptor of the root directory: it holds the number,
        // and any read or write through it fails with EBADF.
        int placeholder = open("/", O_PATH | O_DIRECTORY);
        if (placeholder >= 0 && placeholder != fd) {
            dup2(placeholder, fd);
            close(placeholder);
        }
    }
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool names_open_file(const char* path, std::FILE* stream)
{
    struct stat opened, named;
    return fstat(fileno(stream), &opened) == 0 && stat(path, &named) == 0 &&
           same_file(opened, named);
}

static bool names_standard_output(const char* path)
{
    return names_open_file(path, stdout);
}

// The directory part of path, with its slash, or "./".
static std::string directory_of(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

// The last part of path: the name within its directory.
static std::string base_of(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

static bool under_proc(const std::string& directory)
{
    char* real = realpath(directory.c_str(), nullptr);
    bool proc = real != nullptr &&
                (std::strcmp(real, "/proc") == 0 || std::strncmp(real, "/proc/", 6) == 0);
    std::free(real);
    return proc;
}

static bool follow_links(const char* path, std::string& followed)
{
    followed = path;
    // As many links as the kernel itself follows in one name.
    for (int hops = 0; hops < 40; hops++) {
        struct stat info;
        if (lstat(followed.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return true;
        const std::string directory = directory_of(followed);
        if (under_proc(directory))
            return false;
        char target[PATH_MAX];
        ssize_t length = readlink(followed.c_str(), target, sizeof target);
        if (length < 0 || static_cast<std::size_t>(length) == sizeof target)
            return true;  // opening the name itself meets the same trouble
        std::string next(target, static_cast<std::size_t>(length));
        followed = next[0] == '/' ? next : directory + next;
    }
    return true;
}

OutputTarget find_output(const char* path, bool dash_is_standard_output)
{
    OutputTarget target;
    if ((dash_is_standard_output && std::strcmp(path, "-") == 0) || names_standard_output(path)) {
        target.standard_output = true;
        target.exists = fstat(STDOUT_FILENO, &target.existing) == 0;
        return target;
    }
    target.through_proc = !follow_links(path, target.path);
    if (target.through_proc)
        target.path = path;
    target.exists = stat(target.path.c_str(), &target.existing) == 0;
    return target;
}

bool takes_temporary(const OutputTarget& target)
{
    return !target.standard_output && !target.through_proc &&
           (!target.exists || S_ISREG(target.existing.st_mode));
}

bool replaceable(const std::string& path, const struct stat& existing)
{
    struct stat directory;
    if (stat(directory_of(path).c_str(), &directory) != 0)
        return false;
    const uid_t me = geteuid();
    return (directory.st_mode & S_ISVTX) == 0 || me == 0 || me == existing.st_uid ||
           me == directory.st_uid;
}

// What a fault in a mapping runs. The programs work on several threads,
// which may each fault: the first runs the program's own handler, whose
// report ends the process, and any other waits for that end.
static void (*fault_reporter)(int) = nullptr;

extern "C" void mapping_failed(int signal)
{
    static std::atomic_flag reported = ATOMIC_FLAG_INIT;
    if (reported.test_and_set())
        for (;;)
            pause();
    fault_reporter(signal);
}

const unsigned char* map_file(int fd, std::size_t size, bool populate, void (*on_fault)(int))
{
    if (size == 0)
        return nullptr;
    void* mapped =
        mmap(nullptr, size, PROT_READ, MAP_PRIVATE | (populate ? MAP_POPULATE : 0), fd, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    struct sigaction action = {};
    fault_reporter = on_fault;
    action.sa_handler = mapping_failed;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
    return static_cast<const unsigned char*>(mapped);
}

// ---- The temporary file ---------------------------------------------------
//
// It is made, renamed and removed through a descriptor of the output's
// directory, never through its path: a directory renamed or moved while
// the file is written takes the temporary file along, and the rename and
// the removal still find it there. Its directory and name are the one
// piece of state that the exit and signal handlers share with the
// program, so they live here, set only while those signals are blocked.

static int temporary_directory = -1;
static char temporary_name[NAME_MAX + 1];
static volatile sig_atomic_t temporary_live = 0;

// Every signal whose default action ends the process and that a user or
// the system may send while a file is written.
static const int ending_signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGPIPE, SIGALRM,   SIGTERM,
                                     SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};

static void remove_temporary()
{
    if (temporary_live)
        unlinkat(temporary_directory, temporary_name, 0);
    temporary_live = 0;
}

extern "C" void end_on_signal(int signal)
{
    remove_temporary();
    // Ends the process as the signal would have, for the shell to see.
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, signal);
    pthread_sigmask(SIG_UNBLOCK, &unblocked, nullptr);
    raise(signal);
}

static void watch_signals()
{
    static bool watching = false;
    if (watching)
        return;
    watching = true;
    std::atexit(remove_temporary);
    for (int signal : ending_signals) {
        struct sigaction action = {};
        sigaction(signal, nullptr, &action);
        if (action.sa_handler == SIG_IGN)
            continue;  // a run under nohup stays deaf to hangups
        action.sa_handler = end_on_signal;
        sigfillset(&action.sa_mask);  // one handler at a time
        action.sa_flags = 0;
        sigaction(signal, &action, nullptr);
    }
}

static void block_ending_signals(bool block, sigset_t& saved)
{
    if (block) {
        sigset_t set;
        sigemptyset(&set);
        for (int signal : ending_signals)
            sigaddset(&set, signal);
        pthread_sigmask(SIG_BLOCK, &set, &saved);
    } else {
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    }
}

// Six characters that no other run is likely to pick, as mkstemp's are.
static void fill_unique(char* at)
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static unsigned long tries = 0;
    unsigned char random[6];
    if (getrandom(random, sizeof random, GRND_NONBLOCK) != sizeof random) {
        // Each try another name, where the kernel has no randomness to give.
        auto mixed = (static_cast<unsigned long>(getpid()) ^ static_cast<unsigned long>(clock()) ^
                      ++tries << 20) *
                     0x9E3779B97F4A7C15u;
        std::memcpy(random, &mixed, sizeof random);
    }
    for (unsigned char r : random)
        *at++ = letters[r % (sizeof letters - 1)];
}

static int create_temporary(const std::string& path)
{
    watch_signals();
    int directory = open(directory_of(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return -1;
    // ".NAME.XXXXXX", with NAME cut short where the directory's names
    // cannot hold it whole.
    long longest = fpathconf(directory, _PC_NAME_MAX);
    std::size_t room = std::min<std::size_t>(
                           longest > 0 ? static_cast<std::size_t>(longest) : NAME_MAX, NAME_MAX) -
                       8;
    std::string name = "." + base_of(path).substr(0, room) + ".XXXXXX";
    sigset_t saved;
    block_ending_signals(true, saved);
    temporary_directory = directory;
    std::strcpy(temporary_name, name.c_str());
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 100; tries++) {
        fill_unique(temporary_name + name.size() - 6);
        fd = openat(directory, temporary_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    temporary_live = fd >= 0;
    int error = errno;
    if (fd < 0) {
        close(directory);
        temporary_directory = -1;
    }
    block_ending_signals(false, saved);
    errno = error;
    return fd;
}

static bool take_attributes(int fd, const struct stat* replaced)
{
    if (replaced == nullptr) {
        mode_t mask = umask(0);
        umask(mask);
        return fchmod(fd, static_cast<mode_t>(0666 & ~mask)) == 0;
    }
    // Owner and group before the mode: a change of owner clears the
    // set-user-ID and set-group-ID bits, which the mode then restores.
    // Another user's file can be replaced but not given away, so the
    // owner may stay the process's own; the group alone is often allowed.
    if (fchown(fd, replaced->st_uid, replaced->st_gid) != 0)
        (void)fchown(fd, static_cast<uid_t>(-1), replaced->st_gid);
    return fchmod(fd, replaced->st_mode & 07777) == 0;
}

// The directory's descriptor, once its temporary file is renamed or
// removed, so that a program that writes many outputs keeps no more than
// one open.
static void close_temporary_directory()
{
    if (temporary_directory >= 0)
        close(temporary_directory);
    temporary_directory = -1;
}

void abandon_temporary(std::FILE* stream)
{
    if (stream != nullptr)
        std::fclose(stream);
    sigset_t saved;
    block_ending_signals(true, saved);
    remove_temporary();
    close_temporary_directory();
    block_ending_signals(false, saved);
}

static void discard_temporary(int fd)
{
    close(fd);
    abandon_temporary(nullptr);
}

std::FILE* open_temporary(const OutputTarget& target, const char*& failed)
{
    int fd = create_temporary(target.path);
    failed = "mkstemp";
    if (fd < 0)
        return nullptr;
    std::FILE* stream = nullptr;
    failed = "fchmod";
    if (take_attributes(fd, target.exists ? &target.existing : nullptr)) {
        failed = "fdopen";
        stream = fdopen(fd, "wb");
    }
    if (stream == nullptr) {
        int error = errno;
        discard_temporary(fd);
        errno = error;
    }
    return stream;
}

bool replace_output(const std::string& path)
{
    sigset_t saved;
    block_ending_signals(true, saved);
    bool renamed = renameat(temporary_directory, temporary_name, temporary_directory,
                            base_of(path).c_str()) == 0;
    int error = errno;
    if (renamed) {
        temporary_live = 0;
        close_temporary_directory();
    }
    block_ending_signals(false, saved);
    errno = error;
    return renamed;
}
