// The interval index: hand-worked queries, build order, extreme times, and a differential check
// against a brute-force model.
#include "quorvel/index.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace {

using quorvel::Intervals;
using quorvel::IntervalSearch;
using quorvel::IntervalVar;

using engine_test::describe;
using engine_test::kMax;
using engine_test::kMin;
using engine_test::Span;

// A record whose payload names its position in the input, so that results show which input
// record they copy and that text, original and nl travel unchanged (zero bytes included).
IntervalVar make_record(std::size_t position, Span span) {
    IntervalVar record;
    record.start = span.start;
    record.end = span.end;
    record.text = "r" + std::to_string(position) + std::string(1, '\0') + "text";
    record.original = std::string(1, '\0') + "orig" + std::to_string(position);
    record.nl = static_cast<std::int32_t>(position) * 3 + 1;
    return record;
}

Intervals make_records(const std::vector<Span>& spans) {
    Intervals records;
    for (std::size_t k = 0; k < spans.size(); ++k) {
        records.push_back(make_record(k, spans[k]));
    }
    return records;
}

bool same_record(const IntervalVar& x, const IntervalVar& y) {
    return x.start == y.start && x.end == y.end && x.text == y.text && x.original == y.original && x.nl == y.nl;
}

::testing::AssertionResult same_intervals(const Intervals& expected, const Intervals& actual) {
    if (std::equal(expected.begin(), expected.end(), actual.begin(), actual.end(), same_record)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "\n  expected " << describe(expected) << "\n  actual   " << describe(actual);
}

Intervals pick(const Intervals& records, const std::vector<std::size_t>& positions) {
    Intervals picked;
    for (std::size_t position : positions) {
        picked.push_back(records.at(position));
    }
    return picked;
}

Intervals stored(const IntervalSearch& index) {
    Intervals records;
    for (std::size_t position = 0; position < index.records().size(); ++position) {
        records.push_back(index.records().copy(position));
    }
    return records;
}

// The positions of the accepted records, in the order visited.
std::vector<std::size_t> overlapping_positions(const IntervalSearch& index, std::int32_t start_q, std::int32_t end_q,
                                               std::int32_t margin) {
    std::vector<std::size_t> positions;
    index.for_each_overlapping(start_q, end_q, margin, [&](std::size_t position) {
        positions.push_back(position);
        return true;
    });
    return positions;
}

// Copies of the accepted records, read in place at their positions.
Intervals overlapping_records(const IntervalSearch& index, std::int32_t start_q, std::int32_t end_q,
                              std::int32_t margin) {
    Intervals records;
    for (std::size_t position : overlapping_positions(index, start_q, end_q, margin)) {
        records.push_back(index.records().copy(position));
    }
    return records;
}

struct QueryCase {
    const char* name;
    std::vector<Span> records;
    std::int32_t start_q;
    std::int32_t end_q;
    std::int32_t margin;
    std::vector<std::size_t> expected;  // input positions of the reported records, in result order
};

void check_queries(const std::vector<QueryCase>& cases) {
    for (const QueryCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.name << ": query [" << c.start_q << ", " << c.end_q << "] margin "
                                          << c.margin);
        const Intervals records = make_records(c.records);
        const IntervalSearch index(records);
        EXPECT_TRUE(same_intervals(pick(records, c.expected), overlapping_records(index, c.start_q, c.end_q, c.margin)));
    }
}

const std::vector<Span> kWorkedExample = {{3900, 6000}, {4000, 4100}, {5500, 9000}, {6900, 20000}, {7001, 7002}};

TEST(IntervalSearch, WorkedExampleReportsRecordsOverlappingByHalfTheirOwnOrHalfTheQueryLength) {
    check_queries({
        // lo 4000, hi 7000: (3900, 6000) starts before lo; (4000, 4100) overlaps 100 >= 50;
        // (5500, 9000) overlaps 1500 >= 500 (query test); (6900, 20000) overlaps only 100;
        // (7001, 7002) starts after hi.
        {"margin 1000", kWorkedExample, 5000, 6000, 1000, {1, 2}},
        // lo 5000, hi 6000: only (5500, 9000) is scanned and overlaps 500 >= 500.
        {"margin 0", kWorkedExample, 5000, 6000, 0, {2}},
    });
}

TEST(IntervalSearch, AVisitReturningFalseEndsTheWalk) {
    const IntervalSearch index(make_records(kWorkedExample));
    std::vector<std::size_t> visited;
    const bool completed = index.for_each_overlapping(5000, 6000, 1000, [&](std::size_t position) {
        visited.push_back(position);
        return false;
    });
    EXPECT_FALSE(completed);
    EXPECT_EQ(visited, std::vector<std::size_t>{1});
    EXPECT_TRUE(index.for_each_overlapping(5000, 6000, 1000, [](std::size_t) { return true; }));
}

TEST(IntervalSearch, EmptyIndexReportsNothing) {
    const IntervalSearch index(Intervals{});
    EXPECT_TRUE(index.records().empty());
    const std::vector<std::pair<std::int32_t, std::int32_t>> queries = {
        {0, 0}, {5000, 6000}, {6000, 5000}, {kMin, kMax}, {kMax, kMin}, {kMin, kMin}, {kMax, kMax}};
    for (auto [start_q, end_q] : queries) {
        for (std::int32_t margin : {kMin, -1000, 0, 1000, kMax}) {
            EXPECT_TRUE(overlapping_records(index, start_q, end_q, margin).empty())
                << start_q << ".." << end_q << " margin " << margin;
            EXPECT_TRUE(overlapping_positions(index, start_q, end_q, margin).empty());
        }
    }
}

TEST(IntervalSearch, QueriesOfZeroOrNegativeLengthAcceptEveryScannedRecord) {
    check_queries({
        // lo 0, hi 2000; half the query length is 0, so every record with 0 <= start <= 2000 is
        // reported, whatever its overlap.
        {"start_q equal to end_q",
         {{-1, 5000}, {0, 10}, {500, 10000}, {1500, 1600}, {2000, 9000}, {2001, 2002}},
         1000,
         1000,
         1000,
         {1, 2, 3, 4}},
        // lo = hi = 2000: records starting at 2000 are scanned and accepted.
        {"start_q exceeding end_q by exactly twice the margin",
         {{1999, 5000}, {2000, 9000}, {2000, 2001}, {2001, 2002}},
         3000,
         1000,
         1000,
         {1, 2}},
        // lo 4000 > hi 2000: nothing is scanned.
        {"start_q exceeding end_q by more than twice the margin",
         {{2000, 3000}, {3000, 3000}, {4000, 4000}, {4000, 9000}},
         5000,
         1000,
         1000,
         {}},
        {"reversed query with margin 0 scans nothing", {{100, 200}, {150, 150}}, 200, 100, 0, {}},
    });
}

TEST(IntervalSearch, ZeroLengthAndReversedRecordsAreAcceptedWheneverScanned) {
    check_queries({
        // Window [0, 10000], half the query 5000. (9000, 20000) overlaps 1000: below both halves.
        {"zero-length, reversed and one ordinary record that falls short",
         {{100, 100}, {150, 50}, {5000, 10}, {9000, 20000}, {10000, 10000}, {10000, -5}},
         0,
         10000,
         0,
         {0, 1, 2, 4, 5}},
        {"zero-length record after hi is not scanned", {{10001, 10001}, {10002, 5}}, 0, 10000, 0, {}},
        {"reversed record reaching before lo is still judged by its start", {{-1, -50}, {0, -50}}, 0, 10000, 0, {1}},
    });
}

TEST(IntervalSearch, WindowBoundsAreInclusive) {
    check_queries({
        // lo 4000, hi 7000, half the query 500.
        {"records at lo and at hi",
         {{3999, 4100}, {4000, 4001}, {7000, 7000}, {7000, 7010}, {7000, 6990}, {7001, 7001}},
         5000,
         6000,
         1000,
         {1, 2, 4}},
        // Half the query is 0, so a positive-length record starting at hi is accepted too.
        {"record at hi with a zero-length query", {{7000, 7010}, {7001, 7001}}, 6000, 6000, 1000, {0}},
        {"record at lo reaching far", {{4000, 100000}}, 5000, 6000, 1000, {0}},
    });
}

TEST(IntervalSearch, AcceptanceThresholdsAreHalfLengthsWithEqualityAccepting) {
    check_queries({
        // Record of length 5: an overlap of 2 is short of 2.5, 3 is enough. The query half
        // (6 and 6.5) is larger than the overlap in both queries.
        {"odd length: overlap 2 of 5 is rejected", {{0, 5}}, -10, 2, 0, {}},
        {"odd length: overlap 3 of 5 is accepted", {{0, 5}}, -10, 3, 0, {0}},
        // The margin widens the overlap window: lo -10, hi 2 gives overlap 2 again.
        {"odd length: margin widens the window but not the query half", {{0, 5}}, -9, 1, 1, {}},
        {"overlap exactly half the own length", {{10, 20}}, 0, 15, 0, {0}},
        {"overlap just under half the own length", {{10, 21}}, 0, 15, 0, {}},
        {"overlap exactly half the query length", {{10, 100}}, 0, 20, 0, {0}},
        {"overlap just under half the query length", {{12, 100}}, 0, 21, 0, {}},
        // Overlap 150 with the widened window [-100, 200]; half the query without the margin is
        // 50 (accepted), with it would be 200.
        {"query test uses the query length without the margin", {{50, 1050}}, 0, 100, 100, {0}},
    });
}

TEST(IntervalSearch, RecordsWithEqualStartsAreEachReportedInTheOrderGiven) {
    check_queries({
        {"identical spans", {{100, 200}, {100, 150}, {100, 200}}, 100, 200, 0, {0, 1, 2}},
        {"equal starts given after a later record", {{300, 400}, {100, 200}, {100, 150}}, 100, 400, 0, {1, 2, 0}},
        {"equal starts with one rejected in between",
         {{100, 101}, {100, 100000}, {100, 102}},
         0,
         120,
         0,
         {0, 2}},
    });
}

TEST(IntervalSearch, RecordsGivenOutOfStartOrderAreFoundAndReportedByStart) {
    check_queries({
        // Stored by start, (1000, 1100) comes first and is scanned.
        {"later start given first", {{5000, 5100}, {1000, 1100}}, 900, 1200, 0, {1}},
        {"descending starts", {{300, 400}, {200, 300}, {100, 200}}, 100, 400, 0, {2, 1, 0}},
        {"mixed order with equal starts keeps their given order",
         {{50, 60}, {10, 20}, {50, 55}, {10, 15}, {30, 40}},
         0,
         100,
         0,
         {1, 3, 4, 0, 2}},
    });
}

TEST(IntervalSearch, StoresAStableSortedCopyOfTheRecords) {
    const Intervals given = make_records({{50, 60}, {10, 20}, {50, 55}, {10, 15}, {kMax, kMin}, {kMin, 0}});
    Intervals expected = given;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const IntervalVar& x, const IntervalVar& y) { return x.start < y.start; });

    Intervals source = given;
    const IntervalSearch index(source);
    EXPECT_TRUE(same_intervals(expected, stored(index)));
    EXPECT_TRUE(same_intervals(given, source)) << "building must not reorder the caller's records";

    // The index keeps its own copies: changing or dropping the caller's records changes nothing.
    for (IntervalVar& record : source) {
        record.start = 0;
        record.end = 0;
        record.text = "changed";
    }
    source.clear();
    source.shrink_to_fit();
    EXPECT_TRUE(same_intervals(expected, stored(index)));
    EXPECT_TRUE(same_intervals(pick(given, {1, 3}), overlapping_records(index, 10, 20, 0)));
}

TEST(IntervalSearch, NegativeMarginNarrowsTheWindow) {
    check_queries({
        // lo 1100, hi 1900. (1050, 1150) starts before lo although with margin 0 it would be
        // accepted; (1880, 2000) overlaps 20 < 60 and < 500.
        {"window shrinks on both sides",
         {{1050, 1150}, {1100, 1200}, {1850, 1950}, {1880, 2000}, {1900, 1900}, {1901, 1901}},
         1000,
         2000,
         -100,
         {1, 2, 4}},
        {"the same records with margin 0", {{1050, 1150}, {1100, 1200}, {1850, 1950}, {1880, 2000}, {1900, 1900}, {1901, 1901}}, 1000, 2000, 0, {0, 1, 2, 3, 4, 5}},
        // lo 1100 > hi 1000.
        {"a short query vanishes", {{1000, 1100}, {1050, 1050}, {1100, 1100}}, 1000, 1100, -100, {}},
    });
}

TEST(IntervalSearch, ExtremeQueriesBehaveAsExactArithmetic) {
    check_queries({
        // lo = kMin - 1000 (below the int32 range), hi = kMin + 1010.
        {"query at the bottom of the range",
         {{kMin, kMin + 5}, {kMin + 1010, kMin + 1010}, {kMin + 1011, kMin + 1011}, {kMax - 5, kMax}},
         kMin,
         kMin + 10,
         1000,
         {0, 1}},
        // lo = kMax - 1010, hi = kMax + 1000 (above the int32 range).
        {"query at the top of the range",
         {{kMin, kMin + 1}, {kMax - 1011, kMax}, {kMax - 1010, kMax - 1000}, {kMax - 5, kMax}, {kMax, kMax}},
         kMax - 10,
         kMax,
         1000,
         {2, 3, 4}},
        // Window [kMin + 1000, kMax - 1000]; (kMax - 1010, kMax) overlaps 10, short of half its
        // own length (505) and of half the query length (2^32 - 1) / 2.
        {"query length beyond int32",
         {{kMax - 1010, kMax}, {0, 10}},
         kMin,
         kMax,
         -1000,
         {1}},
        // Window [kMin + 4, kMin + 6]: (kMin + 4, kMax) overlaps 2, short of half its length
        // (2^32 - 5) / 2 and of half the query (5).
        {"record length beyond int32",
         {{kMin + 4, kMax}, {kMin + 5, kMin + 5}},
         kMin,
         kMin + 10,
         -4,
         {1}},
        // lo = kMin - kMax, hi = -1.
        {"largest margin at the bottom", {{kMin, kMin}, {-1, 5}, {0, 0}}, kMin, kMin, kMax, {0, 1}},
        // lo = 2^31 lies above every start and hi = kMin below most: nothing is scanned.
        {"smallest margin empties the window", {{kMin, kMin}, {0, 0}, {kMax, kMax}}, 0, 0, kMin, {}},
        {"whole range with margin 0",
         {{kMin, kMax}, {kMin, kMin}, {0, 10}, {kMax, kMax}},
         kMin,
         kMax,
         0,
         {0, 1, 2, 3}},
        {"whole range with the largest margin",
         {{kMin, kMax}, {kMax, kMin}, {kMax, kMax}},
         kMin,
         kMax,
         kMax,
         {0, 1, 2}},
    });
}

// ---------------------------------------------------------------------------------------------
// Differential check against a brute-force model

// Positions, in the stable-sorted order, of the records a query accepts: every record with
// lo <= start <= hi (64-bit bounds), judged by the two half-length tests in double precision.
std::vector<std::size_t> model_positions(const Intervals& sorted, std::int32_t start_q, std::int32_t end_q,
                                         std::int32_t margin) {
    const std::int64_t lo = std::int64_t{start_q} - margin;
    const std::int64_t hi = std::int64_t{end_q} + margin;
    const double half_query = 0.5 * static_cast<double>(std::int64_t{end_q} - std::int64_t{start_q});
    std::vector<std::size_t> accepted;
    for (std::size_t k = 0; k < sorted.size(); ++k) {
        const IntervalVar& r = sorted[k];
        if (r.start < lo || r.start > hi) {
            continue;
        }
        const std::int64_t overlap = std::max<std::int64_t>(0, std::min<std::int64_t>(r.end, hi) - std::max<std::int64_t>(r.start, lo));
        const double half_own = 0.5 * static_cast<double>(std::int64_t{r.end} - std::int64_t{r.start});
        if (static_cast<double>(overlap) >= half_own || static_cast<double>(overlap) >= half_query) {
            accepted.push_back(k);
        }
    }
    return accepted;
}

struct RandomShape {
    const char* name;
    std::int32_t time_low;
    std::int32_t time_high;
    std::int32_t length_low;
    std::int32_t length_high;
    std::size_t max_size;
};

TEST(IntervalSearch, AgreesWithABruteForceModelOnRandomInputs) {
    const std::vector<RandomShape> shapes = {
        {"dense short records", -50, 50, -10, 40, 30},
        {"equal starts", 0, 8, -5, 12, 25},
        {"spread records", -5000, 5000, -100, 3000, 40},
    };
    const std::vector<std::int32_t> margins = {-5, 0, 3, 1000};
    std::mt19937 generator(987654321);
    std::size_t compared = 0;
    std::size_t non_empty = 0;
    std::size_t partial = 0;  // some scanned records rejected
    auto check = [&](const Intervals& records, std::int32_t start_q, std::int32_t end_q, std::int32_t margin,
                     const char* shape, int round) {
        Intervals sorted = records;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const IntervalVar& x, const IntervalVar& y) { return x.start < y.start; });
        const IntervalSearch index(records);
        const std::vector<std::size_t> expected = model_positions(sorted, start_q, end_q, margin);
        const std::vector<std::size_t> positions = overlapping_positions(index, start_q, end_q, margin);
        const Intervals copies = overlapping_records(index, start_q, end_q, margin);
        const bool agree = positions == expected && same_intervals(pick(sorted, expected), copies);
        ++compared;
        non_empty += expected.empty() ? 0 : 1;
        const std::int64_t lo = std::int64_t{start_q} - margin;
        const std::int64_t hi = std::int64_t{end_q} + margin;
        const auto scanned = std::count_if(sorted.begin(), sorted.end(),
                                           [&](const IntervalVar& r) { return r.start >= lo && r.start <= hi; });
        partial += static_cast<std::size_t>(scanned) > expected.size() ? 1 : 0;
        if (agree) {
            return ::testing::AssertionSuccess();
        }
        std::ostringstream positions_text;
        for (std::size_t p : positions) {
            positions_text << p << " ";
        }
        return ::testing::AssertionFailure() << shape << ", round " << round << ", query [" << start_q << ", "
                                             << end_q << "] margin " << margin << "\n  records "
                                             << describe(records) << "\n  positions " << positions_text.str()
                                             << same_intervals(pick(sorted, expected), copies).message();
    };

    for (const RandomShape& shape : shapes) {
        std::uniform_int_distribution<std::size_t> size(0, shape.max_size);
        std::uniform_int_distribution<std::int32_t> time(shape.time_low, shape.time_high);
        std::uniform_int_distribution<std::int32_t> length(shape.length_low, shape.length_high);
        for (int round = 0; round < 1500; ++round) {
            std::vector<Span> spans(size(generator));
            for (Span& span : spans) {
                span.start = time(generator);
                span.end = span.start + length(generator);
            }
            if (round % 2 == 0) {
                std::stable_sort(spans.begin(), spans.end(), [](Span x, Span y) { return x.start < y.start; });
            }
            const Intervals records = make_records(spans);
            const std::int32_t start_q = time(generator);
            // Mostly ordinary queries, some of zero or negative length.
            const std::int32_t end_q = start_q + length(generator);
            for (std::int32_t margin : margins) {
                ASSERT_TRUE(check(records, start_q, end_q, margin, shape.name, round));
            }
        }
    }

    const std::vector<std::int32_t> points = {kMin, kMin + 1, kMin + 999, -1000, -1, 0, 1, 1000, kMax - 1000, kMax - 1, kMax};
    std::uniform_int_distribution<std::size_t> pick_point(0, points.size() - 1);
    std::uniform_int_distribution<std::int32_t> jitter(-3, 3);
    auto extreme = [&] {
        const std::int64_t value = std::int64_t{points[pick_point(generator)]} + jitter(generator);
        return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, kMin, kMax));
    };
    for (int round = 0; round < 1500; ++round) {
        std::vector<Span> spans(round % 12);
        for (Span& span : spans) {
            span.start = extreme();
            span.end = extreme();
        }
        const Intervals records = make_records(spans);
        const std::int32_t start_q = extreme();
        const std::int32_t end_q = extreme();
        for (std::int32_t margin : {kMin, -1000, -1, 0, 1, 1000, kMax}) {
            ASSERT_TRUE(check(records, start_q, end_q, margin, "extreme times", round));
        }
    }

    // Guard against a generator that only produces trivial inputs.
    EXPECT_EQ(compared, 3u * 1500u * margins.size() + 1500u * 7u);
    EXPECT_GT(non_empty, compared / 3);
    EXPECT_GT(partial, compared / 20);
}

}  // namespace
