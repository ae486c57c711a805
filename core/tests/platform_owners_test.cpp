#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#else
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "platform/atomic_output.hpp"
#include "platform/error.hpp"
#include "platform/interrupt.hpp"
#include "platform/paths.hpp"
#include "platform/system_files.hpp"
#include "platform/temp_file.hpp"
#include "platform/unique_fd.hpp"
#include "test_support.hpp"

namespace merivane {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;

using testing::entries;
using testing::ScopedEnv;

#ifdef _WIN32
bool is_open(int fd) { return ::_get_osfhandle(fd) != -1; }
int open_null() { return ::open("NUL", O_RDONLY); }
const char* const kNullDevice = "NUL";
#else
bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }
int open_null() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }
const char* const kNullDevice = "/dev/null";
#endif

TEST(UniqueFd, ClosesOnceAndOnlyWhileItOwns) {
    int raw = open_null();
    ASSERT_GE(raw, 0);
    {
        UniqueFd first(raw);
        UniqueFd second(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_EQ(second.get(), raw);
        UniqueFd third;
        third = std::move(second);
        EXPECT_TRUE(is_open(raw));
    }
    EXPECT_FALSE(is_open(raw));

    raw = open_null();
    UniqueFd kept(raw);
    EXPECT_EQ(kept.release(), raw);
    EXPECT_TRUE(is_open(raw));
    // An explicit close reports what a destructor must swallow.
    ::close(raw);
    UniqueFd stale(raw);
    EXPECT_THROW(stale.close("stale"), OSError);
    EXPECT_FALSE(stale);
}

TEST(TempFile, PrivateExclusiveAndRemovedUnlessReleased) {
    TempDir dir;
    const ScopedEnv tmpdir("TMPDIR", dir.path(""));
    std::string kept;
    {
        TempFile a = TempFile::in_temp_directory(".vcf");
        TempFile b = TempFile::beside(dir.path("u.vcf"), ".sorted.tmp");
#ifndef _WIN32
        // (Windows has no mode bits: a new file takes its directory's rules.)
        struct stat info {};
        ASSERT_EQ(::stat(a.path().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
#endif
        EXPECT_TRUE(a.path().ends_with(".vcf"));
        EXPECT_EQ(fs::path(a.path()).parent_path(), fs::path(dir.path("")).parent_path());
        const std::string name = fs::path(b.path()).filename().string();
        EXPECT_TRUE(name.starts_with("u.vcf.") && name.ends_with(".sorted.tmp")) << name;
        EXPECT_NE(TempFile::beside(dir.path("u.vcf"), ".sorted.tmp").path(), b.path());
        EXPECT_EQ(::write(a.fd(), "x", 1), 1);
        TempFile moved = std::move(a);
        kept = moved.release();
    }
    EXPECT_EQ(entries(dir.path("")), std::vector<std::string>{fs::path(kept).filename().string()});
    EXPECT_EQ(read_file(kept), "x");
}

TEST(TempFile, OverlongNameIsShortenedAndMissingDirectoryNamesTheCallersPath) {
    TempDir dir;
    const TempFile file = TempFile::beside(dir.path(std::string(250, 'n')), ".sorted.tmp");
    EXPECT_LE(fs::path(file.path()).filename().string().size(), 255u);
    try {
        TempFile::beside(dir.path("missing/u.vcf"), ".tmp");
        FAIL() << "expected OSError";
    } catch (const OSError& error) {
        EXPECT_EQ(error.errnum(), ENOENT);
        EXPECT_EQ(error.filename(), dir.path("missing/u.vcf"));
    }
}

TEST(TempFile, UnnamedFileLeavesNothingBehind) {
    TempDir dir;
    const ScopedEnv tmpdir("TMPDIR", dir.path(""));
    UniqueFd fd = create_unnamed_temp_file();
    ASSERT_TRUE(fd);
    EXPECT_EQ(::write(fd.get(), "abc", 3), 3);
    char back[3];
    ASSERT_EQ(::lseek(fd.get(), 0, SEEK_SET), 0);
    EXPECT_EQ(::read(fd.get(), back, 3), 3);
#ifdef _WIN32
    // Windows removes it when the last handle closes (however the process
    // ends); until then its name shows.
    fd.reset();
#endif
    EXPECT_TRUE(entries(dir.path("")).empty());
}

TEST(TempDirectory, FirstCandidateThatTakesAFile) {
    TempDir dir;
    const std::string file = dir.write("plain-file", "");
    fs::create_directory(dir.path("temp"));
    // Unusable: missing, or not a directory; the next variable is tried.
    for (const std::string& unusable : {dir.path("missing"), file}) {
        const ScopedEnv tmpdir("TMPDIR", unusable);
        const ScopedEnv temp("TEMP", dir.path("temp"));
        EXPECT_EQ(temp_directory(), dir.path("temp"));
    }
    const ScopedEnv tmpdir("TMPDIR", dir.path("temp/../temp"));
    EXPECT_EQ(temp_directory(), dir.path("temp")) << "absolute and normalised";
    EXPECT_TRUE(entries(dir.path("temp")).empty());
}

#ifndef _WIN32
// Runs `body` in a child process as an unprivileged user when this process
// is root (so permission checks apply); returns its exit status.
int run_unprivileged(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(99);
        int code = 98;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#endif

class AtomicOutputTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string dest = dir.path("out.vcf.gz");
};

TEST_F(AtomicOutputTest, CommitReplacesWholeWithCreateModeAndNothingElse) {
    dir.write("out.vcf.gz", "old");
#ifndef _WIN32
    ::chmod(dest.c_str(), 0600);
    const mode_t mask = ::umask(027);
#endif
    {
        AtomicOutput out(dest);
        out.write("new ");
        out.write("content");
        EXPECT_EQ(read_file(dest), "old") << "nothing shows before commit";
        out.commit();
    }
    EXPECT_EQ(read_file(dest), "new content");
#ifndef _WIN32
    ::umask(mask);
    struct stat info {};
    ASSERT_EQ(::stat(dest.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
#endif
    EXPECT_EQ(entries(dir.path("")), std::vector<std::string>{"out.vcf.gz"});
}

// Where the file system has no nameless files (NFS), the partial file has a
// name an operator can tell as ours.
TEST_F(AtomicOutputTest, WithoutCommitEarlierFileStaysAndPartIsRemoved) {
    for (const bool nameless : {true, false}) {
        os::injected_failure = nameless ? nullptr : +[](const char* call, const std::string&) {
            return std::string_view(call) == "open_unnamed" ? EOPNOTSUPP : 0;
        };
        for (const bool existed : {true, false}) {
            if (existed) dir.write("out.vcf.gz", "good");
            {
                AtomicOutput out(dest);
                out.write(std::string(3 << 20, 'x'));  // past the buffer: bytes reach the disk
                EXPECT_NE(out.path(), dest);
                // Where the file system has nameless files, a killed process
                // could leave nothing: there is nothing to see yet.
                if (out.path().empty()) {
                    EXPECT_EQ(entries(dir.path("")).size(), existed ? 1u : 0u);
                } else {
                    const std::string name = fs::path(out.path()).filename().string();
                    EXPECT_TRUE(name.starts_with("out.vcf.gz.merivane-") && name.ends_with(".part")) << name;
                }
                if (!nameless) {
                    EXPECT_FALSE(out.path().empty());
                }
            }
            EXPECT_EQ(fs::exists(dest), existed);
            if (existed) {
                EXPECT_EQ(read_file(dest), "good");
            }
            EXPECT_EQ(entries(dir.path("")).size(), existed ? 1u : 0u);
            fs::remove(dest);
        }
    }
    os::injected_failure = nullptr;
}

TEST_F(AtomicOutputTest, SymlinkAtDestinationIsReplacedNotFollowed) {
    const std::string victim = dir.write("victim", "keep me");
    if (!testing::make_symlink(victim, dest)) GTEST_SKIP() << "the system refuses to make symbolic links";
    AtomicOutput out(dest);
    out.write("sorted");
    out.commit();
    EXPECT_EQ(read_file(victim), "keep me");
    EXPECT_FALSE(fs::is_symlink(dest));
    EXPECT_EQ(read_file(dest), "sorted");
}

TEST_F(AtomicOutputTest, NonRegularDestinationsAreWrittenDirectly) {
    {
        AtomicOutput out(kNullDevice);
        EXPECT_TRUE(out.writes_directly());
        out.write("x");
        out.commit();
    }
    EXPECT_THROW(AtomicOutput{dir.path("")}, OSError);
#ifndef _WIN32
    // A link to a device is written through, as /dev/stdout must be.
    fs::create_symlink("/dev/full", dest);
    AtomicOutput full(dest);
    EXPECT_TRUE(full.writes_directly());
    full.write("x");
    try {
        full.commit();
        FAIL() << "a full device must fail the commit";
    } catch (const OSError& error) {
        EXPECT_EQ(error.errnum(), ENOSPC);
    }
    remove_file(dest);
    EXPECT_TRUE(fs::is_symlink(dest)) << "a link to a device is never removed";
#endif
}

#ifndef _WIN32
TEST_F(AtomicOutputTest, FifoIsWrittenDirectly) {
    const std::string fifo = dir.path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const pid_t reader = ::fork();
    if (reader == 0) {
        const std::string got = read_file(fifo);
        ::_exit(got == "through the pipe" ? 0 : 1);
    }
    {
        AtomicOutput out(fifo);
        out.write("through the pipe");
        out.commit();
    }
    int status = 0;
    ::waitpid(reader, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A directory that takes no new file is refused before anything is written,
// naming it: writing the earlier file in place would leave it torn.
TEST_F(AtomicOutputTest, ClosedDirectoryIsRefusedAndEarlierFileKept) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to give the file to another user";
    dir.write("out.vcf.gz", "old");
    fs::permissions(dir.path(""), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    ASSERT_EQ(::chown(dest.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(dest.c_str(), 0666), 0);
    const std::string fresh = dir.path("fresh.vcf.gz");
    const int status = run_unprivileged([&] {
        for (const auto& [path, named] : {std::pair{fresh, fresh}, std::pair{dest, directory_of(dest)}}) {
            try {
                AtomicOutput refused(path);
                return 1;
            } catch (const OSError& error) {
                if (error.errnum() != EACCES || error.filename() != named) return 2;
            }
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(dest), "old");
}

// /dev/stdout and /dev/fd/N lead through /proc to a descriptor: written
// into, never replaced or removed, even when a regular file is behind it.
TEST_F(AtomicOutputTest, LinkToAnOpenDescriptorIsWrittenThroughAndKept) {
    const std::string behind = dir.write("behind", "old");
    const UniqueFd fd(::open(behind.c_str(), O_WRONLY | O_CLOEXEC));
    fs::create_symlink("/proc/self/fd/" + std::to_string(fd.get()), dest);
    for (const std::string& path : {dest, "/dev/fd/" + std::to_string(fd.get())}) {
        AtomicOutput out(path);
        EXPECT_TRUE(out.writes_directly()) << path;
        out.write("new");
        out.commit();
        EXPECT_EQ(read_file(behind), "new");
    }
    remove_file(dest);
    EXPECT_TRUE(fs::is_symlink(dest));
}

struct Interrupted {};  // no std::exception: it must pass through untouched

// Opening a FIFO nobody reads waits; a signal and the interrupt check end
// the wait.
TEST_F(AtomicOutputTest, WaitForAFifoReaderEndsOnInterrupt) {
    static std::atomic<bool> signalled{false};
    signalled = false;
    struct sigaction action {}, previous_action {};
    action.sa_handler = [](int) { signalled = true; };
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: open returns EINTR, as under Python
    ::sigaction(SIGUSR1, &action, &previous_action);
    const InterruptCheck previous = set_interrupt_check([] {
        if (signalled) throw Interrupted{};
    });
    const std::string fifo = dir.path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<bool> done{false};
    const pthread_t opener = ::pthread_self();
    std::thread signaller([&] {
        for (int i = 0; i < 50 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!done) ::pthread_kill(opener, SIGUSR1);
        }
        // A deaf open fails the test rather than hang it.
        if (!done) ::close(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
    });
    EXPECT_THROW(AtomicOutput{fifo}, Interrupted);
    done = true;
    signaller.join();
    set_interrupt_check(previous);
    ::sigaction(SIGUSR1, &previous_action, nullptr);
}
#endif

}  // namespace
}  // namespace merivane
