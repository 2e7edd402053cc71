// The ensemble file: a small TOML reader for the subset the ensemble files use, and the
// checks of every key against the parameter table and the local columns.
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ensemble/ensemble.h"
#include "ensemble/folder.h"

namespace torla::ensemble {

namespace {

std::string at(int line, int column, const std::string& what) {
    return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + what;
}
std::string at(const TomlValue& v, const std::string& what) { return at(v.line, v.column, what); }
std::string at(const TomlEntry& e, const std::string& what) { return at(e.line, e.column, what); }

const ParameterEntry* find_parameter(const std::string& key) {
    for (const auto& e : parameter_table())
        if (key == e.key) return &e;
    return nullptr;
}

// The first entry of the same field: aliases take check and words from it.
const ParameterEntry& principal(const ParameterEntry& e) {
    if (!e.alias) return e;
    for (const auto& p : parameter_table())
        if (!p.alias && ((e.number && p.number == e.number) || (e.text && p.text == e.text) ||
                         (e.coefficient && p.coefficient == e.coefficient)))
            return p;
    return e;
}

// Why the parameter check refuses v for the key, or "".
std::string refuse_value(const ParameterEntry& e, double v) {
    switch (principal(e).check) {
    case ParameterCheck::kPositive:
        if (!(v > 0.0)) return "must be above 0";
        break;
    case ParameterCheck::kGeneratorFloat:
        if (std::fabs(v) > FLT_MAX) return "is beyond the 32-bit float range";
        break;
    default:
        break;
    }
    if (e.kind == ParameterKind::kFloat && std::fabs(v) > FLT_MAX)
        return "is beyond the 32-bit float range";
    return "";
}

// Reads listed numbers or a { min, max } range into the variation.
std::string read_numbers(const TomlValue& v, Variation& var, const std::string& what) {
    if (v.kind == TomlValue::kArray) {
        if (v.items.empty()) return at(v, what + " lists no values");
        for (const auto& item : v.items) {
            if (item.kind != TomlValue::kNumber)
                return at(item, what + " lists a value that is not a number");
            var.values.push_back(item.number);
        }
        return "";
    }
    if (v.kind == TomlValue::kTable) {
        bool has_min = false, has_max = false;
        for (const auto& [k, f] : v.fields) {
            if (k != "min" && k != "max")
                return at(v, what + ": unknown entry `" + k + "' (min and max are known)");
            if (f.kind != TomlValue::kNumber) return at(v, what + ": `" + k + "' is not a number");
            (k == "min" ? var.min : var.max) = f.number;
            (k == "min" ? has_min : has_max) = true;
        }
        if (!has_min || !has_max) return at(v, what + ": a range needs both min and max");
        if (!(var.min < var.max)) return at(v, what + ": min must be below max");
        var.range = true;
        return "";
    }
    return at(v, what + " must be a list of values or a range { min = ..., max = ... }");
}

std::string read_variation(const TomlEntry& e, Variation& var) {
    var.name = e.key;
    var.line = e.line;
    var.place = e.column;
    for (int c = 1; c < 12; ++c)
        if (e.key == kLocalColumns[c]) var.column = c;
    if (var.local()) {
        const TomlValue& v = e.value;
        if (v.kind != TomlValue::kTable || v.fields.size() != 1 || v.fields[0].first != "factor")
            return at(e, "the local column `" + e.key +
                             "' takes { factor = [...] } or { factor = { min = ..., max = ... } }");
        if (auto err = read_numbers(v.fields[0].second, var, "the factor of `" + e.key + "'");
            !err.empty())
            return err;
        // Threshold velocity and cover density must stay above 0 in every
        // row; the other columns may not turn negative.
        const bool positive = var.column == 1 || var.column == 3;
        std::vector<double> ends = var.range ? std::vector<double>{var.min, var.max} : var.values;
        for (double f : ends) {
            if (positive && !(f > 0.0)) return at(e, "a factor of `" + e.key + "' must be above 0");
            if (f < 0.0) return at(e, "a factor of `" + e.key + "' must not be negative");
        }
        return "";
    }
    const ParameterEntry* p = find_parameter(e.key);
    if (!p) return at(e, "unknown key or column `" + e.key + "' in [vary]");
    const ParameterEntry& pr = principal(*p);
    if (p->kind == ParameterKind::kNotice || p->kind == ParameterKind::kIgnored)
        return at(e, "`" + e.key + "' has no value to vary");
    if (p->kind == ParameterKind::kWord) {
        var.word = true;
        if (e.value.kind != TomlValue::kArray || e.value.items.empty())
            return at(e, "`" + e.key + "' takes a list of words");
        for (const auto& item : e.value.items) {
            if (item.kind != TomlValue::kString || item.text.empty() ||
                item.text.find_first_of(" \t\r\n") != std::string::npos)
                return at(item, "`" + e.key + "' takes words without blanks");
            if (pr.check == ParameterCheck::kOneOf) {
                std::istringstream allowed(pr.words ? pr.words : "");
                std::string w;
                bool ok = false;
                while (allowed >> w) ok = ok || w == item.text;
                if (!ok)
                    return at(item, "`" + item.text + "' is not a word `" + e.key + "' takes (" +
                                        pr.words + ")");
            }
            var.words.push_back(item.text);
        }
        return "";
    }
    if (auto err = read_numbers(e.value, var, "`" + e.key + "'"); !err.empty()) return err;
    std::vector<double> ends = var.range ? std::vector<double>{var.min, var.max} : var.values;
    for (double v : ends)
        if (auto why = refuse_value(*p, v); !why.empty())
            return at(e, "`" + e.key + "' " + number_text(v) + " " + why);
    return "";
}

// A key varied under two names (a key and its alias) would give a member
// two lines of one field, the later winning: refused, naming both.
std::string same_field(const std::vector<Variation>& earlier, const Variation& var) {
    const ParameterEntry* p = var.local() ? nullptr : find_parameter(var.name);
    if (!p) return "";
    for (const auto& other : earlier) {
        const ParameterEntry* q = other.local() ? nullptr : find_parameter(other.name);
        if (q && &principal(*q) == &principal(*p))
            return "`" + var.name + "' and `" + other.name + "' (line " +
                   std::to_string(other.line) + ") are the same parameter; vary it once";
    }
    return "";
}

std::string read_thresholds(const TomlEntry& e, std::vector<double>& out) {
    if (e.value.kind != TomlValue::kArray || e.value.items.empty())
        return at(e, "`" + e.key + "' takes a list of pressures in kPa");
    for (const auto& item : e.value.items) {
        if (item.kind != TomlValue::kNumber || !(item.number > 0.0))
            return at(item, "a threshold of `" + e.key + "' must be a pressure above 0");
        out.push_back(item.number);
    }
    return "";
}

// One entry of at_height: { z_m = 5.0, p_kPa = [1.0, 3.0] }.
std::string read_height_entry(const TomlValue& v, HeightThresholds& h) {
    if (v.kind != TomlValue::kTable)
        return at(v, "an entry of `at_height' is { z_m = ..., p_kPa = [...] }");
    h.line = v.line;
    h.column = v.column;
    bool has_z = false, has_p = false;
    for (const auto& [k, f] : v.fields) {
        if (k == "z_m") {
            if (f.kind != TomlValue::kNumber || !(f.number >= 0.0))
                return at(f, "`z_m' of `at_height' must be a height of 0 m or more");
            // As the members' Peak_Heights give it back.
            h.z_m = std::strtod(number_text(f.number).c_str(), nullptr);
            has_z = true;
        } else if (k == "p_kPa") {
            if (f.kind != TomlValue::kArray || f.items.empty())
                return at(f, "`p_kPa' of `at_height' takes a list of pressures in kPa");
            for (const auto& item : f.items) {
                if (item.kind != TomlValue::kNumber || !(item.number > 0.0))
                    return at(item, "a threshold of `at_height' must be a pressure above 0");
                h.p_kpa.push_back(item.number);
            }
            has_p = true;
        } else {
            return at(v, "unknown entry `" + k + "' of `at_height' (z_m and p_kPa are known)");
        }
    }
    if (!has_z || !has_p) return at(v, "an entry of `at_height' needs both z_m and p_kPa");
    return "";
}

// at_height = [ { z_m = ..., p_kPa = [...] }, ... ]: each height once.
std::string read_at_height(const TomlEntry& e, std::vector<HeightThresholds>& out) {
    if (e.value.kind != TomlValue::kArray || e.value.items.empty())
        return at(e, "`at_height' takes a list of { z_m = ..., p_kPa = [...] }");
    for (const auto& item : e.value.items) {
        HeightThresholds h;
        if (auto err = read_height_entry(item, h); !err.empty()) return err;
        for (const auto& other : out)
            if (other.z_m == h.z_m)
                return at(item, "the height " + number_text(h.z_m) + " m is listed twice (line " +
                                    std::to_string(other.line) + ")");
        out.push_back(std::move(h));
    }
    return "";
}

// The members' peaks over height follow at_height: they are not varied.
std::string varies_height_peaks(const EnsembleFile& ens) {
    if (ens.at_height.empty()) return "";
    for (const auto& v : ens.vary)
        if (v.name == "Height_Peaks" || v.name == "Peak_Heights")
            return at(v.line, v.place,
                      "`" + v.name + "' is set by [thresholds] at_height and cannot be varied");
    return "";
}

// [zones]: set = "swiss" | "austria" | "damage" | [kPa, ...] (rising), and
// pressure = "p3" | "p2" | "max", as torla-inspect's --zones and
// --zone-pressure.
std::string read_zones(const TomlEntry& e, ZoneSet& zones) {
    std::string set = zones.name == "custom" ? "" : zones.name,
                pressure = zone_pressure_name(zones.pressure);
    if (e.key == "set" && e.value.kind == TomlValue::kString) {
        set = e.value.text;
    } else if (e.key == "set" && e.value.kind == TomlValue::kArray && !e.value.items.empty()) {
        set.clear();
        for (const auto& item : e.value.items) {
            if (item.kind != TomlValue::kNumber)
                return at(item, "a zone limit is a pressure in kPa");
            char text[40];
            std::snprintf(text, sizeof text, "%s%.17g", set.empty() ? "" : ",", item.number);
            set += text;
        }
    } else if (e.key == "pressure" && e.value.kind == TomlValue::kString) {
        pressure = e.value.text;
    } else {
        return at(e, e.key == "set" || e.key == "pressure"
                         ? "`" + e.key + "' of [zones] takes " +
                               (e.key == "set" ? std::string("a preset name or a list of kPa")
                                               : "p3, p2 or max")
                         : "unknown key `" + e.key + "' of [zones] (set and pressure are known)");
    }
    ZoneSet parsed;
    if (set.empty()) {  // the pressure given before a custom set: keep the set
        parsed = zones;
        if (auto err = parse_zone_set("1", pressure, parsed); !err.empty()) return at(e, err);
        parsed.name = zones.name;
        parsed.classes = zones.classes;
    } else if (auto err = parse_zone_set(set, pressure, parsed); !err.empty()) {
        return at(e, err);
    }
    zones = parsed;
    return "";
}

}  // namespace

const char* sampling_name(Sampling s) {
    switch (s) {
    case Sampling::kGrid:
        return "grid";
    case Sampling::kLatinHypercube:
        return "latin-hypercube";
    case Sampling::kRandom:
        return "random";
    }
    return "";
}

std::string read_ensemble_file(const std::string& path, EnsembleFile& ens) {
    std::string text;
    if (auto err = read_regular_file(path, kMaxEnsembleFile, text); !err.empty())
        return "cannot read the ensemble file: " + err;
    return parse_ensemble_file(path, text, ens);
}

namespace {

// Where the file says `members' (line and column; 0 when it does not).
struct MembersAt {
    int line = 0, column = 0;
};

// One key outside any section: base, members, sampling or seed.
std::string read_top_key(const TomlEntry& e, EnsembleFile& ens, MembersAt& members_at) {
    const TomlValue& v = e.value;
    if (e.key == "base") {
        if (v.kind != TomlValue::kString || v.text.empty())
            return at(e, "`base' names the command file as a string");
        ens.base = v.text;
    } else if (e.key == "members") {
        if (v.kind != TomlValue::kNumber || !v.integer)
            return at(e, "`members' must be a whole number");
        if (v.number < 1) return at(e, "`members' must be at least 1");
        if (v.number > 1e6) return at(e, "`members' must be at most 1000000");
        ens.members = static_cast<int>(v.number);
        members_at = {e.line, e.column};
    } else if (e.key == "sampling") {
        if (v.kind == TomlValue::kString && v.text == "grid")
            ens.sampling = Sampling::kGrid;
        else if (v.kind == TomlValue::kString && v.text == "latin-hypercube")
            ens.sampling = Sampling::kLatinHypercube;
        else if (v.kind == TomlValue::kString && v.text == "random")
            ens.sampling = Sampling::kRandom;
        else
            return at(e, "`sampling' is \"grid\", \"latin-hypercube\" or \"random\"");
    } else if (e.key == "seed") {
        // Judged on the integer as written: 2^53 + 1 as a double is 2^53.
        if (v.kind != TomlValue::kNumber || !v.integer || v.whole < 0 ||
            v.whole > (int64_t{1} << 53))
            return at(e, "`seed' must be a whole number from 0 to 2^53");
        ens.seed = static_cast<uint64_t>(v.whole);
    } else {
        return at(e, "unknown key `" + e.key + "'");
    }
    return "";
}

// One entry of a section: [vary], [thresholds] or [zones].
std::string read_section_entry(const TomlEntry& e, EnsembleFile& ens) {
    if (e.section == "vary") {
        Variation var;
        if (auto err = read_variation(e, var); !err.empty()) return err;
        if (auto err = same_field(ens.vary, var); !err.empty()) return at(e, err);
        ens.vary.push_back(std::move(var));
    } else if (e.section == "thresholds") {
        if (e.key == "p3") return read_thresholds(e, ens.p3_thresholds);
        if (e.key == "p2") return read_thresholds(e, ens.p2_thresholds);
        if (e.key == "at_height") return read_at_height(e, ens.at_height);
        return at(e, "unknown threshold `" + e.key + "' (p2, p3 and at_height are known)");
    } else if (e.section == "zones") {
        return read_zones(e, ens.zones);
    } else {
        return at(e, "unknown section [" + e.section + "]");
    }
    return "";
}

// The member count: a grid's is its number of combinations (a `members'
// given must agree); the other samplings need it given.
std::string settle_members(EnsembleFile& ens, const MembersAt& members_at) {
    const bool has_members = members_at.line != 0;
    if (ens.sampling != Sampling::kGrid)
        return has_members
                   ? ""
                   : "`members' is missing (latin-hypercube and random sampling draw that many)";
    long long n = 1;
    for (const auto& v : ens.vary) {
        if (v.range)
            return at(v.line, v.place,
                      "`" + v.name + "' is a range; grid sampling takes listed values");
        n *= static_cast<long long>(v.choices());
        if (n > 1000000) return at(v.line, v.place, "the grid has more than 1000000 members");
    }
    if (has_members && n != ens.members)
        return at(members_at.line, members_at.column,
                  "`members' is " + std::to_string(ens.members) + " but the grid has " +
                      std::to_string(n) + " combinations");
    ens.members = static_cast<int>(n);
    return "";
}

}  // namespace

std::string parse_ensemble_file(const std::string& path, const std::string& text,
                                EnsembleFile& ens) {
    ens = EnsembleFile{};
    ens.path = path;
    ens.text = text;
    std::vector<TomlEntry> entries;
    if (auto err = parse_toml(ens.text, entries); !err.empty()) return err;
    MembersAt members_at;
    for (const auto& e : entries)
        if (auto err =
                e.section.empty() ? read_top_key(e, ens, members_at) : read_section_entry(e, ens);
            !err.empty())
            return err;
    if (auto err = varies_height_peaks(ens); !err.empty()) return err;
    if (ens.base.empty()) return "the ensemble file names no base command file (base = \"...\")";
    if (auto err = settle_members(ens, members_at); !err.empty()) return err;
    namespace fs = std::filesystem;
    fs::path base = ens.base;
    if (base.is_relative()) base = fs::path(path).parent_path() / base;
    ens.base_path = base.lexically_normal().string();
    return "";
}

}  // namespace torla::ensemble
