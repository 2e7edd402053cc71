// Shared helpers of the tests: temporary directories, files, and runs of
// the built programs.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "input/input.h"

namespace torla::test {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed again.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "torla-test-XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

inline void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_text(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline std::string bin_dir() { return TORLA_BIN_DIR; }

// Runs a command line in dir; standard output and error go to out.
// Returns the exit status (or 128 + signal).
inline int run_in(const fs::path& dir, const std::string& command, std::string& out) {
    const std::string log = (dir / "console.txt").string();
    const std::string line = "cd '" + dir.string() + "' && " + command + " > '" + log + "' 2>&1";
    const int rc = std::system(line.c_str());
    out = read_text(log);
    fs::remove(log);
    if (WIFEXITED(rc)) return WEXITSTATUS(rc);
    return 128 + WTERMSIG(rc);
}

// A command file with the given global parameter lines and a track of n
// points spaced dx apart on a plane of the given drop per point; every
// point has the same twelve local numbers.
inline std::string command_file(int n, const std::string& globals, const std::string& locals,
                                double dx = 10.0, double drop = 5.0) {
    std::ostringstream o;
    o << "Track_Name Test track\nRun_Name Test run\n| POWDER SNOW GLOBAL PARAMETERS\n" << globals
      << "| COORDINATES\nNumber_of_Points " << n << "\n";
    for (int i = 0; i < n; ++i) o << i << " " << i * dx << " " << 1000.0 - i * drop << " 0 0\n";
    o << "| POWDER SNOW LOCAL PARAMETERS\n";
    for (int i = 0; i < n; ++i) o << i << " " << locals << "\n";
    o << "| END OF FILE\n";
    return o.str();
}

// A grid row with the given geometry and layer values (grid columns).
inline std::vector<float> grid_row(float x, float y, float length, float slope, float curvature,
                                   const std::vector<float>& local12) {
    std::vector<float> r = {x, y, 0.0f, length, slope, curvature, 0.0f};
    r.insert(r.end(), local12.begin(), local12.end());
    return r;
}

}  // namespace torla::test
