// Parameter lines: one line of a global-parameter section applied to the
// parameter record, and the checks of the whole record once it is read.
// Both work from the parameter table (model/parameters.h).
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "input/command_file.h"
#include "input/input.h"
#include "model/height_pressure.h"

namespace torla {

namespace {

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// The blank-delimited word starting at or after pos; pos moves past it.
std::string next_word(const std::string& line, std::size_t& pos) {
    while (pos < line.size() && is_blank(line[pos])) ++pos;
    std::size_t start = pos;
    while (pos < line.size() && !is_blank(line[pos])) ++pos;
    return line.substr(start, pos - start);
}

const ParameterEntry* find_key(const std::string& key) {
    for (const ParameterEntry& e : parameter_table())
        if (key == e.key) return &e;
    return nullptr;
}

// Text as printf's %s prints it: up to its first NUL.
std::string as_printed(const std::string& text) { return text.substr(0, text.find('\0')); }

std::string number_text(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// The value a numeric entry holds in p.
bool one_of(const std::string& word, const char* words) {
    std::size_t pos = 0;
    for (std::string w; !(w = next_word(words, pos)).empty();)
        if (w == word) return true;
    return false;
}

double value_of(const RunParameters& p, const ParameterEntry& e) {
    return e.coefficient ? static_cast<double>(p.profile.*e.coefficient) : p.*e.number;
}

}  // namespace

std::string apply_parameter(RunParameters& p, const std::string& line) {
    std::size_t pos = 0;
    const std::string key = next_word(line, pos);
    const ParameterEntry* entry = find_key(key);
    if (!entry) {
        return "   match_parameter:  Parameter " + as_printed(key) + " not identified; skipping.\n";
    }

    switch (entry->kind) {
    case ParameterKind::kNotice:
        return "   match_parameter:  QRA file format revision 1.2 detected.\n";
    case ParameterKind::kIgnored:
        return "";
    case ParameterKind::kWord: {
        const std::string word = next_word(line, pos);
        if (word.empty()) return "";  // no second word: the method stays as it was
        // A list of heights may be longer than a word.
        const std::size_t longest =
            entry->check == ParameterCheck::kHeightList ? kMaxLine : kMaxMethodLength;
        if (word.size() > longest) {
            return "   match_parameter:  WARNING:  " + as_printed(key) + " `" + as_printed(word) +
                   "' is longer than " + std::to_string(longest) + " characters; ignored.\n";
        }
        p.*entry->text = word;
        return "";
    }
    default:
        break;
    }

    // The number after the key, read as a double; text after it is ignored.
    const char* start = line.c_str() + pos;
    char* end = nullptr;
    const double value = std::strtod(start, &end);
    if (end == start) {
        return "   match_parameter:  WARNING:  No number after " + as_printed(key) +
               "; value left unchanged.\n";
    }
    if (entry->kind == ParameterKind::kFloat)
        p.profile.*entry->coefficient = static_cast<float>(value);
    else if (entry->kind == ParameterKind::kMassFlux)
        p.*entry->number =
            value / p.Particle_Density;  // a mass per area; the window tests a volume
    else
        p.*entry->number = value;
    return "";
}

void match_parameter(RunParameters& p, const std::string& line) {
    const std::string report = apply_parameter(p, line);
    std::fputs(report.c_str(), stdout);
}

ParameterProblem parameter_problem(const RunParameters& p) {
    // Every number must be finite, and the values the flow model divides
    // by or takes roots of must be positive.
    for (const ParameterEntry& e : parameter_table()) {
        if (e.alias || e.check == ParameterCheck::kNone) continue;
        if (e.check == ParameterCheck::kHeightList) {
            std::vector<double> heights;
            if (const std::string err = parse_height_list(p.*e.text, heights); !err.empty())
                return {std::string("Parameter ") + e.key + ": " + err + ".", {e.key}};
            continue;
        }
        if (e.check == ParameterCheck::kOneOf) {
            if (!one_of(p.*e.text, e.words))
                return {std::string("Parameter ") + e.key + " is `" + p.*e.text +
                            "'; it must be one of: " + e.words + ".",
                        {e.key}};
            continue;
        }
        const double v = value_of(p, e);
        if (!std::isfinite(v))
            return {std::string("Parameter ") + e.key + " is not a finite number.", {e.key}};
        if (e.check == ParameterCheck::kPositive && !(v > 0.0))
            return {std::string("Parameter ") + e.key + " is " + number_text(v) +
                        "; it must be positive.",
                    {e.key}};
    }
    // The generator receives these as 32-bit floats.
    for (const ParameterEntry& e : parameter_table())
        if (!e.alias && e.check == ParameterCheck::kGeneratorFloat &&
            !std::isfinite(static_cast<float>(value_of(p, e))))
            return {std::string("Parameter ") + e.key + " is " + number_text(value_of(p, e)) +
                        "; the grid generator takes it as a 32-bit float, at most 3.4e+38.",
                    {e.key}};
    // The top density of the suspension layer stays non-negative only when
    // the concentration profile coefficients do not add up to less than 0.
    const double sum = static_cast<double>(p.profile.Conc_Prof_Coeff_0) +
                       p.profile.Conc_Prof_Coeff_1 + p.profile.Conc_Prof_Coeff_2;
    if (sum < 0.0)
        return {"Conc_Prof_Coeff_0 + Conc_Prof_Coeff_1 + Conc_Prof_Coeff_2 is " + number_text(sum) +
                    "; the density at the top of the suspension layer would be negative.",
                {"Conc_Prof_Coeff_0", "Conc_Prof_Coeff_1", "Conc_Prof_Coeff_2"}};
    return {};
}

}  // namespace torla
