// The twelve quantities of a dump record and of the peak table, in row
// order: the one list every reader and writer of results works from.
#pragma once

#include <array>

namespace torla {

struct ResultQuantity {
    const char* name;     // column name in the exports
    const char* unit;     // SI unit, as the exports write it
    const char* label;    // for people
    const char* message;  // as the run's messages name it
};

inline constexpr int kResultQuantities = 12;
inline constexpr std::array<ResultQuantity, kResultQuantities> kQuantities = {{
    {"h1", "m", "snow-cover depth", "h1"},
    {"rho1", "kg/m3", "snow-cover density", "rho1"},
    {"h2", "m", "saltation-layer depth", "h2"},
    {"u2", "m/s", "saltation-layer velocity", "u2"},
    {"rho2_bulk", "kg/m3", "saltation-layer bulk density", "saltation density"},
    {"p2", "kPa", "saltation-layer pressure", "saltation pressure"},
    {"h3", "m", "suspension-layer depth", "h3"},
    {"u3", "m/s", "suspension-layer velocity", "u3"},
    {"c3", "-", "suspension-layer volume concentration", "c3"},
    {"k3", "m2/s2", "turbulent kinetic energy", "k3"},
    {"eps3", "m2/s3", "dissipation rate", "eps3"},
    {"p3", "kPa", "suspension-layer pressure", "suspension pressure"},
}};

// Rows of the quantities that the flow's extent and the hazard are read from.
enum QuantityRow : int {
    kRowCoverDepth = 0,
    kRowSaltDepth = 2,
    kRowSaltVelocity = 3,
    kRowSaltPressure = 5,
    kRowSuspDepth = 6,
    kRowSuspVelocity = 7,
    kRowSuspConcentration = 8,
    kRowSuspPressure = 11,
};

// Floats per peak-table entry: the maximum and the depths h1, h2, h3 then.
inline constexpr int kPeakEntryFloats = 4;

// Where the flow counts as present, by default: suspension-layer pressure
// above 0.1 kPa or saltation-layer depth above 0.1 m, both compared as the
// 32-bit values the result file holds (a stored 0.1 is not above 0.1).
inline constexpr double kFlowPressure = 0.1;  // kPa
inline constexpr double kFlowDepth = 0.1;     // m
inline bool flow_present(float p3, float h2, double pressure = kFlowPressure,
                         double depth = kFlowDepth) {
    return p3 > static_cast<float>(pressure) || h2 > static_cast<float>(depth);
}

}  // namespace torla
