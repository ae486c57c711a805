// Children on Windows: started by CreateProcessW with only their three
// standard handles, held in a job object so that killing one kills what it
// started. PATH and PATHEXT are searched as shutil.which searches them.
#include "platform/process.hpp"

#include <windows.h>

#include <io.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <utility>

#include "platform/error.hpp"
#include "platform/paths.hpp"
#include "platform/system_files.hpp"
#include "platform/win32.hpp"

namespace merivane {

namespace {

// An owned handle, closed with its owner (INVALID_HANDLE_VALUE, some calls' "none", is not).
struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

bool ends_with_ignoring_case(const std::string& text, const std::string& suffix) {
    if (suffix.size() > text.size()) return false;
    return win32::folded(win32::widen(text.substr(text.size() - suffix.size()))) == win32::folded(win32::widen(suffix));
}

bool is_file(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(win32::widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> items;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find(';', start), text.size());
        items.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

// The command itself when it ends in a PATHEXT extension, else with each.
std::vector<std::string> executable_names(const std::string& command) {
    const std::string pathext = win32::get_environment("PATHEXT").value_or(".COM;.EXE;.BAT;.CMD;.VBS;.JS;.WS;.MSC");
    std::vector<std::string> extensions = split_list(pathext);
    std::erase(extensions, std::string());
    const auto ends_command = [&](const std::string& extension) { return ends_with_ignoring_case(command, extension); };
    if (std::ranges::any_of(extensions, ends_command)) return {command};
    std::vector<std::string> names;
    for (const std::string& extension : extensions) names.push_back(command + extension);
    return names;
}

// A handle the child can inherit, to the same object as `handle`.
Handle inheritable_copy(HANDLE handle) {
    HANDLE copy = nullptr;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return Handle();
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS)) {
        win32::throw_last_error("DuplicateHandle");
    }
    return Handle(copy);
}

// The child inherits the writing end; the reading end stays here.
void make_pipe(Handle& read_end, Handle& write_end) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE reading = nullptr, writing = nullptr;
    if (!::CreatePipe(&reading, &writing, &inherit, 1 << 20)) win32::throw_last_error("pipe");
    read_end.reset(reading);
    write_end.reset(writing);
    ::SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
}

std::wstring variable_name(std::wstring_view entry) {
    // Entries such as "=C:=C:\\dir" (a drive's current directory) begin with
    // the "=" that is not their separator.
    const std::size_t equals = entry.find(L'=', 1);
    return win32::folded(std::wstring(entry.substr(0, equals)));
}

// The environment with `overrides` set, as a sorted block of NUL-terminated
// entries ending in an empty one; names match without regard to case.
std::wstring environment_block(const std::vector<std::pair<std::string, std::string>>& overrides) {
    std::vector<std::wstring> entries;
    for (const auto& [name, value] : overrides) entries.push_back(win32::widen(name + "=" + value));
    std::vector<std::wstring> replaced;
    for (const auto& entry : entries) replaced.push_back(variable_name(entry));

    if (const LPWCH strings = ::GetEnvironmentStringsW()) {
        for (const wchar_t* entry = strings; *entry; entry += std::wcslen(entry) + 1) {
            const std::wstring_view text(entry);
            if (std::ranges::find(replaced, variable_name(text)) == replaced.end()) entries.emplace_back(text);
        }
        ::FreeEnvironmentStringsW(strings);
    }
    std::ranges::stable_sort(entries, {}, variable_name);
    std::wstring block;
    for (const auto& entry : entries) block.append(entry).push_back(L'\0');
    block += L'\0';
    return block;
}

// Killed with what it started unless waited for to its end.
class WindowsChild final : public os::RunningChild {
public:
    WindowsChild(std::string program, const ChildOptions& options)
        : program_(std::move(program)), options_(options) {}
    ~WindowsChild() override {
        if (ended_ || !process_) return;
        if (!job_ || !::TerminateJobObject(job_.get(), 1)) ::TerminateProcess(process_.get(), 1);
        ::WaitForSingleObject(process_.get(), INFINITE);
    }

    std::optional<int> step(int wait_ms, ChildResult& result) override {
        for (Handle* pipe : {&out_, &err_}) {
            if (*pipe && !drain(*pipe, result)) pipe->reset();
        }
        // A pipe still open is one still being read.
        const bool reading = out_ || err_;
        if (!reading && ::WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0) {
            DWORD code = 0;
            if (!::GetExitCodeProcess(process_.get(), &code)) win32::throw_last_error(program_);
            ended_ = true;
            return static_cast<int>(code);
        }
        // Anonymous pipes cannot be waited on: look again shortly.
        const DWORD wait = reading ? 1 : static_cast<DWORD>(std::min(wait_ms, 50));
        if (::WaitForSingleObject(process_.get(), wait) == WAIT_FAILED) win32::throw_last_error(program_);
        return std::nullopt;
    }

    Handle process_;
    // Closing its last handle kills everything in it, so the child does not
    // outlive this process. None when it cannot be had.
    Handle job_;
    Handle out_;  // the reading ends of the child's piped output
    Handle err_;

private:
    // Reads what the pipe holds without blocking; false at end of output.
    bool drain(Handle& pipe, ChildResult& result) {
        char buffer[1 << 16];
        for (;;) {
            DWORD available = 0, got = 0;
            // Either call failing on a closed pipe is the end of the output.
            if (!::PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &available, nullptr) ||
                (available > 0 &&
                 !::ReadFile(pipe.get(), buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr))) {
                if (::GetLastError() == ERROR_BROKEN_PIPE) return false;
                win32::throw_last_error("pipe");
            }
            if (available == 0) return true;
            os::take_output(options_, result, &pipe == &out_, std::string_view(buffer, got));
        }
    }

    std::string program_;
    const ChildOptions& options_;
    bool ended_ = false;
};

// The child's three standard handles, inheritable: a descriptor, this
// process's own, or a pipe whose reading end goes to `child`.
std::array<Handle, 3> child_handles(const ChildOptions& options, WindowsChild& child) {
    std::array<Handle, 3> ends;
    ends[0] = inheritable_copy(options.stdin_fd >= 0 ? reinterpret_cast<HANDLE>(::_get_osfhandle(options.stdin_fd))
                                                     : ::GetStdHandle(STD_INPUT_HANDLE));
    const auto output = [](bool piped, Handle& reading_end, Handle& end, DWORD standard) {
        if (piped) return make_pipe(reading_end, end);
        end = inheritable_copy(::GetStdHandle(standard));
    };
    output(options.capture_stdout || options.stdout_sink, child.out_, ends[1], STD_OUTPUT_HANDLE);
    output(options.capture_stderr, child.err_, ends[2], STD_ERROR_HANDLE);
    return ends;
}

}  // namespace

std::optional<std::string> find_executable(const std::string& name) {
    if (!split_path(name).directory.empty()) {
        for (const std::string& candidate : executable_names(name)) {
            if (is_file(candidate)) return candidate;
        }
        return std::nullopt;
    }
    const std::string search = win32::get_environment("PATH").value_or(".;C:\\bin");
    // An empty PATH names no directory at all (not the current one).
    if (search.empty()) return std::nullopt;
    std::vector<std::string> directories = split_list(search);
    // Windows looks in the current directory before the PATH.
    if (std::ranges::find(directories, ".") == directories.end()) directories.insert(directories.begin(), ".");
    const std::vector<std::string> names = executable_names(name);
    std::vector<std::wstring> seen;
    for (const std::string& directory : directories) {
        std::wstring key = win32::folded(win32::widen(directory));
        std::ranges::replace(key, L'/', L'\\');
        if (std::ranges::find(seen, key) != seen.end()) continue;
        seen.push_back(std::move(key));
        for (const std::string& file : names) {
            const std::string candidate = join_path(directory, file);
            if (is_file(candidate)) return candidate;
        }
    }
    return std::nullopt;
}

std::unique_ptr<os::RunningChild> os::start_child(const std::vector<std::string>& argv, const ChildOptions& options) {
    auto child = std::make_unique<WindowsChild>(argv[0], options);
    // Only the child holds its ends once it runs, so its exit ends the pipes.
    const std::array<Handle, 3> handles = child_handles(options, *child);
    std::wstring command_line = win32::widen(quote_command_line(argv));
    std::wstring environment = environment_block(options.environment_overrides);
    std::vector<HANDLE> inherited;
    for (const Handle& handle : handles) {
        if (handle) inherited.push_back(handle.get());
    }
    // Only those handles are inherited.
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> storage(size);
    const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) win32::throw_last_error("CreateProcess");
    const std::unique_ptr<_PROC_THREAD_ATTRIBUTE_LIST, decltype(&::DeleteProcThreadAttributeList)> attributes(
        list, &::DeleteProcThreadAttributeList);
    if (!inherited.empty() && !::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                                           inherited.size() * sizeof(HANDLE), nullptr, nullptr)) {
        win32::throw_last_error("CreateProcess");
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = handles[0].get();
    startup.StartupInfo.hStdOutput = handles[1].get();
    startup.StartupInfo.hStdError = handles[2].get();
    startup.lpAttributeList = list;

    // Started suspended, so it is in the job before it can start anything.
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, inherited.empty() ? FALSE : TRUE,
                          CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED,
                          environment.data(), nullptr, &startup.StartupInfo, &started)) {
        win32::throw_last_error(argv[0]);
    }
    child->process_.reset(started.hProcess);
    child->job_.reset(::CreateJobObjectW(nullptr, nullptr));
    const Handle thread(started.hThread);
    if (child->job_) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!::SetInformationJobObject(child->job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
            !::AssignProcessToJobObject(child->job_.get(), child->process_.get())) {
            child->job_.reset();
        }
    }
    ::ResumeThread(thread.get());
    return child;
}

}  // namespace merivane
