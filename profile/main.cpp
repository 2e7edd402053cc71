// torla-profile DEM PATH -o FILE.cmd [options]
//
// Exit status: 0 written, 1 an input refused or the output not written (the
// message names the file, the layer and the position), 2 wrong usage.
#include <iostream>

#include <gdal.h>

#include "profile/file_checks.h"
#include "profile/options.h"
#include "profile/profile.h"
#include "profile/text_escape.h"

namespace {

constexpr int kStatusRefused = 1;

using torla::profile::NamedFile;

// The inputs checked and the profile made from them; throws a refusal.
torla::profile::Profile compute(const torla::profile::Options& o) {
    std::vector<NamedFile> inputs = {{"DEM", o.dem_path}, {"path line", o.line_path}};
    if (!o.release_polygon.empty()) inputs.push_back({"release polygon file", o.release_polygon});
    if (!o.split_point_path.empty()) inputs.push_back({"split-point file", o.split_point_path});
    for (const NamedFile& f : inputs) torla::profile::require_regular_input(f);
    torla::profile::require_safe_output(o.out_path, inputs);
    return torla::profile::make_profile(o);
}

// The notes, the command file, and one line on what it holds; throws when
// the file cannot be written.
void write(const torla::profile::Options& o, const torla::profile::Profile& p) {
    for (const auto& note : p.notes) std::cerr << "torla-profile: note: " << note << "\n";
    torla::profile::write_atomically(o.out_path, torla::profile::command_file_text(o, p));
    std::cerr << "torla-profile: " << torla::profile::escaped(o.out_path) << ": "
              << p.distance_m.size() << " points, " << p.distance_m.back() << " m, drop "
              << p.elevation_m.front() - p.elevation_m.back() << " m\n";
}

}  // namespace

int main(int argc, char** argv) {
    torla::profile::Options o;
    if (const int status = torla::profile::parse_profile_options(argc, argv, o); status >= 0)
        return status;
    int status = 0;
    try {
        write(o, compute(o));
    } catch (const std::runtime_error& e) {
        // A refusal or a failed write: status 1 either way.
        std::cerr << "torla-profile: " << e.what() << "\n";
        status = kStatusRefused;
    }
    GDALDestroy();
    return status;
}
