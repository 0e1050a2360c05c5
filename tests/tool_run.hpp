// The built tool run as a child process as a case asks: its arguments, user
// and limits, the locks around it, the system calls refused it, a tracer.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <linux/bpf_common.h>
#include <linux/filter.h>
#include <linux/prctl.h>
#include <linux/seccomp.h>
#include <sys/file.h>
#include <sys/poll.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "output.hpp"
#include "snapshot.hpp"

// Who holds a lock while a run goes on: another process or a wrapper whose
// descriptor the run inherits (both this test, till the run ends or LOCK_KEPT),
// or the run's own process, before it executes the tool.
enum class Holder : std::uint8_t { another, wrapper, the_run };

// flock(2)'s, a POSIX record lock (lockf's), or an open file description lock.
enum class Kind : std::uint8_t { flock, record, description };

struct Lock {
    Holder holder = Holder::another;
    Kind kind = Kind::flock;
    bool shared = false;     // a read lock, else a write lock
    bool tail_only = false;  // from the file's second byte on, else all of it
    bool elsewhere = false;  // on a file beside the working directory, not the output
};

// System calls the kernel refuses the tool, as a sandbox may.
enum class Refuse : std::uint8_t {
    nothing,
    truncation,  // ftruncate fails with EPERM
    lock,        // the first try for the lock kills the process (SIGSYS)
    pause,       // so does any pause, however short
};

// How one run of the tool is started.
struct Launch {
    std::vector<const char*> args = {"RidgeTexture"};  // the whole vector; may be empty
    bool unprivileged = false;                         // as nobody, where the tests run as root
    rlim_t stack_limit = 0;                            // bytes; 0 keeps the inherited limit
    rlim_t file_size_limit = 0;
    bool ignore_sigxfsz = false;  // under the file size limit
    Refuse refuse = Refuse::nothing;
    bool traced = false;  // stopped at its exec, for this test to trace
    // On RidgeTexture.ppm unless elsewhere; g++ 12 wants the initialiser for designated rows.
    std::vector<Lock> locks = {};  // NOLINT(readability-redundant-member-init)
};

constexpr auto LOCK_WAIT = std::chrono::milliseconds(LOCK_WAIT_MS);
constexpr auto LOCK_KEPT = 10 * LOCK_WAIT;  // how long another keeps its lock at most
// A umask no system uses, masking only others' read: a new picture gets 0662, a fixed mode shows.
constexpr mode_t CHILD_UMASK = 004;
constexpr uid_t NOBODY = 65534;  // the usual unprivileged user and group
// Exit statuses of a child that failed before the tool ran; it says why on its stderr.
constexpr int CHILD_SETUP_FAILED = 201;
constexpr int CHILD_CANNOT_DROP = 202;
constexpr int CHILD_CANNOT_EXEC = 203;
constexpr int CHILD_CANNOT_FILTER = 204;

// RIDGETEXTURE_COMMAND's words, a qemu-user command and a tool built for its
// architecture ("qemu-s390x -L /usr/s390x-linux-gnu TOOL"), else the tool built here.
inline const std::vector<std::string>& tool_command()
{
    static const std::vector<std::string> words = [] {
        const char* given = std::getenv("RIDGETEXTURE_COMMAND");
        std::istringstream split(given != nullptr ? given : "");
        std::vector<std::string> given_words{std::istream_iterator<std::string>(split), {}};
        given_words.resize(std::max<std::size_t>(given_words.size(), 1), RIDGETEXTURE_BINARY);
        return given_words;
    }();
    return words;
}

inline bool emulated()
{
    return tool_command().size() > 1;
}

// Why the child ended as it did, for failure messages.
inline std::string explain(int status)
{
    const bool signal = status > 128 && status < CHILD_SETUP_FAILED;
    return signal ? "killed by signal " + std::to_string(status - 128) : "";
}

// The tool's exit status, or 128 plus the signal that ended it.
inline int status_of(int wstatus)
{
    return WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : WEXITSTATUS(wstatus);
}

[[noreturn]] inline void child_fails(int code, const char* what)
{
    dprintf(STDERR_FILENO, "test child: %s: %s\n", what, std::strerror(errno));
    _exit(code);
}

// Takes lock on fd, waiting for it or not.
inline bool take(int fd, const Lock& lock, bool wait)
{
    if (lock.kind == Kind::flock) {
        return flock(fd, (lock.shared ? LOCK_SH : LOCK_EX) | (wait ? 0 : LOCK_NB)) == 0;
    }
    // Not a constant, which fcntl may write back into.
    struct flock range = {.l_type = static_cast<short>(lock.shared ? F_RDLCK : F_WRLCK),
                          .l_whence = SEEK_SET,
                          .l_start = lock.tail_only ? 1 : 0,
                          .l_len = 0,
                          .l_pid = 0};
    const int record = wait ? F_SETLKW : F_SETLK;
    const int description = wait ? F_OFD_SETLKW : F_OFD_SETLK;
    return fcntl(fd, lock.kind == Kind::record ? record : description, &range) == 0;
}

// A seccomp filter for what the run refuses; false when the kernel won't.
inline bool refuse_system_calls(Refuse what)
{
    // What 32-bit targets call, where they differ.
#ifndef SYS_ftruncate64
#define SYS_ftruncate64 SYS_ftruncate
#endif
#ifndef SYS_fcntl64
#define SYS_fcntl64 SYS_fcntl
#endif
#ifndef SYS_clock_nanosleep_time64
#define SYS_clock_nanosleep_time64 SYS_clock_nanosleep
#endif
    std::uint32_t action = SECCOMP_RET_KILL_PROCESS;
    std::array<long, 3> calls = {};
    switch (what) {
    case Refuse::nothing:
        return true;
    case Refuse::truncation:
        action = SECCOMP_RET_ERRNO | EPERM;
        calls = {SYS_ftruncate, SYS_ftruncate64, SYS_ftruncate64};
        break;
    case Refuse::lock:
        calls = {SYS_fcntl, SYS_fcntl64, SYS_flock};
        break;
    case Refuse::pause:
        calls = {SYS_nanosleep, SYS_clock_nanosleep, SYS_clock_nanosleep_time64};
        break;
    }
    // Load the call's number; any of the three jumps to the action.
    const auto step = [](int code, std::uint8_t if_equal, std::uint32_t value) {
        return sock_filter{
            .code = static_cast<std::uint16_t>(code), .jt = if_equal, .jf = 0, .k = value};
    };
    const auto is = [&step](long call, std::uint8_t to_action) {
        return step(BPF_JMP | BPF_JEQ | BPF_K, to_action, static_cast<std::uint32_t>(call));
    };
    std::array filter = {step(BPF_LD | BPF_W | BPF_ABS, 0, offsetof(seccomp_data, nr)),
                         is(calls[0], 3),
                         is(calls[1], 2),
                         is(calls[2], 1),
                         step(BPF_RET | BPF_K, 0, SECCOMP_RET_ALLOW),
                         step(BPF_RET | BPF_K, 0, action)};
    const sock_fprog program = {.len = filter.size(), .filter = filter.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// In the child: the limits and user asked. A limit of 0 keeps the inherited
// one, but for core files: SIGXFSZ and SIGSYS dump core by default, and nothing
// but the picture may land in the directory.
inline void set_limits_and_user(const Launch& launch)
{
    const std::array<std::pair<decltype(RLIMIT_CORE), rlim_t>, 3> limits = {
        {{RLIMIT_STACK, launch.stack_limit},
         {RLIMIT_FSIZE, launch.file_size_limit},
         {RLIMIT_CORE, 0}}};
    for (const auto& [resource, value] : limits) {
        const rlimit both{.rlim_cur = value, .rlim_max = value};
        if ((value != 0 || resource == RLIMIT_CORE) && setrlimit(resource, &both) != 0) {
            child_fails(CHILD_SETUP_FAILED, "setrlimit");
        }
    }
    if (std::signal(SIGXFSZ, launch.ignore_sigxfsz ? SIG_IGN : SIG_DFL) == SIG_ERR) {
        child_fails(CHILD_SETUP_FAILED, "signal(SIGXFSZ)");
    }
    if (launch.unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0)) {
        child_fails(CHILD_CANNOT_DROP, "becoming uid and gid 65534");
    }
    umask(CHILD_UMASK);
}

// In the child: the run's own locks, on descriptors the tool inherits, then
// the tool itself, under the filter or the tracer asked.
[[noreturn]] inline void execute(const Launch& launch, int tool,
                                 const std::vector<std::string>& words)
{
    for (const Lock& lock : launch.locks) {
        const char* file = lock.elsewhere ? "../elsewhere" : "RidgeTexture.ppm";
        if (lock.holder == Holder::the_run &&
            !take(open(file, O_RDWR | O_CREAT, 0666), lock, true)) {
            child_fails(CHILD_SETUP_FAILED, "taking the run's own lock");
        }
    }
    if (!refuse_system_calls(launch.refuse) ||
        (launch.traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)) {
        child_fails(CHILD_CANNOT_FILTER, "installing a seccomp filter or being traced");
    }
    // execve takes the vector as non-const but doesn't write to it.
    std::vector<char*> argv(words.size() + 1, nullptr);
    std::ranges::transform(words, argv.begin(),
                           [](const std::string& word) { return const_cast<char*>(word.c_str()); });
    if (emulated()) {
        execvp(argv[0], argv.data());
    }
    fexecve(tool, argv.data(), environ);
    struct statvfs where = {};
    const bool noexec = fstatvfs(tool, &where) == 0 && (where.f_flag & ST_NOEXEC) != 0;
    child_fails(CHILD_CANNOT_EXEC, noexec ? "the scratch directory is mounted noexec" : "exec");
}

// The words the child executes: the arguments, or under an emulator its
// command, qemu-user's -0 with the name, the tool as a descriptor it opens
// itself, and the arguments after the name.
inline std::vector<std::string> words_for(const Launch& launch, int tool)
{
    if (!emulated()) {
        return {launch.args.begin(), launch.args.end()};
    }
    fcntl(tool, F_SETFD, 0);
    std::vector<std::string> words(tool_command().begin(), tool_command().end() - 1);
    words.insert(words.end(), {"-0", launch.args.at(0), "/proc/self/fd/" + std::to_string(tool)});
    words.insert(words.end(), launch.args.begin() + 1, launch.args.end());
    return words;
}

// A scratch directory with a copy of the tool and a working directory to run it in.
class ToolRun : public testing::Test {
protected:
    void SetUp() override
    {
        std::string base =
            (std::filesystem::temp_directory_path() / "ridgetexture-XXXXXX").string();
        ASSERT_NE(mkdtemp(base.data()), nullptr) << base << ": " << std::strerror(errno);
        root_ = base;
        work_ = root_ / "work";
        // Reachable, and the copy executable, by nobody whatever the umask.
        const auto open_to_all = std::filesystem::perms{0755};
        std::filesystem::permissions(root_, open_to_all);
        std::filesystem::copy_file(tool_command().back(), root_ / "RidgeTexture");
        std::filesystem::permissions(root_ / "RidgeTexture", open_to_all);
        std::filesystem::create_directory(work_);
        std::filesystem::permissions(work_, open_to_all);
    }

    void TearDown() override
    {
        let_go();
        std::error_code ignored;
        std::filesystem::permissions(work_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(root_, ignored);
    }

    // Starts a run in work_, its standard output and error going to stdout and
    // stderr in root_, followed by tag: the child's pid.
    pid_t start(const Launch& launch, const std::string& tag)
    {
        const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
        const int out = open((root_ / ("stdout" + tag)).c_str(), flags, 0644);
        const int err = open((root_ / ("stderr" + tag)).c_str(), flags, 0644);
        // Opened, and the working directory entered, while still root: nobody
        // may not pass the scratch directory's parents (a TMPDIR of 0700, say).
        const int tool = open((root_ / "RidgeTexture").c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_TRUE(out >= 0 && err >= 0 && tool >= 0) << "capture files: " << std::strerror(errno);
        const std::vector<std::string> words = words_for(launch, tool);
        const std::string work = work_.string();
        const pid_t child = fork();
        if (child == 0) {
            if (dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0 ||
                chdir(work.c_str()) != 0) {
                child_fails(CHILD_SETUP_FAILED, "dup2 or chdir");
            }
            // Closed at the exec, this test's descriptors on the file would let
            // go of the record locks the run takes on it first.
            for (const int fd : held_) {
                if ((fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0) {
                    close(fd);
                }
            }
            set_limits_and_user(launch);
            execute(launch, tool, words);
        }
        for (const int fd : {out, err, tool}) {
            close(fd);  // -1 too, harmlessly
        }
        return child;
    }

    // Why the run couldn't be as asked here (a skip's reason): as root in a user
    // namespace that maps no uid 65534, or where the kernel has no seccomp; else empty.
    [[nodiscard]] std::string cannot_start(int status, const std::string& tag) const
    {
        const bool cannot = status == CHILD_CANNOT_DROP || status == CHILD_CANNOT_FILTER;
        return cannot ? "can't run as the case needs here: " + slurp(root_ / ("stderr" + tag)) : "";
    }

    // Keeps the locks that another or a wrapper holds on the file, till let_go;
    // only a wrapper's descriptor is left open in the run.
    void keep_locks(const std::vector<Lock>& locks)
    {
        for (const Lock& lock : locks) {
            const int cloexec = lock.holder == Holder::wrapper ? 0 : O_CLOEXEC;
            const std::filesystem::path file = lock.elsewhere ? root_ / "elsewhere" : output();
            if (lock.holder != Holder::the_run) {
                held_.push_back(open(file.c_str(), O_RDWR | O_CREAT | cloexec, 0644));
                ASSERT_TRUE(take(held_.back(), lock, false))
                    << file << ": " << std::strerror(errno);
            }
        }
    }

    void let_go()
    {
        std::ranges::for_each(std::exchange(held_, {}), [](int fd) { close(fd); });
    }

    // Runs a traced child from stop to stop (its exec, then each system call's
    // entry and exit) till hold_here says to hold it there (-1), or it ends.
    static int trace(pid_t child,
                     const std::function<bool(pid_t, const __ptrace_syscall_info&)>& hold_here)
    {
        int wstatus = 0;
        __ptrace_syscall_info call = {};
        while (waitpid(child, &wstatus, 0) == child && WIFSTOPPED(wstatus)) {
            // A long, as wide as the pointer ptrace's variadic data is read as.
            ptrace(PTRACE_SETOPTIONS, child, nullptr,
                   long{PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL});
            if (ptrace(PTRACE_GET_SYSCALL_INFO, child, sizeof call, &call) > 0 &&
                hold_here(child, call)) {
                return -1;
            }
            ptrace(PTRACE_SYSCALL, child, nullptr, nullptr);
        }
        return status_of(wstatus);
    }

    // The child's exit status, or 128 plus the signal that ended it; -1 for no child.
    static int wait_for(pid_t child)
    {
        int wstatus = 0;
        return child >= 0 && waitpid(child, &wstatus, 0) == child ? status_of(wstatus) : -1;
    }

    // Whether the child ends within the time given; it is left for wait_for.
    static bool ends_within(pid_t child, std::chrono::milliseconds limit)
    {
        // Debian 12's <sys/pidfd.h> declares pidfd_open without C linkage.
        const auto process = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
        EXPECT_GE(process, 0) << "pidfd_open: " << std::strerror(errno);
        pollfd ended = {.fd = process, .events = POLLIN, .revents = 0};
        const bool done = process < 0 || poll(&ended, 1, static_cast<int>(limit.count())) == 1;
        close(process);
        return done;
    }

    [[nodiscard]] std::filesystem::path output() const { return work_ / "RidgeTexture.ppm"; }

    std::filesystem::path root_;
    std::filesystem::path work_;
    std::vector<int> held_;  // descriptors that keep keep_locks's locks
};
