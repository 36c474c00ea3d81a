// Helpers for tests that run a built program (POSIX): a shell-quoted command line, a file's
// whole content, and one run with stdout and stderr captured.
#pragma once
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

struct Result {
    int status = -1; // exit status; -1 when killed or crashed
    std::string out, err;
};

// s as one word for /bin/sh.
inline std::string Quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

inline std::string Slurp(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs exe with args, stdin from /dev/null, and waits for it. Its output goes through the
// files "stdout" and "stderr" in scratch, which are removed again.
inline Result RunCaptured(const std::string& exe, const std::vector<std::string>& args,
                          const std::filesystem::path& scratch)
{
    const std::filesystem::path out = scratch / "stdout", err = scratch / "stderr";
    std::string cmd = Quote(exe);
    for (const auto& a : args) cmd += " " + Quote(a);
    cmd += " >" + Quote(out.string()) + " 2>" + Quote(err.string()) + " </dev/null";
    const int rc = std::system(cmd.c_str());
    Result r;
    r.status = rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = Slurp(out);
    r.err = Slurp(err);
    std::error_code ec;
    std::filesystem::remove(out, ec);
    std::filesystem::remove(err, ec);
    return r;
}

} // namespace testsupport
