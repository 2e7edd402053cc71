// read_grid_file: the grid written by the generator becomes the geometry,
// the layer variables and the conserved state of the first time level.
#include <cmath>
#include <cstdio>

#include "input/input.h"
#include "output/output.h"

namespace torla {

namespace {

constexpr double kDegreesPerRadian = 57.29577951;
constexpr double kNoCellLengthYet = 10000.0;  // start of the running minimum, m

// Grid columns.
enum GridColumn : int {
    kColX = 0, kColY, kColAux2, kColLength, kColSlope, kColCurvature, kColAux6, kColUnused,
    kColThreshold, kColH1, kColRho1, kColH2, kColU2, kColRho2, kColH3, kColU3, kColSnowMass,
    kColK3, kColEps3
};

const char* const kColumnNames[kGridColumns] = {
    "x", "elevation", "carried value", "cell length", "slope angle", "curvature",
    "carried value", "unused", "threshold velocity", "h1", "rho1", "h2", "u2", "rho2", "h3", "u3",
    "snow mass per volume", "k3", "eps3"};

[[noreturn]] void bad_grid_value(int i, int col, float value, const char* reason) {
    std::printf("   read_grid_file:  FATAL ERROR:  Grid point %d, column %d (%s) is %g; %s. STOP!\n\n",
                i, col, kColumnNames[col], static_cast<double>(value), reason);
    stop_run(1);
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
            bad_grid_value(i, kColSlope, g[kColSlope], "the track must be less steep than vertical");
        if (!(g[kColThreshold] > 0.0f))
            bad_grid_value(i, kColThreshold, g[kColThreshold], "it must be positive");
        if (!(g[kColRho1] > 0.0f)) bad_grid_value(i, kColRho1, g[kColRho1], "it must be positive");
    }
}

}  // namespace

double read_grid_file(ModelState& s, int16_t n) {
    FloatRows rows;
    bool trailing = false;
    std::string err = read_grid_rows(kGridFile, n, rows, trailing);
    if (!err.empty()) {
        std::remove(kGridFile);
        std::printf("   read_grid_file:  FATAL ERROR:  %s. STOP!\n\n", err.c_str());
        stop_run(1);
    }
    if (trailing) {
        const char* warning =
            "   read_grid_file:  WARNING:  Data lines beyond number of grid points ignored!\n";
        log_printf(s, "%s", warning);
        std::printf("%s", warning);
    }
    std::remove(kGridFile);
    check_grid_rows(rows);

    const RunParameters& par = s.par;
    std::vector<GeometryRow> geometry(static_cast<std::size_t>(n));
    double smallest = kNoCellLengthYet;
    float path_length = 0.0f;
    for (int i = 0; i < n; ++i) {
        const float* g = rows[i];
        s.grid_x[i] = g[kColX];
        s.grid_y[i] = g[kColY];
        s.grid_aux2[i] = g[kColAux2];
        s.cell_length[i] = g[kColLength];
        const double a = g[kColSlope];
        s.cos_slope[i] = std::cos(a);
        s.sin_slope[i] = std::sin(a);
        s.curvature[i] = g[kColCurvature];
        s.grid_aux6[i] = g[kColAux6];
        s.u_threshold[i] = g[kColThreshold];
        s.h1[i] = g[kColH1];
        s.rho1[i] = g[kColRho1];
        s.h2[i] = g[kColH2];
        s.u2[i] = g[kColU2];
        s.rho2[i] = g[kColRho2];
        s.h3[i] = g[kColH3];
        s.u3[i] = g[kColU3];
        s.c3[i] = g[kColSnowMass] / par.Particle_Density;
        s.k3[i] = g[kColK3];
        s.eps3[i] = g[kColEps3];

        if (i > 0) {
            const double dx = s.grid_x[i] - s.grid_x[i - 1];
            const double dy = s.grid_y[i] - s.grid_y[i - 1];
            path_length = static_cast<float>(path_length + std::sqrt(dx * dx + dy * dy));
            if (!std::isfinite(path_length))
                bad_grid_value(i, kColX, g[kColX],
                               "the path length to this point is beyond the 32-bit float range");
        }
        geometry[i] = {path_length,
                       static_cast<float>(s.grid_aux2[i]),
                       static_cast<float>(s.cell_length[i]),
                       static_cast<float>(a * kDegreesPerRadian),
                       static_cast<float>(s.curvature[i]),
                       static_cast<float>(s.grid_aux6[i])};
        if (i > 0 && s.cell_length[i] < smallest) smallest = s.cell_length[i];
    }

    for (int i = 0; i < n; ++i) {
        s.rho3[i] = par.Air_Density + s.rho_diff * s.c3[i];
        double* u = s.U[i];
        u[kCoverDepth] = s.h1[i];
        u[kCoverDensity] = s.rho1[i];
        u[kSaltDepth] = s.h2[i];
        u[kSaltLoad] = s.rho2[i] * s.h2[i];
        u[kSaltMomentum] = (par.Air_Density + s.rho2[i]) * s.u2[i] * s.h2[i];
        u[kSuspDepth] = s.h3[i];
        u[kSuspMomentum] = s.u3[i] * s.rho3[i] * s.h3[i];
        u[kSuspVolume] = s.c3[i] * s.h3[i];
        u[kSuspEnergy] = s.k3[i] * s.rho3[i] * s.h3[i];
        // The dissipation is floored in U only; eps3 keeps the grid value.
        const double e = s.eps3[i] > par.Min_Susp_Dissip ? s.eps3[i] : par.Min_Susp_Dissip;
        u[kSuspDissipation] = e * s.rho3[i] * s.h3[i];
    }

    write_result_header(s, geometry);
    free_float_rows(rows);
    return smallest;
}

}  // namespace torla
