// Numbers as text in the tools: what reads back, what is not finite.
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "support/numbers.h"

namespace {

using torla::support::exact_number_text;
using torla::support::fixed_text;
using torla::support::number_text;

TEST(SupportNumbers, TextOfEveryKind) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // A float's nine digits; nan without a sign, where printf would write -nan.
    const std::pair<std::string, std::string> cases[] = {
        {number_text(0.1), "0.1"},
        {number_text(1.0 / 3.0), "0.333333333"},
        {number_text(1.0 / 3.0, 4), "0.3333"},
        {number_text(123456789012.0), "1.23456789e+11"},
        {number_text(-0.0), "-0"},
        {number_text(static_cast<float>(0.1)), "0.100000001"},
        {number_text(nan), "nan"},
        {number_text(-nan), "nan"},
        {number_text(inf), "inf"},
        {number_text(-inf), "-inf"},
        {exact_number_text(0.1), "0.1"},
        {exact_number_text(1.0 / 3.0), "0.3333333333333333"},
        {exact_number_text(0.1 + 0.2), "0.30000000000000004"},
        {exact_number_text(-inf), "-inf"},
        {fixed_text(2.25, 1), "2.2"},
        {fixed_text(1234.5678, 3), "1234.568"},
        {fixed_text(nan, 2), "nan"},
        {fixed_text(inf, 2), "inf"},
        {torla::support::fmt("%d cells, %s", 12, "ok"), "12 cells, ok"}};
    for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
    // The exact text reads back as the same double.
    for (double v : {0.1, 1.0 / 3.0, 0.1 + 0.2, 1e-300, 6.02214076e23, 2.0 / 3.0})
        EXPECT_EQ(std::strtod(exact_number_text(v).c_str(), nullptr), v) << v;
}

}  // namespace
