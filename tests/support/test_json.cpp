// JSON text in the tools: text that is not UTF-8.
#include <string>

#include <gtest/gtest.h>

#include "support/json.h"

namespace {

using torla::support::utf8_or_latin1;

// Every byte that is no UTF-8 becomes its Latin-1 character: valid JSON, nothing lost (valid UTF-8,
// stray continuations, lead bytes alone and overlong forms through torla-inspect: InspectNames).
TEST(SupportJson, TextThatIsNotUtf8BecomesLatin1) {
    const std::pair<std::string, std::string> cases[] = {
        {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},              // a surrogate
        {"\xf4\x90\x80\x80", "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80"},  // above U+10FFFF
        {"\xe2\x82", "\xc3\xa2\xc2\x82"},                          // cut short at the end
        {"\xff", "\xc3\xbf"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(utf8_or_latin1(in), out) << in;
}

}  // namespace
