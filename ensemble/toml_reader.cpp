// The ensemble file's TOML, read by toml++ and turned into the entries the
// ensemble checks walk: [section], key, value, with the line and column of
// each. The text is bounded before toml++ sees it (size, nesting of arrays
// and inline tables, parts of a dotted key), since its parser and the tree
// it builds recurse once per level.
#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <sstream>

#include "ensemble/ensemble.h"

namespace torla::ensemble {

namespace {

std::string at(int line, int column, const std::string& what) {
    return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + what;
}

// Where the scan of the text stands: the line and the index its first
// character has, for the column of a message.
struct Place {
    int line = 1;
    std::size_t line_begin = 0;
    std::string at(std::size_t i, const std::string& what) const {
        return ensemble::at(line, static_cast<int>(i - line_begin) + 1, what);
    }
};

// Skips the string that opens at t[i] (TOML's four kinds); i ends on its
// last character. "" or why it is refused before toml++ reads it.
std::string skip_string(const std::string& t, std::size_t& i, Place& p) {
    const char q = t[i];
    const bool triple = t.compare(i, 3, std::string(3, q)) == 0;
    const std::string end = triple ? std::string(3, q) : std::string(1, q);
    std::size_t j = i + end.size();
    while (j < t.size() && t.compare(j, end.size(), end) != 0) {
        // After a line-ending backslash toml++ looks characters up in its
        // table of blanks too (see nesting_problem).
        if (triple && q == '"' && static_cast<unsigned char>(t[j]) >= 0x80)
            return p.at(j, "a character other than ASCII in a multi-line string");
        const auto b = static_cast<unsigned char>(t[j]);
        if ((b < 0x20 && b != '\t' && b != '\n' && b != '\r') || b == 0x7F)
            return p.at(j, "a control character");
        if (q == '"' && t[j] == '\\') ++j;
        if (j < t.size() && t[j] == '\n') {
            if (!triple) break;  // toml++ refuses it there
            ++p.line;
            p.line_begin = j + 1;
        }
        ++j;
    }
    i = std::min(t.size(), j + end.size()) - 1;
    return "";
}

// toml++ takes what follows "[" or "[[" and blanks of a section header for
// the start of a key unchecked (an assertion, an assumption where they are
// compiled out): checked here.
bool section_name_follows(const std::string& t, std::size_t i) {
    std::size_t j = i + 1;
    if (j < t.size() && t[j] == '[') ++j;
    while (j < t.size() && (t[j] == ' ' || t[j] == '\t')) ++j;
    const char k = j < t.size() ? t[j] : '\n';
    return k != 0 && (std::isalnum(static_cast<unsigned char>(k)) || std::strchr("_-\"']", k));
}

// The first place where the text nests arrays or inline tables, or the
// parts of one key, more than kMaxTomlDepth deep, or has what toml++ 3.3
// does not check before it relies on it; "" where it has not. Strings and
// comments are skipped as TOML reads them.
std::string nesting_problem(const std::string& t) {
    std::vector<char> open;  // '[' or '{' of the enclosing values
    bool in_key = true;      // before the '=' of a key (or in a [header])
    int dots = 0;
    char prev = '\n';   // the last character on the line but blanks
    bool bare = false;  // in a value that is not a string, array or table (a number, a word)
    Place p;
    // A byte-order mark may open the file.
    for (std::size_t i = t.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0; i < t.size(); ++i) {
        const char c = t[i];
        // TOML has other characters than ASCII only in strings and comments;
        // elsewhere toml++ 3.3 looks them up in a table of blanks that
        // reaches an unreachable point for most (U+00A1 to U+0499, U+FEBF).
        if (static_cast<unsigned char>(c) >= 0x80)
            return p.at(i, "a character other than ASCII outside a string or a comment");
        // TOML has no control character but tab and the line ends anywhere,
        // not even in a comment; a NUL would also end this scan's lookups.
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') ||
            c == 0x7F)
            return p.at(i, "a control character");
        const char before = prev;
        if (c != ' ' && c != '\t') prev = c;
        // toml++ reads such a value up to a blank, ], }, , or #, whatever
        // else it holds ([, quotes): so does this scan.
        if (bare && !std::strchr(" \t\r\n]},#", c)) continue;
        bare = !in_key && !std::strchr(" \t\r\n]},#=[{\"'", c);
        if (bare) continue;
        if (c == '\n') {
            ++p.line;
            p.line_begin = i + 1;
            if (open.empty()) in_key = true, dots = 0;
        } else if (c == '#') {
            while (i + 1 < t.size() && t[i + 1] != '\n') ++i;
        } else if (c == '"' || c == '\'') {
            // A quote within a value (0'x') opens no string for toml++, which
            // then reads on through what this scan took for one.
            if (!std::strchr("=[{,.\n", before))
                return p.at(i, "a quote that does not start a string");
            if (auto err = skip_string(t, i, p); !err.empty()) return err;
        } else if (c == '[' && in_key && open.empty()) {  // a [section] header: its name is a key
            if (!section_name_follows(t, i)) return p.at(i, "a section name is expected after [");
        } else if (c == '[' || c == '{') {
            open.push_back(c);
            if (static_cast<int>(open.size()) > kMaxTomlDepth)
                return p.at(i, "arrays and inline tables nested more than " +
                                   std::to_string(kMaxTomlDepth) + " deep");
            in_key = c == '{';
            dots = 0;
        } else if (c == ']' || c == '}') {
            // A closing bracket of the other kind: toml++ 3.3 asserts (or
            // assumes) that a value inside an array does not start with }.
            if (!open.empty() && (c == ']') != (open.back() == '['))
                return p.at(i, std::string("`") + c + "' where `" +
                                   (open.back() == '[' ? "]" : "}") + "' or a value is expected");
            if (!open.empty()) open.pop_back();
            in_key = false;
        } else if (c == ',' && !open.empty() && open.back() == '{') {
            in_key = true;
            dots = 0;
        } else if (c == '=') {
            in_key = false;
        } else if (c == '.' && in_key && ++dots >= kMaxTomlDepth) {
            return p.at(i, "a key of more than " + std::to_string(kMaxTomlDepth) + " dotted parts");
        }
    }
    return "";
}

int line_of(const toml::node& n) { return static_cast<int>(n.source().begin.line); }
int column_of(const toml::node& n) { return static_cast<int>(n.source().begin.column); }

std::string convert(const toml::node& n, TomlValue& v);

std::string convert_table(const toml::table& t, TomlValue& v) {
    v.kind = TomlValue::kTable;
    std::vector<std::pair<std::string, const toml::node*>> fields;
    for (const auto& [k, node] : t) fields.emplace_back(std::string(k.str()), &node);
    std::sort(fields.begin(), fields.end(), [](const auto& a, const auto& b) {
        return std::pair(line_of(*a.second), column_of(*a.second)) <
               std::pair(line_of(*b.second), column_of(*b.second));
    });
    for (const auto& [k, node] : fields) {
        TomlValue item;
        if (auto err = convert(*node, item); !err.empty()) return err;
        v.fields.push_back({k, std::move(item)});
    }
    return "";
}

std::string convert(const toml::node& n, TomlValue& v) {
    v.line = line_of(n);
    v.column = column_of(n);
    if (const auto* s = n.as_string()) {
        v.kind = TomlValue::kString;
        v.text = s->get();
    } else if (const auto* i = n.as_integer()) {
        v.kind = TomlValue::kNumber;
        v.number = static_cast<double>(i->get());
        v.integer = true;
        v.whole = i->get();
    } else if (const auto* d = n.as_floating_point()) {
        v.kind = TomlValue::kNumber;
        v.number = d->get();
        if (!std::isfinite(v.number))
            return at(v.line, v.column, "the value is not a finite number");
    } else if (const auto* a = n.as_array()) {
        v.kind = TomlValue::kArray;
        for (const auto& item : *a) {
            v.items.emplace_back();
            if (auto err = convert(item, v.items.back()); !err.empty()) return err;
        }
    } else if (const auto* t = n.as_table()) {
        return convert_table(*t, v);
    } else {
        return at(v.line, v.column,
                  "a value an ensemble file does not take (true, false, a date or a time)");
    }
    return "";
}

}  // namespace

std::string parse_toml(const std::string& text, std::vector<TomlEntry>& out) {
    out.clear();
    if (text.size() > kMaxEnsembleFile)
        return "larger than " + std::to_string(kMaxEnsembleFile / 1024) + " KB";
    if (auto err = nesting_problem(text); !err.empty()) return err;
    toml::table doc;
    try {
        doc = toml::parse(text);
    } catch (const toml::parse_error& e) {
        return at(static_cast<int>(e.source().begin.line),
                  static_cast<int>(e.source().begin.column), std::string(e.description()));
    }
    // Sections are the top level's tables written as [name] (or dotted
    // keys); nothing nests below them.
    for (const auto& [k, node] : doc) {
        const auto* table = node.as_table();
        std::vector<std::pair<std::string, const toml::node*>> items;
        std::string section;
        if (table && !table->is_inline()) {
            section = std::string(k.str());
            for (const auto& [kk, nn] : *table) {
                if (const auto* inner = nn.as_table(); inner && !inner->is_inline())
                    return at(line_of(nn), column_of(nn),
                              "[" + section + "." + std::string(kk.str()) +
                                  "]: sections do not nest in an ensemble file");
                items.emplace_back(std::string(kk.str()), &nn);
            }
        } else {
            items.emplace_back(std::string(k.str()), &node);
        }
        for (const auto& [key, nn] : items) {
            TomlEntry e;
            e.section = section;
            e.key = key;
            if (auto err = convert(*nn, e.value); !err.empty()) return err;
            e.line = e.value.line;
            e.column = e.value.column;
            out.push_back(std::move(e));
        }
    }
    // In the order of the file: the varied keys' order is the members'.
    std::stable_sort(out.begin(), out.end(), [](const TomlEntry& a, const TomlEntry& b) {
        return std::pair(a.line, a.column) < std::pair(b.line, b.column);
    });
    return "";
}

}  // namespace torla::ensemble
