// The one writer of command files: a document of lines, either a file the
// reader read (every line kept as written) or one made line by line, with
// the edits the tools make, written back as text.
#pragma once

#include <string>
#include <vector>

#include "input/command_file.h"

namespace torla {

class CommandDocument {
public:
    CommandDocument() = default;
    // The lines of a file the reader accepted. Lines added later end as its
    // lines do: "\r\n" when any of them does, else "\n".
    explicit CommandDocument(const CommandFile& read);

    // Appends a line (without its line end).
    void add(LineKind kind, const std::string& text, const std::string& key = "");
    // Appends "KEY VALUE" as a line of a global section.
    void parameter(const std::string& key, const std::string& value) {
        add(LineKind::kParameter, key + " " + value, key);
    }

    // Puts "KEY VALUE" at the end of the powder-snow global section, after
    // the lines set there before, so that it wins over any earlier line of
    // the key.
    void set_parameter(const std::string& key, const std::string& value);
    // Multiplies number `column` (0 is the first after the row's index) of
    // every local-parameter row by factor, written with format. The rows
    // are written again as their words, without quotes, one blank apart.
    void scale_local_column(int column, double factor, std::string (*format)(double));

    std::string text() const;

private:
    std::vector<CommandLine> lines_;
    std::string line_end_ = "\n";
    std::size_t powder_end_ = 0;  // index of the line that ends the powder-snow global section
};

}  // namespace torla
