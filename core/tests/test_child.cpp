// A child for the process tests that behaves the same on every system, so
// they need no shell. Its arguments are steps, done in order:
//   args ...      writes every argument after it, each followed by "\0", and
//                 ends
//   env NAME      writes the value of NAME ("<unset>" when there is none)
//   err TEXT      writes TEXT to standard error
//   sleep MS      sleeps MS milliseconds
//   exit N        exits with status N
// Arguments and values are written as UTF-8, whatever the system's code page.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace {

#ifdef _WIN32
std::string utf8(const wchar_t* text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size - 1 : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

std::vector<std::string> arguments(int, char**) {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.push_back(utf8(wide[i]));
    ::LocalFree(wide);
    return out;
}

std::string environment(const std::string& name) {
    std::wstring wide(name.begin(), name.end());
    wchar_t value[32768];
    const DWORD n = ::GetEnvironmentVariableW(wide.c_str(), value, 32768);
    return n == 0 ? "<unset>" : utf8(value);
}
#else
std::vector<std::string> arguments(int argc, char** argv) { return {argv, argv + argc}; }

std::string environment(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value ? value : "<unset>";
}
#endif

void write(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    const std::vector<std::string> args = arguments(argc, argv);
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& step = args[i];
        const std::string operand = i + 1 < args.size() ? args[i + 1] : "";
        if (step == "args") {
            for (std::size_t j = i + 1; j < args.size(); ++j) write(stdout, args[j] + std::string(1, '\0'));
            return 0;
        } else if (step == "env") {
            write(stdout, environment(operand));
            ++i;
        } else if (step == "err") {
            write(stderr, operand);
            ++i;
        } else if (step == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(operand.c_str())));
            ++i;
        } else if (step == "exit") {
            return std::atoi(operand.c_str());
        }
    }
    return 0;
}
