// SPDX-License-Identifier: Apache-2.0
// TextToInt against a plain reading of the rule it follows: leading blanks (the space only), one
// optional sign, decimal digits or a hexadecimal number after "$", "x", "X", "0x" or "0X", nothing
// after the digits, a signed 32-bit result (a hexadecimal number is a 32-bit pattern, which a
// sign negates). Everything else is refused with the message naming the whole text.
#include "fuzz_check.h"
#include "record/codec.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

using namespace kestravo;

namespace {

std::optional<std::int32_t> Reference(std::string_view s)
{
    const std::size_t first = s.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return std::nullopt;
    s.remove_prefix(first);
    bool negative = false;
    if (s.front() == '+' || s.front() == '-') {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.starts_with("0x") || s.starts_with("0X")) {
        base = 16;
        s.remove_prefix(2);
    } else if (s.starts_with('$') || s.starts_with('x') || s.starts_with('X')) {
        base = 16;
        s.remove_prefix(1);
    }
    if (s.empty())
        return std::nullopt;
    // Past 2^40 every number is out of range, whatever digits follow.
    std::uint64_t value = 0;
    bool huge = false;
    for (char c : s) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        if (value > std::uint64_t{1} << 40)
            huge = true;
        else
            value = value * base + digit;
    }
    if (huge)
        return std::nullopt;
    if (base == 16) {
        if (value > 0xFFFFFFFFu)
            return std::nullopt;
        std::uint32_t pattern = std::uint32_t(value);
        if (negative)
            pattern = 0u - pattern;
        return std::int32_t(pattern);
    }
    const std::int64_t signedValue = negative ? -std::int64_t(value) : std::int64_t(value);
    if (signedValue < std::numeric_limits<std::int32_t>::min() ||
        signedValue > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return std::int32_t(signedValue);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<std::int32_t> expected = Reference(text);
    try {
        const std::int32_t got = TextToInt(text);
        FUZZ_CHECK(expected.has_value(), "accepted \"%s\" as %d", text.c_str(), got);
        FUZZ_CHECK(got == *expected, "\"%s\" read as %d, not %d", text.c_str(), got, *expected);
        // What the codec writes back into an edit reads as the same number.
        FUZZ_CHECK(TextToInt(std::to_string(got)) == got, "%d does not read back", got);
    } catch (const EConvertError& e) {
        FUZZ_CHECK(!expected.has_value(), "refused \"%s\", which is %d", text.c_str(), expected.value_or(0));
        // what() ends at a zero byte of the text; the stored message is whole.
        const std::string message = "''" + text + "'' is not a valid integer value";
        FUZZ_CHECK(std::string_view(e.what()) == std::string_view(message.c_str()), "message \"%s\"", e.what());
    }
    return 0;
}
