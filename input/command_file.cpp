// The command-file reader: names, global parameters, coordinate table and
// local-parameter table, read from the file's bytes into a CommandFile with
// what torla prints while it reads them.
#include "input/command_file.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "model/bytes.h"
#include "model/sha256.h"

namespace torla {

namespace {

constexpr int kCoordinateNumbers = 4;
constexpr int kLocalNumbers = 12;
constexpr int kSuspensionPlace = 10;  // place of the seventh local number, scaled by Susp_Rate

// Text as printf's %s prints it: up to its first NUL.
std::string as_printed(const std::string& text) { return text.substr(0, text.find('\0')); }

// One line of the command file: its text without the line end, whether a
// line feed ended it (a carriage return before it belongs to the line end),
// and its 1-based number.
struct Line {
    std::string text;
    bool newline = false;
    int number = 0;
    bool crlf = false;
    mutable LineKind kind = LineKind::kOther;
    mutable std::string key;
    std::string as_read() const { return newline ? text + "\n" : text; }
    bool starts_with(const char* prefix) const { return text.rfind(prefix, 0) == 0; }
    bool is_comment() const { return !text.empty() && text[0] == '#'; }
    bool is_section_end() const { return !text.empty() && text[0] == '|'; }
    bool is_header(const char* section) const { return newline && text == section; }
};

// The file's lines in order with a cursor, and the record of the reading:
// what is printed and the refusal.
class Reader {
public:
    explicit Reader(CommandFile& out) : out_(out) {}

    // Splits the bytes into lines; false (refused) on a line too long.
    bool split(const std::vector<unsigned char>& bytes) {
        std::string cur;
        for (unsigned char c : bytes) {
            if (c != '\n') {
                cur.push_back(static_cast<char>(c));
            } else if (!finish(cur, true)) {
                return false;
            } else {
                cur.clear();
            }
        }
        return cur.empty() || finish(cur, false);
    }
    // Next line, or nullptr at the end of the file.
    const Line* next() { return pos_ < lines_.size() ? &lines_[pos_++] : nullptr; }
    // Skips lines up to the one for which pred holds, the current one tested
    // first when given; refuses, naming `what`, when the file ends first.
    template <class Pred>
    const Line* skip_to(const Line* current, Pred pred, const std::string& what) {
        const Line* l = current ? current : next();
        while (l && !pred(*l)) l = next();
        if (!l) refuse_at_end("Command file `" + out_.name + "' ends before " + what + ".");
        return l;
    }
    void print(const std::string& text) { out_.console += text; }
    // A refusal in torla's usual form.
    void refuse(int line, const std::string& message) {
        refuse(line, message,
               "   read_command_file:  FATAL ERROR:  " + as_printed(message) + " STOP!\n");
    }
    // A refusal printed in a form of its own.
    void refuse(int line, const std::string& message, const std::string& printed) {
        print(printed);
        out_.refusal = CommandFileRefusal{line, message, kStatusCommandFile};
    }
    void refuse_at_end(const std::string& message) {
        refuse(static_cast<int>(lines_.size()), message);
    }
    const std::string& name() const { return out_.name; }
    // The lines with what the reader made of them, into the CommandFile.
    void keep_lines() {
        for (const Line& l : lines_)
            out_.lines.push_back({l.text, l.crlf ? "\r\n" : l.newline ? "\n" : "", l.kind, l.key});
    }

private:
    bool finish(std::string& text, bool newline) {
        const bool crlf = newline && !text.empty() && text.back() == '\r';
        if (crlf) text.pop_back();
        const int number = static_cast<int>(lines_.size()) + 1;
        if (text.size() > kMaxLine) {
            refuse(number, "Line " + std::to_string(number) + " of command file `" + out_.name +
                               "' is longer than " + std::to_string(kMaxLine) + " characters.");
            return false;
        }
        lines_.push_back({text, newline, number, crlf, LineKind::kOther, {}});
        Line& l = lines_.back();
        l.kind = l.is_comment()       ? LineKind::kComment
                 : l.is_section_end() ? LineKind::kSection
                                      : LineKind::kOther;
        return true;
    }
    CommandFile& out_;
    std::vector<Line> lines_;
    std::size_t pos_ = 0;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Drops leading blanks and double quotes, and trailing blanks, double quotes
// and line ends, never beyond the start of the line.
std::string trim_row(const std::string& row) {
    std::size_t b = 0, e = row.size();
    while (b < e && (is_blank(row[b]) || row[b] == '"')) ++b;
    while (e > b &&
           (is_blank(row[e - 1]) || row[e - 1] == '"' || row[e - 1] == '\n' || row[e - 1] == '\r'))
        --e;
    return row.substr(b, e - b);
}

// Reads a 16-bit index and up to `count` 32-bit numbers, in the manner of a
// formatted scan: each field may be preceded by white space, the scan stops
// at the first field that cannot be read. Returns the number of fields read
// (the index counts as one); an index outside 16 bits is not readable.
int scan_row(const std::string& row, int16_t& index, float* numbers, int count) {
    const char* p = row.c_str();
    char* end = nullptr;
    errno = 0;
    long idx = std::strtol(p, &end, 10);
    if (end == p || errno == ERANGE || idx < std::numeric_limits<int16_t>::min() ||
        idx > std::numeric_limits<int16_t>::max())
        return 0;
    index = static_cast<int16_t>(idx);
    p = end;
    int got = 1;
    for (int k = 0; k < count; ++k) {
        float v = std::strtof(p, &end);
        if (end == p) break;
        numbers[k] = v;
        p = end;
        ++got;
    }
    return got;
}

// One table of N rows (coordinates or local parameters) read into the
// places [first, first + count) of the point buffer: the rows counted, the
// index of the last one, and the line that ended the table (nullptr at the
// end of the file).
struct TableResult {
    int rows = 0;
    int last_index = -1;
    const Line* terminator = nullptr;
    int last_line = 0;  // number of the last line read
};

struct TableShape {
    int first, count;
    const char* name;
    bool end_of_file_ends_table;
    double susp_rate;
};

// The four numbers of a coordinate row read again as doubles, quotes read
// as blanks (the row has passed the float scan).
std::array<double, 4> row_at_double_precision(const std::string& text) {
    std::string row = text;
    for (char& c : row)
        if (c == '"') c = ' ';
    const char* p = row.c_str();
    char* end = nullptr;
    std::strtol(p, &end, 10);
    std::array<double, 4> v{};
    for (double& x : v) {
        p = end;
        x = std::strtod(p, &end);
    }
    return v;
}

// Checks one row read; false when it refuses.
bool check_row(Reader& src, const TableShape& t, const Line& l, int16_t index, int got,
               int expected, const float* numbers) {
    if (index != expected) {
        const std::string msg = "Line number mismatch: row " + std::to_string(index) + " of the " +
                                t.name + " stands where row " + std::to_string(expected) +
                                " is expected.";
        char printed[160];
        std::snprintf(printed, sizeof printed,
                      "\n>>> read_command_file:  %d  %d  FATAL ERROR -- Line number mismatch in "
                      "grid file. STOP! <<<\n\n",
                      index, expected);
        src.refuse(l.number, msg, printed);
        return false;
    }
    if (got - 1 < t.count) {
        src.refuse(l.number, "Row " + std::to_string(index) + " of the " + t.name + " has " +
                                 std::to_string(got - 1) + " of " + std::to_string(t.count) +
                                 " numbers.");
        return false;
    }
    for (int k = 0; k < t.count; ++k)
        if (!std::isfinite(numbers[k])) {
            src.refuse(l.number, "Number " + std::to_string(k + 1) + " of row " +
                                     std::to_string(index) + " of the " + t.name +
                                     " is not a finite number.");
            return false;
        }
    return true;
}

// Reads the table's rows; false when it refuses.
bool read_table(Reader& src, FloatRows& points, const TableShape& t, TableResult& res,
                std::vector<std::array<double, 4>>* coordinates = nullptr) {
    const int n = points.rows;
    for (;;) {
        const Line* l = src.next();
        if (!l) {
            if (t.end_of_file_ends_table) return true;
            src.refuse(res.last_line,
                       "Command file `" + src.name() + "' ends inside the " + t.name + ".");
            return false;
        }
        res.last_line = l->number;
        if (l->is_section_end()) {
            res.terminator = l;
            return true;
        }
        if (l->is_comment()) continue;

        int16_t index = -1;
        float numbers[kLocalNumbers] = {};
        const int got = scan_row(trim_row(l->text), index, numbers, t.count);
        if (got == 0) index = -1;
        if (got > 0 && res.rows < n) {
            float* dst = points[res.rows] + t.first;
            for (int k = 0; k < got - 1; ++k) dst[k] = numbers[k];
            if (t.count == kLocalNumbers)
                dst[kSuspensionPlace - t.first] = static_cast<float>(
                    static_cast<double>(dst[kSuspensionPlace - t.first]) * t.susp_rate);
        }
        if (!check_row(src, t, *l, index, got, res.rows, numbers)) return false;
        l->kind = t.count == kLocalNumbers ? LineKind::kLocalRow : LineKind::kCoordinateRow;
        if (coordinates) coordinates->push_back(row_at_double_precision(l->text));
        res.last_index = index;
        ++res.rows;
    }
}

// The value after a name key (Track_Name, Run_Name): the text after the
// key and the white space that follows it.
std::string name_value(const Line& l, const char* key) {
    std::size_t b = std::strlen(key);
    while (b < l.text.size() && std::isspace(static_cast<unsigned char>(l.text[b]))) ++b;
    return b < l.text.size() ? l.text.substr(b) : std::string();
}

// The line number and key of every parameter line read.
struct KeyLine {
    std::string key;
    int line;
};

const ParameterEntry* entry_of(const std::string& key) {
    for (const ParameterEntry& e : parameter_table())
        if (key == e.key) return &e;
    return nullptr;
}

// The last line that set the field of one of `keys` (0 when none did).
int line_of(const std::vector<KeyLine>& seen, const std::vector<std::string>& keys) {
    for (auto it = seen.rbegin(); it != seen.rend(); ++it) {
        const ParameterEntry* a = entry_of(it->key);
        for (const std::string& k : keys) {
            const ParameterEntry* b = entry_of(k);
            if (a && b && a->number == b->number && a->coefficient == b->coefficient &&
                a->text == b->text)
                return it->line;
        }
    }
    return 0;
}

// Track_Name, then the line after it, printed as read; Run_Name when it is there.
bool read_names(Reader& src, CommandFile& f) {
    const Line* l = src.skip_to(
        nullptr, [](const Line& x) { return x.starts_with("Track_Name"); }, "its Track_Name line");
    if (!l) return false;
    src.print("   " + as_printed(l->as_read()));
    l->kind = LineKind::kName;
    f.problem = name_value(*l, "Track_Name");
    if (const Line* run = src.next()) {
        src.print("   " + as_printed(run->as_read()));
        run->kind = LineKind::kName;
        if (run->starts_with("Run_Name")) f.run = name_value(*run, "Run_Name");
    }
    return true;
}

// The lines of one global section up to the line that ends it (returned),
// applied to the parameters; nullptr when the file ends first.
const Line* read_parameters(Reader& src, CommandFile& f, const char* section,
                            std::vector<KeyLine>& seen) {
    for (;;) {
        const Line* p = src.next();
        if (!p) {
            src.refuse_at_end("Command file `" + src.name() + "' ends inside the " + section +
                              " global parameters.");
            return nullptr;
        }
        if (p->is_section_end()) return p;
        if (p->is_comment()) continue;
        const std::string report = apply_parameter(f.par, p->as_read());
        if (!report.empty()) {
            f.parameter_reports.push_back(report);
            src.print(report);
        }
        std::size_t b = 0;
        while (b < p->text.size() && std::isspace(static_cast<unsigned char>(p->text[b]))) ++b;
        std::size_t e = b;
        while (e < p->text.size() && !std::isspace(static_cast<unsigned char>(p->text[e]))) ++e;
        p->kind = LineKind::kParameter;
        p->key = p->text.substr(b, e - b);
        seen.push_back({p->key, p->number});
    }
}

// An optional common section, then the powder-snow one; returns the line
// that ends the latter, nullptr when refused.
const Line* read_globals(Reader& src, CommandFile& f, std::vector<KeyLine>& seen) {
    const std::string powder_line = std::string("the line \"") + kPowderSection + "\"";
    const Line* l = src.skip_to(
        nullptr,
        [](const Line& x) { return x.is_header(kCommonSection) || x.is_header(kPowderSection); },
        powder_line);
    if (l && l->is_header(kCommonSection)) {
        l = read_parameters(src, f, "common", seen);
        if (l)
            l = src.skip_to(
                l, [](const Line& x) { return x.is_header(kPowderSection); }, powder_line);
    }
    if (l) l = read_parameters(src, f, "powder snow", seen);
    if (l) f.powder_end_line = l->number;
    return l;
}

// The Number_of_Points line after "| COORDINATES": the count, or 0 when refused.
int16_t read_count(Reader& src, const Line* after_globals) {
    const Line* l = src.skip_to(
        after_globals, [](const Line& x) { return x.is_header(kCoordinatesSection); },
        std::string("the line \"") + kCoordinatesSection + "\"");
    if (l)
        l = src.skip_to(
            nullptr, [](const Line& x) { return x.starts_with("Number_of_Points"); },
            "its Number_of_Points line");
    if (!l) return 0;
    l->kind = LineKind::kCount;
    std::size_t b = 0;
    while (b < l->text.size() && !std::isspace(static_cast<unsigned char>(l->text[b]))) ++b;
    while (b < l->text.size() && std::isspace(static_cast<unsigned char>(l->text[b]))) ++b;
    const char* p = l->text.c_str() + b;
    char* end = nullptr;
    errno = 0;
    const long announced = std::strtol(p, &end, 10);
    if (end == p) {
        src.refuse(l->number, "No number of points after Number_of_Points.");
    } else if (errno == ERANGE || announced > std::numeric_limits<int16_t>::max()) {
        src.refuse(l->number, "Number_of_Points " + std::string(p, static_cast<const char*>(end)) +
                                  " exceeds 32767.");
    } else if (announced <= 0) {
        src.refuse(l->number, "Number_of_Points is " + std::to_string(announced) +
                                  "; at least one input point is needed.");
    } else {
        src.print("   read_command_file:  " + std::to_string(announced) + " input points.\n");
        return static_cast<int16_t>(announced);
    }
    return 0;
}

// A table with more or fewer rows than the points announced.
bool row_count_right(Reader& src, const TableResult& t, const char* table, int announced) {
    if (t.rows == announced) return true;
    src.refuse(t.last_line,
               std::string("The ") + table + " has " + std::to_string(t.rows) +
                   " rows; Number_of_Points is " + std::to_string(announced) + ".",
               "   read_command_file:  " + std::to_string(t.rows) + " instead of " +
                   std::to_string(announced) + " input points. STOP!\n");
    return false;
}

// The two tables, the coordinates first; false when refused.
bool read_tables(Reader& src, CommandFile& f) {
    FloatRows& points = f.generator.points;
    TableResult coords, locals;
    if (!read_table(src, points, {0, kCoordinateNumbers, "coordinate table", false, 1.0}, coords,
                    &f.coordinates) ||
        !row_count_right(src, coords, "coordinate table", points.rows))
        return false;
    if (!src.skip_to(
            coords.terminator, [](const Line& x) { return x.is_header(kLocalSection); },
            std::string("the line \"") + kLocalSection + "\""))
        return false;
    const TableShape shape{kCoordinateNumbers, kLocalNumbers, "local-parameter table", true,
                           f.par.Susp_Rate};
    if (!read_table(src, points, shape, locals) ||
        !row_count_right(src, locals, "local-parameter table", points.rows))
        return false;
    if (coords.last_index != locals.last_index) {
        src.refuse(locals.last_line,
                   "Mismatch between geometry and initial-value data: the coordinate "
                   "table ends with row " +
                       std::to_string(coords.last_index) + ", the local-parameter table with row " +
                       std::to_string(locals.last_index) + ".",
                   "   read_command_file:  FATAL ERROR:  Mismatch between geometry and "
                   "initial-value data. STOP!\n");
        return false;
    }
    return true;
}

// Every section in turn; stops at the first refusal.
void read_sections(Reader& src, CommandFile& f) {
    std::vector<KeyLine> seen;
    const Line* l = nullptr;
    if (!read_names(src, f) || !(l = read_globals(src, f, seen))) return;
    const int16_t n = read_count(src, l);
    if (n <= 0) return;
    f.generator.points = alloc_float_rows(n, kInputPointFloats);
    if (!read_tables(src, f)) return;
    if (const ParameterProblem problem = parameter_problem(f.par); !problem.message.empty()) {
        src.refuse(line_of(seen, problem.keys), problem.message);
        return;
    }
    f.generator.elem_size = static_cast<float>(f.par.Elem_Size);
    f.generator.max_dev = static_cast<float>(f.par.Max_Dev);
}

}  // namespace

CommandFile parse_command_file(const std::string& name, const std::vector<unsigned char>& bytes) {
    CommandFile f;
    f.name = name;
    f.sha256 = sha256_hex(bytes.data(), bytes.size());
    Reader src(f);
    if (src.split(bytes)) read_sections(src, f);
    src.keep_lines();
    return f;
}

CommandFile load_command_file(const std::string& path) {
    std::vector<unsigned char> bytes;
    std::string message;
    if (const std::string problem = text_input_problem(path); !problem.empty())
        message = "Command file `" + path + "' " + problem + ".";
    else if (!read_file_bytes(path, bytes).empty())
        message = "Could not open command file `" + path + "'.";
    if (message.empty()) return parse_command_file(path, bytes);
    CommandFile f;
    f.name = path;
    f.console = "   read_command_file:  FATAL ERROR:  " + as_printed(message) + " STOP!\n";
    f.refusal = CommandFileRefusal{0, message, kStatusCommandFile};
    return f;
}

std::vector<std::string> comment_block(const CommandFile& f) {
    std::vector<std::string> block;
    for (const CommandLine& l : f.lines) {
        if (l.text.rfind("Track_Name", 0) == 0) break;
        if (l.kind == LineKind::kComment) block.push_back(l.text);
    }
    return block;
}

std::string crs_wkt_of(const CommandFile& f) {
    const std::string key = "# crs_wkt ";
    std::string wkt;
    for (const std::string& line : comment_block(f))
        if (line.rfind(key, 0) == 0) wkt += line.substr(key.size());
    return wkt;
}

std::string refusal_text(const CommandFile& f) {
    if (!f.refusal) return "";
    std::string text = f.name;
    if (f.refusal->line > 0) text.append(":").append(std::to_string(f.refusal->line));
    return text.append(": ").append(f.refusal->message);
}

}  // namespace torla
