// Error kinds of the core, each mapped onto one exception of the host
// (bindings/support): the core says what went wrong, the binding how to spell it.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace merivane {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;

    // Extra context for a reader of the error ("in the cnv input, line 12"),
    // kept apart from the message so the message keeps the host's wording.
    void add_note(std::string note) { notes_.push_back(std::move(note)); }
    const std::vector<std::string>& notes() const noexcept { return notes_; }

private:
    std::vector<std::string> notes_;
};

// A bad argument value or a malformed field.
struct ValueError : Error {
    using Error::Error;
};

// A record with fewer cells than a rule needs.
struct IndexError : Error {
    using Error::Error;
};

// An argument of the wrong type.
struct TypeError : Error {
    using Error::Error;
};

// A state no other argument would fix (a forced engine not installed).
struct RuntimeError : Error {
    using Error::Error;
};

// A failed operating-system call, with the errno and the path it concerned.
class OSError : public Error {
public:
    OSError(int errnum, std::string filename);

    int errnum() const noexcept { return errnum_; }
    const std::string& filename() const noexcept { return filename_; }
    const std::string& strerror() const noexcept { return strerror_; }

private:
    int errnum_;
    std::string filename_;
    std::string strerror_;
};

// OSError for the current errno, read before anything can change it.
[[noreturn]] void throw_os_error(const std::string& filename);

// Bytes that are not UTF-8; `object` holds those around the fault (not
// necessarily the whole input), start/end index into it.
class UnicodeDecodeError : public Error {
public:
    UnicodeDecodeError(std::string object, std::size_t start, std::size_t end, std::string reason);

    std::string encoding() const { return "utf-8"; }
    const std::string& object() const noexcept { return object_; }
    std::size_t start() const noexcept { return start_; }
    std::size_t end() const noexcept { return end_; }
    const std::string& reason() const noexcept { return reason_; }

private:
    std::string object_;
    std::size_t start_;
    std::size_t end_;
    std::string reason_;
};

// Compressed input that is not valid gzip: corrupt data, a bad checksum, or
// (when `truncated`) a stream that ends before its end-of-stream marker.
class CorruptInputError : public Error {
public:
    CorruptInputError(std::string message, bool truncated) : Error(std::move(message)), truncated_(truncated) {}
    bool truncated() const noexcept { return truncated_; }

private:
    bool truncated_;
};

// An external program that exited non-zero (minus the signal that ended it).
class CalledProcessError : public Error {
public:
    CalledProcessError(int returncode, std::vector<std::string> cmd);

    int returncode() const noexcept { return returncode_; }
    const std::vector<std::string>& cmd() const noexcept { return cmd_; }

private:
    int returncode_;
    std::vector<std::string> cmd_;
};

// An external program that did not finish within its time-out and was killed.
class TimeoutExpired : public Error {
public:
    TimeoutExpired(std::vector<std::string> cmd, double timeout_seconds);

    const std::vector<std::string>& cmd() const noexcept { return cmd_; }
    double timeout_seconds() const noexcept { return timeout_; }

private:
    std::vector<std::string> cmd_;
    double timeout_;
};

}  // namespace merivane
