// Runs the built tool as a child process, in a fresh directory per case, and
// checks its exit status, both standard streams and what it leaves behind.
#include <fcntl.h>
#include <grp.h>
#include <linux/bpf_common.h>
#include <linux/filter.h>
#include <linux/prctl.h>
#include <linux/seccomp.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/poll.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
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
#include <fstream>
#include <functional>
#include <ios>
#include <iterator>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "output.hpp"
#include "picture.hpp"

namespace fs = std::filesystem;

namespace {

constexpr uid_t NOBODY = 65534;  // the usual unprivileged user and group
constexpr rlim_t KIB = 1024;
// A umask no system uses, masking only others' read: a new picture gets 0662, a fixed mode shows.
constexpr mode_t CHILD_UMASK = 004;
constexpr auto NEW_FILE_MODE = static_cast<fs::perms>(0666 & ~CHILD_UMASK);

// Exit statuses of the child when it fails before the tool runs.
constexpr int CHILD_SETUP_FAILED = 201;
constexpr int CHILD_CANNOT_DROP = 202;
constexpr int CHILD_CANNOT_EXEC = 203;
constexpr int CHILD_CANNOT_FILTER = 204;

// What the working directory holds before the run.
enum class Setup : std::uint8_t {
    empty,
    larger_file,
    directory,
    unwritable_dir,
    read_only_file,
    write_only_file,
    full_disk,
    older_file,
    link_to_older_file,      // a symbolic link to one
    moved_while_waiting,     // an older file, moved to keep.ppm once the run has it open
    replaced_while_waiting,  // so kept, and at once replaced by a new file
    moved_once_late,         // moved once the run, stopped meanwhile, has waited its time
    fifo_read_late,          // a FIFO whose reader comes READER_LATE after the runs start
};

// A lock this test keeps on the file, as another process would, till the run ends or LOCK_KEPT;
// in this order: flock's first, the run's own (taken before exec) last.
enum class Lock : std::uint8_t {
    none,
    flock_exclusive,
    flock_shared,
    record,          // a POSIX record lock, lockf's, on the whole file
    record_on_tail,  // one on the file from its second byte on
    wrapper,         // an exclusive flock on a descriptor the run inherits, as flock(1) leaves it
    shared_wrapper,  // an open file description lock so, around all the runs (flock --fcntl)
    ofd_wrapper,     // the run's own, before exec: an open file description lock (flock --fcntl)
    lockf_exec,      // or a record lock
    lockf_exec_on_tail,  // or one from the file's second byte on
    ofd_elsewhere,  // an open file description lock on another file; another's record lock here
};
// Ten times the longest a run may wait for a lock; and a quarter more than it.
constexpr auto LOCK_WAIT = std::chrono::milliseconds(LOCK_WAIT_MS);
constexpr auto LOCK_KEPT = 10 * LOCK_WAIT;
constexpr auto READER_LATE = LOCK_WAIT * 5 / 4;

// System calls the kernel refuses the tool, as a sandbox may.
enum class Refuse : std::uint8_t {
    nothing,
    truncation,        // ftruncate fails with EPERM
    lock,              // the first try for the lock kills the process (SIGSYS)
    pause,             // so does any pause: a sleep, however short
    first_write_held,  // the test traces the run, to hold it at its first write
};

// What it must hold after the run.
enum class Leaves : std::uint8_t {
    picture,                 // the picture, named as header_name says, and nothing else
    unchanged,               // what it held before
    part_of_picture,         // a proper, non-empty beginning of the picture, nothing else
    picture_and_moved_file,  // a new file with the picture, and keep.ppm as it was
};

struct Case {
    const char* label = "";
    std::vector<const char*> args = {"RidgeTexture"};  // the whole vector; may be empty
    Setup setup = Setup::empty;
    Lock lock = Lock::none;
    bool unprivileged = false;  // run as nobody when the tests run as root
    rlim_t stack_limit = 0;     // bytes; 0 keeps the inherited limits
    rlim_t file_size_limit = 0;
    bool ignore_sigxfsz = false;  // under the file size limit
    Refuse refuse = Refuse::nothing;
    bool stalled = false;  // another run holds the file, held at its first write till this one ends
    int status = 0;
    const char* stderr_text = "";
    Leaves leaves = Leaves::picture;
    const char* header_name = "RidgeTexture";
};

// The tool built here, or RIDGETEXTURE_COMMAND's words: an emulator's command
// and a tool built for its architecture ("qemu-s390x -L /usr/s390x-linux-gnu TOOL").
const std::vector<std::string>& tool_command()
{
    static const std::vector<std::string> words = [] {
        const char* given = std::getenv("RIDGETEXTURE_COMMAND");
        std::istringstream split(given != nullptr ? given : "");
        std::vector<std::string> given_words{std::istream_iterator<std::string>(split), {}};
        given_words.resize(std::max<std::size_t>(given_words.size(), 1), RIDGETEXTURE_BINARY);
        return given_words;  // none given: the tool built here
    }();
    return words;
}

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.label;
}

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Entry {
    fs::perms mode;
    std::string content;
};
using Snapshot = std::map<std::string, Entry>;

// Every entry of a directory with its mode and what it holds, not following links.
Snapshot snapshot(const fs::path& dir)
{
    Snapshot entries;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename();
        std::string content;
        if (entry.is_symlink()) {
            content = "link to " + fs::read_symlink(entry.path()).string();
        } else if (entry.is_directory()) {
            content = "directory of " +
                      std::to_string(std::distance(fs::directory_iterator(entry.path()), {}));
        } else if ((entry.status().permissions() & fs::perms::owner_read) == fs::perms::none) {
            // Write-only, so only root reads it as it stands: its mode is given back.
            const fs::perms mode = entry.status().permissions();
            fs::permissions(entry.path(), mode | fs::perms::owner_read);
            content = slurp(entry.path());
            fs::permissions(entry.path(), mode);
        } else {
            content = slurp(entry.path());
        }
        entries[name] = {.mode = entry.symlink_status().permissions(), .content = content};
    }
    return entries;
}

// One line per entry: its name, mode and size, and a digest of what it holds.
std::string describe(const Snapshot& entries)
{
    std::string text;
    for (const auto& [name, entry] : entries) {
        const Entry& has = entry;  // named, so cppcheck sees the members read
        std::array<char, 64> line{};
        std::snprintf(line.data(), line.size(), ": mode %04o, %zu bytes, digest %016zx\n",
                      static_cast<unsigned>(has.mode), has.content.size(),
                      std::hash<std::string>{}(has.content));
        text += name + line.data();
    }
    return text;
}

// Fails where the listings differ, showing where each file first differs, its header as text.
void expect_entries(const Snapshot& got, const Snapshot& want, const char* why = "")
{
    std::string differences;
    for (const auto& [name, entry] : want) {
        if (got.contains(name) && got.at(name).content != entry.content) {
            differences += name + ": " + first_difference(got.at(name).content, entry.content);
        }
    }
    EXPECT_EQ(describe(got), describe(want)) << why << "\n" << differences;
}

// Why the child ended as it did, for failure messages; a child that failed
// before the tool ran (CHILD_*) says why on its stderr, shown beside.
std::string explain(int status)
{
    return status > 128 && status < CHILD_SETUP_FAILED
               ? "killed by signal " + std::to_string(status - 128)
               : "";
}

// A write lock on the whole file, anew each time: fcntl may write back into it.
struct flock whole_file()
{
    return {.l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = 0, .l_len = 0, .l_pid = 0};
}

// A seccomp filter for what the case refuses, or the test as tracer; false when the kernel won't.
bool refuse_system_calls(Refuse what)
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
    case Refuse::first_write_held:
        return ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0;
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

// A scratch directory with a copy of the tool and a working directory to run it in.
class ToolRun : public testing::Test {
protected:
    void SetUp() override
    {
        std::string base = (fs::temp_directory_path() / "ridgetexture-e2e-XXXXXX").string();
        ASSERT_NE(mkdtemp(base.data()), nullptr) << base << ": " << std::strerror(errno);
        root_ = base;
        // Reachable, and the copy executable, by nobody whatever the umask.
        const auto open_to_all = fs::perms{0755};
        fs::permissions(root_, open_to_all);
        tool_ = root_ / "RidgeTexture";
        fs::copy_file(tool_command().back(), tool_);
        fs::permissions(tool_, open_to_all);
        work_ = root_ / "work";
        fs::create_directory(work_);
        fs::permissions(work_, open_to_all);
    }

    void TearDown() override
    {
        let_go();
        if (stalled_ > 0 && kill(stalled_, SIGKILL) == 0) {
            wait_for(stalled_);
        }
        std::error_code ignored;
        fs::permissions(work_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root_, ignored);
    }

    // Starts the tool in work_ as the case says, its standard output and error
    // going to stdout and stderr in root_, followed by tag: the child's pid.
    pid_t start(const Case& c, const std::string& tag)
    {
        const std::string work = work_.string();
        const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
        const int out = open((root_ / ("stdout" + tag)).c_str(), flags, 0644);
        const int err = open((root_ / ("stderr" + tag)).c_str(), flags, 0644);
        // Opened, and the working directory entered, while still root: nobody
        // may not pass the scratch directory's parents (a TMPDIR of 0700, say).
        const int tool = open(tool_.c_str(), O_RDONLY | O_CLOEXEC);
        const std::array fds{out, err, tool};  // where one failed, so does the child
        EXPECT_TRUE(out >= 0 && err >= 0 && tool >= 0)
            << "capture files, tool: " << std::strerror(errno);
        const bool drop = c.unprivileged && geteuid() == 0;
        // An emulator is handed the name, the tool as the descriptor opened here, the arguments.
        std::vector<std::string> words(tool_command().begin(), tool_command().end() - 1);
        if (!words.empty()) {
            words.insert(words.end(),
                         {"-0", c.args.at(0), "/proc/self/fd/" + std::to_string(tool)});
        }
        words.insert(words.end(), c.args.begin() + (words.empty() ? 0 : 1), c.args.end());
        // execve takes the vector as non-const but doesn't write to it.
        std::vector<char*> argv(words.size() + 1, nullptr);
        std::ranges::transform(words, argv.begin(), [](const std::string& word) {
            return const_cast<char*>(word.c_str());
        });

        const pid_t child = fork();
        if (child == 0) {
            // Past the dup2, what goes wrong is told on the captured stderr.
            const auto fail = [](int code, const char* what) {
                dprintf(STDERR_FILENO, "test child: %s: %s\n", what, std::strerror(errno));
                _exit(code);
            };
            if (dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0 ||
                chdir(work.c_str()) != 0) {
                fail(CHILD_SETUP_FAILED, "dup2 or chdir");
            }
            // A limit of 0 keeps the inherited one, but for core files: SIGXFSZ and SIGSYS
            // dump core by default, and nothing but the picture may land in the directory.
            const auto limit = [&fail](decltype(RLIMIT_CORE) resource, rlim_t value) {
                const rlimit both{.rlim_cur = value, .rlim_max = value};
                if ((value != 0 || resource == RLIMIT_CORE) && setrlimit(resource, &both) != 0) {
                    fail(CHILD_SETUP_FAILED, "setrlimit");
                }
            };
            limit(RLIMIT_STACK, c.stack_limit);
            limit(RLIMIT_CORE, 0);
            limit(RLIMIT_FSIZE, c.file_size_limit);
            if (std::signal(SIGXFSZ, c.ignore_sigxfsz ? SIG_IGN : SIG_DFL) == SIG_ERR) {
                fail(CHILD_SETUP_FAILED, "signal(SIGXFSZ)");
            }
            if (drop &&
                (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0)) {
                fail(CHILD_CANNOT_DROP, "becoming uid and gid 65534");
            }
            umask(CHILD_UMASK);
            struct flock whole = whole_file();
            whole.l_start = c.lock == Lock::lockf_exec_on_tail ? 1 : 0;
            const bool record = c.lock == Lock::lockf_exec || c.lock == Lock::lockf_exec_on_tail;
            const char* locked =
                c.lock == Lock::ofd_elsewhere ? "../elsewhere" : "RidgeTexture.ppm";
            if (c.lock >= Lock::ofd_wrapper &&
                fcntl(open(locked, O_RDWR | O_CREAT, 0666), record ? F_SETLKW : F_OFD_SETLKW,
                      &whole) != 0) {
                fail(CHILD_SETUP_FAILED, "taking the wrapper's lock");
            }
            if (!refuse_system_calls(c.refuse)) {
                fail(CHILD_CANNOT_FILTER, "installing a seccomp filter or being traced");
            }
            if (argv.size() > c.args.size() + 1) {  // emulated: the emulator opens the tool
                fcntl(tool, F_SETFD, 0);
                execvp(argv[0], argv.data());
            }
            fexecve(tool, argv.data(), environ);
            struct statvfs where = {};
            if (errno == EACCES && fstatvfs(tool, &where) == 0 && (where.f_flag & ST_NOEXEC) != 0) {
                fail(CHILD_CANNOT_EXEC, "the scratch directory is on a file system mounted noexec");
            }
            fail(CHILD_CANNOT_EXEC, tool_.c_str());
        }
        for (const int fd : fds) {
            close(fd);  // -1 too, harmlessly
        }
        return child;
    }

    // The tool's exit status, or 128 plus the signal that ended it, from a
    // wait status; wait_for waits for it, -1 when the child never started.
    static int status_of(int ws) { return WIFSIGNALED(ws) ? 128 + WTERMSIG(ws) : WEXITSTATUS(ws); }
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

    // Keeps a lock of the kind on file, made if need be, until let_go.
    void keep_lock(const fs::path& file, Lock kind)
    {
        if (kind == Lock::none || (kind >= Lock::ofd_wrapper && kind != Lock::ofd_elsewhere)) {
            return;
        }
        // Only the wrappers' descriptors stay open in the run.
        const bool wrapper = kind == Lock::wrapper || kind == Lock::shared_wrapper;
        held_ = open(file.c_str(), O_RDWR | O_CREAT | (wrapper ? 0 : O_CLOEXEC), 0644);
        const int how = (kind == Lock::flock_shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
        const bool flocked = kind <= Lock::flock_shared || kind == Lock::wrapper;  // or fcntl's
        struct flock from = whole_file();  // on the whole file, or from its second byte on
        from.l_start = kind == Lock::record_on_tail ? 1 : 0;
        const int command = kind == Lock::shared_wrapper ? F_OFD_SETLK : F_SETLK;
        const int kept = flocked ? flock(held_, how) : fcntl(held_, command, &from);
        ASSERT_TRUE(held_ >= 0 && kept == 0) << file << ": " << std::strerror(errno);
    }

    // Runs a traced child (stopped at its exec, then as each system call begins
    // and ends) up to its first write, and holds it there: -1, or how it ended.
    static int hold_at_first_write(pid_t child)
    {
        int wstatus = 0;
        __ptrace_syscall_info call = {};
        while (waitpid(child, &wstatus, 0) == child && WIFSTOPPED(wstatus)) {
            ptrace(PTRACE_SETOPTIONS, child, nullptr,
                   long{PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL});
            if (ptrace(PTRACE_GET_SYSCALL_INFO, child, sizeof call, &call) > 0 &&
                call.op == PTRACE_SYSCALL_INFO_ENTRY && call.entry.nr == SYS_write) {
                return -1;
            }
            ptrace(PTRACE_SYSCALL, child, nullptr, nullptr);
        }
        return status_of(wstatus);
    }

    void let_go() { close(std::exchange(held_, -1)); }  // -1 too, harmlessly

    fs::path root_;
    fs::path tool_;
    fs::path work_;
    int held_ = -1;       // the descriptor that keeps keep_lock's lock
    pid_t stalled_ = -1;  // a run held at its first write
};

const char* const NO_CREATE = "could not create file RidgeTexture.ppm\n";
const char* const NO_WRITE = "could not write file RidgeTexture.ppm\n";

class EndToEnd : public ToolRun, public testing::WithParamInterface<Case> {};

TEST_P(EndToEnd, Run)
{
    const Case& c = GetParam();
    // An emulator's own system calls would meet a filter that kills, or a tracer, first.
    const bool kills = c.refuse != Refuse::nothing && c.refuse != Refuse::truncation;
    if (tool_command().size() > 1 && (c.args.empty() || c.stalled || kills)) {
        GTEST_SKIP() << "under an emulator, "
                     << (c.args.empty() ? "which always names the tool"
                                        : "whose own calls the row would meet");
    }
    const fs::path output = work_ / "RidgeTexture.ppm";
    switch (c.setup) {
    case Setup::empty:
    case Setup::fifo_read_late:  // ConcurrentRuns' alone
        break;
    case Setup::larger_file:
        std::ofstream(output, std::ios::binary) << std::string(1 << 20, 'x');
        fs::permissions(output, fs::perms{0604});  // no umask gives it: a new file shows
        break;
    case Setup::directory:
        fs::create_directory(output);
        break;
    case Setup::unwritable_dir:
        fs::permissions(work_, fs::perms{0555});
        break;
    case Setup::full_disk:
        fs::create_symlink("/dev/full", output);
        break;
    case Setup::link_to_older_file:
        fs::create_symlink("older.ppm", output);
        [[fallthrough]];
    case Setup::read_only_file:   // in a directory open to all: only its mode stands in the way
    case Setup::write_only_file:  // written over by a run that opens it for writing only
    case Setup::older_file:
    case Setup::moved_while_waiting:
    case Setup::replaced_while_waiting:
    case Setup::moved_once_late:
        fs::permissions(work_, c.setup == Setup::read_only_file ? fs::perms::all : fs::perms{0755});
        std::ofstream(output, std::ios::binary) << "an older picture";
        fs::permissions(output, fs::perms{c.setup == Setup::read_only_file ? 0444U : 0644U});
        if (c.setup == Setup::write_only_file) {
            fs::permissions(output, fs::perms{0222});
        }
        break;
    }
    if (c.stalled) {
        stalled_ = start(Case{.unprivileged = c.unprivileged, .refuse = Refuse::first_write_held},
                         "_stalled");
        const int ended = hold_at_first_write(stalled_);
        const std::string why = explain(ended) + slurp(root_ / "stderr_stalled");
        stalled_ = ended == -1 ? stalled_ : -1;
        if (ended == CHILD_CANNOT_FILTER) {
            GTEST_SKIP() << "can't trace a run here: " << why;
        }
        ASSERT_EQ(ended, -1) << "the run to stall ended first: " << why;
    }
    const auto before = snapshot(work_);
    // Taken once the snapshot has read the file: a process lets go of its
    // record locks on a file when it closes any descriptor of it.
    ASSERT_NO_FATAL_FAILURE(keep_lock(output, c.lock));

    // Once the run has opened the file, which inotify tells, it is waiting
    // for the lock (a record lock): then the file is moved away and let go.
    const bool replace = c.setup == Setup::replaced_while_waiting;
    const bool late = c.setup == Setup::moved_once_late;
    const bool move = c.setup == Setup::moved_while_waiting || replace || late;
    const int opened = move ? inotify_init1(IN_CLOEXEC) : -1;
    ASSERT_TRUE(!move || (opened >= 0 && inotify_add_watch(opened, output.c_str(), IN_OPEN) >= 0))
        << std::strerror(errno);
    const pid_t child = start(c, "");
    if (move) {
        pollfd event = {.fd = opened, .events = POLLIN, .revents = 0};
        EXPECT_EQ(poll(&event, 1, 60 * 1000), 1) << "the run never opened the file";
        if (late) {  // stopped as it pauses, till its wait is over
            std::this_thread::sleep_for(LOCK_WAIT / 2);
            kill(child, SIGSTOP);
            std::this_thread::sleep_for(LOCK_WAIT);
        }
        if (replace) {  // at once: the path never names nothing
            std::ofstream(work_ / "newer", std::ios::binary) << "a newer picture";
            fs::permissions(work_ / "newer", NEW_FILE_MODE);
            fs::create_hard_link(output, work_ / "keep.ppm");
            fs::rename(work_ / "newer", output);
        } else {
            fs::rename(output, work_ / "keep.ppm");
        }
        kill(child, SIGCONT);
        close(opened);
        let_go();
    }
    // Whatever lock is kept, the run must end while it is kept.
    EXPECT_TRUE(held_ < 0 || ends_within(child, LOCK_KEPT))
        << "the run was still waiting when the lock was let go";
    let_go();
    const int status = wait_for(child);
    const std::string err = slurp(root_ / "stderr");
    if (status == CHILD_CANNOT_DROP || status == CHILD_CANNOT_FILTER) {
        // As root in a user namespace that maps no uid 65534, root would pass
        // where nobody must fail; a kernel without seccomp refuses nothing.
        GTEST_SKIP() << "can't run as the case needs here: " << err;
    }
    EXPECT_EQ(status, c.status) << explain(status) << "\n" << err;
    EXPECT_EQ(slurp(root_ / "stdout"), "");
    EXPECT_EQ(err, c.stderr_text);

    const auto after = snapshot(work_);
    const std::string picture = expected_picture(c.header_name);
    // An existing file (a symbolic link's target) is written over in place, so it keeps its
    // mode; a new one gets the mode the umask leaves, like any file a tool creates.
    const auto old = before.find("RidgeTexture.ppm");
    const bool link = old != before.end() && old->second.content.starts_with("link to ");
    const std::string file = link ? old->second.content.substr(8) : "RidgeTexture.ppm";
    const fs::perms mode = before.contains(file) ? before.at(file).mode : NEW_FILE_MODE;
    Snapshot want = before;
    switch (c.leaves) {
    case Leaves::picture:
        want[file] = {.mode = mode, .content = picture};
        expect_entries(after, want);
        break;
    case Leaves::unchanged:
        expect_entries(after, before, "a failed run must change nothing");
        break;
    case Leaves::picture_and_moved_file:
        expect_entries(after, {{"RidgeTexture.ppm", {.mode = NEW_FILE_MODE, .content = picture}},
                               {"keep.ppm", before.at("RidgeTexture.ppm")}});
        break;
    case Leaves::part_of_picture: {
        const std::string part =
            after.contains("RidgeTexture.ppm") ? after.at("RidgeTexture.ppm").content : "";
        EXPECT_EQ(describe(after),
                  describe({{"RidgeTexture.ppm", {.mode = mode, .content = part}}}));
        EXPECT_TRUE(!part.empty() && part.size() < picture.size() && picture.starts_with(part))
            << "the file must be a proper beginning of the picture, not " << part.size()
            << " bytes of something else";
        break;
    }
    }
    if (stalled_ > 0) {
        // Let go, the stalled run writes its shorter picture: over this run's, it must
        // report the mix; where this run wrote nothing, it leaves its own, whole.
        ptrace(PTRACE_DETACH, stalled_, nullptr, nullptr);
        const bool over = c.status == 0;
        EXPECT_EQ(wait_for(std::exchange(stalled_, -1)), over ? 128 : 0);
        EXPECT_EQ(slurp(root_ / "stderr_stalled"), over ? NO_WRITE : "");
        if (!over) {
            want[file] = {.mode = mode, .content = expected_picture("RidgeTexture")};
            expect_entries(snapshot(work_), want);
        }
    }
}

std::string case_label(const testing::TestParamInfo<Case>& param_info)
{
    return param_info.param.label;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, EndToEnd, testing::Values(
    Case{.label = "plain"},
    Case{.label = "long_path_as_name", .args = {long_path().c_str()},
         .header_name = long_path().c_str()},
    Case{.label = "extra_arguments_ignored",
         .args = {"RidgeTexture", "--help", "-o", "other.ppm", "", "\n"}},
    Case{.label = "larger_file_replaced", .setup = Setup::larger_file},
    // Only the line breaks are replaced, not other control bytes.
    Case{.label = "control_bytes_in_name", .args = {"\x7f\vRidge\nTexture\r\f\x1b"},
         .header_name = "\x7f\vRidge?Texture?\f\x1b"},
    // Kernels hand an empty vector over as one empty argument: the program names itself.
    Case{.label = "no_arguments_at_all", .args = {}},
    Case{.label = "empty_name", .args = {""}},
    // The image is far larger than this stack.
    Case{.label = "small_stack", .stack_limit = 128 * KIB},
    Case{.label = "path_is_directory", .setup = Setup::directory,
         .status = 128, .stderr_text = NO_CREATE, .leaves = Leaves::unchanged},
    Case{.label = "directory_not_writable", .setup = Setup::unwritable_dir, .unprivileged = true,
         .status = 128, .stderr_text = NO_CREATE, .leaves = Leaves::unchanged},
    Case{.label = "file_read_only", .setup = Setup::read_only_file, .unprivileged = true,
         .status = 128, .stderr_text = NO_CREATE, .leaves = Leaves::unchanged},
    // glibc drops what /dev/full refused, so nothing reaches it.
    // The symbolic link to it costs not a moment's pause.
    Case{.label = "disk_full", .setup = Setup::full_disk, .refuse = Refuse::pause,
         .status = 128, .stderr_text = NO_WRITE, .leaves = Leaves::unchanged},
    Case{.label = "write_only_file_replaced", .setup = Setup::write_only_file,
         .unprivileged = true},
    // What was written before the limit stays in the file.
    Case{.label = "file_size_limit", .file_size_limit = 64 * KIB, .ignore_sigxfsz = true,
         .status = 128, .stderr_text = NO_WRITE, .leaves = Leaves::part_of_picture},
    // Where the signal keeps its default action, it ends the tool there: no message.
    Case{.label = "file_size_limit_signal", .file_size_limit = 64 * KIB,
         .status = 128 + SIGXFSZ, .leaves = Leaves::part_of_picture},
    // Another process keeps a lock all through the run: a flock costs the run
    // nothing; a record lock, two seconds at most, then it writes all the same.
    Case{.label = "flock_kept_by_another", .setup = Setup::older_file,
         .lock = Lock::flock_exclusive},
    Case{.label = "record_lock_kept_by_another", .setup = Setup::older_file, .lock = Lock::record},
    // A lock on the tail alone is waited for too: the pause kills.
    Case{.label = "record_lock_on_the_tail", .setup = Setup::older_file,
         .lock = Lock::record_on_tail, .refuse = Refuse::pause,
         .status = 128 + SIGSYS, .leaves = Leaves::unchanged},
    // 'flock RidgeTexture.ppm RidgeTexture', 'flock --fcntl ...', and a
    // wrapper that takes a record lock, then execs: not a moment's pause.
    Case{.label = "under_the_flock_wrapper", .setup = Setup::older_file, .lock = Lock::wrapper,
         .refuse = Refuse::pause},
    Case{.label = "ofd_wrapper", .lock = Lock::ofd_wrapper, .refuse = Refuse::pause},
    Case{.label = "lockf_then_exec", .lock = Lock::lockf_exec, .refuse = Refuse::pause},
    // Its own lock on another file, or on the tail alone, is no hold on this one: the pause kills.
    Case{.label = "own_lock_elsewhere", .setup = Setup::older_file, .lock = Lock::ofd_elsewhere,
         .refuse = Refuse::pause, .status = 128 + SIGSYS, .leaves = Leaves::unchanged},
    Case{.label = "own_lock_on_the_tail", .setup = Setup::older_file,
         .lock = Lock::lockf_exec_on_tail, .refuse = Refuse::pause,
         .status = 128 + SIGSYS, .leaves = Leaves::unchanged},
    // The file waited for is moved away, or replaced: the path's file is
    // written. So it is when the file is moved only once the wait is over.
    Case{.label = "file_moved_while_waiting", .setup = Setup::moved_while_waiting,
         .lock = Lock::record, .leaves = Leaves::picture_and_moved_file},
    Case{.label = "file_replaced_while_waiting", .setup = Setup::replaced_while_waiting,
         .lock = Lock::record, .leaves = Leaves::picture_and_moved_file},
    Case{.label = "file_moved_once_the_wait_is_over", .setup = Setup::moved_once_late,
         .lock = Lock::record, .leaves = Leaves::picture_and_moved_file},
    // Another run holds the file, stalled until this one has waited, written
    // its longer picture and ended; then it resumes and must report a mix.
    Case{.label = "another_run_stalled", .args = {long_path().c_str()}, .stalled = true,
         .header_name = long_path().c_str()},
    // Where the run can't read the file back, it writes only while holding it.
    Case{.label = "write_only_file_held_by_a_stalled_run", .setup = Setup::write_only_file,
         .unprivileged = true, .stalled = true,
         .status = 128, .stderr_text = NO_CREATE, .leaves = Leaves::unchanged},
    // A symbolic link's target is read back like any file: once the wait is over, it is written.
    Case{.label = "link_to_a_file_locked_by_another", .setup = Setup::link_to_older_file,
         .lock = Lock::record},
    // A run stopped as it tries for the lock has emptied nothing.
    Case{.label = "killed_before_the_lock", .setup = Setup::larger_file, .refuse = Refuse::lock,
         .status = 128 + SIGSYS, .leaves = Leaves::unchanged},
    // Where truncation is refused, an old file stays as it was; a new one needs none.
    Case{.label = "truncation_refused", .setup = Setup::larger_file, .refuse = Refuse::truncation,
         .status = 128, .stderr_text = NO_CREATE, .leaves = Leaves::unchanged},
    Case{.label = "truncation_refused_no_file", .refuse = Refuse::truncation}),
    case_label);
// clang-format on

// Runs started at once in one directory, under names (so headers) of different lengths and
// the case's lock: whatever the interleaving, when every run reports success, the file
// holds one's whole picture, and a FIFO's reader gets each run's whole picture.
class ConcurrentRuns : public ToolRun, public testing::WithParamInterface<Case> {};

TEST_P(ConcurrentRuns, LeaveOneWholePicture)
{
    const Case& c = GetParam();
    const fs::path output = work_ / "RidgeTexture.ppm";
    const bool fifo = c.setup == Setup::fifo_read_late;
    ASSERT_TRUE(!fifo || mkfifo(output.c_str(), 0666) == 0) << std::strerror(errno);
    ASSERT_NO_FATAL_FAILURE(keep_lock(output, c.lock));
    // As many trials as fit in the time, up to a number: unguarded runs mix
    // within the first twenty or so, even in a slow build (the sanitizers).
    constexpr int TRIALS = 100;
    const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    const Case named_long = {.args = {long_path().c_str()}, .lock = c.lock};
    const std::array runs = {Case{.lock = c.lock}, named_long, Case{.lock = c.lock}, named_long};
    const std::array pictures = {expected_picture("RidgeTexture"), expected_picture(long_path())};
    int trial = 0;
    for (; trial < TRIALS && std::chrono::steady_clock::now() < stop; ++trial) {
        std::array<pid_t, runs.size()> children{};
        for (std::size_t i = 0; i < runs.size(); ++i) {
            children.at(i) = start(runs.at(i), std::to_string(i));
        }
        // A FIFO's reader comes only now, when every run has opened it.
        std::this_thread::sleep_for(fifo ? READER_LATE : std::chrono::milliseconds(0));
        std::string written = fifo ? slurp(output) : "";
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const int status = wait_for(children.at(i));
            const std::string err = slurp(root_ / ("stderr" + std::to_string(i)));
            ASSERT_TRUE(status == 0 && err.empty())
                << "trial " << trial << ", run " << i << ": status " << status << " "
                << explain(status) << ", " << err;
        }
        // Whole pictures, one in the file, one a run through the FIFO: cut
        // where each begins, as "P6\n" is nowhere else.
        written = fifo ? written : slurp(output);
        std::size_t whole = 0;
        for (std::size_t at = 0, next = 0; at < written.size(); at = next, ++whole) {
            next = std::min(written.find("P6\n", at + 1), written.size());
            const std::string piece = written.substr(at, next - at);
            ASSERT_TRUE(std::ranges::find(pictures, piece) != pictures.end())
                << "trial " << trial << ": every run exited 0, but bytes " << at << " to " << next
                << " are no run's picture: " << first_difference(piece, pictures.front());
        }
        ASSERT_EQ(whole, fifo ? runs.size() : 1) << "trial " << trial;
    }
    RecordProperty("trials", trial);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(LockKept, ConcurrentRuns, testing::Values(
    Case{.label = "none"},
    Case{.label = "shared_flock", .lock = Lock::flock_shared},
    Case{.label = "exclusive_flock", .lock = Lock::flock_exclusive},
    // Each run under its own 'flock --fcntl RidgeTexture.ppm', or all under one.
    Case{.label = "each_under_flock_fcntl", .lock = Lock::ofd_wrapper},
    Case{.label = "all_under_one_flock_fcntl", .lock = Lock::shared_wrapper},
    // The runs open the FIFO at once when its reader comes.
    Case{.label = "fifo_read_late", .setup = Setup::fifo_read_late}),
    case_label);
// clang-format on

}  // namespace
