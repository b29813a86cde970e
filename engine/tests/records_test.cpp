// Value semantics of the engine's records: deep copies, byte-exact texts, no validation.
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

using quorvel::Intervals;
using quorvel::IntervalVar;
using quorvel::length_of;
using quorvel::MatchesVar;

using engine_test::describe;
using engine_test::kMax;
using engine_test::kMin;

// Builds a byte string from a literal, keeping embedded zero bytes.
template <std::size_t N>
std::string bytes(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}

::testing::AssertionResult same_record(const IntervalVar& expected, const IntervalVar& actual) {
    if (expected.start == actual.start && expected.end == actual.end && expected.text == actual.text &&
        expected.original == actual.original && expected.nl == actual.nl) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "expected " << describe(expected) << "\n  actual " << describe(actual);
}

::testing::AssertionResult same_intervals(const Intervals& expected, const Intervals& actual) {
    if (expected.size() != actual.size()) {
        return ::testing::AssertionFailure()
               << "expected " << expected.size() << " records, got " << actual.size();
    }
    for (std::size_t k = 0; k < expected.size(); ++k) {
        if (auto same = same_record(expected[k], actual[k]); !same) {
            return ::testing::AssertionFailure() << "record " << k << ": " << same.message();
        }
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult same_match(const MatchesVar& expected, const MatchesVar& actual) {
    if (expected.start != actual.start || expected.end != actual.end) {
        return ::testing::AssertionFailure() << "span: expected [" << expected.start << ", " << expected.end
                                             << "], got [" << actual.start << ", " << actual.end << "]";
    }
    if (auto same = same_intervals(expected.original, actual.original); !same) {
        return ::testing::AssertionFailure() << "original list: " << same.message();
    }
    if (auto same = same_intervals(expected.reference, actual.reference); !same) {
        return ::testing::AssertionFailure() << "reference list: " << same.message();
    }
    return ::testing::AssertionSuccess();
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

MatchesVar sample_match() {
    MatchesVar match;
    match.start = -20;
    match.end = 900;
    match.original.push_back(record(-20, 100, bytes("first\0line"), bytes("o\0"), 1));
    match.original.push_back(record(50, 60, "", "", 0));
    match.reference.push_back(record(10, 900, bytes("\0\0\0"), "ref", -7));
    return match;
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

TEST(IntervalVarRecord, ZeroBytesInTextsSurviveEveryCopyAndMoveAndCountInTheSize) {
    struct Case {
        const char* name;
        std::string text;
        std::string original;
        std::size_t text_size;
        std::size_t original_size;
    };
    const std::vector<Case> cases = {
        {"single zero byte", bytes("\0"), bytes("\0"), 1, 1},
        {"zero byte in the middle", bytes("ab\0cd"), bytes("x\0y"), 5, 3},
        {"leading and trailing zero bytes", bytes("\0abc\0"), bytes("\0\0"), 5, 2},
        {"only zero bytes", bytes("\0\0\0\0"), "", 4, 0},
        {"empty texts", "", "", 0, 0},
        {"non-ASCII bytes next to zero", bytes("\xff\0\x80"), bytes("\xc3\xa9\0"), 3, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const IntervalVar source = record(10, 20, c.text, c.original, 5);
        ASSERT_EQ(source.text.size(), c.text_size);
        ASSERT_EQ(source.original.size(), c.original_size);

        const IntervalVar copied(source);
        EXPECT_TRUE(same_record(source, copied));
        EXPECT_EQ(copied.text.size(), c.text_size);
        EXPECT_EQ(copied.original.size(), c.original_size);

        IntervalVar assigned = record(1, 2, "previous contents that are longer", "prev", 9);
        assigned = source;
        EXPECT_TRUE(same_record(source, assigned));

        IntervalVar move_source(source);
        const IntervalVar moved(std::move(move_source));
        EXPECT_TRUE(same_record(source, moved));
        EXPECT_EQ(moved.text.size(), c.text_size);

        IntervalVar move_assign_source(source);
        IntervalVar move_assigned = record(3, 4, "x", "y", 1);
        move_assigned = std::move(move_assign_source);
        EXPECT_TRUE(same_record(source, move_assigned));
        EXPECT_EQ(move_assigned.original.size(), c.original_size);
    }
}

TEST(IntervalVarRecord, CopiedTextsAreIndependentOfTheSource) {
    IntervalVar source = record(0, 1, bytes("a\0b"), bytes("c\0d"), 2);
    IntervalVar copy = source;
    copy.text[0] = 'Z';
    copy.original.push_back('\0');
    copy.nl = 99;
    EXPECT_EQ(source.text, bytes("a\0b"));
    EXPECT_EQ(source.original, bytes("c\0d"));
    EXPECT_EQ(source.nl, 2);

    source.text.clear();
    EXPECT_EQ(copy.text, bytes("Z\0b"));
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

TEST(MatchesVarRecord, CopyOwnsItsIntervalsSoChangingTheCopyLeavesTheSourceUnchanged) {
    const MatchesVar pristine = sample_match();

    MatchesVar source = sample_match();
    MatchesVar copy(source);
    ASSERT_TRUE(same_match(pristine, copy));
    copy.original[0].start = 7777;
    copy.original[0].end = -7777;
    copy.original[0].text[0] = 'X';
    copy.original[1].original = "changed";
    copy.reference[0].nl = 12345;
    copy.reference[0].text.push_back('!');
    copy.reference.push_back(record(1, 2, "extra", "", 0));
    copy.original.erase(copy.original.begin());
    copy.start = 1;
    copy.end = 2;
    EXPECT_TRUE(same_match(pristine, source));

    MatchesVar assigned = sample_match();
    assigned.reference.clear();
    assigned = source;
    ASSERT_TRUE(same_match(pristine, assigned));
    assigned.reference[0].start = -1;
    assigned.original[1].text = "now set";
    EXPECT_TRUE(same_match(pristine, source));

    // The other direction: the copy does not see later changes of the source.
    MatchesVar second_copy = source;
    source.original[0].text.clear();
    source.reference.clear();
    EXPECT_TRUE(same_match(pristine, second_copy));
}

TEST(MatchesVarRecord, MatchWithBothListsEmptyCopiesAndMovesLikeAnyOther) {
    MatchesVar empty;
    empty.start = 30;
    empty.end = -30;

    const MatchesVar copied(empty);
    EXPECT_EQ(copied.start, 30);
    EXPECT_EQ(copied.end, -30);
    EXPECT_TRUE(copied.original.empty());
    EXPECT_TRUE(copied.reference.empty());

    MatchesVar assigned = sample_match();
    assigned = empty;
    EXPECT_EQ(assigned.start, 30);
    EXPECT_EQ(assigned.end, -30);
    EXPECT_TRUE(assigned.original.empty());
    EXPECT_TRUE(assigned.reference.empty());

    MatchesVar move_source = empty;
    const MatchesVar moved(std::move(move_source));
    EXPECT_EQ(moved.start, 30);
    EXPECT_EQ(moved.end, -30);
    EXPECT_TRUE(moved.original.empty());
    EXPECT_TRUE(moved.reference.empty());

    const MatchesVar fresh;
    EXPECT_TRUE(fresh.original.empty());
    EXPECT_TRUE(fresh.reference.empty());
}

TEST(MatchesVarRecord, MoveTransfersEveryIntervalWithItsTexts) {
    const MatchesVar pristine = sample_match();

    MatchesVar source = sample_match();
    const MatchesVar moved(std::move(source));
    EXPECT_TRUE(same_match(pristine, moved));

    MatchesVar assign_source = sample_match();
    MatchesVar target;
    target.original.push_back(record(0, 0, "to be replaced", "", 0));
    target = std::move(assign_source);
    EXPECT_TRUE(same_match(pristine, target));
}

TEST(MatchesVarRecord, SequencesOfMatchesCopyDeeplyAndKeepOrder) {
    std::vector<MatchesVar> source = {sample_match(), MatchesVar{}, sample_match()};
    source[2].start = 5000;
    const std::vector<MatchesVar> pristine = source;

    std::vector<MatchesVar> copy = source;
    copy[0].original[0].text = "changed";
    copy[2].reference.clear();
    ASSERT_EQ(source.size(), pristine.size());
    for (std::size_t k = 0; k < source.size(); ++k) {
        EXPECT_TRUE(same_match(pristine[k], source[k])) << "match " << k;
    }
    EXPECT_EQ(copy[2].start, 5000);
}

}  // namespace
