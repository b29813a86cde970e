// The engine's records: field defaults and order, no validation, exact lengths. (Copies and moves
// of their texts and lists are the standard library's.)
#include "quorvel/records.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace {

using quorvel::IntervalVar;
using quorvel::length_of;
using quorvel::MatchesVar;

using engine_test::describe;
using engine_test::kMax;
using engine_test::kMin;

::testing::AssertionResult same_record(const IntervalVar& expected, const IntervalVar& actual) {
    if (expected.start == actual.start && expected.end == actual.end && expected.text == actual.text &&
        expected.original == actual.original && expected.nl == actual.nl) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "expected " << describe(expected) << "\n  actual " << describe(actual);
}

IntervalVar record(std::int32_t start, std::int32_t end, std::string text, std::string original, std::int32_t nl) {
    IntervalVar result;
    result.start = start;
    result.end = end;
    result.text = std::move(text);
    result.original = std::move(original);
    result.nl = nl;
    return result;
}

TEST(IntervalVarRecord, FreshRecordHasEmptyTextsAndZeroIntegers) {
    const IntervalVar fresh;
    EXPECT_TRUE(fresh.text.empty());
    EXPECT_TRUE(fresh.original.empty());
    EXPECT_EQ(fresh.start, 0);
    EXPECT_EQ(fresh.end, 0);
    EXPECT_EQ(fresh.nl, 0);
}

TEST(IntervalVarRecord, AggregateInitialisationFollowsDeclaredFieldOrder) {
    const IntervalVar ordered{1, 2, "text", "original", 3};
    EXPECT_EQ(ordered.start, 1);
    EXPECT_EQ(ordered.end, 2);
    EXPECT_EQ(ordered.text, "text");
    EXPECT_EQ(ordered.original, "original");
    EXPECT_EQ(ordered.nl, 3);

    const MatchesVar match{4, 5, {ordered}, {}};
    EXPECT_EQ(match.start, 4);
    EXPECT_EQ(match.end, 5);
    ASSERT_EQ(match.original.size(), 1u);
    EXPECT_TRUE(same_record(ordered, match.original[0]));
    EXPECT_TRUE(match.reference.empty());
}

TEST(IntervalVarRecord, StartGreaterThanEndIsStoredAsGivenWithNegativeLength) {
    struct Case {
        std::int32_t start;
        std::int32_t end;
        std::int64_t length;
    };
    const std::vector<Case> cases = {
        {100, 50, -50},
        {1, 0, -1},
        {0, kMin, std::int64_t{kMin}},
        {kMax, kMin, -(std::int64_t{1} << 32) + 1},
        {kMax, kMax - 1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "[" << c.start << ", " << c.end << "]");
        const IntervalVar reversed = record(c.start, c.end, "t", "o", 0);
        EXPECT_EQ(reversed.start, c.start);
        EXPECT_EQ(reversed.end, c.end);
        const IntervalVar copy = reversed;
        EXPECT_EQ(copy.start, c.start);
        EXPECT_EQ(copy.end, c.end);
        EXPECT_EQ(length_of(copy), c.length);
    }
}

TEST(IntervalVarRecord, LengthIsExactOverTheWholeInt32Range) {
    struct Case {
        std::int32_t start;
        std::int32_t end;
        std::int64_t length;
    };
    const std::vector<Case> cases = {
        {0, 0, 0},
        {10, 25, 15},
        {-5, 5, 10},
        {kMin, kMax, (std::int64_t{1} << 32) - 1},
        {kMin, 0, std::int64_t{1} << 31},
        {-1, kMax, std::int64_t{1} << 31},
        {kMin, kMin, 0},
        {kMax, kMax, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(length_of(record(c.start, c.end, "", "", 0)), c.length) << "[" << c.start << ", " << c.end << "]";
    }
}

}  // namespace
