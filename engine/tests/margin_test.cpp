// Reading of the margin: decimal parsing with std::stoi's rules and the process-wide value.
#include "quorvel/margin.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <limits>
#include <string_view>
#include <vector>

#include "test_support.hpp"

namespace {

using quorvel::default_pair_margin;
using quorvel::parse_margin;

using engine_test::kMax;
using engine_test::kMin;

constexpr std::string_view kInvalid = "invalid stoi argument";
constexpr std::string_view kOutOfRange = "stoi argument out of range";

TEST(ParseMargin, FollowsDecimalStoiRulesForEveryKindOfInput) {
    struct Case {
        const char* name;
        const char* text;  // nullptr stands for an unset variable
        std::int32_t value;
        std::string_view error;
    };
    const std::vector<Case> cases = {
        // Accepted values.
        {"unset variable gives the default", nullptr, 1000, {}},
        {"plain number", "1000", 1000, {}},
        {"trailing unit is ignored", "250ms", 250, {}},
        {"leading blanks are skipped", "   42", 42, {}},
        {"every C-locale white space is skipped", " \t\n\v\f\r42", 42, {}},
        {"negative number", "-5", -5, {}},
        {"explicit plus sign", "+7", 7, {}},
        {"hexadecimal prefix reads only the zero", "0x10", 0, {}},
        {"zero", "0", 0, {}},
        {"negative zero", "-0", 0, {}},
        {"negative with trailing text", "-250ms", -250, {}},
        {"digits stop at the first blank", "12 34", 12, {}},
        {"trailing blanks are ignored", "77  ", 77, {}},
        {"decimal point ends the number", "3.9", 3, {}},
        {"largest int32", "2147483647", kMax, {}},
        {"smallest int32", "-2147483648", kMin, {}},
        {"many leading zeros do not overflow", "000000000000000000000000000001000", 1000, {}},
        {"largest int32 with trailing text", "2147483647xyz", kMax, {}},
        // Nothing numeric at the start.
        {"letters", "abc", default_pair_margin, kInvalid},
        {"empty value", "", default_pair_margin, kInvalid},
        {"lone plus", "+", default_pair_margin, kInvalid},
        {"lone minus", "-", default_pair_margin, kInvalid},
        {"lone blank", " ", default_pair_margin, kInvalid},
        {"only blanks", " \t \n", default_pair_margin, kInvalid},
        {"two signs", "+-5", default_pair_margin, kInvalid},
        {"minus then plus", "-+5", default_pair_margin, kInvalid},
        {"blank between sign and digits", "- 5", default_pair_margin, kInvalid},
        {"unit before the digits", "ms250", default_pair_margin, kInvalid},
        {"decimal point first", ".5", default_pair_margin, kInvalid},
        // Numbers outside the int32 range.
        {"one above the largest int32", "2147483648", default_pair_margin, kOutOfRange},
        {"one below the smallest int32", "-2147483649", default_pair_margin, kOutOfRange},
        {"2^32", "4294967296", default_pair_margin, kOutOfRange},
        {"ten times the largest int32", "21474836470", default_pair_margin, kOutOfRange},
        {"thirty digits", "123456789012345678901234567890", default_pair_margin, kOutOfRange},
        {"negative thirty digits", "-123456789012345678901234567890", default_pair_margin, kOutOfRange},
        {"out of range with trailing text", "2147483648ms", default_pair_margin, kOutOfRange},
        {"out of range after blanks and sign", "  +99999999999", default_pair_margin, kOutOfRange},
        {"value that wraps to a small int32", "4294968296", default_pair_margin, kOutOfRange},
        {"value that wraps 64 bits to a small number", "18446744073709552616", default_pair_margin, kOutOfRange},
        {"negative value that wraps 64 bits", "-18446744073709552616", default_pair_margin, kOutOfRange},
    };
    for (const Case& c : cases) {
        const quorvel::MarginReading reading = parse_margin(c.text);
        EXPECT_EQ(reading.error, c.error) << c.name << " (\"" << (c.text ? c.text : "<unset>") << "\")";
        EXPECT_EQ(reading.value, c.value) << c.name << " (\"" << (c.text ? c.text : "<unset>") << "\")";
    }
}

TEST(ParseMargin, ReadsOnlyUpToTheTerminatingZeroByte) {
    // The text is a C string: bytes after its terminator are never looked at.
    const char buffer[] = {'1', '2', '\0', '3', '4', '\0'};
    const quorvel::MarginReading reading = parse_margin(buffer);
    EXPECT_TRUE(reading.error.empty());
    EXPECT_EQ(reading.value, 12);
}

TEST(PairMargin, IsReadFromTheEnvironmentWhenTheBinaryLoads) {
    // Each check re-executes this test binary (threadsafe death-test style) with PAIR_MARGIN set,
    // so the value is read by a fresh load; the child reports what it saw and exits normally,
    // which also shows that an unusable value does not end the process while it loads.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* environment;  // nullptr: unset
        const char* report;       // regular expression for the child's report
    };
    const std::vector<Case> cases = {
        {nullptr, "margin=1000 error=\\[\\]"},
        {"250ms", "margin=250 error=\\[\\]"},
        {"  -5", "margin=-5 error=\\[\\]"},
        {"0", "margin=0 error=\\[\\]"},
        {"2147483647", "margin=2147483647 error=\\[\\]"},
        {"abc", "margin=1000 error=\\[invalid stoi argument\\]"},
        {"", "margin=1000 error=\\[invalid stoi argument\\]"},
        {"2147483648", "margin=1000 error=\\[stoi argument out of range\\]"},
    };
    const char* previous = std::getenv("PAIR_MARGIN");
    const std::string saved = previous ? previous : "";
    for (const Case& c : cases) {
        if (c.environment) {
            ASSERT_EQ(setenv("PAIR_MARGIN", c.environment, 1), 0);
        } else {
            ASSERT_EQ(unsetenv("PAIR_MARGIN"), 0);
        }
        EXPECT_EXIT(
            {
                const std::string_view error = quorvel::pair_margin_error();
                std::fprintf(stderr, "margin=%d error=[%.*s]\n", static_cast<int>(quorvel::pair_margin),
                             static_cast<int>(error.size()), error.data());
                std::fflush(stderr);
                std::_Exit(0);
            },
            ::testing::ExitedWithCode(0), c.report)
            << "PAIR_MARGIN " << (c.environment ? c.environment : "unset");
    }
    if (previous) {
        setenv("PAIR_MARGIN", saved.c_str(), 1);
    } else {
        unsetenv("PAIR_MARGIN");
    }
}

TEST(PairMargin, IsTheEnvironmentValueReadAtLoad) {
    // Nothing in this process changes PAIR_MARGIN, so reading it again gives what the engine saw.
    const quorvel::MarginReading expected = parse_margin(std::getenv("PAIR_MARGIN"));
    EXPECT_EQ(quorvel::pair_margin, expected.value);
    EXPECT_EQ(quorvel::pair_margin_error(), expected.error);
}

}  // namespace
