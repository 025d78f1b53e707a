// SPDX-License-Identifier: Apache-2.0
#include "record/codec.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>

namespace kestravo {
namespace {

struct Case {
    std::string text;
    std::optional<std::int32_t> value; // nullopt: the text is refused
};

std::ostream& operator<<(std::ostream& out, const Case& c) {
    return out << testing::PrintToString(c.text);
}

class TextToIntCases : public testing::TestWithParam<Case> {};

TEST_P(TextToIntCases, ReadsOrRefusesWithTheWholeText) {
    const Case& c = GetParam();
    SCOPED_TRACE(testing::PrintToString(c));
    if (c.value) {
        EXPECT_EQ(TextToInt(c.text), *c.value);
        return;
    }
    try {
        TextToInt(c.text);
        ADD_FAILURE() << "accepted";
    } catch (const EConvertError& error) {
        EXPECT_EQ(std::string(error.what()), "''" + c.text + "'' is not a valid integer value");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TextToIntCases,
    testing::Values(
        // decimal, signs, leading blanks and zeros
        Case{"0", 0}, Case{"42", 42}, Case{"+5", 5}, Case{"-7", -7}, Case{"007", 7},
        Case{" 12", 12}, Case{"   -3", -3}, Case{"-0", 0},
        // hexadecimal prefixes, either case of digits
        Case{"$1F", 31}, Case{"0x1f", 31}, Case{"0X1F", 31}, Case{"x1F", 31}, Case{"X1f", 31},
        Case{"-$10", -16}, Case{"+0x10", 16}, Case{"$0001", 1},
        // limits
        Case{"2147483647", INT32_MAX}, Case{"-2147483648", INT32_MIN},
        Case{"$7FFFFFFF", INT32_MAX}, Case{"$80000000", INT32_MIN}, Case{"$FFFFFFFF", -1},
        Case{"-$FFFFFFFF", 1}, Case{"$00000000FFFFFFFF", -1},
        // refused
        Case{"", std::nullopt}, Case{"   ", std::nullopt}, Case{"-", std::nullopt},
        Case{"+", std::nullopt}, Case{"0x", std::nullopt}, Case{"$", std::nullopt},
        Case{"x", std::nullopt}, Case{"-$", std::nullopt}, Case{"12 ", std::nullopt},
        Case{"1 2", std::nullopt}, Case{"--1", std::nullopt}, Case{"+-1", std::nullopt},
        Case{"- 1", std::nullopt}, Case{"\t1", std::nullopt}, Case{"1.5", std::nullopt},
        Case{"1e3", std::nullopt}, Case{"0x1g", std::nullopt}, Case{"$-1", std::nullopt},
        Case{"0b101", std::nullopt}, Case{"12abc", std::nullopt}, Case{"abc", std::nullopt},
        Case{"2147483648", std::nullopt}, Case{"-2147483649", std::nullopt},
        Case{"99999999999999999999", std::nullopt}, Case{"$100000000", std::nullopt},
        Case{"\xd9\xa3", std::nullopt}),
    // Row numbers as names (the texts hold blanks and signs); a failure prints the text.
    [](const testing::TestParamInfo<Case>& info) { return "row" + std::to_string(info.index); });

} // namespace
} // namespace kestravo
