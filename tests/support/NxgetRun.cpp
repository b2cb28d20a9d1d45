#include "support/NxgetRun.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/wait.h>
#endif

namespace fs = std::filesystem;

namespace nxtest {

namespace {

fs::path TestProgram() {
#if defined(_WIN32)
    char name[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, name, MAX_PATH);
    return fs::path(name);
#else
    return fs::read_symlink("/proc/self/exe");
#endif
}

std::string Quote(const std::string& arg) {
#if defined(_WIN32)
    return "\"" + arg + "\"";
#else
    std::string q = "'";
    for (char ch : arg)
        q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return q + "'";
#endif
}

} // namespace

fs::path NxgetProgram() {
    fs::path dir = TestProgram().parent_path().parent_path() / "tools" / "nxget";
#if defined(_WIN32)
    return dir / "nxget.exe";
#else
    return dir / "nxget";
#endif
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

NxgetOutcome RunNxget(const std::vector<std::string>& args, const fs::path& dir, const std::string& prefix) {
    // Appended piece by piece: "text" + temporary trips a false -Wrestrict in mingw's GCC 12.
    std::string command = prefix;
    if (!command.empty()) command += ' ';
    command += Quote(NxgetProgram().string());
    for (const auto& a : args) {
        command += ' ';
        command += Quote(a);
    }
    const fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
    command += " > " + Quote(out.string());
    command += " 2> " + Quote(err.string());
#if defined(_WIN32)
    command = "\"" + command + "\""; // cmd /c strips one pair of outer quotes
#endif
    NxgetOutcome o;
    const int status = std::system(command.c_str());
#if defined(_WIN32)
    o.exitCode = status;
#else
    o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    o.out = ReadFile(out);
    o.err = ReadFile(err);
#if defined(_WIN32)
    // Standard error is a text stream there: its line ends are CR LF.
    for (size_t at = o.err.find("\r\n"); at != std::string::npos; at = o.err.find("\r\n", at))
        o.err.erase(at, 1);
#endif
    std::error_code ec;
    fs::remove(out, ec);
    fs::remove(err, ec);
    return o;
}

} // namespace nxtest
