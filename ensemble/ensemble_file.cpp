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

namespace torla::ensemble {

namespace {

class TomlParser {
public:
    explicit TomlParser(const std::string& t) : t_(t) {}

    std::string parse(std::vector<TomlEntry>& out) {
        std::string section;
        for (;;) {
            skip_blanks_and_newlines();
            if (pos_ >= t_.size()) return "";
            const int line = line_;
            if (t_[pos_] == '[') {
                ++pos_;
                skip_blanks();
                std::string name;
                if (!key(name)) return err("a section name is expected after [");
                skip_blanks();
                if (pos_ >= t_.size() || t_[pos_] != ']') return err("] is missing");
                ++pos_;
                section = name;
                if (!end_of_line()) return err("text after the section header");
                continue;
            }
            std::string k;
            if (!key(k)) return err("a key is expected");
            skip_blanks();
            if (pos_ >= t_.size() || t_[pos_] != '=') return err("= is missing after `" + k + "'");
            ++pos_;
            skip_blanks();
            TomlValue v;
            if (auto e = value(v); !e.empty()) return e;
            for (const auto& e : out)
                if (e.section == section && e.key == k) return err("`" + k + "' is given twice");
            out.push_back({section, k, std::move(v), line});
            if (!end_of_line()) return err("text after the value of `" + k + "'");
        }
    }

private:
    std::string err(const std::string& what) const {
        return "line " + std::to_string(line_) + ": " + what;
    }
    void skip_blanks() {
        while (pos_ < t_.size() && (t_[pos_] == ' ' || t_[pos_] == '\t')) ++pos_;
    }
    void skip_comment() {
        if (pos_ < t_.size() && t_[pos_] == '#')
            while (pos_ < t_.size() && t_[pos_] != '\n') ++pos_;
    }
    void skip_blanks_and_newlines() {
        for (;;) {
            skip_blanks();
            skip_comment();
            if (pos_ < t_.size() && (t_[pos_] == '\n' || t_[pos_] == '\r')) {
                if (t_[pos_] == '\n') ++line_;
                ++pos_;
                continue;
            }
            return;
        }
    }
    bool end_of_line() {
        skip_blanks();
        skip_comment();
        if (pos_ < t_.size() && t_[pos_] == '\r') ++pos_;
        return pos_ >= t_.size() || t_[pos_] == '\n';
    }
    bool key(std::string& k) {
        if (pos_ < t_.size() && t_[pos_] == '"') {
            TomlValue v;
            if (!string(v).empty()) return false;
            k = v.text;
            return !k.empty();
        }
        const std::size_t b = pos_;
        while (pos_ < t_.size() && (std::isalnum(static_cast<unsigned char>(t_[pos_])) ||
                                    t_[pos_] == '_' || t_[pos_] == '-'))
            ++pos_;
        k = t_.substr(b, pos_ - b);
        return !k.empty();
    }
    std::string string(TomlValue& v) {
        const char q = t_[pos_++];
        v.kind = TomlValue::kString;
        while (pos_ < t_.size() && t_[pos_] != q) {
            if (t_[pos_] == '\n') return err("a string ends at the line end");
            if (q == '"' && t_[pos_] == '\\' && pos_ + 1 < t_.size()) {
                const char c = t_[++pos_];
                const char* from = "\"\\ntr";
                const char* to = "\"\\\n\t\r";
                const char* f = std::strchr(from, c);
                if (!f || c == 0) return err("an escape the reader of ensemble files does not know");
                v.text.push_back(to[f - from]);
                ++pos_;
                continue;
            }
            v.text.push_back(t_[pos_++]);
        }
        if (pos_ >= t_.size()) return err("a string is not closed");
        ++pos_;
        return "";
    }
    std::string value(TomlValue& v) {
        v.line = line_;
        if (pos_ >= t_.size()) return err("a value is expected");
        const char c = t_[pos_];
        if (c == '"' || c == '\'') return string(v);
        if (c == '[') {
            ++pos_;
            v.kind = TomlValue::kArray;
            for (;;) {
                skip_blanks_and_newlines();
                if (pos_ < t_.size() && t_[pos_] == ']') {
                    ++pos_;
                    return "";
                }
                TomlValue item;
                if (auto e = value(item); !e.empty()) return e;
                v.items.push_back(std::move(item));
                skip_blanks_and_newlines();
                if (pos_ < t_.size() && t_[pos_] == ',') {
                    ++pos_;
                    continue;
                }
                if (pos_ < t_.size() && t_[pos_] == ']') {
                    ++pos_;
                    return "";
                }
                return err("an array needs , between values and ] at its end");
            }
        }
        if (c == '{') {
            ++pos_;
            v.kind = TomlValue::kTable;
            skip_blanks();
            if (pos_ < t_.size() && t_[pos_] == '}') {
                ++pos_;
                return "";
            }
            for (;;) {
                skip_blanks();
                std::string k;
                if (!key(k)) return err("a key is expected in the inline table");
                skip_blanks();
                if (pos_ >= t_.size() || t_[pos_] != '=') return err("= is missing after `" + k + "'");
                ++pos_;
                skip_blanks();
                TomlValue item;
                if (auto e = value(item); !e.empty()) return e;
                for (const auto& f : v.fields)
                    if (f.first == k) return err("`" + k + "' is given twice");
                v.fields.emplace_back(k, std::move(item));
                skip_blanks();
                if (pos_ < t_.size() && t_[pos_] == ',') {
                    ++pos_;
                    continue;
                }
                if (pos_ < t_.size() && t_[pos_] == '}') {
                    ++pos_;
                    return "";
                }
                return err("an inline table needs , between entries and } at its end");
            }
        }
        // A number: digits, sign, point, exponent, underscores between digits.
        const std::size_t b = pos_;
        while (pos_ < t_.size() && (std::isalnum(static_cast<unsigned char>(t_[pos_])) ||
                                    std::strchr("+-._", t_[pos_])))
            ++pos_;
        std::string word = t_.substr(b, pos_ - b);
        if (word.empty()) return err("a value is expected");
        std::string digits;
        for (char ch : word)
            if (ch != '_') digits.push_back(ch);
        char* end = nullptr;
        const double d = std::strtod(digits.c_str(), &end);
        if (end != digits.c_str() + digits.size() || digits.find_first_of("xXnN") != std::string::npos)
            return err("`" + word + "' is not a number");
        if (!std::isfinite(d)) return err("`" + word + "' is not a finite number");
        v.kind = TomlValue::kNumber;
        v.number = d;
        v.integer = digits.find_first_of(".eE") == std::string::npos;
        return "";
    }

    const std::string& t_;
    std::size_t pos_ = 0;
    int line_ = 1;
};

std::string at(int line, const std::string& what) { return "line " + std::to_string(line) + ": " + what; }

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
        if (v.items.empty()) return at(v.line, what + " lists no values");
        for (const auto& item : v.items) {
            if (item.kind != TomlValue::kNumber) return at(item.line, what + " lists a value that is not a number");
            var.values.push_back(item.number);
        }
        return "";
    }
    if (v.kind == TomlValue::kTable) {
        bool has_min = false, has_max = false;
        for (const auto& [k, f] : v.fields) {
            if (k != "min" && k != "max") return at(v.line, what + ": unknown entry `" + k + "' (min and max are known)");
            if (f.kind != TomlValue::kNumber) return at(v.line, what + ": `" + k + "' is not a number");
            (k == "min" ? var.min : var.max) = f.number;
            (k == "min" ? has_min : has_max) = true;
        }
        if (!has_min || !has_max) return at(v.line, what + ": a range needs both min and max");
        if (!(var.min < var.max)) return at(v.line, what + ": min must be below max");
        var.range = true;
        return "";
    }
    return at(v.line, what + " must be a list of values or a range { min = ..., max = ... }");
}

std::string read_variation(const TomlEntry& e, Variation& var) {
    var.name = e.key;
    var.line = e.line;
    for (int c = 1; c < 12; ++c)
        if (e.key == kLocalColumns[c]) var.column = c;
    if (var.local()) {
        const TomlValue& v = e.value;
        if (v.kind != TomlValue::kTable || v.fields.size() != 1 || v.fields[0].first != "factor")
            return at(e.line, "the local column `" + e.key + "' takes { factor = [...] } or { factor = { min = ..., max = ... } }");
        if (auto err = read_numbers(v.fields[0].second, var, "the factor of `" + e.key + "'"); !err.empty())
            return err;
        // Threshold velocity and cover density must stay above 0 in every
        // row; the other columns may not turn negative.
        const bool positive = var.column == 1 || var.column == 3;
        std::vector<double> ends = var.range ? std::vector<double>{var.min, var.max} : var.values;
        for (double f : ends) {
            if (positive && !(f > 0.0)) return at(e.line, "a factor of `" + e.key + "' must be above 0");
            if (f < 0.0) return at(e.line, "a factor of `" + e.key + "' must not be negative");
        }
        return "";
    }
    const ParameterEntry* p = find_parameter(e.key);
    if (!p) return at(e.line, "unknown key or column `" + e.key + "' in [vary]");
    const ParameterEntry& pr = principal(*p);
    if (p->kind == ParameterKind::kNotice || p->kind == ParameterKind::kIgnored)
        return at(e.line, "`" + e.key + "' has no value to vary");
    if (p->kind == ParameterKind::kWord) {
        var.word = true;
        if (e.value.kind != TomlValue::kArray || e.value.items.empty())
            return at(e.line, "`" + e.key + "' takes a list of words");
        for (const auto& item : e.value.items) {
            if (item.kind != TomlValue::kString || item.text.empty() ||
                item.text.find_first_of(" \t\r\n") != std::string::npos)
                return at(item.line, "`" + e.key + "' takes words without blanks");
            if (pr.check == ParameterCheck::kOneOf) {
                std::istringstream allowed(pr.words ? pr.words : "");
                std::string w;
                bool ok = false;
                while (allowed >> w) ok = ok || w == item.text;
                if (!ok) return at(item.line, "`" + item.text + "' is not a word `" + e.key + "' takes (" + pr.words + ")");
            }
            var.words.push_back(item.text);
        }
        return "";
    }
    if (auto err = read_numbers(e.value, var, "`" + e.key + "'"); !err.empty()) return err;
    std::vector<double> ends = var.range ? std::vector<double>{var.min, var.max} : var.values;
    for (double v : ends)
        if (auto why = refuse_value(*p, v); !why.empty())
            return at(e.line, "`" + e.key + "' " + format_value(v) + " " + why);
    return "";
}

std::string read_thresholds(const TomlEntry& e, std::vector<double>& out) {
    if (e.value.kind != TomlValue::kArray || e.value.items.empty())
        return at(e.line, "`" + e.key + "' takes a list of pressures in kPa");
    for (const auto& item : e.value.items) {
        if (item.kind != TomlValue::kNumber || !(item.number > 0.0))
            return at(item.line, "a threshold of `" + e.key + "' must be a pressure above 0");
        out.push_back(item.number);
    }
    return "";
}

}  // namespace

std::string parse_toml(const std::string& text, std::vector<TomlEntry>& out) {
    return TomlParser(text).parse(out);
}

const char* sampling_name(Sampling s) {
    switch (s) {
        case Sampling::kGrid: return "grid";
        case Sampling::kLatinHypercube: return "latin-hypercube";
        case Sampling::kRandom: return "random";
    }
    return "";
}

std::string read_ensemble_file(const std::string& path, EnsembleFile& ens) {
    ens = EnsembleFile{};
    ens.path = path;
    std::ifstream f(path, std::ios::binary);
    if (!f) return "cannot read the ensemble file `" + path + "'";
    std::stringstream ss;
    ss << f.rdbuf();
    ens.text = ss.str();
    std::vector<TomlEntry> entries;
    if (auto err = parse_toml(ens.text, entries); !err.empty()) return err;

    int members_line = 0;
    bool has_base = false, has_members = false;
    for (const auto& e : entries) {
        const TomlValue& v = e.value;
        if (e.section.empty()) {
            if (e.key == "base") {
                if (v.kind != TomlValue::kString || v.text.empty())
                    return at(e.line, "`base' names the command file as a string");
                ens.base = v.text;
                has_base = true;
            } else if (e.key == "members") {
                if (v.kind != TomlValue::kNumber || !v.integer)
                    return at(e.line, "`members' must be a whole number");
                if (v.number < 1) return at(e.line, "`members' must be at least 1");
                if (v.number > 1e6) return at(e.line, "`members' must be at most 1000000");
                ens.members = static_cast<int>(v.number);
                has_members = true;
                members_line = e.line;
            } else if (e.key == "sampling") {
                if (v.kind == TomlValue::kString && v.text == "grid") ens.sampling = Sampling::kGrid;
                else if (v.kind == TomlValue::kString && v.text == "latin-hypercube")
                    ens.sampling = Sampling::kLatinHypercube;
                else if (v.kind == TomlValue::kString && v.text == "random") ens.sampling = Sampling::kRandom;
                else return at(e.line, "`sampling' is \"grid\", \"latin-hypercube\" or \"random\"");
            } else if (e.key == "seed") {
                if (v.kind != TomlValue::kNumber || !v.integer || v.number < 0 || v.number > 9007199254740992.0)
                    return at(e.line, "`seed' must be a whole number from 0 to 2^53");
                ens.seed = static_cast<uint64_t>(v.number);
            } else {
                return at(e.line, "unknown key `" + e.key + "'");
            }
        } else if (e.section == "vary") {
            Variation var;
            if (auto err = read_variation(e, var); !err.empty()) return err;
            ens.vary.push_back(std::move(var));
        } else if (e.section == "thresholds") {
            if (e.key == "p3") {
                if (auto err = read_thresholds(e, ens.p3_thresholds); !err.empty()) return err;
            } else if (e.key == "p2") {
                if (auto err = read_thresholds(e, ens.p2_thresholds); !err.empty()) return err;
            } else {
                return at(e.line, "unknown threshold `" + e.key + "' (p2 and p3 are known)");
            }
        } else {
            return at(e.line, "unknown section [" + e.section + "]");
        }
    }
    if (!has_base) return "the ensemble file names no base command file (base = \"...\")";
    if (ens.sampling == Sampling::kGrid) {
        long long n = 1;
        for (const auto& v : ens.vary) {
            if (v.range) return at(v.line, "`" + v.name + "' is a range; grid sampling takes listed values");
            n *= static_cast<long long>(v.choices());
            if (n > 1000000) return at(v.line, "the grid has more than 1000000 members");
        }
        if (has_members && n != ens.members)
            return at(members_line, "`members' is " + std::to_string(ens.members) + " but the grid has " +
                                        std::to_string(n) + " combinations");
        ens.members = static_cast<int>(n);
    } else if (!has_members) {
        return "`members' is missing (latin-hypercube and random sampling draw that many)";
    }
    namespace fs = std::filesystem;
    fs::path base = ens.base;
    if (base.is_relative()) base = fs::path(path).parent_path() / base;
    ens.base_path = base.lexically_normal().string();
    return "";
}

}  // namespace torla::ensemble
