// torla-grid-cache: the grid generator of an ensemble whose members share
// one grid. Placed as `knotline' in the ensemble's grid/ folder next to the
// generator input it was made from (input.tmp), the grid (grid.tmp) and the
// path of the real generator (generator). `knotline FILE tag': when FILE
// holds the same bytes as input.tmp, FILE is replaced by the grid; any other
// input goes to the real generator, so the result is always knotline's.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

bool read_all(const std::string& path, std::string& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::stringstream ss;
    ss << f.rdbuf();
    out = ss.str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    const fs::path here = ec ? fs::path(argv[0]).parent_path() : self.parent_path();
    std::string generator, input, made, grid;
    read_all((here / "generator").string(), generator);
    while (!generator.empty() && (generator.back() == '\n' || generator.back() == '\r')) generator.pop_back();
    if (argc == 3 && read_all(argv[1], input) && read_all((here / "input.tmp").string(), made) && input == made &&
        read_all((here / "grid.tmp").string(), grid)) {
        // Written over the input in place, as knotline replaces it.
        std::ofstream f(argv[1], std::ios::binary | std::ios::trunc);
        f << grid;
        f.close();
        return f ? 0 : 1;
    }
    if (generator.empty()) {
        std::fprintf(stderr, "torla-grid-cache: no generator named in %s\n", (here / "generator").c_str());
        return 1;
    }
    argv[0] = generator.data();
    execv(generator.c_str(), argv);
    std::perror("torla-grid-cache: cannot start the generator");
    return 1;
}
