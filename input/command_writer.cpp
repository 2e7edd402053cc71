// The command-file writer: lines kept or made, edited, and written back.
#include "input/command_writer.h"

#include <cstdlib>
#include <sstream>

namespace torla {

CommandDocument::CommandDocument(const CommandFile& read) : lines_(read.lines) {
    for (const CommandLine& l : lines_)
        if (l.end == "\r\n") {
            line_end_ = "\r\n";
            break;
        }
    powder_end_ = read.powder_end_line > 0 ? static_cast<std::size_t>(read.powder_end_line - 1)
                                           : lines_.size();
}

void CommandDocument::add(LineKind kind, const std::string& text, const std::string& key) {
    lines_.push_back({text, line_end_, kind, key});
}

void CommandDocument::set_parameter(const std::string& key, const std::string& value) {
    const auto at =
        lines_.begin() + static_cast<std::ptrdiff_t>(std::min(powder_end_, lines_.size()));
    lines_.insert(at, {key + " " + value, line_end_, LineKind::kParameter, key});
    ++powder_end_;
}

void CommandDocument::scale_local_column(int column, double factor, std::string (*format)(double)) {
    for (CommandLine& l : lines_) {
        if (l.kind != LineKind::kLocalRow) continue;
        std::string t = l.text;
        for (char& c : t)
            if (c == '"') c = ' ';
        std::istringstream in(t);
        std::vector<std::string> words;
        for (std::string w; in >> w;) words.push_back(w);
        // Word 0 is the row's index.
        const std::size_t k = static_cast<std::size_t>(column) + 1;
        if (column >= 0 && k < words.size())
            words[k] = format(std::strtod(words[k].c_str(), nullptr) * factor);
        std::string row;
        for (std::size_t i = 0; i < words.size(); ++i) row.append(i ? " " : "").append(words[i]);
        l.text = row;
        l.end = line_end_;
    }
}

std::string CommandDocument::text() const {
    std::string out;
    for (const CommandLine& l : lines_) out.append(l.text).append(l.end);
    return out;
}

}  // namespace torla
