// The built tool end to end, a case a row: each run in a fresh directory, and
// its exit status, both standard streams and what it leaves behind checked.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/poll.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ios>
#include <iterator>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "picture.hpp"
#include "snapshot.hpp"
#include "tool_run.hpp"

namespace fs = std::filesystem;

namespace {

constexpr rlim_t KIB = 1024;
constexpr auto NEW_FILE_MODE = static_cast<fs::perms>(0666 & ~CHILD_UMASK);
constexpr auto READER_LATE = LOCK_WAIT * 5 / 4;  // a quarter more than the longest wait
const char* const NO_CREATE = "could not create file RidgeTexture.ppm\n";
const char* const NO_WRITE = "could not write file RidgeTexture.ppm\n";
const char* const OLDER_PICTURE = "an older picture";

// What the run finds in the working directory.
enum class Finds : std::uint8_t {
    empty,
    larger_file,
    older_file,
    link_to_older_file,  // a symbolic link to one, older.ppm
    read_only_file,      // in a directory open to all: only its mode stands in the way
    write_only_file,     // written over by a run that opens it for writing only
    directory,
    unwritable_dir,
    full_disk,  // a symbolic link to /dev/full
    fifo,       // whose reader comes READER_LATE after the runs start (ConcurrentRuns')
};

// What happens to the file while the run goes on.
enum class Meanwhile : std::uint8_t {
    nothing,
    moved,       // moved to keep.ppm once the run has it open (waiting for another's lock)
    replaced,    // so kept, and at once replaced by a new file
    moved_late,  // moved once the run, stopped meanwhile, has waited its time
    // The run traced: a FIFO takes the name as it first opens the file, or an
    // older file each time it has opened it.
    fifo_at_open,
    replaced_at_each_open,
};

// What the directory holds after the run.
enum class Leaves : std::uint8_t {
    picture,                 // the picture, named as header_name says, and nothing else
    unchanged,               // what it held before
    part_of_picture,         // a proper, non-empty beginning of the picture, nothing else
    picture_and_moved_file,  // a new file with the picture, and keep.ppm as it was
    fifo_read_whole,         // the FIFO, whose reader got the picture
};

// How a run must end, and what it must leave.
struct Outcome {
    int status = 0;
    const char* stderr_text = "";
    Leaves leaves = Leaves::picture;
};
const Outcome NOT_CREATED = {.status = 128, .stderr_text = NO_CREATE, .leaves = Leaves::unchanged};
// Killed by a system call refused it (SIGSYS) before it changed anything.
const Outcome KILLED_UNCHANGED = {.status = 128 + SIGSYS, .leaves = Leaves::unchanged};
const Outcome PICTURE_AND_MOVED_FILE = {.leaves = Leaves::picture_and_moved_file};

// Locks the rows keep: another's, a wrapper's, or the run's own.
const Lock ANOTHERS_FLOCK = {.kind = Kind::flock};
const Lock ANOTHERS_SHARED_FLOCK = {.kind = Kind::flock, .shared = true};
const Lock ANOTHERS_RECORD_LOCK = {.kind = Kind::record};
const Lock FLOCK_WRAPPER = {.holder = Holder::wrapper, .kind = Kind::flock};  // flock(1)
// An open file description lock inherited, as under 'flock --fcntl' (util-linux 2.39).
const Lock FLOCK_FCNTL_WRAPPER = {.holder = Holder::wrapper, .kind = Kind::description};
const Lock OWN_FLOCK_FCNTL = {.holder = Holder::the_run, .kind = Kind::description};
const Lock OWN_RECORD_LOCK = {.holder = Holder::the_run, .kind = Kind::record};  // lockf, exec

struct Case {
    const char* label = "";
    Launch launch = {};
    Finds finds = Finds::empty;
    Meanwhile meanwhile = Meanwhile::nothing;
    bool stalled = false;  // another run holds the file, stopped at its first write till this ends
    bool needs_proc = false;  // to tell the run's own lock from another's
    Outcome outcome = {};
    const char* header_name = "RidgeTexture";
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.label;
}

std::string case_label(const testing::TestParamInfo<Case>& param_info)
{
    return param_info.param.label;
}

// Why the case can't run on this machine, for its skip; empty where it can.
std::string cannot_run_here(const Case& c)
{
    if (c.needs_proc && access("/proc/self/fdinfo", R_OK) != 0) {
        return "needs /proc, which tells the run's own lock from another's";
    }
    if (!emulated()) {
        return "";
    }
    if (c.launch.args.empty()) {
        return "under an emulator, which always names the tool";
    }
    // A filter that kills, or a tracer, would meet the emulator's own calls first.
    const bool kills = c.launch.refuse != Refuse::nothing && c.launch.refuse != Refuse::truncation;
    const bool traced = c.stalled || c.meanwhile == Meanwhile::fifo_at_open ||
                        c.meanwhile == Meanwhile::replaced_at_each_open;
    return kills || traced ? "under an emulator, whose own calls the row would meet" : "";
}

// Whether a traced call of the child is the entry of its open of the file, to
// create it: a library preloaded (faketime, as reprotest runs builds) opens
// files of its own too.
bool opens_the_file(pid_t child, const __ptrace_syscall_info& call)
{
    if (call.op != PTRACE_SYSCALL_INFO_ENTRY || call.entry.nr != SYS_openat ||
        (call.entry.args[2] & O_CREAT) == 0) {
        return false;
    }
    std::array<char, sizeof "RidgeTexture.ppm"> name{};
    // The name lies at an address in the child's memory, not in ours.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    void* const at = reinterpret_cast<void*>(static_cast<std::uintptr_t>(call.entry.args[1]));
    // <sys/uio.h> is where POSIX promises iovec, whichever file glibc defines it in.
    // NOLINTNEXTLINE(misc-include-cleaner)
    const iovec here = {.iov_base = name.data(), .iov_len = name.size()};
    const iovec there = {.iov_base = at, .iov_len = name.size()};
    return std::cmp_equal(process_vm_readv(child, &here, 1, &there, 1, 0), name.size()) &&
           std::string_view(name.data(), name.size()) ==
               std::string_view("RidgeTexture.ppm", name.size());
}

void write_older_file(const fs::path& path, fs::perms mode)
{
    std::ofstream(path, std::ios::binary) << OLDER_PICTURE;
    fs::permissions(path, mode);  // whatever the umask
}

class EndToEnd : public ToolRun, public testing::WithParamInterface<Case> {
protected:
    void TearDown() override
    {
        if (stalled_ > 0 && kill(stalled_, SIGKILL) == 0) {
            wait_for(stalled_);
        }
        ToolRun::TearDown();
    }

    void prepare(Finds finds)
    {
        switch (finds) {
        case Finds::empty:
        case Finds::fifo:
            break;
        case Finds::larger_file:
            std::ofstream(output(), std::ios::binary) << std::string(1 << 20, 'x');
            fs::permissions(output(), fs::perms{0604});  // no umask gives it: a new file shows
            break;
        case Finds::link_to_older_file:
            fs::create_symlink("older.ppm", output());
            write_older_file(work_ / "older.ppm", fs::perms{0644});
            break;
        case Finds::older_file:
            write_older_file(output(), fs::perms{0644});
            break;
        case Finds::read_only_file:
            fs::permissions(work_, fs::perms::all);
            write_older_file(output(), fs::perms{0444});
            break;
        case Finds::write_only_file:
            write_older_file(output(), fs::perms{0222});
            break;
        case Finds::directory:
            fs::create_directory(output());
            break;
        case Finds::unwritable_dir:
            fs::permissions(work_, fs::perms{0555});
            break;
        case Finds::full_disk:
            fs::create_symlink("/dev/full", output());
            break;
        }
    }

    // Another run that holds the file, traced and held at its first write.
    void stall_another_run(const Launch& launch)
    {
        stalled_ = start(
            Launch{.unprivileged = launch.unprivileged, .traced = true, .locks = launch.locks},
            "_stalled");
        const int ended = trace(stalled_, [this](pid_t child, const __ptrace_syscall_info& call) {
            ends_its_open(child, call);
            return writes_its_own(call);
        });
        if (ended == -1) {
            return;
        }
        stalled_ = -1;
        const std::string why = cannot_start(ended, "_stalled");
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        FAIL() << "the run to stall ended first: " << explain(ended)
               << slurp(root_ / "stderr_stalled");
    }

    // Starts the run, does to the file what the case says meanwhile, and
    // waits: how the run ended.
    int run_through(const Case& c)
    {
        if (c.meanwhile == Meanwhile::fifo_at_open ||
            c.meanwhile == Meanwhile::replaced_at_each_open) {
            return run_traced(c);
        }
        const bool moves = c.meanwhile != Meanwhile::nothing;
        const int opened = moves ? inotify_init1(IN_CLOEXEC) : -1;
        if (moves) {
            EXPECT_GE(inotify_add_watch(opened, output().c_str(), IN_OPEN), 0)
                << std::strerror(errno);
        }
        const pid_t child = start(c.launch, "");
        if (moves) {
            move_once_opened(c.meanwhile, child, opened);
            close(opened);
            let_go();
        }
        // Whatever lock is kept, the run must end while it is kept.
        EXPECT_TRUE(held_.empty() || ends_within(child, LOCK_KEPT))
            << "the run was still waiting when the lock was let go";
        let_go();
        return wait_for(child);
    }

    // Once the run has opened the file, which inotify tells, it is waiting for
    // another's lock: then the file is moved away, or replaced.
    void move_once_opened(Meanwhile meanwhile, pid_t child, int opened)
    {
        pollfd event = {.fd = opened, .events = POLLIN, .revents = 0};
        EXPECT_EQ(poll(&event, 1, 60 * 1000), 1) << "the run never opened the file";
        if (meanwhile == Meanwhile::moved_late) {  // stopped as it pauses, till its wait is over
            std::this_thread::sleep_for(LOCK_WAIT / 2);
            kill(child, SIGSTOP);
            std::this_thread::sleep_for(LOCK_WAIT);
        }
        if (meanwhile == Meanwhile::replaced) {  // at once: the path never names nothing
            std::ofstream(work_ / "newer", std::ios::binary) << "a newer picture";
            fs::permissions(work_ / "newer", NEW_FILE_MODE);
            fs::create_hard_link(output(), work_ / "keep.ppm");
            fs::rename(work_ / "newer", output());
        } else {
            fs::rename(output(), work_ / "keep.ppm");
        }
        kill(child, SIGCONT);
    }

    // A run traced so that a FIFO takes the name as the run first opens the
    // file, its reader already waiting, or an older file each time the run
    // has opened it. Let go once that is done, or at its first write: a
    // sanitizer's leak check at the exit traces the process itself.
    int run_traced(const Case& c)
    {
        const bool to_fifo = c.meanwhile == Meanwhile::fifo_at_open;
        EXPECT_TRUE(!to_fifo || mkfifo(fifo().c_str(), 0644) == 0) << std::strerror(errno);
        std::thread reader([this] {
            std::ifstream in(fifo(), std::ios::binary);  // waits for a writer, if a FIFO
            read_.assign(std::istreambuf_iterator<char>(in), {});
        });
        Launch launch = c.launch;
        launch.traced = true;
        const pid_t child = start(launch, "");
        const int ended = trace(child, [&](pid_t traced, const __ptrace_syscall_info& call) {
            return to_fifo ? fifo_at_open(traced, call) : replaced_at_each_open(traced, call);
        });
        if (ended == -1) {
            ptrace(PTRACE_DETACH, child, nullptr, nullptr);
        }
        if (ended == -1 && !ends_within(child, LOCK_KEPT)) {
            ADD_FAILURE() << "the run never ended";
            kill(child, SIGKILL);
        }
        const int status = ended == -1 ? wait_for(child) : ended;
        if (to_fifo) {  // a reader still waiting for a writer is let go
            const fs::path waiting = fs::exists(fifo()) ? fifo() : output();
            close(open(waiting.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        }
        reader.join();
        return status;
    }

    // At each stop of the traced run: a FIFO takes the name as the run first
    // opens the file. When the run opens it anew, for writing only, it must
    // still hold the first descriptor: else the reader, given a moment, sees
    // the end. Then the run goes on alone.
    bool fifo_at_open(pid_t child, const __ptrace_syscall_info& call)
    {
        ends_its_open(child, call);
        if (!opening_) {
            return writes_its_own(call);
        }
        if (!std::exchange(fifo_taken_, true)) {
            fs::rename(fifo(), output());
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return true;
    }

    bool replaced_at_each_open(pid_t child, const __ptrace_syscall_info& call)
    {
        if (ends_its_open(child, call)) {
            write_older_file(root_ / "older", fs::perms{0644});
            fs::rename(root_ / "older", output());
        }
        return writes_its_own(call);
    }

    // Follows a traced child's opens of the file: whether this stop ends one.
    bool ends_its_open(pid_t child, const __ptrace_syscall_info& call)
    {
        const bool done = std::exchange(opening_, opens_the_file(child, call)) &&
                          call.op == PTRACE_SYSCALL_INFO_EXIT && call.exit.rval >= 0;
        output_fd_ = done ? call.exit.rval : output_fd_;
        return done;
    }

    // Whether a traced call is the entry of a write of the run's own, to the
    // file or to standard error: a library preloaded (faketime, as reprotest
    // runs builds) may write elsewhere first.
    [[nodiscard]] bool writes_its_own(const __ptrace_syscall_info& call) const
    {
        return call.op == PTRACE_SYSCALL_INFO_ENTRY && call.entry.nr == SYS_write &&
               (call.entry.args[0] == STDERR_FILENO ||
                std::cmp_equal(call.entry.args[0], output_fd_));
    }

    [[nodiscard]] fs::path fifo() const { return root_ / "fifo"; }

    // Compares what the directory holds with what it held before, as the case says.
    void expect_left(const Case& c, const Snapshot& before, const Entry& written)
    {
        const Snapshot after = snapshot(work_);
        Snapshot want = before;
        switch (c.outcome.leaves) {
        case Leaves::picture:
            want[written_name(before)] = written;
            expect_entries(after, want);
            break;
        case Leaves::unchanged:
            expect_entries(after, before, "a failed run must change nothing");
            break;
        case Leaves::picture_and_moved_file:
            expect_entries(
                after, {{"RidgeTexture.ppm", {.mode = NEW_FILE_MODE, .content = written.content}},
                        {"keep.ppm", before.at("RidgeTexture.ppm")}});
            break;
        case Leaves::fifo_read_whole:
            expect_entries(after,
                           {{"RidgeTexture.ppm", {.mode = fs::perms{0644}, .content = "a FIFO"}}});
            EXPECT_TRUE(read_ == written.content) << first_difference(read_, written.content);
            break;
        case Leaves::part_of_picture:
            expect_part_of_picture(after, written);
            break;
        }
    }

    static void expect_part_of_picture(const Snapshot& after, const Entry& whole)
    {
        const std::string part =
            after.contains("RidgeTexture.ppm") ? after.at("RidgeTexture.ppm").content : "";
        EXPECT_EQ(describe(after),
                  describe({{"RidgeTexture.ppm", {.mode = whole.mode, .content = part}}}));
        EXPECT_TRUE(!part.empty() && part.size() < whole.content.size() &&
                    whole.content.starts_with(part))
            << "the file must be a proper beginning of the picture, not " << part.size()
            << " bytes of something else";
    }

    // Let go, the stalled run writes its shorter picture: over this run's, it
    // must report the mix; where this run wrote nothing, it leaves its own, whole.
    void resume_stalled_run(const Case& c, const Snapshot& before, const Entry& written)
    {
        ptrace(PTRACE_DETACH, stalled_, nullptr, nullptr);
        const bool over = c.outcome.status == 0;
        EXPECT_EQ(wait_for(std::exchange(stalled_, -1)), over ? 128 : 0);
        EXPECT_EQ(slurp(root_ / "stderr_stalled"), over ? NO_WRITE : "");
        if (!over) {
            Snapshot want = before;
            want[written_name(before)] = {.mode = written.mode,
                                          .content = expected_picture("RidgeTexture")};
            expect_entries(snapshot(work_), want);
        }
    }

    // The file a run writes: a symbolic link's target, or RidgeTexture.ppm.
    static std::string written_name(const Snapshot& before)
    {
        const auto old = before.find("RidgeTexture.ppm");
        const bool link = old != before.end() && old->second.content.starts_with("link to ");
        return link ? old->second.content.substr(std::strlen("link to ")) : "RidgeTexture.ppm";
    }

    pid_t stalled_ = -1;        // a run held at its first write
    std::string read_;          // what a FIFO's reader got
    bool fifo_taken_ = false;   // the FIFO has taken the name
    bool opening_ = false;      // the traced run is opening the file
    long long output_fd_ = -1;  // the descriptor its last open gave
};

TEST_P(EndToEnd, Run)
{
    const Case& c = GetParam();
    const std::string cannot = cannot_run_here(c);
    if (!cannot.empty()) {
        GTEST_SKIP() << cannot;
    }
    prepare(c.finds);
    // Locks are kept once the snapshot has read the file, as a process lets go
    // of its record locks on a file when it closes any descriptor of it; but
    // before a stalled run starts, which shares a wrapper's.
    if (c.stalled) {
        ASSERT_NO_FATAL_FAILURE(keep_locks(c.launch.locks));
        ASSERT_NO_FATAL_FAILURE(stall_another_run(c.launch));
        if (IsSkipped()) {
            return;
        }
    }
    const Snapshot before = snapshot(work_);
    if (!c.stalled) {
        ASSERT_NO_FATAL_FAILURE(keep_locks(c.launch.locks));
    }

    const int status = run_through(c);
    const std::string err = slurp(root_ / "stderr");
    const std::string why = cannot_start(status, "");
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    EXPECT_EQ(status, c.outcome.status) << explain(status) << "\n" << err;
    EXPECT_EQ(slurp(root_ / "stdout"), "");
    EXPECT_EQ(err, c.outcome.stderr_text);

    // An existing file (a symbolic link's target) is written over in place, so
    // it keeps its mode; a new one gets the mode the umask leaves.
    const std::string name = written_name(before);
    const Entry written = {.mode = before.contains(name) ? before.at(name).mode : NEW_FILE_MODE,
                           .content = expected_picture(c.header_name)};
    expect_left(c, before, written);
    if (c.stalled) {
        resume_stalled_run(c, before, written);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EndToEnd,
    testing::Values(
        Case{.label = "picture_written"},
        Case{.label = "long_path_named_in_the_header",
             .launch = {.args = {long_path().c_str()}},
             .header_name = long_path().c_str()},
        Case{.label = "extra_arguments_ignored",
             .launch = {.args = {"RidgeTexture", "--help", "-o", "other.ppm", "", "\n"}}},
        Case{.label = "larger_file_replaced", .finds = Finds::larger_file},
        // Only the line breaks are replaced, not other control bytes.
        Case{.label = "only_line_breaks_in_the_name_replaced",
             .launch = {.args = {"\x7f\vRidge\nTexture\r\f\x1b"}},
             .header_name = "\x7f\vRidge?Texture?\f\x1b"},
        // Kernels hand an empty vector over as one empty argument: the tool names itself.
        Case{.label = "no_arguments_at_all_named_as_the_tool", .launch = {.args = {}}},
        Case{.label = "empty_name_named_as_the_tool", .launch = {.args = {""}}},
        // The image is far larger than this stack.
        Case{.label = "small_stack_enough", .launch = {.stack_limit = 128 * KIB}},
        Case{.label = "directory_in_the_way", .finds = Finds::directory, .outcome = NOT_CREATED},
        Case{.label = "unwritable_directory",
             .launch = {.unprivileged = true},
             .finds = Finds::unwritable_dir,
             .outcome = NOT_CREATED},
        Case{.label = "read_only_file",
             .launch = {.unprivileged = true},
             .finds = Finds::read_only_file,
             .outcome = NOT_CREATED},
        // glibc drops what /dev/full refused, so nothing reaches it.
        // The symbolic link to it costs not a moment's pause.
        Case{.label = "full_disk_reported",
             .launch = {.refuse = Refuse::pause},
             .finds = Finds::full_disk,
             .outcome = {.status = 128, .stderr_text = NO_WRITE, .leaves = Leaves::unchanged}},
        Case{.label = "write_only_file_replaced",
             .launch = {.unprivileged = true},
             .finds = Finds::write_only_file},
        // What was written before the limit stays in the file.
        Case{
            .label = "file_size_limit_reported",
            .launch = {.file_size_limit = 64 * KIB, .ignore_sigxfsz = true},
            .outcome = {.status = 128, .stderr_text = NO_WRITE, .leaves = Leaves::part_of_picture}},
        // Where the signal keeps its default action, it ends the tool there: no message.
        Case{.label = "file_size_limit_signal_ends_it",
             .launch = {.file_size_limit = 64 * KIB},
             .outcome = {.status = 128 + SIGXFSZ, .leaves = Leaves::part_of_picture}},
        // Another's flock costs a run nothing; a record lock, two seconds at
        // most, then it writes all the same; one on the tail alone too.
        Case{.label = "anothers_flock_costs_no_pause",
             .launch = {.refuse = Refuse::pause, .locks = {ANOTHERS_FLOCK}},
             .finds = Finds::older_file},
        Case{.label = "anothers_record_lock_waited_for",
             .launch = {.locks = {ANOTHERS_RECORD_LOCK}},
             .finds = Finds::older_file},
        Case{.label = "anothers_lock_on_the_tail_waited_for",
             .launch = {.refuse = Refuse::pause,
                        .locks = {{.kind = Kind::record, .tail_only = true}}},
             .finds = Finds::older_file,
             .outcome = KILLED_UNCHANGED},
        // Under 'flock RidgeTexture.ppm RidgeTexture', 'flock --fcntl ...', a
        // wrapper that takes a record lock, then execs, or both flocks: not a
        // moment's pause, beside another's flock too.
        Case{.label = "flock_wrapper_costs_no_pause",
             .launch = {.refuse = Refuse::pause, .locks = {FLOCK_WRAPPER}},
             .finds = Finds::older_file},
        Case{.label = "own_flock_fcntl_costs_no_pause",
             .launch = {.refuse = Refuse::pause, .locks = {OWN_FLOCK_FCNTL}},
             .needs_proc = true},
        Case{.label = "own_record_lock_costs_no_pause",
             .launch = {.refuse = Refuse::pause, .locks = {OWN_RECORD_LOCK}},
             .needs_proc = true},
        Case{.label = "own_lock_beside_anothers_flock_costs_no_pause",
             .launch = {.refuse = Refuse::pause, .locks = {OWN_FLOCK_FCNTL, ANOTHERS_FLOCK}},
             .finds = Finds::older_file,
             .needs_proc = true},
        Case{.label = "own_lock_beside_anothers_shared_flock_costs_no_pause",
             .launch = {.refuse = Refuse::pause, .locks = {OWN_RECORD_LOCK, ANOTHERS_SHARED_FLOCK}},
             .finds = Finds::older_file,
             .needs_proc = true},
        Case{.label = "own_lock_inside_a_flock_wrapper_costs_no_pause",
             .launch = {.refuse = Refuse::pause, .locks = {FLOCK_WRAPPER, OWN_FLOCK_FCNTL}},
             .finds = Finds::older_file,
             .needs_proc = true},
        // A lock of the process's that doesn't hold this whole file for writing
        // is waited for like another's: the pause kills.
        Case{.label = "own_lock_elsewhere_waited_for",
             .launch = {.refuse = Refuse::pause,
                        .locks = {{.holder = Holder::the_run,
                                   .kind = Kind::description,
                                   .elsewhere = true},
                                  ANOTHERS_RECORD_LOCK}},
             .finds = Finds::older_file,
             .outcome = KILLED_UNCHANGED},
        Case{.label = "own_lock_on_the_tail_waited_for",
             .launch =
                 {.refuse = Refuse::pause,
                  .locks = {{.holder = Holder::the_run, .kind = Kind::record, .tail_only = true}}},
             .finds = Finds::older_file,
             .outcome = KILLED_UNCHANGED},
        Case{.label = "own_shared_lock_waited_for",
             .launch = {.refuse = Refuse::pause,
                        .locks = {{.holder = Holder::the_run,
                                   .kind = Kind::description,
                                   .shared = true}}},
             .finds = Finds::older_file,
             .outcome = KILLED_UNCHANGED},
        Case{.label = "flock_wrapper_beside_anothers_record_lock_waited_for",
             .launch = {.refuse = Refuse::pause, .locks = {FLOCK_WRAPPER, ANOTHERS_RECORD_LOCK}},
             .finds = Finds::older_file,
             .outcome = KILLED_UNCHANGED},
        // The file waited for is moved away, or replaced: the path's file is
        // written. So it is when the file is moved only once the wait is over.
        Case{.label = "moved_file_let_go",
             .launch = {.locks = {ANOTHERS_RECORD_LOCK}},
             .finds = Finds::older_file,
             .meanwhile = Meanwhile::moved,
             .outcome = PICTURE_AND_MOVED_FILE},
        Case{.label = "replaced_file_let_go",
             .launch = {.locks = {ANOTHERS_RECORD_LOCK}},
             .finds = Finds::older_file,
             .meanwhile = Meanwhile::replaced,
             .outcome = PICTURE_AND_MOVED_FILE},
        Case{.label = "file_moved_once_the_wait_is_over_let_go",
             .launch = {.locks = {ANOTHERS_RECORD_LOCK}},
             .finds = Finds::older_file,
             .meanwhile = Meanwhile::moved_late,
             .outcome = PICTURE_AND_MOVED_FILE},
        // Past the wait, a name that another file takes at every open is given
        // up: no file is written that the name no longer gives.
        Case{.label = "name_replaced_at_each_open_given_up",
             .finds = Finds::older_file,
             .meanwhile = Meanwhile::replaced_at_each_open,
             .outcome = NOT_CREATED},
        // A FIFO that takes the name between the run's look and its open is
        // written as any FIFO, its reader getting the picture.
        Case{.label = "fifo_taking_the_name_at_the_open_read_whole",
             .meanwhile = Meanwhile::fifo_at_open,
             .outcome = {.leaves = Leaves::fifo_read_whole}},
        // Another run holds the file, stalled until this one has waited, written
        // its longer picture and ended; then it resumes and must report a mix.
        Case{.label = "stalled_run_over_the_picture_reports_the_mix",
             .launch = {.args = {long_path().c_str()}},
             .stalled = true,
             .header_name = long_path().c_str()},
        // Runs under one 'flock --fcntl' take turns; one stalled holding its
        // turn is waited for two seconds at most, as another's lock is.
        Case{.label = "stalled_run_holding_the_turn_waited_for",
             .launch = {.args = {long_path().c_str()}, .locks = {FLOCK_FCNTL_WRAPPER}},
             .stalled = true,
             .needs_proc = true,
             .header_name = long_path().c_str()},
        // Where the run can't read the file back, it writes only while holding it.
        Case{.label = "write_only_file_held_by_a_stalled_run_left_alone",
             .launch = {.unprivileged = true},
             .finds = Finds::write_only_file,
             .stalled = true,
             .outcome = NOT_CREATED},
        // A symbolic link's target is read back like any file: once the wait is over, it is
        // written.
        Case{.label = "linked_file_written_after_the_wait",
             .launch = {.locks = {ANOTHERS_RECORD_LOCK}},
             .finds = Finds::link_to_older_file},
        Case{.label = "killed_before_the_lock_emptied_nothing",
             .launch = {.refuse = Refuse::lock},
             .finds = Finds::larger_file,
             .outcome = KILLED_UNCHANGED},
        // Where truncation is refused, an old file stays as it was; a new one needs none.
        Case{.label = "refused_truncation_left_alone",
             .launch = {.refuse = Refuse::truncation},
             .finds = Finds::larger_file,
             .outcome = NOT_CREATED},
        Case{.label = "refused_truncation_no_matter_for_a_new_file",
             .launch = {.refuse = Refuse::truncation}}),
    case_label);

// Runs started at once in one directory, under names (so headers) of different
// lengths and the case's locks: whatever the interleaving, when every run reports
// success, the file holds one's whole picture, and a FIFO's reader gets each run's.
class ConcurrentRuns : public ToolRun, public testing::WithParamInterface<Case> {
protected:
    // Waits for every run: each must have ended with status 0 and no word.
    void expect_all_succeeded(const std::vector<pid_t>& children, int trial)
    {
        for (std::size_t i = 0; i < children.size(); ++i) {
            const int status = wait_for(children.at(i));
            const std::string err = slurp(root_ / ("stderr" + std::to_string(i)));
            ASSERT_TRUE(status == 0 && err.empty())
                << "trial " << trial << ", run " << i << ": status " << status << " "
                << explain(status) << ", " << err;
        }
    }

    // How many whole pictures were written, one after another, cut where each
    // begins, as "P6\n" is nowhere else; fails at any piece that is none.
    static std::size_t whole_pictures(const std::string& written, int trial)
    {
        const std::array pictures = {expected_picture("RidgeTexture"),
                                     expected_picture(long_path())};
        std::size_t whole = 0;
        for (std::size_t at = 0, next = 0; at < written.size(); at = next, ++whole) {
            next = std::min(written.find("P6\n", at + 1), written.size());
            const std::string piece = written.substr(at, next - at);
            EXPECT_TRUE(std::ranges::find(pictures, piece) != pictures.end())
                << "trial " << trial << ": every run exited 0, but bytes " << at << " to " << next
                << " are no run's picture: " << first_difference(piece, pictures.front());
        }
        return whole;
    }
};

TEST_P(ConcurrentRuns, LeaveOneWholePicture)
{
    const Case& c = GetParam();
    const std::string cannot = cannot_run_here(c);
    if (!cannot.empty()) {
        GTEST_SKIP() << cannot;
    }
    const bool fifo = c.finds == Finds::fifo;
    if (fifo) {
        ASSERT_EQ(mkfifo(output().c_str(), 0666), 0) << std::strerror(errno);
    }
    ASSERT_NO_FATAL_FAILURE(keep_locks(c.launch.locks));
    const Launch named_long = {.args = {long_path().c_str()}, .locks = c.launch.locks};
    const std::array runs = {Launch{.locks = c.launch.locks}, named_long,
                             Launch{.locks = c.launch.locks}, named_long};
    // As many trials as fit in the time, up to a number: unguarded runs mix
    // within the first twenty or so, even in a slow build (the sanitizers).
    constexpr int TRIALS = 100;
    const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int trial = 0;
    for (; trial < TRIALS && std::chrono::steady_clock::now() < stop && !HasFailure(); ++trial) {
        std::vector<pid_t> children(runs.size());
        for (std::size_t i = 0; i < runs.size(); ++i) {
            children[i] = start(runs.at(i), std::to_string(i));
        }
        // A FIFO's reader comes only now, when every run has opened it.
        std::this_thread::sleep_for(fifo ? READER_LATE : std::chrono::milliseconds(0));
        const std::string read = fifo ? slurp(output()) : "";
        ASSERT_NO_FATAL_FAILURE(expect_all_succeeded(children, trial));
        EXPECT_EQ(whole_pictures(fifo ? read : slurp(output()), trial), fifo ? runs.size() : 1)
            << "trial " << trial;
    }
    RecordProperty("trials", trial);
}

INSTANTIATE_TEST_SUITE_P(
    LockKept, ConcurrentRuns,
    testing::Values(Case{.label = "none"},
                    Case{.label = "shared_flock", .launch = {.locks = {ANOTHERS_SHARED_FLOCK}}},
                    Case{.label = "exclusive_flock", .launch = {.locks = {ANOTHERS_FLOCK}}},
                    // Each run under its own 'flock --fcntl RidgeTexture.ppm', or all under
                    // one, beside another's shared flock too: they take turns.
                    Case{.label = "each_under_flock_fcntl",
                         .launch = {.locks = {OWN_FLOCK_FCNTL}},
                         .needs_proc = true},
                    Case{.label = "all_under_one_flock_fcntl",
                         .launch = {.locks = {FLOCK_FCNTL_WRAPPER}},
                         .needs_proc = true},
                    Case{.label = "all_under_one_flock_fcntl_beside_a_shared_flock",
                         .launch = {.locks = {FLOCK_FCNTL_WRAPPER, ANOTHERS_SHARED_FLOCK}},
                         .needs_proc = true},
                    // The runs open the FIFO at once when its reader comes.
                    Case{.label = "fifo_read_late", .finds = Finds::fifo}),
    case_label);

}  // namespace
