#pragma once
// nxget run as a program from the tests: the one place that builds its command line.

#include <filesystem>
#include <string>
#include <vector>

namespace nxtest {

struct NxgetOutcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// The build puts nxget under tools/ beside the tests folder.
std::filesystem::path NxgetProgram();

std::string ReadFile(const std::filesystem::path& path);

// Runs nxget with args, each quoted for the shell, with its standard output and error in
// dir/stdout.txt and dir/stderr.txt while it runs (a test may watch them), read back and
// removed at the end. prefix goes in front of the command as it stands: variable
// assignments or an env call, on POSIX shells only.
NxgetOutcome RunNxget(const std::vector<std::string>& args, const std::filesystem::path& dir,
                      const std::string& prefix = {});

} // namespace nxtest
