// JSON text in the tools: floats that read back, text that is not UTF-8.
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "support/json.h"

namespace {

using torla::support::float_value;
using torla::support::json_text;
using torla::support::utf8_or_latin1;
using Json = nlohmann::ordered_json;

// A float goes out as its shortest text and reads back as the same float.
TEST(SupportJson, FloatsAsTheirShortestText) {
    const float inf = std::numeric_limits<float>::infinity();
    // 1e-45 is the smallest denormal.
    const std::pair<float, std::string> cases[] = {
        {0.1f, "0.1"},    {2.0f, "2.0"},     {-7.25f, "-7.25"},           {1234.5677f, "1234.5677"},
        {3e38f, "3e+38"}, {1e-45f, "1e-45"}, {16777216.0f, "16777216.0"}, {std::nanf(""), "null"},
        {inf, "null"},    {-inf, "null"}};
    for (const auto& [v, expected] : cases) {
        const std::string text = json_text(float_value(v));
        EXPECT_EQ(text, expected) << v;
        EXPECT_TRUE(!std::isfinite(v) ||
                    static_cast<float>(std::strtod(text.c_str(), nullptr)) == v)
            << text;
    }
}

// Valid UTF-8 stays; every other byte becomes the Latin-1 character of its
// number, so the text is always valid JSON and nothing is lost.
TEST(SupportJson, TextThatIsNotUtf8BecomesLatin1) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"Gr\xc3\xbcnalp \xf0\x9f\x98\x80", "Gr\xc3\xbcnalp \xf0\x9f\x98\x80"},  // two, four bytes
        {"A\x85Z", "A\xc2\x85Z"},                                  // a stray continuation
        {"A\xc3Z", "A\xc3\x83Z"},                                  // a lead byte alone
        {"\xc0\x80", "\xc3\x80\xc2\x80"},                          // overlong NUL
        {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},              // a surrogate
        {"\xf4\x90\x80\x80", "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80"},  // above U+10FFFF
        {"\xe2\x82", "\xc3\xa2\xc2\x82"},                          // cut short at the end
        {"\xff", "\xc3\xbf"},
    };
    for (const Case& c : cases) EXPECT_EQ(utf8_or_latin1(c.in), c.out) << c.in;
}

// The document: strings and keys repaired at any depth, quotes and control
// characters escaped, order kept, and it parses back to what went in.
TEST(SupportJson, DocumentsReadBackAsBuilt) {
    Json j;
    j["z"] = "q\"b\\s\n\x1b";
    j["a"] = {{"name", "bad \xfc"}, {"list", {1, "x\xe9"}}};
    j["k\xfc"] = nullptr;
    EXPECT_EQ(json_text(j),
              "{\"z\":\"q\\\"b\\\\s\\n\\u001b\",\"a\":{\"name\":\"bad "
              "\xc3\xbc\",\"list\":[1,\"x\xc3\xa9\"]},"
              "\"k\xc3\xbc\":null}");
    EXPECT_EQ(json_text(j, 2).substr(0, 12), "{\n  \"z\": \"q\\");
    const Json back = Json::parse(json_text(j, 2));
    EXPECT_EQ(back["z"], "q\"b\\s\n\x1b");
    EXPECT_EQ(back["a"]["list"][1], "x\xc3\xa9");
    // The unordered kind too: keys sorted, text repaired.
    EXPECT_EQ(json_text(nlohmann::json{{"b", "\xfc"}, {"a", 1}}), "{\"a\":1,\"b\":\"\xc3\xbc\"}");
}

}  // namespace
