// torla-inspect RESULT score OBS.toml [--json]: the run held against an
// observation file (score.h), for people or for scripts.
#include "inspect/score.h"

#include <cmath>
#include <cstdio>
#include <iostream>

#include "support/cli_options.h"

#include "support/json.h"

namespace torla::inspect {

namespace {

constexpr int kStatusBadFile = 1;

using ordered_json = nlohmann::ordered_json;

ordered_json opt_json(const std::optional<double>& v) {
    return v && std::isfinite(*v) ? ordered_json(*v) : ordered_json();
}

std::string cell(const std::optional<double>& v, int digits = 6) {
    return v ? number_text(*v, digits) : std::string("-");
}

// The difference of two run-out angles as the text gives it: to 1e-4 deg,
// finer than the angles' five digits, so that two angles of the same place
// worked out along different lines read as 0 rather than as round-off.
double angle_difference_text(double model_deg, double observed_deg) {
    const double d = std::round((model_deg - observed_deg) * 1e4) / 1e4;
    return d == 0.0 ? 0.0 : d;
}

void write_cover_text(std::ostream& o, const CoverScore& c) {
    o << "Covered:      true positive " << number_text(c.tp_m, 6) << " m, false positive "
      << number_text(c.fp_m, 6) << " m, false negative " << number_text(c.fn_m, 6)
      << " m, true negative " << number_text(c.tn_m, 6) << " m (horizontal)\n";
    o << "              critical success index " << cell(c.csi, 4) << ", hit rate "
      << cell(c.hit_rate, 4) << ", false alarm ratio " << cell(c.false_alarm_ratio, 4) << ", bias "
      << cell(c.bias, 4) << "\n";
}

}  // namespace

void write_score_text(std::ostream& o, const Observations& obs, const Score& s) {
    o << "Event:        " << plain_text(obs.name) << "\n";
    o << "Source:       " << plain_text(obs.source) << "\n";
    o << "Observations: " << s.items.size() << " scored; z = (model - observed) / sigma\n";
    char row[256];
    std::snprintf(row, sizeof row, "  %-8s  %-3s  %5s  %12s  %12s  %12s  %12s  %10s  %8s\n", "kind",
                  "q", "line", "position[m]", "model", "observed", "difference", "sigma", "z");
    o << row;
    for (const ScoreItem& i : s.items) {
        std::snprintf(row, sizeof row, "  %-8s  %-3s  %5d  %12s  %12s  %12s  %12s  %10s  %8s  %s\n",
                      i.kind.c_str(), i.quantity.empty() ? "-" : i.quantity.c_str(), i.line,
                      cell(i.s_horizontal_m).c_str(), cell(i.model).c_str(),
                      number_text(i.observed, 6).c_str(), cell(i.difference).c_str(),
                      number_text(i.sigma, 6).c_str(), cell(i.z, 4).c_str(), i.unit.c_str());
        o << row;
        if (!i.note.empty()) o << "            " << plain_text(i.note) << "\n";
    }
    for (const ScoreItem& i : s.items)
        if (i.kind == "runout" && i.angle_model_deg && i.angle_observed_deg)
            o << "Run-out:      difference " << cell(i.difference) << " m; angle from the top "
              << number_text(*i.angle_model_deg, 5) << " deg (model), "
              << number_text(*i.angle_observed_deg, 5) << " deg (observed), difference "
              << number_text(angle_difference_text(*i.angle_model_deg, *i.angle_observed_deg), 4)
              << " deg\n";
    if (s.cover) write_cover_text(o, *s.cover);
    o << "Misfit:       " << number_text(s.misfit, 6) << " (mean of min(|z|, "
      << number_text(kMisfitZCap) << ")^2 over " << s.items.size() << " observations)\n";
}

nlohmann::ordered_json score_json(const Observations& obs, const Score& s) {
    ordered_json j;
    j["observations"] = obs.path;
    j["name"] = obs.name;
    j["source"] = obs.source;
    j["misfit"] = s.misfit;
    j["misfit_z_cap"] = kMisfitZCap;
    j["items"] = ordered_json::array();
    for (const ScoreItem& i : s.items) {
        ordered_json item = {{"kind", i.kind},         {"model", opt_json(i.model)},
                             {"observed", i.observed}, {"difference", opt_json(i.difference)},
                             {"z", opt_json(i.z)},     {"sigma", i.sigma},
                             {"unit", i.unit},         {"line", i.line}};
        if (!i.quantity.empty()) item["quantity"] = i.quantity;
        item["s_horizontal_m"] = opt_json(i.s_horizontal_m);
        if (i.offset_m) item["point_offset_m"] = *i.offset_m;
        if (i.height_m) item["height_m"] = *i.height_m;
        if (i.observed_min)
            item["observed_min"] = *i.observed_min, item["observed_max"] = *i.observed_max;
        if (i.determined) item["determined"] = *i.determined;
        if (i.angle_model_deg && i.angle_observed_deg) {
            item["angle_model_deg"] = *i.angle_model_deg;
            item["angle_observed_deg"] = *i.angle_observed_deg;
            item["angle_difference_deg"] = *i.angle_model_deg - *i.angle_observed_deg;
        }
        item["misfit_term"] = i.misfit_term;
        item["note"] = i.note.empty() ? ordered_json() : ordered_json(i.note);
        j["items"].push_back(item);
    }
    if (s.cover) {
        const CoverScore& c = *s.cover;
        j["covered"] = {{"true_positive_m", c.tp_m},
                        {"false_positive_m", c.fp_m},
                        {"false_negative_m", c.fn_m},
                        {"true_negative_m", c.tn_m},
                        {"critical_success_index", opt_json(c.csi)},
                        {"hit_rate", opt_json(c.hit_rate)},
                        {"false_alarm_ratio", opt_json(c.false_alarm_ratio)},
                        {"bias", opt_json(c.bias)}};
    } else {
        j["covered"] = nullptr;
    }
    return j;
}

int score_main(int argc, char** argv) {
    std::string obs_path;
    bool json = false;
    CLI::App app{
        "The run held against observations: per observation the model's value, the observed "
        "one, their difference and z = difference / sigma; for the covered stretch the true "
        "and false positive and false negative lengths and skill scores; one misfit "
        "(docs/observations.md).",
        "torla-inspect RESULT score"};
    cli::house_style(app);
    app.add_option("OBS", obs_path, "the observation file (TOML)")
        ->required()
        ->type_name("FILE.toml");
    app.add_flag("--json", json, "for scripts");
    if (const int status =
            cli::parse(app, argc - 2, argv + 2, "torla-inspect", plain_text, nullptr, "score");
        status >= 0)
        return status;
    Observations obs;
    if (const auto refusals = read_observations(obs_path, obs); !refusals.empty()) {
        for (const std::string& r : refusals) std::cerr << "torla-inspect: " << r << "\n";
        return kStatusBadFile;
    }
    const std::string path = argv[1];
    RunViewOptions vo;
    vo.zones = score_zones(obs);
    ResultReader reader;
    ResultTables r;
    RunView v;
    Score s;
    std::string err = reader.open(path, r);
    if (err.empty()) err = read_run_view(reader, r, path, vo, v);
    if (err.empty()) err = score_run(r, v, obs, s, path);
    if (!err.empty()) {
        std::cerr << "torla-inspect: " << plain_text(err) << "\n";
        return kStatusBadFile;
    }
    if (json)
        std::cout << support::json_text(score_json(obs, s), 2) << "\n";
    else
        write_score_text(std::cout, obs, s);
    return 0;
}

}  // namespace torla::inspect
