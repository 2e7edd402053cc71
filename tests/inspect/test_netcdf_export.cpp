// torla-inspect netcdf: the valley run as netCDF-4, read back.
#include <gtest/gtest.h>

#include <netcdf.h>

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

#include "model/model_state.h"
#include "model/quantities.h"
#include "terrain_run.h"

namespace torla::test {
namespace {

using NetcdfExport = TerrainRun;

std::vector<float> floats(int nc, const std::string& name, std::size_t count) {
    int id = -1;
    EXPECT_EQ(nc_inq_varid(nc, name.c_str(), &id), NC_NOERR) << name;
    std::vector<float> v(count);
    if (id >= 0) {
        EXPECT_EQ(nc_get_var_float(nc, id, v.data()), NC_NOERR) << name;
    }
    return v;
}

TEST_F(NetcdfExport, EveryQuantityPeakTableFrontAndTheRunsAttributes) {
    const ResultData& r = result();
    // The run record torla wrote gives scheme, stop reason and arrival times.
    const nlohmann::json record = nlohmann::json::parse(read_text(file("valley.res.json")));
    std::string out;
    ASSERT_EQ(inspect("valley.res netcdf -o valley.nc", out), 0) << out;
    EXPECT_EQ(out.find("note:"), std::string::npos) << out;

    int nc = -1;
    ASSERT_EQ(nc_open(file("valley.nc").c_str(), NC_NOWRITE, &nc), NC_NOERR);
    int format = 0;
    nc_inq_format(nc, &format);
    EXPECT_EQ(format, NC_FORMAT_NETCDF4);
    int t_dim = -1, c_dim = -1;
    std::size_t nt = 0, n = 0;
    ASSERT_EQ(nc_inq_dimid(nc, "time", &t_dim), NC_NOERR);
    ASSERT_EQ(nc_inq_dimid(nc, "cell", &c_dim), NC_NOERR);
    nc_inq_dimlen(nc, t_dim, &nt);
    nc_inq_dimlen(nc, c_dim, &n);
    ASSERT_EQ(nt, r.dumps.size());
    ASSERT_EQ(n, static_cast<std::size_t>(r.n_cells));

    // Where the window saw a cell (h1_max set) no dump after the first exceeds the peak.
    const std::vector<float> h1_max = floats(nc, "h1_max", n);
    int seen = 0;
    for (int q = 0; q < kResultQuantities; ++q) {
        const std::string name = kQuantities[q].name;
        const std::vector<float> v = floats(nc, name, nt * n);
        const std::vector<float> mx = floats(nc, name + "_max", n);
        const std::vector<float> depths = floats(nc, name + "_max_depths", 3 * n);
        for (std::size_t i = 0; i < n; ++i) {
            float over_time = v[n + i];
            for (std::size_t d = 0; d < nt; ++d) {
                ASSERT_EQ(v[d * n + i], r.dump_value(d, q, static_cast<int>(i)))
                    << name << " " << d << " " << i;
                if (d > 0) over_time = std::max(over_time, v[d * n + i]);
            }
            ASSERT_EQ(mx[i], r.peak(q, static_cast<int>(i), 0)) << name << " " << i;
            for (int k = 0; k < 3; ++k)
                ASSERT_EQ(depths[3 * i + k], r.peak(q, static_cast<int>(i), k + 1));
            if (h1_max[i] > 0.0f) {
                // The dump's velocities and the peaks' differ in the last places.
                EXPECT_LE(over_time, mx[i] + 4e-7f * std::fabs(mx[i])) << name << " cell " << i;
                seen += q == 0;
            }
        }
        int id = -1;
        nc_inq_varid(nc, (name + "_max").c_str(), &id);
        EXPECT_EQ(nc_text(nc, id, "cell_methods"), "time: maximum");
    }
    const struct {
        const char *var, *attribute, *value;
    } attributes[] = {
        {"p3", "units", "kPa"},
        {"p3", "coordinates", "path_length elevation slope easting northing"},
        {"p3", "grid_mapping", "crs"},
        {"rho1", "units", "kg m-3"},
        {"rho1", "standard_name", "snow_density"},
        {"easting", "standard_name", "projection_x_coordinate"},
        {"crs", "grid_mapping_name", "transverse_mercator"},
    };
    int id = -1;
    for (const auto& a : attributes) {
        ASSERT_EQ(nc_inq_varid(nc, a.var, &id), NC_NOERR) << a.var;
        EXPECT_EQ(nc_text(nc, id, a.attribute), a.value) << a.var << " " << a.attribute;
    }
    EXPECT_CONTAINS(nc_text(nc, id, "crs_wkt"), "ID[\"EPSG\",32632]");
    double central = 0.0, scale = 0.0;
    nc_get_att_double(nc, id, "longitude_of_central_meridian", &central);
    nc_get_att_double(nc, id, "scale_factor_at_central_meridian", &scale);
    EXPECT_EQ(central, 9.0);  // UTM zone 32
    EXPECT_EQ(scale, 0.9996);

    // The front per dump: the last cell where p3 > 0.1 kPa or h2 > 0.1 m.
    std::vector<int> front(nt);
    nc_inq_varid(nc, "front_cell", &id);
    ASSERT_EQ(nc_get_var_int(nc, id, front.data()), NC_NOERR);
    for (std::size_t d = 0; d < nt; ++d) {
        int last = -1;
        for (int i = 0; i < r.n_cells; ++i)
            if (r.dump_value(d, kRowSuspPressure, i) > 0.1f ||
                r.dump_value(d, kRowSaltDepth, i) > 0.1f)
                last = i;
        EXPECT_EQ(front[d], last) << d;
    }
    EXPECT_GT(front.back(), front.front());
    EXPECT_GT(seen, front.back());  // the window reached beyond the front

    const std::pair<const char*, std::string> globals[] = {
        {"Conventions", "CF-1.8"},     {"problem_name", r.problem_name},
        {"run_name", r.run_name},      {"command_file", read_text(file("valley.cmd"))},
        {"scheme", "standard"},        {"stop_reason", "max_time"},
        {"program_version", kVersion},
    };
    for (const auto& [name, value] : globals)
        EXPECT_EQ(nc_text(nc, NC_GLOBAL, name), value) << name;
    std::vector<double> arrival(n);
    nc_inq_varid(nc, "arrival_time", &id);
    ASSERT_EQ(nc_get_var_double(nc, id, arrival.data()), NC_NOERR);
    for (std::size_t i = 0; i < n; ++i) {
        const auto& a = record.at("arrival_time_s").at(i);
        EXPECT_EQ(arrival[i], a.is_null() ? -1.0 : a.get<double>()) << i;
    }
    nc_close(nc);
}

}  // namespace
}  // namespace torla::test
