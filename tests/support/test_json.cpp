// JSON text in the tools: text that is not UTF-8.
#include <string>

#include <gtest/gtest.h>

#include "support/json.h"

namespace {

using torla::support::utf8_or_latin1;

// Valid UTF-8 stays; every other byte becomes its Latin-1 character: valid JSON, nothing lost.
TEST(SupportJson, TextThatIsNotUtf8BecomesLatin1) {
    const std::pair<std::string, std::string> cases[] = {
        {"Gr\xc3\xbcnalp \xf0\x9f\x98\x80", "Gr\xc3\xbcnalp \xf0\x9f\x98\x80"},  // two, four bytes
        {"A\x85Z", "A\xc2\x85Z"},                                  // a stray continuation
        {"A\xc3Z", "A\xc3\x83Z"},                                  // a lead byte alone
        {"\xc0\x80", "\xc3\x80\xc2\x80"},                          // overlong NUL
        {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},              // a surrogate
        {"\xf4\x90\x80\x80", "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80"},  // above U+10FFFF
        {"\xe2\x82", "\xc3\xa2\xc2\x82"},                          // cut short at the end
        {"\xff", "\xc3\xbf"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(utf8_or_latin1(in), out) << in;
}

}  // namespace
