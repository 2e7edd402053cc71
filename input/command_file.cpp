// read_command_file: the command file of a run (names, global parameters,
// coordinate table and local-parameter table) and the generator input file
// written from it.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "input/input.h"
#include "model/bytes.h"
#include "model/sha256.h"

namespace torla {

namespace {

constexpr const char* kCommonHeader = "| COMMON GLOBAL PARAMETERS\n";
constexpr const char* kPowderHeader = "| POWDER SNOW GLOBAL PARAMETERS\n";
constexpr const char* kCoordinatesHeader = "| COORDINATES\n";
constexpr const char* kLocalHeader = "| POWDER SNOW LOCAL PARAMETERS\n";
constexpr int kCoordinateNumbers = 4;
constexpr int kLocalNumbers = 12;
constexpr int kSuspensionPlace = 10;  // place of the seventh local number, scaled by Susp_Rate

// One line of the command file: its text without the line end, and whether
// a line feed ended it (a carriage return before it belongs to the line end).
struct Line {
    std::string text;
    bool newline = false;
    std::string as_read() const { return newline ? text + "\n" : text; }
    bool starts_with(const char* prefix) const { return text.rfind(prefix, 0) == 0; }
    bool is_comment() const { return !text.empty() && text[0] == '#'; }
    bool is_section_end() const { return !text.empty() && text[0] == '|'; }
};

[[noreturn]] void fatal(const std::string& what) {
    std::printf("   read_command_file:  FATAL ERROR:  %s STOP!\n", what.c_str());
    stop_run(kStatusCommandFile);
}

// The file's lines in order, with a cursor.
class LineSource {
public:
    LineSource(const std::string& name, const std::vector<unsigned char>& bytes) : name_(name) {
        std::string cur;
        for (unsigned char c : bytes) {
            if (c == '\n') {
                finish(cur, true);
                cur.clear();
            } else {
                cur.push_back(static_cast<char>(c));
            }
        }
        if (!cur.empty()) finish(cur, false);
    }
    // Next line, or nullptr at the end of the file.
    const Line* next() { return pos_ < lines_.size() ? &lines_[pos_++] : nullptr; }
    // Skips lines up to the one for which pred holds; `what` names it in the
    // message when the file ends first. The current line is tested first
    // when given.
    template <class Pred>
    const Line* skip_to(const Line* current, Pred pred, const std::string& what) {
        const Line* l = current ? current : next();
        while (l && !pred(*l)) l = next();
        if (!l) fatal("Command file `" + name_ + "' ends before " + what + ".");
        return l;
    }
    const std::string& name() const { return name_; }

private:
    void finish(std::string& text, bool newline) {
        if (newline && !text.empty() && text.back() == '\r') text.pop_back();
        if (text.size() > kMaxLine)
            fatal("Line " + std::to_string(lines_.size() + 1) + " of command file `" + name_ +
                  "' is longer than " + std::to_string(kMaxLine) + " characters.");
        lines_.push_back({text, newline});
    }
    std::string name_;
    std::vector<Line> lines_;
    std::size_t pos_ = 0;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Drops leading blanks and double quotes, and trailing blanks, double quotes
// and line ends, never beyond the start of the line.
std::string trim_row(const std::string& row) {
    std::size_t b = 0, e = row.size();
    while (b < e && (is_blank(row[b]) || row[b] == '"')) ++b;
    while (e > b && (is_blank(row[e - 1]) || row[e - 1] == '"' || row[e - 1] == '\n' ||
                     row[e - 1] == '\r'))
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

// Reads one table of N rows (coordinates or local parameters) into the
// places [first, first + count) of the point buffer. Returns the number of
// rows counted and the index of the last one; `terminator` is the line
// that ended the table (nullptr at the end of the file).
struct TableResult {
    int rows = 0;
    int last_index = -1;
    const Line* terminator = nullptr;
};

TableResult read_table(LineSource& src, FloatRows& points, int first, int count,
                       const char* table_name, bool end_of_file_ends_table, double susp_rate) {
    TableResult res;
    const int n = points.rows;
    for (;;) {
        const Line* l = src.next();
        if (!l) {
            if (end_of_file_ends_table) return res;
            fatal("Command file `" + src.name() + "' ends inside the " + table_name + ".");
        }
        if (l->is_section_end()) {
            res.terminator = l;
            return res;
        }
        if (l->is_comment()) continue;

        const std::string row = trim_row(l->text);
        int16_t index = -1;
        float numbers[kLocalNumbers] = {};
        const int got = scan_row(row, index, numbers, count);
        if (got == 0) index = -1;
        if (got > 0 && res.rows < n) {
            float* dst = points[res.rows] + first;
            for (int k = 0; k < got - 1; ++k) dst[k] = numbers[k];
            if (count == kLocalNumbers)
                dst[kSuspensionPlace - first] = static_cast<float>(
                    static_cast<double>(dst[kSuspensionPlace - first]) * susp_rate);
        }
        if (index != res.rows) {
            std::printf("\n>>> read_command_file:  %d  %d  FATAL ERROR -- Line number mismatch in "
                        "grid file. STOP! <<<\n\n",
                        index, res.rows);
            stop_run(kStatusCommandFile);
        }
        if (got - 1 < count)
            fatal("Row " + std::to_string(index) + " of the " + table_name + " has " +
                  std::to_string(got - 1) + " of " + std::to_string(count) + " numbers.");
        for (int k = 0; k < count; ++k)
            if (!std::isfinite(numbers[k]))
                fatal("Number " + std::to_string(k + 1) + " of row " + std::to_string(index) +
                      " of the " + table_name + " is not a finite number.");
        res.last_index = index;
        ++res.rows;
    }
}

// A table with more or fewer rows than the points announced.
[[noreturn]] void wrong_row_count(int rows, int announced) {
    std::printf("   read_command_file:  %d instead of %d input points. STOP!\n", rows, announced);
    stop_run(kStatusCommandFile);
}

}  // namespace

int16_t read_command_file(ModelState& s) {
    if (const std::string problem = text_input_problem(s.names.command_file); !problem.empty())
        fatal("Command file `" + s.names.command_file + "' " + problem + ".");
    std::vector<unsigned char> bytes;
    if (auto err = read_file_bytes(s.names.command_file, bytes); !err.empty())
        fatal("Could not open command file `" + s.names.command_file + "'.");
    s.history.command_sha256 = sha256_hex(bytes.data(), bytes.size());
    LineSource src(s.names.command_file, bytes);
    RunParameters& par = s.par;

    // Problem name and run name.
    const Line* l = src.skip_to(
        nullptr, [](const Line& x) { return x.starts_with("Track_Name"); }, "its Track_Name line");
    std::printf("   %s", l->as_read().c_str());
    {
        std::size_t b = std::strlen("Track_Name");
        while (b < l->text.size() && std::isspace(static_cast<unsigned char>(l->text[b]))) ++b;
        if (b < l->text.size()) s.names.problem = l->text.substr(b);
    }
    if (const Line* run = src.next()) {
        std::printf("   %s", run->as_read().c_str());
        if (run->starts_with("Run_Name")) {
            std::size_t b = std::strlen("Run_Name");
            while (b < run->text.size() && std::isspace(static_cast<unsigned char>(run->text[b])))
                ++b;
            if (b < run->text.size()) s.names.run = run->text.substr(b);
        }
    }

    // Global sections: an optional common section, then the powder-snow one.
    l = src.skip_to(
        nullptr,
        [](const Line& x) { return x.as_read() == kCommonHeader || x.as_read() == kPowderHeader; },
        "the line \"| POWDER SNOW GLOBAL PARAMETERS\"");
    auto read_parameters = [&](const char* section) {
        for (;;) {
            const Line* p = src.next();
            if (!p)
                fatal("Command file `" + src.name() + "' ends inside the " + section +
                      " global parameters.");
            if (p->is_section_end()) return p;
            if (p->is_comment()) continue;
            match_parameter(par, p->as_read());
        }
    };
    if (l->as_read() == kCommonHeader) {
        l = read_parameters("common");
        l = src.skip_to(
            l, [](const Line& x) { return x.as_read() == kPowderHeader; },
            "the line \"| POWDER SNOW GLOBAL PARAMETERS\"");
    }
    l = read_parameters("powder snow");

    // Number of input points.
    l = src.skip_to(
        l, [](const Line& x) { return x.as_read() == kCoordinatesHeader; },
        "the line \"| COORDINATES\"");
    l = src.skip_to(
        nullptr, [](const Line& x) { return x.starts_with("Number_of_Points"); },
        "its Number_of_Points line");
    long announced = 0;
    {
        std::size_t b = 0;
        while (b < l->text.size() && !std::isspace(static_cast<unsigned char>(l->text[b]))) ++b;
        while (b < l->text.size() && std::isspace(static_cast<unsigned char>(l->text[b]))) ++b;
        const char* p = l->text.c_str() + b;
        char* end = nullptr;
        errno = 0;
        announced = std::strtol(p, &end, 10);
        if (end == p) fatal("No number of points after Number_of_Points.");
        if (errno == ERANGE || announced > std::numeric_limits<int16_t>::max())
            fatal("Number_of_Points " + std::string(p, static_cast<const char*>(end)) + " exceeds 32767.");
        if (announced <= 0)
            fatal("Number_of_Points is " + std::to_string(announced) +
                  "; at least one input point is needed.");
    }
    const int16_t n = static_cast<int16_t>(announced);
    std::printf("   read_command_file:  %hd input points.\n", n);

    GeneratorInput gen;
    gen.points = alloc_float_rows(n, kInputPointFloats);

    // Coordinate table, then the local-parameter table.
    TableResult coords =
        read_table(src, gen.points, 0, kCoordinateNumbers, "coordinate table", false, 1.0);
    if (coords.rows != n) wrong_row_count(coords.rows, n);
    l = src.skip_to(
        coords.terminator, [](const Line& x) { return x.as_read() == kLocalHeader; },
        "the line \"| POWDER SNOW LOCAL PARAMETERS\"");
    TableResult locals = read_table(src, gen.points, kCoordinateNumbers, kLocalNumbers,
                                    "local-parameter table", true, par.Susp_Rate);
    if (locals.rows != n) wrong_row_count(locals.rows, n);
    if (coords.last_index != locals.last_index) {
        std::printf("   read_command_file:  FATAL ERROR:  Mismatch between geometry and "
                    "initial-value data. STOP!\n");
        stop_run(kStatusCommandFile);
    }

    check_parameters(par);

    derive_run_constants(s);

    gen.elem_size = static_cast<float>(par.Elem_Size);
    gen.max_dev = static_cast<float>(par.Max_Dev);
    if (auto err = write_generator_input(kGridFile, gen); !err.empty()) {
        std::printf("   read_command_file:  FATAL ERROR:  Could not write the generator input "
                    "file: %s. STOP!\n",
                    err.c_str());
        stop_run(kStatusFailure);
    }
    return n;
}

}  // namespace torla
