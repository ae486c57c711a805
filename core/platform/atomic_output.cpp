#include "platform/atomic_output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <random>

#include "platform/error.hpp"
#include "platform/temp_file.hpp"

namespace merivane {

namespace {

enum class Target { Replace, Direct };

// Whether the destination is a file to replace or something to write into.
Target target_of(const std::string& destination) {
    struct stat link {};
    if (::lstat(destination.c_str(), &link) != 0) return Target::Replace;
    struct stat info = link;
    // A link is replaced, unless it leads to a device or FIFO (/dev/stdout).
    if (S_ISLNK(link.st_mode) && ::stat(destination.c_str(), &info) != 0) return Target::Replace;
    if (S_ISDIR(info.st_mode)) throw OSError(EISDIR, destination);
    return S_ISREG(info.st_mode) ? Target::Replace : Target::Direct;
}

UniqueFd open_directly(const std::string& destination, int extra_flags) {
    int fd;
    do {
        fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | extra_flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw_os_error(destination);
    return UniqueFd(fd);
}

void sync_file(int fd, const std::string& path) {
    while (::fsync(fd) != 0) {
        if (errno == EINTR) continue;
        // Devices and some special files cannot be synced: nothing to lose.
        if (errno == EINVAL || errno == EROFS) return;
        throw_os_error(path);
    }
}

// A file with no name in `directory` (-1 where the file system has none).
UniqueFd open_unnamed_in(const std::string& directory) {
#ifdef O_TMPFILE
    int fd;
    do {
        fd = ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    return UniqueFd(fd);
#else
    (void)directory;
    return UniqueFd();
#endif
}

// Gives the unnamed file open as `fd` a unique name beside `destination`,
// ready to be renamed over it; returns that name.
std::string link_beside(int fd, const std::string& destination) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    const std::string proc_path = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = destination + ".";
        for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
        name += ".part";
        if (::linkat(AT_FDCWD, proc_path.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return name;
        if (errno == EEXIST) continue;
        // Without /proc, linking by descriptor needs no path at all (but a
        // privilege on older kernels).
        if (errno == ENOENT && ::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return name;
        if (errno == EEXIST) continue;
        throw_os_error(destination);
    }
    throw OSError(EEXIST, destination);
}

}  // namespace

unsigned created_file_mode() {
    // Reading the umask through umask() would change it for a moment under
    // every other thread; Linux reports it in /proc.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) return 0666u & ~static_cast<unsigned>(std::stoul(line.substr(6), nullptr, 8));
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return 0666u & ~static_cast<unsigned>(mask);
}

void sync_directory(const std::string& directory) {
    const std::string path = directory.empty() ? "." : directory;
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw_os_error(path);
    UniqueFd owner(fd);
    sync_file(fd, path);
}

AtomicOutput::AtomicOutput(std::string destination)
    : destination_(std::move(destination)), file_([&] {
          path_ = destination_;
          if (target_of(destination_) == Target::Direct) {
              direct_ = true;
              return OutputFile(open_directly(destination_, 0), destination_);
          }
          try {
              // Nameless until committed where the file system allows: a
              // killed process then leaves nothing behind.
              if (UniqueFd unnamed = open_unnamed_in(directory_of(destination_))) {
                  path_.clear();
                  return OutputFile(std::move(unnamed), destination_);
              }
              TempFile temporary = TempFile::beside(destination_, ".part");
              UniqueFd fd = temporary.take_fd();
              // Owned by this object from here on (removed by the destructor).
              path_ = temporary.release();
              return OutputFile(std::move(fd), destination_);
          } catch (const OSError& error) {
              if (error.errnum() != EACCES && error.errnum() != EPERM) throw;
              // The directory takes no new file; an existing file in it that
              // may be written is written in place, as a plain open would.
              // Never through a link: that is what a replace would avoid.
              struct stat info {};
              if (::lstat(destination_.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) throw;
              direct_ = true;
              return OutputFile(open_directly(destination_, O_NOFOLLOW), destination_);
          }
      }()) {}

AtomicOutput::~AtomicOutput() {
    if (committed_ || direct_ || path_.empty()) return;
    // The descriptor closes with file_; the partial file goes now.
    ::unlink(path_.c_str());
}

void AtomicOutput::commit() {
    if (committed_) return;
    if (direct_) {
        file_.flush();
        struct stat info {};
        if (::fstat(file_.fd(), &info) == 0 && S_ISREG(info.st_mode)) sync_file(file_.fd(), destination_);
        file_.close();
        committed_ = true;
        return;
    }
    // Every error names the destination: the temporary name means nothing
    // to the caller.
    file_.flush();
    sync_file(file_.fd(), destination_);
    if (::fchmod(file_.fd(), created_file_mode()) != 0) throw_os_error(destination_);
    if (path_.empty()) path_ = link_beside(file_.fd(), destination_);
    file_.close();
    if (::rename(path_.c_str(), destination_.c_str()) != 0) throw_os_error(destination_);
    committed_ = true;
    // The rename is durable only once the directory is.
    sync_directory(directory_of(destination_));
}

}  // namespace merivane
