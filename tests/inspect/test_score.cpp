// Observation files, their refusals, and the scores of a hand-laid result.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "inspect/observations.h"
#include "inspect/score.h"
#include "model/quantities.h"
#include "result_bytes.h"
#include "test_support.h"

namespace torla::test {
namespace {

using inspect::Observations;

const double kStep = 10.0 * std::cos(30.0 * M_PI / 180.0);  // horizontal m per cell of the slope

std::vector<std::string> parse(const std::string& text, Observations& o) {
    return inspect::parse_observations(text, "obs.toml", o);
}

TEST(ObservationFile, TheFieldsOfTheIssueAreReadAsWritten) {
    Observations o;
    const std::string text =
        "name = \"Example\"\nsource = \"Someone (2020), p. 3\"\r\n"
        "comment = 'Lawine \303\274ber dem Weg'  # \303\274\n"
        "[runout]  # the mapped limit\ns_horizontal_m = 1850.0\nsigma_m = 30.0\n"
        "quantity = \"p3\"\nthreshold_kPa = 3.0\n"
        "[[arrival]]\ns_horizontal_m = 1200.0\nt_s = 31.0\nsigma_s = 2.0\n"
        "[[speed]]\ns_horizontal_m = 900.0\nspeed_m_s = 45.0\nsigma_m_s = 5.0\n"
        "[[pressure]]\ns_horizontal_m = 1700.0\np_kPa = 4.0\nsigma_kPa = 1.0\nquantity = \"p2\"\n"
        "[[pressure]]\npoint = [100, 200.5, ]\np_min_kPa = 1\np_max_kPa = 3\ndamage = \"windows\"\n"
        "quantity = \"p3\"\n"
        "[covered]\nfrom_s_horizontal_m = 10\nto_s_horizontal_m = 1800\nsigma_m = 20\n"
        "quantity = \"p3\"\nthreshold_kPa = 1\n";
    ASSERT_EQ(parse(text, o), std::vector<std::string>{});
    // (The numbers each kind is scored on are Score.EveryKindWorkedOutByHand's.)
    EXPECT_EQ(std::make_tuple(o.name, o.source, o.comment, o.count()),
              std::make_tuple("Example", "Someone (2020), p. 3", "Lawine \303\274ber dem Weg", 6u));
    ASSERT_TRUE(o.runout && o.covered);
    ASSERT_EQ(std::make_tuple(o.arrivals.size(), o.speeds.size(), o.pressures.size()),
              std::make_tuple(1u, 1u, 2u));
    EXPECT_EQ(std::make_tuple(*o.runout->at.s_horizontal_m, o.runout->sigma_m, o.runout->quantity,
                              o.runout->threshold_kpa, o.runout_line, o.arrivals[0].at.line),
              std::make_tuple(1850.0, 30.0, kRowSuspPressure, 3.0, 4, 9));
    EXPECT_EQ(std::make_tuple(o.arrivals[0].t_s, o.speeds[0].speed_m_s, o.covered->to_m),
              std::make_tuple(31.0, 45.0, 1800.0));
    EXPECT_EQ(std::make_tuple(o.pressures[0].quantity, *o.pressures[0].p_kpa,
                              o.pressures[0].min_kpa.has_value(), (*o.pressures[1].at.point)[1],
                              *o.pressures[1].max_kpa, o.pressures[1].damage),
              std::make_tuple(kRowSaltPressure, 4.0, false, 200.5, 3.0, "windows"));
}

TEST(ObservationFile, RefusesWhatItCannotUseNamingTheLine) {
    const std::string head = "name = \"n\"\nsource = \"s\"\n";  // lines 1 and 2
    const std::string arrival = "[[arrival]]\ns_horizontal_m = 10\nt_s = 3\nsigma_s = 1\n";
    const std::string runout = head + "[runout]\ns_horizontal_m = 5\n";  // lines 3 and 4
    const std::string q3 = "quantity = \"p3\"\n", p3 = q3 + "threshold_kPa = 1\n";
    const std::string speed = head + "[[speed]]\n", pressure = head + "[[pressure]]\n";
    // A file, and the start of its first refusal.
    const std::pair<std::string, std::string> cases[] = {
        {"name = \n", "obs.toml:1: not a value an observation file has"},
        {"name = \"a\"\nname = \"b\"\n", "obs.toml:2: not TOML"},
        {"source = \"s\"\n" + arrival, "obs.toml:1: the file needs `name'"},
        {head + "colour = 3\n" + arrival, "obs.toml:3: unknown key `colour' in the file"},
        {runout + "sigma_m = 0\n" + p3,
         "obs.toml:5: `sigma_m' in [runout] must be a finite number above 0, not 0"},
        {runout + "sigma_m = 1\nquantity = \"p4\"\nthreshold_kPa = 1\n",
         "obs.toml:6: `quantity' in [runout] is p3 or p2, not `p4'"},
        {runout + "sigma_m = 1\nthreshold_kPa = 1\n", "obs.toml:3: [runout] needs `quantity'"},
        {runout + "point = [1, 2]\nsigma_m = 1\n" + p3,
         "obs.toml:5: [runout] gives both `s_horizontal_m' and `point': give one"},
        {speed + "speed_m_s = 4\nsigma_m_s = 1\n",
         "obs.toml:3: [[speed]] 1 needs a position: `s_horizontal_m' or `point'"},
        {speed + "point = [1, 2, 3]\nspeed_m_s = 4\nsigma_m_s = 1\n",
         "obs.toml:4: `point' in [[speed]] 1 must be [easting, northing], two finite numbers"},
        {head + arrival + "[[arrival]]\ns_horizontal_m = 10\nt_s = 3\n",
         "obs.toml:7: [[arrival]] 2 needs `sigma_s'"},
        {head + "[[arrival]]\ns_horizontal_m = 10\nt_s = nan\nsigma_s = 1\n",
         "obs.toml:5: `t_s' in [[arrival]] 1 must be a finite number of 0 or more, not nan"},
        {head + "[[arrival]]\ns_horizontal_m = -1\nt_s = 3\nsigma_s = 1\n",
         "obs.toml:4: `s_horizontal_m' in [[arrival]] 1 must be a finite number of 0 or more, not "
         "-1"},
        {head + "[[arrival]]\ns_horizontal_m = \"10\"\nt_s = 3\nsigma_s = 1\n",
         "obs.toml:4: `s_horizontal_m' in [[arrival]] 1 must be a number"},
        {head + "[arrival]\ns_horizontal_m = 10\nt_s = 3\nsigma_s = 1\n",
         "obs.toml:3: `arrival' is a list of tables: write each as [[arrival]]"},
        {head + "[[runout]]\ns_horizontal_m = 5\nsigma_m = 1\n" + p3,
         "obs.toml:3: `runout' is one table: write it as [runout]"},
        {pressure + "s_horizontal_m = 5\np_kPa = 3\nsigma_kPa = 1\np_max_kPa = 4\n" + q3,
         "obs.toml:3: [[pressure]] 1 gives both a pressure (p_kPa, sigma_kPa) and a range"},
        {pressure + "s_horizontal_m = 5\np_min_kPa = 3\np_max_kPa = 3\n" + q3,
         "obs.toml:6: `p_max_kPa' in [[pressure]] 1 must lie above `p_min_kPa'"},
        {head + "[covered]\nfrom_s_horizontal_m = 50\nto_s_horizontal_m = 20\nsigma_m = 5\n" + p3,
         "obs.toml:5: `to_s_horizontal_m' in [covered] must lie below (beyond) "
         "`from_s_horizontal_m'"},
        {head, "obs.toml:0: no observation"},
        {"name = \"\"\nsource = \"s\"\n" + arrival,
         "obs.toml:1: `name' in the file must be a non-empty string"},
        // Lines held to what an observation file needs before toml++ reads them.
        {head + "[[arrival]]\npoint = [[1, 2]]\n",
         "obs.toml:4: not a value an observation file has"},
        {head + "[[arrival]]\npoint = [1,\n 2]\n",
         "obs.toml:4: not a value an observation file has"},
        {head + "[runout]\nsigma_m = { x = 1 }\n",
         "obs.toml:4: not a value an observation file has"},
        {head + "comment = \"\"\"a\nb\"\"\"\n", "obs.toml:3: not a value an observation file has"},
        {head + "comment = \"open\n", "obs.toml:3: not a value an observation file has"},
        {head + "[ runout\n", "obs.toml:3: not a table header an observation file has"},
        {head + "[runout]x\n", "obs.toml:3: not a table header an observation file has"},
        {head + "[[ }\n", "obs.toml:3: not a table header an observation file has"},
        {head + "runout.sigma_m = 3\n", "obs.toml:3: `=' expected after the key"},
        {head + "\xc3\xbc = 1\n", "obs.toml:3: not a line an observation file has"},
        {head + "t = 0'x'\n", "obs.toml:3: not a value an observation file has"},
        {head + "comment = \"" + std::string(5000, 'x') + "\"\n",
         "obs.toml:3: longer than 4096 bytes"},
    };
    for (const auto& [text, message] : cases) {
        Observations o;
        const std::vector<std::string> refusals = parse(text, o);
        ASSERT_FALSE(refusals.empty()) << text;
        EXPECT_EQ(refusals[0].substr(0, message.size()), message) << text;
    }
    // The inputs on which toml++ 3.3 asserted or read out of bounds: refused.
    int files = 0;
    for (const char* dir : {"/fuzz/regressions/ensemble_file", "/fuzz/seeds/ensemble_file"})
        for (const auto& e : fs::directory_iterator(std::string(TORLA_SOURCE_DIR) + dir)) {
            Observations o;
            const auto refusals = parse(read_text(e.path().string()), o);
            EXPECT_FALSE(refusals.empty()) << e.path();
            for (const std::string& r : refusals) EXPECT_EQ(r.rfind("obs.toml:", 0), 0u) << r;
            ++files;
        }
    EXPECT_GE(files, 5);
}

TEST(ObservationFile, EveryRefusalIsListedAndOnlyRegularSmallFilesAreRead) {
    Observations o;
    const auto refusals =
        parse("name = 3\n[[speed]]\ns_horizontal_m = 1\nspeed_m_s = -2\nsigma_m_s = 0\n", o);
    EXPECT_EQ(refusals.size(), 4u);  // name, source, speed, sigma
    TempDir dir;
    fs::create_directory(dir.path() / "d.toml");
    write_text(dir.file("big.toml"), std::string(inspect::kMaxObservationFileBytes + 1, '#'));
    for (const auto& [path, message] : {std::pair{dir.file("d.toml"), ":0: not a regular file"},
                                        {dir.file("big.toml"), ":0: larger than 1048576 bytes"}}) {
        const auto r = inspect::read_observations(path, o);
        ASSERT_EQ(r.size(), 1u) << path;
        EXPECT_CONTAINS(r[0], path + message);
    }
}

// 12 cells kStep apart due east from (5000, 7000); p3 of 1 kPa reaches cells
// 1, 3, 6, 8, 9, 9 at t = 0 .. 5 s (the front 0.9 cells further); peak p3 10 - i.
ResultBytes hand_laid() {
    ResultBytes b(12, 6);
    for (int i = 0; i < b.n; ++i) {
        b.geometry[6 * i + 1] = static_cast<float>(5000.0 + kStep * i);  // easting
        b.geometry[6 * i + 5] = 7000.0f;                                 // northing
        b.peak(kRowSuspPressure, i) = i <= 9 ? 10.0f - i : 0.0f;
    }
    const int front[] = {1, 3, 6, 8, 9, 9};
    for (int d = 0; d < 6; ++d)
        for (int i = 0; i <= front[d]; ++i) b.value(d, kRowSuspPressure, i) = 1.0f;
    return b;
}

struct Scored {
    std::string err;
    inspect::Score score;
};

Scored score_of(const ResultBytes& b, const std::string& obs_text, const TempDir& dir) {
    b.save(dir.file("run.res"));
    Observations obs;
    Scored out;
    const auto refusals = parse(obs_text, obs);
    EXPECT_EQ(refusals, std::vector<std::string>{});
    inspect::RunViewOptions vo;
    vo.zones = inspect::score_zones(obs);
    ResultReader reader;
    ResultTables r;
    inspect::RunView v;
    out.err = reader.open(dir.file("run.res"), r);
    if (out.err.empty()) out.err = inspect::read_run_view(reader, r, dir.file("run.res"), vo, v);
    if (out.err.empty()) out.err = inspect::score_run(r, v, obs, out.score);
    return out;
}

std::string at(double cells) { return std::to_string(cells * kStep); }
// The head of an observation at a position `cells' from the top.
std::string arrival(double cells) { return "[[arrival]]\ns_horizontal_m = " + at(cells) + "\n"; }
std::string speed(double cells) { return "[[speed]]\ns_horizontal_m = " + at(cells) + "\n"; }
std::string pressure(double cells) {
    return "[[pressure]]\nquantity = \"p3\"\ns_horizontal_m = " + at(cells) + "\n";
}
const std::string kP3 = "quantity = \"p3\"\nthreshold_kPa = ";
std::string kinds(const std::vector<std::string>& tables) {
    std::string text;
    for (const std::string& t : tables) text += t + "\n";
    return text;
}
// An observed arrival and speed at `cells' from the top.
std::string arrival_and_speed(double cells) {
    return "name = \"n\"\nsource = \"s\"\n" + arrival(cells) + "t_s = 1\nsigma_s = 1\n" +
           speed(cells) + "speed_m_s = 1\nsigma_m_s = 1\n";
}

TEST(Score, EveryKindWorkedOutByHand) {
    TempDir dir;
    const std::string obs =
        "name = \"n\"\nsource = \"s\"\n" +
        kinds({"[runout]\ns_horizontal_m = 60\nsigma_m = 10\n" + kP3 + "3",
               // a fifth of the way from the front at 1 s (3.9 cells) to 2 s (6.9)
               arrival(4.5) + "t_s = 2\nsigma_s = 0.5",
               // the same position as a map point 20 m off the path
               "[[arrival]]\npoint = [" + std::to_string(5000 + 4.5 * kStep) +
                   ", 7020]\nt_s = 1.5\nsigma_s = 1",
               arrival(10.5) + "t_s = 9\nsigma_s = 1",  // never reached
               arrival(0) + "t_s = 1\nsigma_s = 1",     // reached at the first dump
               // arrival 1.2 s: the 4 dumps' window shifted to 0 .. 4 s, (99 - 19 m) / 4 s
               speed(4.5) + "speed_m_s = 27\nsigma_m_s = 2",
               pressure(2.5) + "p_kPa = 7\nsigma_kPa = 1",
               pressure(8.25) + "p_min_kPa = 1\np_max_kPa = 3",
               pressure(8.25) + "p_min_kPa = 4\np_max_kPa = 6",
               "[covered]\nfrom_s_horizontal_m = 10\nto_s_horizontal_m = 60\nsigma_m = 5\n" + kP3 +
                   "0.1"});
    const Scored s = score_of(hand_laid(), obs, dir);
    ASSERT_EQ(s.err, "");
    const double covered_end = 9.5 * kStep;  // cells 0-9 reach halfway to cell 10
    struct Expect {
        const char* kind;
        std::optional<double> model;
        double observed, sigma;
        std::optional<double> z;
    };
    const std::vector<Expect> expected = {
        // furthest cell above 3 kPa: 10 - 6 = 4
        {"runout", 6 * kStep, 60, 10, (6 * kStep - 60) / 10},
        {"arrival", 1.2, 2.0, 0.5, -1.6},
        {"arrival", 1.2, 1.5, 1.0, -0.3},
        {"arrival", std::nullopt, 9, 1, std::nullopt},
        {"arrival", 0.0, 1, 1, -1.0},
        {"speed", 20.0, 27, 2, -3.5},
        {"pressure", 7.5, 7, 1, 0.5},
        {"pressure", 1.75, 2, 1, 0.0},    // inside [1, 3]: difference 0
        {"pressure", 1.75, 5, 1, -2.25},  // below [4, 6] by 2.25
        {"covered", covered_end, 50, 5, (covered_end - 50.0) / 5.0},
    };
    ASSERT_EQ(s.score.items.size(), expected.size());
    double sum = 0.0;
    for (std::size_t k = 0; k < expected.size(); ++k) {
        const inspect::ScoreItem& i = s.score.items[k];
        const Expect& e = expected[k];
        SCOPED_TRACE(k);
        EXPECT_EQ(i.kind, e.kind);
        EXPECT_NEAR(i.model.value_or(-99), e.model.value_or(-99), 1e-4);  // -99: none
        EXPECT_NEAR(i.z.value_or(-99), e.z.value_or(-99), 1e-4);
        EXPECT_NEAR(i.observed, e.observed, 1e-9);
        EXPECT_NEAR(i.sigma, e.sigma, 1e-9);
        sum += i.misfit_term;
    }
    const auto& it = s.score.items;
    EXPECT_NEAR(*it[0].angle_model_deg, 30.0, 1e-4);
    EXPECT_NEAR(*it[0].angle_observed_deg, 30.0, 1e-4);
    EXPECT_NEAR(*it[2].offset_m, 20.0, 1e-3);
    EXPECT_NEAR(*it[2].s_horizontal_m, 4.5 * kStep, 1e-3);
    EXPECT_EQ(it[3].misfit_term, 100.0);  // the cap, squared
    // Covered: model [0, 9.5 steps], observed [10, 60]; the ratios are CoverLengths'.
    ASSERT_TRUE(s.score.cover);
    const inspect::CoverScore& c = *s.score.cover;
    EXPECT_NEAR(c.tp_m, 50.0, 1e-4);
    EXPECT_NEAR(c.fp_m, covered_end - 50.0, 1e-4);
    EXPECT_NEAR(c.fn_m, 0.0, 1e-4);
    EXPECT_NEAR(c.tn_m, 11 * kStep - covered_end, 1e-4);
    EXPECT_NEAR(s.score.misfit, sum / expected.size(), 1e-12);
}

TEST(FrontBetweenCells, WhereThePresenceQuantityFallsToItsThreshold) {
    struct Case {
        const char* what;
        int cell;                        // the summary's front cell (of 4)
        float p3, p3_next, h2, h2_next;  // kPa, m at the front cell and the next
        std::optional<double> expected;  // cell + fraction
    };
    const float nan = std::nanf("");
    const std::vector<Case> cases = {
        {"p3 from 1 kPa to 0: 0.9 of the way", 1, 1.0f, 0.0f, 0, 0, 1.9},
        {"p3 from 0.55 to 0.01 kPa", 1, 0.55f, 0.01f, 0, 0, 1.0 + 0.45 / 0.54},
        {"h2 alone above its 0.1 m", 1, 0.05f, 0.0f, 0.3f, 0.05f, 1.8},
        {"both above: the crossing of h2 is further", 1, 0.2f, 0.0f, 0.4f, 0.0f, 1.75},
        {"both above: the crossing of p3 is further", 1, 1.0f, 0.0f, 0.2f, 0.0f, 1.9},
        {"the next cell exactly at the threshold", 1, 0.3f, 0.1f, 0, 0, 2.0},
        {"the next cell not finite: the front cell itself", 1, 1.0f, nan, 0, 0, 1.0},
        {"the last but one cell: towards the last", 2, 1.0f, 0.0f, 0, 0, 2.9},
        {"the last cell: itself", 3, 1.0f, 0.0f, 0, 0, 3.0},
        {"no front", -1, 0, 0, 0, 0, std::nullopt},
    };
    for (const Case& c : cases) {
        ResultTables r;
        r.n_cells = 4;
        std::vector<float> record(12 * 5, 0.0f);
        const auto at = [&](int row, int cell) -> float& { return record[row * 5 + cell + 1]; };
        for (int k = 0; k < 2 && c.cell >= 0 && c.cell + k < 4; ++k) {
            at(kRowSuspPressure, c.cell + k) = k ? c.p3_next : c.p3;
            at(kRowSaltDepth, c.cell + k) = k ? c.h2_next : c.h2;
        }
        const auto f = inspect::front_between_cells(r, record, inspect::Thresholds{}, c.cell);
        EXPECT_NEAR(f.value_or(-1), c.expected.value_or(-1), 1e-6) << c.what;  // -1: none
    }
}

// A front at x(t) = x0 + v t + a t^2 / 2 cells of 40: p3 falling through
// 0.1 kPa at x by 0.05 kPa a cell, or (step) h2 1 m deep before x, 0 beyond.
ResultBytes moving_front(double x0, double v, double a, bool step, double dt, int dumps,
                         double jitter) {
    ResultBytes b(40, 0);
    for (int d = 0; d < dumps; ++d) {
        const double t = d * dt + (d % 2) * jitter, x = x0 + v * t + 0.5 * a * t * t;
        b.add_record(static_cast<float>(t));
        for (int i = 0; i < b.n; ++i) {
            if (step)
                b.value(d, kRowSaltDepth, i) = i < x ? 1.0f : 0.0f;
            else
                b.value(d, kRowSuspPressure, i) =
                    static_cast<float>(std::clamp(0.1 + 0.05 * (x - i), 0.0, 1.0));
        }
    }
    b.count = dumps;
    return b;
}

TEST(Score, AFrontMovingBetweenDumpsIsFollowedBetweenCells) {
    struct Case {
        const char* what;
        double x0, v, a;  // cells, cells/s, cells/s^2
        bool step;
        double dt;  // s between dumps, every odd dump `jitter' s later
        int dumps;
        double cells;           // the observed position, cells from the top
        double arrival, speed;  // the front's own: s, and m/s along the path
        double arrival_tol, speed_tol;
        double jitter = 0.0;
    };
    const double t3 = (-4.0 + std::sqrt(16.0 + 4.0 * 56.0)) / 2.0;  // 1 + t + t^2/4 = 15
    const std::vector<Case> cases = {
        {"steady, 1 s dumps", 1.3, 2.35, 0, false, 1.0, 12, 12.0, 10.7 / 2.35, 23.5, 1e-3, 1e-3},
        {"steady, 2 s dumps", 0.5, 2.3, 0, false, 2.0, 8, 10.0, 9.5 / 2.3, 23.0, 1e-3, 1e-3},
        {"steady, dumps 1.3 and 0.7 s apart", 1.3, 2.35, 0, false, 1.0, 12, 12.0, 10.7 / 2.35, 23.5,
         1e-3, 1e-3, 0.3},
        // x linear between dumps: off by at most a dt^2 / 8 cells at either end of the window
        {"accelerating", 1.0, 1.0, 0.5, false, 1.0, 10, 15.0, t3, 10.0 * (1.0 + 0.5 * t3), 0.02,
         0.2},
        // one cell's travel, and one cell over the window of 4 dumps
        {"the saltation layer's edge stepping cell by cell", 1.3, 2.35, 0, true, 1.0, 12, 12.0,
         10.7 / 2.35, 23.5, 1.0 / 2.35, 10.0 / 4.0},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const ResultBytes b = moving_front(c.x0, c.v, c.a, c.step, c.dt, c.dumps, c.jitter);
        const Scored s = score_of(b, arrival_and_speed(c.cells), dir);
        ASSERT_EQ(s.err, "") << c.what;
        ASSERT_TRUE(s.score.items[0].model && s.score.items[1].model) << c.what;
        EXPECT_NEAR(*s.score.items[0].model, c.arrival, c.arrival_tol) << c.what;
        EXPECT_NEAR(*s.score.items[1].model, c.speed, c.speed_tol) << c.what;
    }
}

TEST(Score, ArrivalAndSpeedWhereTheTrackOfTheFrontEnds) {
    struct Case {
        const char* what;
        std::vector<int> front;  // furthest cell with p3 at 1 kPa at t = 0, 1, ... s (-1: none)
        double cells;            // the observed position, in cells from the top
        std::optional<double> arrival, speed;  // s, m/s along the path
        bool closing = false;                  // the last record at the time of the one before
        double dt = 1.0;                       // s between dumps
    };
    // The front lies 0.9 cells beyond the furthest cell; fewer dumps than the
    // window: the speed over the whole track.
    const std::vector<Case> cases = {
        {"between two dumps", {1, 5, 8}, 4.0, 2.1 / 4.0, 35.0},
        {"the front falls back: its first passage counts", {1, 5, 3, 8}, 4.0, 2.1 / 4.0, 70.0 / 3},
        {"no front in the dump before", {-1, 3, 6}, 2.0, 1.0, 30.0},
        {"within the release: the first dump", {4, 6, 9}, 2.0, 0.0, 25.0},
        {"exactly at a dump's front", {1, 5, 8}, 5.9, 1.0, 35.0},
        {"never reached", {1, 5, 8}, 9.0, std::nullopt, std::nullopt},
        {"reached at the last dump only, from none", {-1, -1, 7}, 6.0, 2.0, std::nullopt},
        {"the window shifted to the start", {0, 2, 4, 6, 8, 9, 9, 9}, 3.0, 1.05, 20.0},
        {"the window shifted to the end", {1, 2, 3, 4, 5, 7, 9, 11}, 10.0, 6.05, 17.5},
        // a closing record, at the time of the record before, is passed over
        {"a closing record's front", {1, 5, 8, 9}, 9.5, std::nullopt, std::nullopt, true},
        {"beside a closing record", {1, 5, 8, 9}, 4.0, 2.1 / 4.0, 35.0, true},
        // the window is four dumps long, here 8 s: from 6 s to the end
        {"the end, 2 s dumps", {1, 2, 3, 4, 5, 7, 9, 11}, 10.0, 12.1, 8.75, false, 2.0},
    };
    for (const Case& c : cases) {
        TempDir dir;
        ResultBytes b(14, static_cast<int>(c.front.size()));
        for (std::size_t d = 0; d < b.records.size(); ++d)
            for (int r = 0; r < 12; ++r) b.records[d][r * (b.n + 1)] = static_cast<float>(c.dt * d);
        if (c.closing) {
            const float before = b.records[b.records.size() - 2][0];
            for (int r = 0; r < 12; ++r) b.records.back()[r * (b.n + 1)] = before;
        }
        for (std::size_t d = 0; d < c.front.size(); ++d)
            for (int i = 0; i <= c.front[d]; ++i) b.value(d, kRowSuspPressure, i) = 1.0f;
        const Scored s = score_of(b, arrival_and_speed(c.cells), dir);
        ASSERT_EQ(s.err, "") << c.what;
        ASSERT_EQ(s.score.items.size(), 2u);
        // -1 for none: the model's times and speeds are never below 0 here.
        EXPECT_NEAR(s.score.items[0].model.value_or(-1), c.arrival.value_or(-1), 1e-5) << c.what;
        EXPECT_NEAR(s.score.items[1].model.value_or(-1), c.speed.value_or(-1), 1e-4) << c.what;
    }
}

TEST(Score, CoverLengthsOfStretchesThatMissEachOther) {
    const std::vector<double> h = {0, 10, 20, 30, 40};
    struct Case {
        std::vector<bool> covered;
        double from, to;
        double tp, fp, fn, tn;
        double csi, hit_rate, bias;
        std::optional<double> false_alarm_ratio;  // none where nothing is flagged
    };
    const std::vector<Case> cases = {
        {{true, true, true, false, false}, 0, 25, 25, 0, 0, 15, 1, 1, 1, 0},
        {{false, false, false, true, true}, 0, 20, 0, 15, 20, 5, 0, 0, 0.75, 1},  // apart
        {{false, false, false, false, false}, 5, 15, 0, 0, 10, 30, 0, 0, 0, {}},  // no flow
        {{true, true, true, true, true}, 0, 40, 40, 0, 0, 0, 1, 1, 1, 0},
        {{true, true, false, false, false}, 5, 35, 10, 5, 20, 5, 2.0 / 7, 1.0 / 3, 0.5, 1.0 / 3},
    };
    for (const Case& c : cases) {
        const inspect::CoverScore s = inspect::cover_score(h, c.covered, c.from, c.to);
        EXPECT_EQ(std::make_tuple(s.tp_m, s.fp_m, s.fn_m, s.tn_m, s.false_alarm_ratio.has_value()),
                  std::make_tuple(c.tp, c.fp, c.fn, c.tn, c.false_alarm_ratio.has_value()));
        ASSERT_TRUE(s.csi && s.hit_rate && s.bias);
        EXPECT_NEAR(*s.csi, c.csi, 1e-12);
        EXPECT_NEAR(*s.hit_rate, c.hit_rate, 1e-12);
        EXPECT_NEAR(*s.bias, c.bias, 1e-12);
        EXPECT_NEAR(s.false_alarm_ratio.value_or(-1), c.false_alarm_ratio.value_or(-1), 1e-12);
    }
}

TEST(Score, PositionsTheRunCannotPlaceAreRefused) {
    const std::string head = "name = \"n\"\nsource = \"s\"\n";
    const std::pair<std::string, std::string> cases[] = {
        {head + "[[arrival]]\npoint = [5040, 7500]\nt_s = 3\nsigma_s = 1\n",
         "obs.toml:3: [[arrival]] 1: the point (5040, 7500) lies 500 m from the path, more than "
         "the 100 m allowed: is it on this path?"},
        {head + "[[speed]]\ns_horizontal_m = 96.123456789\nspeed_m_s = 3\nsigma_m_s = 1\n",
         "obs.toml:3: [[speed]] 1 at 96.1234568 m lies beyond the end of the track (95.2627944 m "
         "horizontally): extend the path"},
        {head + "[covered]\nfrom_s_horizontal_m = 0\nto_s_horizontal_m = 100\nsigma_m = 5\n" + kP3 +
             "1\n",
         "obs.toml:3: [covered] ends at 100 m, beyond the end of the track"},
    };
    for (const auto& [obs, message] : cases) {
        TempDir dir;
        const Scored s = score_of(hand_laid(), obs, dir);
        EXPECT_EQ(s.err.substr(0, message.size()), message) << obs;
    }
    // A result whose cells carry no map coordinates.
    TempDir dir;
    ResultBytes b = hand_laid();
    for (int i = 0; i < b.n; ++i) b.geometry[6 * i + 1] = b.geometry[6 * i + 5] = 0.0f;
    const Scored s = score_of(b, cases[0].first, dir);
    EXPECT_CONTAINS(s.err, "carry no map coordinates");
}

TEST(Score, TheProgramWritesTheScoresAndRefusesBadFiles) {
    TempDir dir;
    hand_laid().save(dir.file("run.res"));
    write_text(dir.file("good.toml"),
               "name = \"n\"\nsource = \"s\"\n[[pressure]]\ns_horizontal_m = " + at(2.5) +
                   "\np_kPa = 7\nsigma_kPa = 0.25\nquantity = \"p3\"\n");
    write_text(dir.file("bad.toml"), "name = \"n\"\nsource = \"s\"\n[[pressure]]\nwhere = 3\n");
    write_text(dir.file("runout.toml"),
               "name = \"n\"\nsource = \"s\"\n[runout]\ns_horizontal_m = " + at(2.5) +
                   "\nsigma_m = 10\nquantity = \"p3\"\nthreshold_kPa = 1.0\n");
    const std::string inspect = bin_dir() + "/torla-inspect run.res score ";
    struct Case {
        std::string args;
        int status;
        std::string output;  // a piece of it
    };
    const std::vector<Case> cases = {
        {"good.toml --json", 0, "\"misfit\": 4.0"},
        {"good.toml", 0, "Misfit:       4 (mean of min(|z|, 10)^2 over 1 observations)"},
        {"runout.toml", 0,
         "  m\nRun-out:      difference 47.6314 m; angle from the top 30 deg (model), 30 deg "
         "(observed), difference 0 deg\n"},
        {"bad.toml", 1, "bad.toml:4: unknown key `where' in [[pressure]] 1"},
        {"none.toml", 1, "none.toml:0: cannot open: No such file or directory"},
        {"", 2, "OBS is required"},
        {"good.toml --fast", 2, "--fast"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(run_in(dir.path(), inspect + c.args, out), c.status) << c.args << "\n" << out;
        EXPECT_CONTAINS(out, c.output) << c.args;
    }
}

}  // namespace
}  // namespace torla::test
