// The grid written by the generator becomes the geometry, the layer
// variables and the conserved state of the first time level.
#include <cmath>
#include <cstdio>

#include "input/input.h"
#include "model/bytes.h"

namespace torla {

namespace {

constexpr double kDegreesPerRadian = 57.29577951;
constexpr double kNoCellLengthYet = 10000.0;  // m, start of the running minimum

// Grid columns.
enum GridColumn : int {
    kColX = 0,
    kColY,
    kColAux2,
    kColLength,
    kColSlope,
    kColCurvature,
    kColAux6,
    kColUnused,
    kColThreshold,
    kColH1,
    kColRho1,
    kColH2,
    kColU2,
    kColRho2,
    kColH3,
    kColU3,
    kColSnowMass,
    kColK3,
    kColEps3
};

const char* const kColumnNames[kGridColumns] = {"x",
                                                "elevation",
                                                "carried value",
                                                "cell length",
                                                "slope angle",
                                                "curvature",
                                                "carried value",
                                                "unused",
                                                "threshold velocity",
                                                "h1",
                                                "rho1",
                                                "h2",
                                                "u2",
                                                "rho2",
                                                "h3",
                                                "u3",
                                                "snow mass per volume",
                                                "k3",
                                                "eps3"};

[[noreturn]] void bad_grid_value(int i, int col, float value, const char* reason) {
    fatal(kStatusFailure,
          "   read_grid_file:  FATAL ERROR:  Grid point %d, column %d (%s) is %g; %s. STOP!\n\n", i,
          col, kColumnNames[col], static_cast<double>(value), reason);
}

// The flow model divides by the cell lengths of cells 1 ... n-1, by the
// cosine of the slope, by the cover density and by the threshold velocity:
// a grid that would make any of them zero, negative or non-finite cannot
// give a meaningful run, so it is refused before the result file is made.
void check_grid_rows(const FloatRows& rows) {
    for (int i = 0; i < rows.rows; ++i) {
        const float* g = rows[i];
        for (int c = 0; c < kGridColumns; ++c)
            if (!std::isfinite(g[c])) bad_grid_value(i, c, g[c], "every grid value must be finite");
        if (i > 0 && !(g[kColLength] > 0.0f))
            bad_grid_value(i, kColLength, g[kColLength], "cell lengths must be positive");
        if (!(std::cos(static_cast<double>(g[kColSlope])) > 0.0))
            bad_grid_value(i, kColSlope, g[kColSlope],
                           "the track must be less steep than vertical");
        if (!(g[kColThreshold] > 0.0f))
            bad_grid_value(i, kColThreshold, g[kColThreshold], "it must be positive");
        if (!(g[kColRho1] > 0.0f)) bad_grid_value(i, kColRho1, g[kColRho1], "it must be positive");
    }
}

// The conserved row of a cell from its layer variables; the dissipation is
// floored in U only, the eps3 array keeps the grid value.
void set_conserved_row(ModelState& s, int i) {
    const RunParameters& par = s.par;
    Layers& l = s.layers;
    l.rho3[i] = par.Air_Density + s.constants.rho_diff * l.c3[i];
    double* u = s.U[i];
    u[kCoverDepth] = l.h1[i];
    u[kCoverDensity] = l.rho1[i];
    u[kSaltDepth] = l.h2[i];
    u[kSaltLoad] = l.rho2[i] * l.h2[i];
    u[kSaltMomentum] = (par.Air_Density + l.rho2[i]) * l.u2[i] * l.h2[i];
    u[kSuspDepth] = l.h3[i];
    u[kSuspMomentum] = l.u3[i] * l.rho3[i] * l.h3[i];
    u[kSuspVolume] = l.c3[i] * l.h3[i];
    u[kSuspEnergy] = l.k3[i] * l.rho3[i] * l.h3[i];
    const double e = l.eps3[i] > par.Min_Susp_Dissip ? l.eps3[i] : par.Min_Susp_Dissip;
    u[kSuspDissipation] = e * l.rho3[i] * l.h3[i];
}

}  // namespace

GridFile take_grid_file(int16_t n) {
    if (file_kind(kGridFile, false) == FileKind::kSymlink) {
        fatal(kStatusFailure,
              "   read_grid_file:  FATAL ERROR:  %s is a symbolic link; the run never follows "
              "one there. STOP!\n\n",
              kGridFile);
    }
    GridFile grid;
    const std::string err = read_grid_rows(kGridFile, n, grid.rows, grid.trailing_data);
    std::remove(kGridFile);
    if (!err.empty()) {
        fatal(kStatusFailure, "   read_grid_file:  FATAL ERROR:  %s. STOP!\n\n", err.c_str());
    }
    return grid;
}

std::vector<GeometryRow> read_grid_file(ModelState& s, const GridFile& grid) {
    const FloatRows& rows = grid.rows;
    check_grid_rows(rows);

    const int n = rows.rows;
    Grid& g = s.grid;
    Layers& l = s.layers;
    std::vector<GeometryRow> geometry(static_cast<std::size_t>(n));
    double smallest = kNoCellLengthYet;
    float path_length = 0.0f;
    for (int i = 0; i < n; ++i) {
        const float* row = rows[i];
        g.x[i] = row[kColX];
        g.y[i] = row[kColY];
        g.aux2[i] = row[kColAux2];
        g.cell_length[i] = row[kColLength];
        const double a = row[kColSlope];
        g.cos_slope[i] = std::cos(a);
        g.sin_slope[i] = std::sin(a);
        g.curvature[i] = row[kColCurvature];
        g.aux6[i] = row[kColAux6];
        g.u_threshold[i] = row[kColThreshold];
        l.h1[i] = row[kColH1];
        l.rho1[i] = row[kColRho1];
        l.h2[i] = row[kColH2];
        l.u2[i] = row[kColU2];
        l.rho2[i] = row[kColRho2];
        l.h3[i] = row[kColH3];
        l.u3[i] = row[kColU3];
        l.c3[i] = row[kColSnowMass] / s.par.Particle_Density;
        l.k3[i] = row[kColK3];
        l.eps3[i] = row[kColEps3];

        if (i > 0) {
            const double dx = g.x[i] - g.x[i - 1];
            const double dy = g.y[i] - g.y[i - 1];
            path_length = static_cast<float>(path_length + std::sqrt(dx * dx + dy * dy));
            if (!std::isfinite(path_length))
                bad_grid_value(i, kColX, row[kColX],
                               "the path length to this point is beyond the 32-bit float range");
        }
        g.path_length[i] = path_length;
        geometry[i] = {path_length,
                       static_cast<float>(g.aux2[i]),
                       static_cast<float>(g.cell_length[i]),
                       static_cast<float>(a * kDegreesPerRadian),
                       static_cast<float>(g.curvature[i]),
                       static_cast<float>(g.aux6[i])};
        if (i > 0 && g.cell_length[i] < smallest) smallest = g.cell_length[i];
    }
    for (int i = 0; i < n; ++i) set_conserved_row(s, i);
    g.min_cell_length = smallest;
    return geometry;
}

}  // namespace torla
