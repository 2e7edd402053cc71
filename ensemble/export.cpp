// The exceedance table onto the map and into NetCDF, beside
// DIR/exceedance.csv: torla-inspect's writers called in this process on the
// table collect built, each output made in a new private folder of DIR and
// moved into place, so nothing planted in DIR is written through.
#include <stdlib.h>

#include <filesystem>

#include "ensemble/ensemble.h"
#include "ensemble/folder.h"
#include "inspect/exports.h"
#include "inspect/inspect.h"

namespace torla::ensemble {

namespace fs = std::filesystem;

std::vector<std::string> export_exceedance(const std::string& dir,
                                           const inspect::ExceedanceTable* table) {
    Folder top;
    if (auto err = Folder::open(dir, false, top); !err.empty()) return {err};
    const char* const names[] = {"exceedance.gpkg", "exceedance.nc"};
    // Outputs of an earlier collect never stand beside a table they were
    // not made from.
    for (const char* name : names) top.remove(name);
    if (!table || top.size_of("exceedance.csv") < 0) return {};
    std::string fresh = dir + "/.export-XXXXXX";
    if (!mkdtemp(fresh.data()))
        return {"no exceedance.gpkg or exceedance.nc: cannot create a folder in " + dir};
    // The CRS as torla-inspect takes it: the base command file plan.txt names.
    std::vector<std::string> inputs, context_notes;
    const inspect::ExceedanceCrs crs = inspect::ensemble_crs(table->path, inputs, context_notes);
    std::vector<std::string> notes;
    for (const char* name : names) {
        const std::string out = (fs::path(fresh) / name).string();
        const std::string err = name == names[0]
                                    ? inspect::write_exceedance_map(*table, crs, {out})
                                    : inspect::write_exceedance_netcdf(
                                          *table, crs.wkt, out, "torla-ensemble collect " + dir);
        if (!err.empty())
            notes.push_back("no " + std::string(name) + ": " + inspect::plain_text(err));
        else if (auto moved = top.rename(fs::path(fresh).filename().string() + "/" + name, name);
                 !moved.empty())
            notes.push_back("no " + std::string(name) + ": " + moved);
    }
    std::error_code ec;
    fs::remove_all(fresh, ec);
    return notes;
}

}  // namespace torla::ensemble
