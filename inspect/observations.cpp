// The observation file (observations.h, docs/observations.md), read with
// toml++: every key checked against the few each table may hold, every
// number finite and in range, every value with its uncertainty.
#include "inspect/observations.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string_view>

#include <toml++/toml.h>

#include "inspect/inspect.h"
#include "model/quantities.h"

namespace torla::inspect {

namespace {

enum class Range { kAny, kNonNegative, kPositive };

// Pieces of a message joined (appended one by one: GCC 12 warns falsely on
// chains of operator+ here).
std::string cat(std::initializer_list<std::string_view> pieces) {
    std::string out;
    for (std::string_view p : pieces) out.append(p);
    return out;
}

class ObservationReader {
public:
    explicit ObservationReader(const std::string& path) : path_(path) {}
    std::vector<std::string> refusals;

    void refuse(int line, const std::string& what) {
        refusals.push_back(plain_text(path_) + ":" + std::to_string(line) + ": " + what);
    }
    static int line_of(const toml::node& n) { return static_cast<int>(n.source().begin.line); }

    // Refuses every key of t that is not among `allowed`.
    void only_keys(const toml::table& t, std::initializer_list<const char*> allowed,
                   const std::string& where) {
        for (const auto& [k, v] : t) {
            bool known = false;
            for (const char* a : allowed) known = known || k.str() == a;
            if (!known)
                refuse(static_cast<int>(k.source().begin.line),
                       cat({"unknown key `", plain_text(std::string(k.str())), "' in ", where}));
        }
    }

    std::optional<double> number(const toml::table& t, const char* key, const std::string& where,
                                 Range range, bool required) {
        const toml::node* n = t.get(key);
        if (!n) {
            if (required) refuse(line_of(t), cat({where, " needs `", key, "'"}));
            return std::nullopt;
        }
        double v = 0.0;
        if (const auto* i = n->as_integer())
            v = static_cast<double>(i->get());
        else if (const auto* f = n->as_floating_point())
            v = f->get();
        else {
            refuse(line_of(*n), cat({"`", key, "' in ", where, " must be a number"}));
            return std::nullopt;
        }
        const bool bad = !std::isfinite(v) || (range == Range::kNonNegative && v < 0.0) ||
                         (range == Range::kPositive && !(v > 0.0));
        if (bad) {
            refuse(line_of(*n), cat({"`", key, "' in ", where, " must be a finite number",
                                     range == Range::kPositive      ? " above 0"
                                     : range == Range::kNonNegative ? " of 0 or more"
                                                                    : "",
                                     ", not ", number_text(v)}));
            return std::nullopt;
        }
        return v;
    }

    std::optional<std::string> text(const toml::table& t, const char* key, const std::string& where,
                                    bool required) {
        const toml::node* n = t.get(key);
        if (!n) {
            if (required) refuse(line_of(t), cat({where, " needs `", key, "'"}));
            return std::nullopt;
        }
        const auto* s = n->as_string();
        if (!s || (required && s->get().empty())) {
            refuse(line_of(*n), cat({"`", key, "' in ", where, " must be a",
                                     required ? " non-empty" : "", " string"}));
            return std::nullopt;
        }
        return s->get();
    }

    // "p3" (suspension layer) or "p2" (saltation layer); required.
    int quantity(const toml::table& t, const std::string& where) {
        const auto q = text(t, "quantity", where, true);
        if (!q) return kRowSuspPressure;
        if (*q == "p3") return kRowSuspPressure;
        if (*q == "p2") return kRowSaltPressure;
        refuse(line_of(*t.get("quantity")),
               cat({"`quantity' in ", where, " is p3 or p2, not `", plain_text(*q), "'"}));
        return kRowSuspPressure;
    }

    ObservedPosition position(const toml::table& t, const std::string& where) {
        ObservedPosition p;
        p.line = line_of(t);
        p.s_horizontal_m = number(t, "s_horizontal_m", where, Range::kNonNegative, false);
        if (const toml::node* n = t.get("point")) {
            const auto* a = n->as_array();
            std::array<double, 2> xy{};
            bool ok = a && a->size() == 2;
            for (std::size_t k = 0; ok && k < 2; ++k) {
                const toml::node& e = *a->get(k);
                ok = e.is_number();
                xy[k] = e.is_integer() ? static_cast<double>(e.as_integer()->get())
                        : ok           ? e.as_floating_point()->get()
                                       : 0.0;
                ok = ok && std::isfinite(xy[k]);
            }
            if (ok)
                p.point = xy;
            else
                refuse(line_of(*n),
                       "`point' in " + where + " must be [easting, northing], two finite numbers");
            if (p.s_horizontal_m)
                refuse(line_of(*n), where + " gives both `s_horizontal_m' and `point': give one");
        } else if (!p.s_horizontal_m && !t.get("s_horizontal_m")) {
            refuse(p.line, where + " needs a position: `s_horizontal_m' or `point'");
        }
        return p;
    }

private:
    std::string path_;
};

using R = ObservationReader;

// ---- The lines before toml++ reads them. An observation file needs little
// of TOML, and toml++ 3.3 relies unchecked on parts of its input (a key
// after a section's bracket, the kind of a closing bracket, blanks outside
// ASCII) and recurses once per level of nesting; so every line is held to
// the little that is needed first: a comment, a [table] or [[table]] header,
// or `key = value` where the value is a one-line string, a bare word or
// number, or a one-line array of those.

constexpr std::size_t kMaxLineBytes = 4096;

bool key_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
}
bool word_char(char c) { return key_char(c) || c == '.' || c == '+' || c == ':'; }

void skip_blanks(std::string_view l, std::size_t& i) {
    while (i < l.size() && (l[i] == ' ' || l[i] == '\t')) ++i;
}

// A one-line string, a word or a number at l[i]; i ends after it.
bool scalar(std::string_view l, std::size_t& i) {
    if (i < l.size() && (l[i] == '"' || l[i] == '\'')) {
        const char q = l[i++];
        while (i < l.size() && l[i] != q) i += (q == '"' && l[i] == '\\') ? 2 : 1;
        if (i >= l.size()) return false;
        ++i;
        return true;
    }
    const std::size_t start = i;
    while (i < l.size() && word_char(l[i])) ++i;
    return i > start;
}

bool value(std::string_view l, std::size_t& i) {
    if (i >= l.size() || l[i] != '[') return scalar(l, i);
    ++i;
    for (bool first = true;; first = false) {
        skip_blanks(l, i);
        if (i < l.size() && l[i] == ']') return ++i, true;
        if (!first) {
            if (i >= l.size() || l[i] != ',') return false;
            skip_blanks(l, ++i);
            if (i < l.size() && l[i] == ']') return ++i, true;
        }
        if (!scalar(l, i)) return false;
    }
}

// Blanks and an optional comment to the end of the line.
bool line_ends(std::string_view l, std::size_t i) {
    skip_blanks(l, i);
    return i == l.size() || l[i] == '#';
}

bool header(std::string_view l, std::size_t i) {
    const bool twice = l.compare(i, 2, "[[") == 0;
    i += twice ? 2 : 1;
    skip_blanks(l, i);
    const std::size_t start = i;
    while (i < l.size() && key_char(l[i])) ++i;
    if (i == start) return false;
    skip_blanks(l, i);
    if (l.compare(i, twice ? 2 : 1, twice ? "]]" : "]") != 0) return false;
    return line_ends(l, i + (twice ? 2 : 1));
}

// Empty, or why the line is not one an observation file has.
std::string line_problem(std::string_view l) {
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    if (l.size() > kMaxLineBytes) return "longer than " + std::to_string(kMaxLineBytes) + " bytes";
    std::size_t i = 0;
    skip_blanks(l, i);
    if (i == l.size() || l[i] == '#') return "";
    if (l[i] == '[')
        return header(l, i) ? ""
                            : "not a table header an observation file has ([name] or [[name]])";
    const std::size_t start = i;
    while (i < l.size() && key_char(l[i])) ++i;
    if (i == start)
        return "not a line an observation file has (key = value, [table], [[table]] or # comment)";
    skip_blanks(l, i);
    if (i >= l.size() || l[i] != '=') return "`=' expected after the key";
    skip_blanks(l, ++i);
    if (!value(l, i) || !line_ends(l, i))
        return "not a value an observation file has (a number, a one-line string, or a one-line "
               "[list] of those)";
    return "";
}

// Every line's problem, before toml++ reads the text.
void check_lines(R& r, const std::string& text) {
    std::size_t begin = 0;
    for (int line = 1; begin <= text.size(); ++line) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        if (const std::string p = line_problem(std::string_view(text).substr(begin, end - begin));
            !p.empty())
            r.refuse(line, p);
        begin = end + 1;
    }
}

void read_runout(R& r, const toml::table& t, Observations& o) {
    const std::string where = "[runout]";
    r.only_keys(t, {"s_horizontal_m", "point", "sigma_m", "quantity", "threshold_kPa"}, where);
    ObservedRunout ro;
    ro.at = r.position(t, where);
    ro.sigma_m = r.number(t, "sigma_m", where, Range::kPositive, true).value_or(0.0);
    ro.quantity = r.quantity(t, where);
    ro.threshold_kpa = r.number(t, "threshold_kPa", where, Range::kPositive, true).value_or(0.0);
    o.runout = ro;
    o.runout_line = R::line_of(t);
}

void read_arrival(R& r, const toml::table& t, const std::string& where, Observations& o) {
    r.only_keys(t, {"s_horizontal_m", "point", "t_s", "sigma_s"}, where);
    ObservedArrival a;
    a.at = r.position(t, where);
    a.t_s = r.number(t, "t_s", where, Range::kNonNegative, true).value_or(0.0);
    a.sigma_s = r.number(t, "sigma_s", where, Range::kPositive, true).value_or(0.0);
    o.arrivals.push_back(a);
}

void read_speed(R& r, const toml::table& t, const std::string& where, Observations& o) {
    r.only_keys(t, {"s_horizontal_m", "point", "speed_m_s", "sigma_m_s"}, where);
    ObservedSpeed s;
    s.at = r.position(t, where);
    s.speed_m_s = r.number(t, "speed_m_s", where, Range::kNonNegative, true).value_or(0.0);
    s.sigma_m_s = r.number(t, "sigma_m_s", where, Range::kPositive, true).value_or(0.0);
    o.speeds.push_back(s);
}

void read_pressure(R& r, const toml::table& t, const std::string& where, Observations& o) {
    r.only_keys(t,
                {"s_horizontal_m", "point", "p_kPa", "sigma_kPa", "p_min_kPa", "p_max_kPa",
                 "damage", "height_m", "quantity"},
                where);
    ObservedPressure p;
    p.at = r.position(t, where);
    p.quantity = r.quantity(t, where);
    p.height_m = r.number(t, "height_m", where, Range::kNonNegative, false);
    p.damage = r.text(t, "damage", where, false).value_or("");
    const bool value = t.get("p_kPa") || t.get("sigma_kPa");
    const bool range = t.get("p_min_kPa") || t.get("p_max_kPa");
    if (value && range) {
        r.refuse(R::line_of(t), where +
                                    " gives both a pressure (p_kPa, sigma_kPa) and a range "
                                    "(p_min_kPa, p_max_kPa): give one");
    } else if (range) {
        p.min_kpa = r.number(t, "p_min_kPa", where, Range::kNonNegative, true);
        p.max_kpa = r.number(t, "p_max_kPa", where, Range::kPositive, true);
        if (p.min_kpa && p.max_kpa && !(*p.max_kpa > *p.min_kpa))
            r.refuse(R::line_of(*t.get("p_max_kPa")),
                     "`p_max_kPa' in " + where + " must lie above `p_min_kPa'");
    } else {
        p.p_kpa = r.number(t, "p_kPa", where, Range::kNonNegative, true);
        p.sigma_kpa = r.number(t, "sigma_kPa", where, Range::kPositive, true);
    }
    o.pressures.push_back(p);
}

void read_covered(R& r, const toml::table& t, Observations& o) {
    const std::string where = "[covered]";
    r.only_keys(
        t, {"from_s_horizontal_m", "to_s_horizontal_m", "sigma_m", "quantity", "threshold_kPa"},
        where);
    ObservedCover c;
    c.line = R::line_of(t);
    c.from_m = r.number(t, "from_s_horizontal_m", where, Range::kNonNegative, true).value_or(0.0);
    const auto to = r.number(t, "to_s_horizontal_m", where, Range::kNonNegative, true);
    c.to_m = to.value_or(0.0);
    if (to && !(c.to_m > c.from_m))
        r.refuse(
            R::line_of(*t.get("to_s_horizontal_m")),
            "`to_s_horizontal_m' in " + where + " must lie below (beyond) `from_s_horizontal_m'");
    c.sigma_m = r.number(t, "sigma_m", where, Range::kPositive, true).value_or(0.0);
    c.quantity = r.quantity(t, where);
    c.threshold_kpa = r.number(t, "threshold_kPa", where, Range::kPositive, true).value_or(0.0);
    o.covered = c;
}

using EntryReader = void (*)(R&, const toml::table&, const std::string&, Observations&);

// A list of tables ([[arrival]] ...), each entry read by `read`.
void read_list(R& r, const toml::node& n, const std::string& key, EntryReader read,
               Observations& o) {
    const auto* a = n.as_array();
    if (!a || !a->is_array_of_tables()) {
        r.refuse(R::line_of(n), "`" + key + "' is a list of tables: write each as [[" + key + "]]");
        return;
    }
    if (a->size() > kMaxObservationsPerKind) {
        r.refuse(R::line_of(n), "more than " + std::to_string(kMaxObservationsPerKind) + " [[" +
                                    key + "]] entries");
        return;
    }
    for (std::size_t k = 0; k < a->size(); ++k)
        read(r, *a->get(k)->as_table(), "[[" + key + "]] " + std::to_string(k + 1), o);
}

// The single tables [runout] and [covered].
const toml::table* single_table(R& r, const toml::node& n, const std::string& key) {
    if (const auto* t = n.as_table()) return t;
    r.refuse(R::line_of(n), "`" + key + "' is one table: write it as [" + key + "]");
    return nullptr;
}

void read_document(R& r, const toml::table& doc, Observations& o) {
    r.only_keys(
        doc,
        {"name", "source", "date", "comment", "runout", "arrival", "speed", "pressure", "covered"},
        "the file");
    o.name = r.text(doc, "name", "the file", true).value_or("");
    o.source = r.text(doc, "source", "the file", true).value_or("");
    o.date = r.text(doc, "date", "the file", false).value_or("");
    o.comment = r.text(doc, "comment", "the file", false).value_or("");
    if (const toml::node* n = doc.get("runout"))
        if (const toml::table* t = single_table(r, *n, "runout")) read_runout(r, *t, o);
    if (const toml::node* n = doc.get("covered"))
        if (const toml::table* t = single_table(r, *n, "covered")) read_covered(r, *t, o);
    if (const toml::node* n = doc.get("arrival")) read_list(r, *n, "arrival", read_arrival, o);
    if (const toml::node* n = doc.get("speed")) read_list(r, *n, "speed", read_speed, o);
    if (const toml::node* n = doc.get("pressure")) read_list(r, *n, "pressure", read_pressure, o);
    if (r.refusals.empty() && o.count() == 0)
        r.refuse(0,
                 "no observation: give at least one of [runout], [covered], [[arrival]], "
                 "[[speed]], [[pressure]]");
}

}  // namespace

std::size_t Observations::count() const {
    return (runout ? 1 : 0) + (covered ? 1 : 0) + arrivals.size() + speeds.size() +
           pressures.size();
}

std::vector<std::string> parse_observations(const std::string& text, const std::string& path,
                                            Observations& out) {
    out = Observations{};
    out.path = path;
    ObservationReader r(path);
    check_lines(r, text);
    if (!r.refusals.empty()) return r.refusals;
    toml::table doc;
    try {
        doc = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        r.refuse(static_cast<int>(e.source().begin.line),
                 "not TOML: " + plain_text(std::string(e.description())));
        return r.refusals;
    }
    read_document(r, doc, out);
    return r.refusals;
}

std::vector<std::string> read_observations(const std::string& path, Observations& out) {
    const std::string name = plain_text(path);
    // Looked at before it is opened: opening a FIFO would wait for a writer.
    std::string text;
    const support::ReadOutcome read =
        support::read_whole_file(path, kMaxObservationFileBytes, text);
    using support::ReadFault;
    switch (read.fault) {
    case ReadFault::kNone:
        break;
    case ReadFault::kIsLink:
    case ReadFault::kNotRegular:
    case ReadFault::kChanged:
        return {name + ":0: not a regular file"};
    case ReadFault::kTooLarge:
        return {name + ":0: larger than " + std::to_string(kMaxObservationFileBytes) +
                " bytes, too large for an observation file"};
    case ReadFault::kCannotRead:
        return {name + ":0: cannot read: " + std::strerror(read.error)};
    case ReadFault::kCannotStat:
    case ReadFault::kCannotOpen:
        return {name + ":0: cannot open: " + std::strerror(read.error)};
    }
    return parse_observations(text, path, out);
}

}  // namespace torla::inspect
