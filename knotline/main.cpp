// knotline FILE [tag]: reads the generator input file FILE and replaces it
// with the grid file computed from it. The grid goes to a fresh file in the
// same directory first and is renamed over FILE only when complete, so a
// failure at any point leaves FILE as it was. The tag is accepted and has
// no meaning (the simulation passes "tor-la").
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "knotline/knotline.h"

namespace {

const char* kUsage =
    "usage: knotline FILE [tag]\n"
    "\n"
    "Reads the generator input file FILE (float Elem_Size, float Max_Dev,\n"
    "int16 N, N input points of 16 floats) and replaces it with a grid file\n"
    "(int16 n, n grid rows of 19 floats). Every inner corner of the profile\n"
    "is rounded by a circular arc within Max_Dev of the input point; the\n"
    "rounded track is cut into equal cells no longer than Elem_Size.\n"
    "The tag is ignored. Exit status 0 on success, 1 on any failure (a\n"
    "message on standard error; FILE is then left unchanged).\n";

int fail(const std::string& what) {
    std::fprintf(stderr, "   knotline:  %s. STOP!\n", what.c_str());
    return 1;
}

// Writes the grid next to path and renames it over path.
std::string replace_with_grid(const std::string& path, const torla::FloatRows& grid) {
    std::string tmp = path + ".knotline-XXXXXX";
    const int fd = mkstemp(tmp.data());
    if (fd < 0)
        return "cannot create a temporary file next to " + path + ": " + std::strerror(errno);
    // The grid file takes over the permission bits of the file it replaces.
    struct stat st;
    if (stat(path.c_str(), &st) == 0) fchmod(fd, st.st_mode & 07777);
    close(fd);
    std::string err = torla::write_grid_file(tmp, grid);
    if (err.empty() && std::rename(tmp.c_str(), path.c_str()) != 0)
        err = "cannot rename " + tmp + " to " + path + ": " + std::strerror(errno);
    if (!err.empty()) std::remove(tmp.c_str());
    return err;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc < 2 || argc > 3) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    const std::string path = argv[1];

    torla::GeneratorInput in;
    if (auto err = torla::read_generator_input(path, in); !err.empty()) return fail(err);
    torla::FloatRows grid;
    if (auto err = torla::knotline::make_grid(in, grid); !err.empty())
        return fail(path + ": " + err);
    if (auto err = replace_with_grid(path, grid); !err.empty()) return fail(err);
    return 0;
}
