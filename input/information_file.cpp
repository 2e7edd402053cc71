// The information file: the three lines that name the command file, the
// result file and the generator prefix of a run.
#include <cstdio>
#include <vector>

#include "input/input.h"
#include "model/bytes.h"

namespace torla {

namespace {

constexpr std::size_t kInfoLines = 3;
constexpr const char* kLogSuffix = "plg";

[[noreturn]] void refuse(const std::string& what) {
    std::printf("   main:  FATAL ERROR:  %s STOP!\n\n", what.c_str());
    stop_run(kStatusFailure);
}

}  // namespace

void read_information_file(ModelState& s, const std::string& path) {
    if (const std::string problem = text_input_problem(path); !problem.empty())
        refuse("Information file `" + path + "' " + problem + ".");
    std::vector<unsigned char> bytes;
    if (!read_file_bytes(path, bytes).empty()) {
        std::printf("   main:  FATAL ERROR:  Could not open information file. STOP!\n\n");
        stop_run(kStatusFailure);
    }
    // Lines end at a line feed; a carriage return before it belongs to the
    // line end; a last line without its line feed counts.
    std::vector<std::string> lines;
    std::string cur;
    bool open_line = false;
    for (unsigned char c : bytes) {
        if (c == '\n') {
            if (!cur.empty() && cur.back() == '\r') cur.pop_back();
            lines.push_back(cur);
            cur.clear();
            open_line = false;
            if (lines.size() == kInfoLines) break;
        } else {
            cur.push_back(static_cast<char>(c));
            open_line = true;
        }
    }
    if (open_line && lines.size() < kInfoLines) lines.push_back(cur);
    for (std::size_t k = 0; k < lines.size(); ++k)
        if (lines[k].size() > kMaxLine)
            refuse("Line " + std::to_string(k + 1) + " of information file `" + path +
                   "' is longer than " + std::to_string(kMaxLine) + " characters.");
    if (lines.size() < kInfoLines)
        refuse("Information file `" + path + "' has " + std::to_string(lines.size()) +
               " of its 3 lines (command file, result file, generator prefix).");
    Names& names = s.names;
    names.command_file = lines[0];
    names.result_file = lines[1];
    names.generator_prefix = lines[2];

    // The log takes the result file's name with "plg" for its last three
    // characters; it must be a file of its own.
    if (names.result_file.size() < 3)
        refuse("Result file name `" + names.result_file +
               "' is shorter than 3 characters; the log file cannot be named after it.");
    names.log_file = names.result_file.substr(0, names.result_file.size() - 3) + kLogSuffix;
    if (names.log_file == names.result_file)
        refuse("Result file name `" + names.result_file +
               "' ends in \"plg\"; the log file would overwrite it.");
}

}  // namespace torla
