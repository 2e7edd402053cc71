// Text that comes from a file or the command line, made safe to put into
// one comment line of the command file or one line of a message.
#pragma once

#include <string>

#include "support/numbers.h"

namespace torla::profile {

// UTF-8 as it stands, but control characters (ESC among them), the C1
// controls with the line separators U+0085, U+2028 and U+2029, and bytes
// that are not UTF-8 written as escapes (\n, \r, \t, \u001b, \u0085,
// \u2028, \xfc): the text keeps to its line. As torla-inspect writes names.
std::string escaped(const std::string& text);

// The longest prefix of at most `bytes` bytes of text that does not end
// inside a UTF-8 sequence.
std::size_t utf8_prefix(const std::string& text, std::size_t from, std::size_t bytes);

// A number as text in a printf format ("%g", "%.1f").
using support::fmt;

}  // namespace torla::profile
