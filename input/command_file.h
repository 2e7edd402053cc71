// The command file as data: a reader that takes a file's name and bytes and
// returns what they say (names, parameters, the two point tables, the
// digest) or why they are refused, printing, writing and stopping nothing.
// torla's start-up (read_command_file, input/input.h) prints what the
// reader recorded, writes the generator input and stops; the tools call the
// reader to check or read a command file in their own process.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "input/grid_format.h"
#include "model/model_state.h"
#include "model/parameters.h"

namespace torla {

// The section lines of a command file (a header is read only when a line
// feed ends it).
inline constexpr const char* kCommonSection = "| COMMON GLOBAL PARAMETERS";
inline constexpr const char* kPowderSection = "| POWDER SNOW GLOBAL PARAMETERS";
inline constexpr const char* kCoordinatesSection = "| COORDINATES";
inline constexpr const char* kLocalSection = "| POWDER SNOW LOCAL PARAMETERS";
inline constexpr const char* kEndSection =
    "| END OF FILE";  // written after the local rows; any '|' line ends them

// Why a command file cannot be used.
struct CommandFileRefusal {
    int line = 0;  // 1-based line where it was found; the last line at the end of the file, 0 for
                   // the file as a whole
    std::string message;              // one plain sentence
    int status = kStatusCommandFile;  // torla's exit status for it
};

// What a line of a command file is, as far as the reader got.
enum class LineKind {
    kOther,          // not reached, or a line the reader skips
    kComment,        // starts with '#'
    kSection,        // starts with '|'
    kName,           // Track_Name or the line after it
    kParameter,      // a line of a global section; key holds its first word
    kCount,          // Number_of_Points
    kCoordinateRow,  // a row of the coordinate table
    kLocalRow,       // a row of the local-parameter table
};
struct CommandLine {
    std::string text;  // without its line end
    std::string end;   // "\n", "\r\n" or "" (the last line without one)
    LineKind kind = LineKind::kOther;
    std::string key;  // kParameter: the key as written
};

// A command file read to its end, or as far as its first refusal.
struct CommandFile {
    std::string name;          // the file's name as given
    std::string sha256;        // of its bytes, lower-case hex
    std::string problem, run;  // what follows Track_Name and Run_Name
    RunParameters par;         // the global parameters as read (run constants not yet derived)
    GeneratorInput generator;  // Elem_Size, Max_Dev and the N input points (16 floats each)
    std::vector<std::array<double, 4>> coordinates;  // the coordinate table at double precision (m)
    std::vector<CommandLine> lines;  // every line, classified as far as the reader got
    int powder_end_line =
        0;  // 1-based number of the line that ends the powder-snow global section (0: not reached)
    std::vector<std::string> parameter_reports;  // what the parameter lines reported, in order
    std::string
        console;  // what torla prints while it reads the file, in order, a refusal's text included
    std::optional<CommandFileRefusal> refusal;
    bool ok() const { return !refusal; }
    int points() const { return generator.points.rows; }
};

// Reads a command file from its bytes; `name` is used in messages only.
CommandFile parse_command_file(const std::string& name, const std::vector<unsigned char>& bytes);
// Reads the named file first (a file that is not a regular text file, or
// cannot be read, is refused as torla refuses it).
CommandFile load_command_file(const std::string& path);
// The comment lines before the Track_Name line, as written: the file's
// comment block (torla-profile's notes, the CRS).
std::vector<std::string> comment_block(const CommandFile& f);
// The map's CRS as WKT: the comment block's "# crs_wkt " lines joined
// without separator (torla-profile splits it so), or "" when there is none.
std::string crs_wkt_of(const CommandFile& f);
// "<name>:<line>: <message>" (the line left out when it is 0), or "".
std::string refusal_text(const CommandFile& f);

// One line of a global-parameter section (as read, line end included)
// applied to p; returns match_parameter's report on standard output ("" if
// none).
std::string apply_parameter(RunParameters& p, const std::string& line);

// The first value of a complete record the model cannot use: the message
// and the keys whose lines set it (all three of a sum). Empty message when
// every value is usable.
struct ParameterProblem {
    std::string message;
    std::vector<std::string> keys;
};
ParameterProblem parameter_problem(const RunParameters& p);

}  // namespace torla
