// What was observed of an avalanche, as an observation file (TOML, see
// docs/observations.md) gives it: the event's name and source, its run-out,
// arrival times and front speeds at positions, peak pressures (or a damage
// class's pressure range) at positions, and the stretch of path it covered.
// Every value comes with its uncertainty. This reader only reads; scoring a
// run against the observations is score.h's job.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace torla::inspect {

// A position on the path: a horizontal distance from the top of the track,
// or a map point in the run's CRS that is projected onto the path.
struct ObservedPosition {
    std::optional<double> s_horizontal_m;        // m from the top of the track
    std::optional<std::array<double, 2>> point;  // easting, northing (m, the run's CRS)
    int line = 0;                                // of the table that gives it
};

struct ObservedRunout {
    ObservedPosition at;
    double sigma_m = 0.0;        // m, horizontally
    int quantity = 0;            // kRowSuspPressure (p3) or kRowSaltPressure (p2)
    double threshold_kpa = 0.0;  // kPa, the pressure the run-out is the limit of
};

struct ObservedArrival {
    ObservedPosition at;
    double t_s = 0.0, sigma_s = 0.0;  // s, from the start of the run
};

struct ObservedSpeed {
    ObservedPosition at;
    double speed_m_s = 0.0, sigma_m_s = 0.0;  // m/s, along the path
};

// A peak pressure with its uncertainty, or a damage class: the pressure
// lies within [min_kpa, max_kpa] (p_kpa and sigma_kpa then unset).
struct ObservedPressure {
    ObservedPosition at;
    int quantity = 0;
    std::optional<double> p_kpa, sigma_kpa;  // kPa
    std::optional<double> min_kpa, max_kpa;  // kPa, a damage class's range
    std::string damage;                      // what was seen, or empty
    std::optional<double> height_m;          // m above ground, as observed
};

// The stretch of path the flow covered, from its upper to its lower end
// (horizontal m from the top), each end uncertain by sigma_m; the model's
// stretch is where the peak of `quantity` exceeds threshold_kpa.
struct ObservedCover {
    double from_m = 0.0, to_m = 0.0, sigma_m = 0.0;
    int quantity = 0;
    double threshold_kpa = 0.0;
    int line = 0;
};

struct Observations {
    std::string path;  // the file read
    std::string name, source, date, comment;
    std::optional<ObservedRunout> runout;
    int runout_line = 0;
    std::vector<ObservedArrival> arrivals;
    std::vector<ObservedSpeed> speeds;
    std::vector<ObservedPressure> pressures;
    std::optional<ObservedCover> covered;
    std::size_t count() const;  // observations to score
};

// Larger files are refused: an observation file is a few hundred lines.
inline constexpr std::uintmax_t kMaxObservationFileBytes = 1 << 20;
// More entries of one kind are refused.
inline constexpr std::size_t kMaxObservationsPerKind = 10000;

// Reads an observation file. Returns no refusals and fills out, or every
// refusal found, each "FILE:LINE: what is wrong" (LINE 0 when the file as a
// whole is at fault).
std::vector<std::string> read_observations(const std::string& path, Observations& out);
// The same from text already read (path only names it in the refusals).
std::vector<std::string> parse_observations(const std::string& text, const std::string& path,
                                            Observations& out);

}  // namespace torla::inspect
