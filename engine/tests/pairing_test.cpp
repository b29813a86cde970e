// Pairing of two interval sets: the predicates, hand-worked walks, and a differential check
// against a literal model of the walk; stopping the walks and the time map search.
#include "quorvel/pairing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "quorvel/sync.hpp"
#include "test_support.hpp"

namespace {

using quorvel::Intervals;
using quorvel::IntervalVar;
using quorvel::Matches;
using quorvel::MatchesVar;
using quorvel::pair_intervals;

using engine_test::describe;
using engine_test::keep_walking;
using engine_test::stop_checks_asked;
using engine_test::stop_walking;
using engine_test::kMax;
using engine_test::kMin;
using engine_test::Span;

// A record with a payload unique to its side and position, so that every comparison also checks
// that text, original and nl travel unchanged (zero bytes included).
IntervalVar make_record(char side, std::size_t position, Span span) {
    IntervalVar record;
    record.start = span.start;
    record.end = span.end;
    record.text = std::string(1, side) + std::to_string(position) + std::string(1, '\0') + "text";
    record.original = std::string("orig") + std::string(1, '\0') + std::string(1, side) + std::to_string(position);
    record.nl = static_cast<std::int32_t>(position) * 7 - 3 + (side == 'B' ? 1000 : 0);
    return record;
}

Intervals make_set(char side, const std::vector<Span>& spans) {
    Intervals set;
    for (std::size_t k = 0; k < spans.size(); ++k) {
        set.push_back(make_record(side, k, spans[k]));
    }
    return set;
}

std::string describe(const Matches& matches) {
    std::ostringstream out;
    for (std::size_t k = 0; k < matches.size(); ++k) {
        out << "\n    group " << k << ": span [" << matches[k].start << ", " << matches[k].end
            << "] original " << describe(matches[k].original) << " reference " << describe(matches[k].reference);
    }
    if (matches.empty()) {
        out << " (no groups)";
    }
    return out.str();
}

bool same_record(const IntervalVar& x, const IntervalVar& y) {
    return x.start == y.start && x.end == y.end && x.text == y.text && x.original == y.original && x.nl == y.nl;
}

bool same_intervals(const Intervals& x, const Intervals& y) {
    return std::equal(x.begin(), x.end(), y.begin(), y.end(), same_record);
}

::testing::AssertionResult same_matches(const Matches& expected, const Matches& actual) {
    bool same = expected.size() == actual.size();
    for (std::size_t k = 0; same && k < expected.size(); ++k) {
        same = expected[k].start == actual[k].start && expected[k].end == actual[k].end &&
               same_intervals(expected[k].original, actual[k].original) &&
               same_intervals(expected[k].reference, actual[k].reference);
    }
    if (same) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "\n  expected:" << describe(expected) << "\n  actual:  " << describe(actual);
}

// ---------------------------------------------------------------------------------------------
// Predicates

TEST(PairingPredicates, NestingAndClosenessFollowInclusiveBoundsAndExactDifferences) {
    struct Case {
        const char* name;
        Span x;
        Span y;
        std::int32_t margin;
        bool nested;
        bool close;
    };
    const std::vector<Case> cases = {
        {"strictly inside", {100, 2000}, {150, 1900}, 0, true, false},
        {"shared start nests whatever the ends", {0, 100}, {0, 5000000}, -1, true, false},
        {"shared end nests", {0, 100}, {50, 100}, -1, true, false},
        {"identical spans nest and are close at margin zero", {5, 9}, {5, 9}, 0, true, true},
        {"identical spans are not close at a negative margin", {5, 9}, {5, 9}, -1, true, false},
        {"overlapping but not nested", {0, 100}, {50, 150}, 49, false, false},
        {"starts exactly the margin apart are close", {0, 10}, {1000, 5000}, 1000, false, true},
        {"starts one more than the margin apart are not close", {0, 10}, {1001, 5000}, 1000, false, false},
        {"ends exactly the margin apart are close", {0, 2000}, {1500, 3000}, 1000, false, true},
        {"ends one more than the margin apart are not close", {0, 2000}, {1500, 3001}, 1000, false, false},
        {"closeness is measured both ways", {1000, 5000}, {0, 10}, 1000, false, true},
        {"reversed record nests by its bounds", {100, 50}, {60, 70}, 0, true, false},
        {"reversed records close by end only", {1000, 0}, {3000, 5}, 10, false, true},
        {"negative margin makes nothing close", {0, 10}, {0, 10}, kMin, true, false},
        {"extreme starts are 2^32-1 apart", {kMin, kMin}, {kMax, kMax}, kMax, false, false},
        {"extreme starts are not close at a small margin", {kMax, kMax}, {kMin, kMin}, 1000, false, false},
        {"extreme starts are not close at margin one", {kMin, kMin}, {kMax, kMax}, 1, false, false},
        {"difference of exactly int32 max is close", {kMin, kMin}, {-1, -1}, kMax, false, true},
        {"difference of 2^31 exceeds int32 max", {kMin, kMin}, {0, 0}, kMax, false, false},
        {"zero to int32 max is close at int32 max", {0, 0}, {kMax, kMax}, kMax, false, true},
        {"zero to int32 max is not close one below", {0, 0}, {kMax, kMax}, kMax - 1, false, false},
        {"whole range nests everything", {kMin, kMax}, {-3, 7}, kMin, true, false},
        {"extreme ends one apart are close", {kMin, kMax - 1}, {kMin + 5, kMax}, 1, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const quorvel::TimeSpan x{c.x.start, c.x.end};
        const quorvel::TimeSpan y{c.y.start, c.y.end};
        EXPECT_EQ(quorvel::is_nested(x, y), c.nested);
        EXPECT_EQ(quorvel::is_nested(y, x), c.nested);
        EXPECT_EQ(quorvel::is_close(x, y, c.margin), c.close);
        EXPECT_EQ(quorvel::is_close(y, x, c.margin), c.close);
        EXPECT_EQ(quorvel::intervals_match(x, y, c.margin), c.nested || c.close);
        EXPECT_EQ(quorvel::intervals_match(y, x, c.margin), c.nested || c.close);
    }
}

// ---------------------------------------------------------------------------------------------
// Hand-worked walks

struct ExpectedGroup {
    std::int32_t start;
    std::int32_t end;
    std::vector<std::size_t> original;   // positions in A, in joining order
    std::vector<std::size_t> reference;  // positions in B, in joining order
};

Matches build_expected(const Intervals& a, const Intervals& b, const std::vector<ExpectedGroup>& groups) {
    Matches expected;
    for (const ExpectedGroup& group : groups) {
        MatchesVar match;
        match.start = group.start;
        match.end = group.end;
        for (std::size_t position : group.original) {
            match.original.push_back(a.at(position));
        }
        for (std::size_t position : group.reference) {
            match.reference.push_back(b.at(position));
        }
        expected.push_back(std::move(match));
    }
    return expected;
}

struct WalkCase {
    const char* name;
    std::vector<Span> a;
    std::vector<Span> b;
    std::int32_t margin;
    std::vector<ExpectedGroup> groups;
};

void check_walks(const std::vector<WalkCase>& cases) {
    for (const WalkCase& c : cases) {
        const Intervals a = make_set('A', c.a);
        const Intervals b = make_set('B', c.b);
        EXPECT_TRUE(same_matches(build_expected(a, b, c.groups), pair_intervals(a, b, c.margin)))
            << c.name << " (margin " << c.margin << ")";
    }
}

TEST(PairIntervals, EmptySidesGiveNoGroups) {
    check_walks({
        {"both sides empty", {}, {}, 1000, {}},
        {"first set empty", {}, {{0, 10}, {5, 20}}, 1000, {}},
        {"second set empty", {{0, 10}, {5, 20}}, {}, 1000, {}},
        {"second set empty with a huge margin", {{0, 10}}, {}, kMax, {}},
    });
}

TEST(PairIntervals, TheLongerRecordOfAMatchingPairAnchorsTheGroup) {
    check_walks({
        {"nested pair anchors on the longer original", {{100, 2000}}, {{150, 1900}}, 1000, {{100, 2000, {0}, {0}}}},
        {"longer original collects several references",
         {{0, 5000}},
         {{0, 100}, {200, 300}},
         0,
         {{0, 5000, {0}, {0, 1}}}},
        {"longer reference collects several originals",
         {{0, 100}, {200, 300}},
         {{0, 5000}},
         0,
         {{0, 5000, {0, 1}, {0}}}},
        // With equal lengths the original record anchors: the walk over the references takes
        // both, which widens the span to 150; a reference anchor would leave it at 100.
        {"equal lengths anchor on the original side",
         {{0, 100}},
         {{0, 100}, {50, 150}},
         1000,
         {{0, 150, {0}, {0, 1}}}},
        // The mirror: the original anchor takes only the one reference; the second original
        // joins later as a leftover and leaves the span alone.
        {"equal lengths anchor on the original side, mirrored",
         {{0, 100}, {50, 150}},
         {{0, 100}},
         1000,
         {{0, 100, {0, 1}, {0}}}},
        {"equal starts group whatever the margin", {{0, 10}}, {{0, 5000000}}, -5, {{0, 5000000, {0}, {0}}}},
        {"equal starts group at margin zero", {{0, 5000000}}, {{0, 10}}, 0, {{0, 5000000, {0}, {0}}}},
    });
}

TEST(PairIntervals, CloseStartsOrEndsGroupOnlyWithinTheMargin) {
    check_walks({
        {"starts exactly the margin apart group", {{0, 10}}, {{1000, 5000}}, 1000, {{0, 5000, {0}, {0}}}},
        {"starts one more than the margin apart do not group", {{0, 10}}, {{1001, 5000}}, 1000, {}},
        {"ends exactly the margin apart group", {{0, 2000}}, {{1500, 3000}}, 1000, {{0, 3000, {0}, {0}}}},
        {"ends one more than the margin apart do not group", {{0, 2000}}, {{1500, 3001}}, 1000, {}},
        {"margin zero needs equal starts or ends", {{0, 10}}, {{1, 5000}}, 0, {}},
        {"margin one accepts starts one apart", {{0, 10}}, {{1, 5000}}, 1, {{0, 5000, {0}, {0}}}},
        {"negative margin groups only nested records",
         {{0, 10}, {100, 200}, {300, 400}},
         {{0, 20}, {100, 150}, {301, 401}},
         -1,
         {{0, 20, {0}, {0}}, {100, 200, {1}, {1}}}},
        {"the same records with a margin group all three pairs",
         {{0, 10}, {100, 200}, {300, 400}},
         {{0, 20}, {100, 150}, {301, 401}},
         1,
         {{0, 20, {0}, {0}}, {100, 200, {1}, {1}}, {300, 401, {2}, {2}}}},
    });
}

TEST(PairIntervals, RecordsMetBeforeAnyGroupAreDropped) {
    check_walks({
        {"an original that starts first is dropped and the reference beside it passed over",
         {{0, 10}, {5000, 5100}},
         {{3000, 3010}, {5050, 5080}},
         100,
         {{5000, 5100, {1}, {1}}}},
        {"a reference that starts first is dropped",
         {{5000, 5100}},
         {{0, 10}, {5050, 5080}},
         100,
         {{5000, 5100, {0}, {1}}}},
        // A[0] is dropped and B[0] passed over; A[1] is then a leftover with no group, although
        // it lies within B[0].
        {"a leftover with no group to join is dropped", {{0, 10}, {2050, 2090}}, {{2000, 2100}}, 1000, {}},
    });
}

TEST(PairIntervals, CandidateWalkTakesMatchesUntilACandidateStartsAtOrAfterTheAnchorEndAndIsNotClose) {
    check_walks({
        // B[1] starts before the anchor's end but matches neither way: passed over, the walk goes
        // on and takes B[2]. Only two were taken, so the index stops at B[2], which the
        // leftover step appends a second time.
        {"passed-over candidate and a twice-appended leftover",
         {{0, 10000}},
         {{0, 100}, {5000, 20000}, {6000, 6100}},
         1000,
         {{0, 10000, {0}, {0, 2, 2}}}},
        // The same walk when another original follows: the main walk meets B[2] again and forms
        // a second group with it; B[1] is in no group.
        {"a record taken by one group anchors the next",
         {{0, 10000}, {5000, 5500}},
         {{0, 100}, {5000, 20000}, {6000, 6100}},
         1000,
         {{0, 10000, {0}, {0, 2}}, {5000, 6100, {1}, {2}}}},
        // B[1] starts exactly at the anchor's end and is not close: the walk stops there, so
        // B[2] (close by start) is not taken by the walk and joins only as a leftover, leaving
        // the span at [0, 1000].
        {"walk stops at a distant candidate starting at the anchor end",
         {{0, 1000}},
         {{0, 100}, {1000, 1500}, {50, 2000}},
         100,
         {{0, 1000, {0}, {0, 2}}}},
        // B[1] starts after the anchor's end but is close by its end: taken, and the walk goes on
        // to take B[2] as well, widening the span to B[2]'s end.
        {"walk continues past a close candidate that starts after the anchor end",
         {{0, 1000}},
         {{0, 100}, {1050, 1200}, {1100, 1250}},
         300,
         {{0, 1250, {0}, {0, 1, 2}}}},
        {"group span covers the smallest start and largest end of all members",
         {{100, 1100}},
         {{50, 300}, {900, 1300}},
         200,
         {{50, 1300, {0}, {0, 1}}}},
    });
}

TEST(PairIntervals, OffersAndLeftoversJoinTheLastGroupOnlyWhenTheyMatchTheLastOppositeRecord) {
    check_walks({
        // A[1] is close to the last reference and joins without changing the span; A[2] matches
        // nothing and is dropped.
        {"original leftover joins without widening the span",
         {{0, 1000}, {50, 3000}, {9000, 9100}},
         {{0, 900}},
         100,
         {{0, 1000, {0, 1}, {0}}}},
        // B[0] anchors (it is the longer) and the walk over A stops at A[1]. B[1] is offered in
        // the walk and joins (close to A[0] by end); B is then exhausted. A[1] matches neither
        // B[0] nor B[1] and is dropped; A[2] matches B[1], now the last reference, though not B[0].
        {"records added later become the record that leftovers are compared with",
         {{0, 990}, {1300, 1400}, {950, 5000}},
         {{0, 1000}, {900, 1050}},
         100,
         {{0, 1000, {0, 2}, {0, 1}}}},
        // A[1] is offered while B[1] is at the head: it nests in B[0] and joins. Both indices
        // advance, so B[1] is passed over.
        {"original offered in the walk joins and the reference beside it is passed over",
         {{0, 1000}, {50, 200}},
         {{0, 1000}, {5000, 5100}},
         100,
         {{0, 1000, {0, 1}, {0}}}},
        // B[0] anchors and takes A[0]; A[1] is passed over by that walk. A[1] then meets B[1]
        // (no match, A[1] starts first): A[1] is offered and dropped, and B[1] is passed over
        // although it is close to A[0], the group's last original.
        {"a passed-over reference is not offered even when it would match",
         {{800, 900}, {500, 1200}},
         {{0, 1000}, {750, 1400}},
         100,
         {{0, 1000, {0}, {0}}}},
        // B[1] starts before A[1] and is offered: it matches A[0] and joins; then A[1] is a
        // leftover compared with B[1] and dropped.
        {"reference offered in the walk joins the last group",
         {{0, 900}, {5000, 5100}},
         {{0, 1000}, {50, 200}},
         100,
         {{0, 1000, {0}, {0, 1}}}},
        // The walk stops at B[1]; as leftovers, B[1] and B[3] are dropped and B[2] joins.
        {"reference leftovers join only when they match the last original",
         {{0, 1000}},
         {{0, 900}, {1000, 3000}, {20, 5000}, {7000, 7100}},
         100,
         {{0, 1000, {0}, {0, 2}}}},
        {"offers go to the last group, not an earlier one",
         {{0, 100}, {1000, 1100}, {10, 50}},
         {{0, 100}, {1000, 1100}},
         0,
         {{0, 100, {0}, {0}}, {1000, 1100, {1}, {1}}}},
    });
}

TEST(PairIntervals, RecordsWithStartAfterEndArePairedByTheirBoundsAsGiven) {
    check_walks({
        {"reversed original nests around a reference", {{100, 50}}, {{60, 70}}, 0, {{60, 70, {0}, {0}}}},
        {"reversed original against its mirror", {{500, 0}}, {{0, 500}}, 10, {{0, 500, {0}, {0}}}},
        {"span of reversed records can end before it starts", {{1000, 0}}, {{3000, 5}}, 10, {{1000, 5, {0}, {0}}}},
        {"zero-length records with equal starts group", {{7, 7}}, {{7, 7}, {7, 3}}, -1, {{7, 7, {0}, {0, 1}}}},
    });
}

TEST(PairIntervals, ExtremeTimesCompareAsExactArithmetic) {
    check_walks({
        {"extreme starts wrapped to 32 bits would look close",
         {{kMin, kMin + 10}},
         {{kMax - 10, kMax}},
         1000,
         {}},
        {"extreme starts are not close even at the largest margin", {{kMin, kMin}}, {{kMax, kMax}}, kMax, {}},
        {"difference of exactly int32 max is close at the largest margin",
         {{kMin, kMin}},
         {{-1, -1}},
         kMax,
         {{kMin, -1, {0}, {0}}}},
        // length(A[0]) is 2^32 - 6, which does not fit in 32 bits: A[0] is the longer record and
        // anchors, taking both references; A[1] does not match the last reference and is dropped.
        {"a length beyond int32 still makes the longer record the anchor",
         {{kMin + 5, kMax}, {kMin + 6, kMin + 9}},
         {{kMin + 5, kMin + 10}, {kMin + 100, kMin + 200}},
         0,
         {{kMin + 5, kMax, {0}, {0, 1}}}},
        {"whole-range records nest", {{kMin, kMax}}, {{kMin, kMax}}, kMin, {{kMin, kMax, {0}, {0}}}},
        // length(A[0]) is -(2^32 - 1) (1 if wrapped to 32 bits), below length(B[0]) = 0: B[0]
        // anchors and its walk over A takes A[0] and A[1]; B[1] is then a leftover that matches
        // neither and is dropped.
        {"negative lengths beyond int32 compare exactly",
         {{kMax, kMin}, {kMin + 1, kMin + 5}},
         {{kMin + 1, kMin + 1}, {kMin + 100, kMin + 200}},
         10,
         {{kMin + 1, kMin + 5, {0, 1}, {0}}}},
    });
}

// ---------------------------------------------------------------------------------------------
// Differential check against a literal model

// A direct transcription of the pairing walk: 64-bit time arithmetic, the candidate tail copied.
class ModelPairing {
public:
    ModelPairing(const Intervals& a, const Intervals& b, std::int32_t margin) : a_(a), b_(b), margin_(margin) {}

    Matches run() {
        std::size_t i = 0;
        std::size_t j = 0;
        while (i < a_.size() && j < b_.size()) {
            const IntervalVar a = a_[i];
            const IntervalVar b = b_[j];
            if (match(a, b)) {
                const bool anchor_is_b = length(a) < length(b);
                const IntervalVar anchor = anchor_is_b ? b : a;
                const Intervals candidates = anchor_is_b ? Intervals(a_.begin() + static_cast<std::ptrdiff_t>(i), a_.end())
                                                         : Intervals(b_.begin() + static_cast<std::ptrdiff_t>(j), b_.end());
                Intervals taken;
                for (const IntervalVar& candidate : candidates) {
                    if (match(anchor, candidate)) {
                        taken.push_back(candidate);
                    }
                    if (!(candidate.start < anchor.end || close(anchor, candidate))) {
                        break;
                    }
                }
                MatchesVar group;
                group.start = anchor.start;
                group.end = anchor.end;
                for (const IntervalVar& member : taken) {
                    group.start = std::min(group.start, member.start);
                    group.end = std::max(group.end, member.end);
                }
                if (anchor_is_b) {
                    group.reference = {anchor};
                    group.original = taken;
                    i += taken.size();
                    j += 1;
                } else {
                    group.original = {anchor};
                    group.reference = taken;
                    j += taken.size();
                    i += 1;
                }
                result_.push_back(group);
            } else if (a.start <= b.start) {
                if (!result_.empty() && match(a, result_.back().reference.back())) {
                    result_.back().original.push_back(a);
                }
                i += 1;
                j += 1;
            } else {
                if (!result_.empty() && match(b, result_.back().original.back())) {
                    result_.back().reference.push_back(b);
                }
                j += 1;
            }
        }
        for (std::size_t k = i; k < a_.size(); ++k) {
            if (!result_.empty() && match(a_[k], result_.back().reference.back())) {
                result_.back().original.push_back(a_[k]);
            }
        }
        for (std::size_t k = j; k < b_.size(); ++k) {
            if (!result_.empty() && match(b_[k], result_.back().original.back())) {
                result_.back().reference.push_back(b_[k]);
            }
        }
        return result_;
    }

private:
    static std::int64_t length(const IntervalVar& x) { return std::int64_t{x.end} - std::int64_t{x.start}; }

    static std::int64_t absolute(std::int64_t value) { return value < 0 ? -value : value; }

    static bool nested(const IntervalVar& x, const IntervalVar& y) {
        return (x.start <= y.start && y.end <= x.end) || (y.start <= x.start && x.end <= y.end);
    }

    bool close(const IntervalVar& x, const IntervalVar& y) const {
        return absolute(std::int64_t{x.start} - std::int64_t{y.start}) <= std::int64_t{margin_} ||
               absolute(std::int64_t{x.end} - std::int64_t{y.end}) <= std::int64_t{margin_};
    }

    bool match(const IntervalVar& x, const IntervalVar& y) const { return nested(x, y) || close(x, y); }

    const Intervals& a_;
    const Intervals& b_;
    const std::int32_t margin_;
    Matches result_;
};

struct RandomShape {
    const char* name;
    std::int32_t time_low;
    std::int32_t time_high;
    std::int32_t length_low;
    std::int32_t length_high;
    std::size_t max_size;
    std::vector<std::int32_t> margins;
};

std::vector<Span> random_spans(std::mt19937& generator, const RandomShape& shape, bool sorted) {
    std::uniform_int_distribution<std::size_t> size(0, shape.max_size);
    std::uniform_int_distribution<std::int32_t> time(shape.time_low, shape.time_high);
    std::uniform_int_distribution<std::int32_t> length(shape.length_low, shape.length_high);
    std::vector<Span> spans(size(generator));
    for (Span& span : spans) {
        span.start = time(generator);
        const std::int64_t end = std::int64_t{span.start} + length(generator);
        span.end = static_cast<std::int32_t>(std::clamp<std::int64_t>(end, kMin, kMax));
    }
    if (sorted) {
        std::stable_sort(spans.begin(), spans.end(), [](Span x, Span y) { return x.start < y.start; });
    }
    return spans;
}

std::vector<Span> extreme_spans(std::mt19937& generator, std::size_t max_size) {
    static const std::vector<std::int32_t> points = {kMin, kMin + 1, kMin + 7, -1000, -1, 0, 1, 999, kMax - 7, kMax - 1, kMax};
    std::uniform_int_distribution<std::size_t> size(0, max_size);
    std::uniform_int_distribution<std::size_t> pick(0, points.size() - 1);
    std::vector<Span> spans(size(generator));
    for (Span& span : spans) {
        span.start = points[pick(generator)];
        span.end = points[pick(generator)];
    }
    if (generator() % 2 == 0) {
        std::stable_sort(spans.begin(), spans.end(), [](Span x, Span y) { return x.start < y.start; });
    }
    return spans;
}

std::string describe_spans(const std::vector<Span>& spans) {
    std::ostringstream out;
    out << "{";
    for (std::size_t k = 0; k < spans.size(); ++k) {
        out << (k ? ", " : "") << "{" << spans[k].start << ", " << spans[k].end << "}";
    }
    out << "}";
    return out.str();
}

TEST(PairIntervals, AgreesWithALiteralModelOnRandomInputs) {
    const std::vector<RandomShape> shapes = {
        {"dense short records", 0, 40, -5, 15, 8, {-5, 0, 3, 1000}},
        {"dense with equal starts", 0, 6, -3, 6, 10, {-5, 0, 3, 1000}},
        {"spread records", 0, 5000, -20, 2500, 12, {-5, 0, 3, 1000}},
        {"nested-heavy", 0, 200, 0, 400, 10, {-5, 0, 3, 1000}},
    };
    std::mt19937 generator(20240611);
    std::size_t compared = 0;
    std::size_t with_groups = 0;
    std::size_t with_several_groups = 0;
    for (const RandomShape& shape : shapes) {
        for (int round = 0; round < 1000; ++round) {
            const bool a_sorted = round % 4 != 3;
            const bool b_sorted = round % 4 != 2;
            const std::vector<Span> a_spans = random_spans(generator, shape, a_sorted);
            const std::vector<Span> b_spans = random_spans(generator, shape, b_sorted);
            const Intervals a = make_set('A', a_spans);
            const Intervals b = make_set('B', b_spans);
            for (std::int32_t margin : shape.margins) {
                const Matches expected = ModelPairing(a, b, margin).run();
                const Matches actual = pair_intervals(a, b, margin);
                ASSERT_TRUE(same_matches(expected, actual))
                    << shape.name << ", round " << round << ", margin " << margin << "\n  A = "
                    << describe_spans(a_spans) << "\n  B = " << describe_spans(b_spans);
                ++compared;
                with_groups += expected.empty() ? 0 : 1;
                with_several_groups += expected.size() > 1 ? 1 : 0;
            }
        }
    }
    for (int round = 0; round < 1000; ++round) {
        const std::vector<Span> a_spans = extreme_spans(generator, 6);
        const std::vector<Span> b_spans = extreme_spans(generator, 6);
        const Intervals a = make_set('A', a_spans);
        const Intervals b = make_set('B', b_spans);
        for (std::int32_t margin : {kMin, -1, 0, 1, 1000, kMax - 1, kMax}) {
            const Matches expected = ModelPairing(a, b, margin).run();
            const Matches actual = pair_intervals(a, b, margin);
            ASSERT_TRUE(same_matches(expected, actual)) << "extreme times, round " << round << ", margin " << margin
                                                        << "\n  A = " << describe_spans(a_spans)
                                                        << "\n  B = " << describe_spans(b_spans);
            ++compared;
            with_groups += expected.empty() ? 0 : 1;
        }
    }
    // Guard against a generator that only produces trivial inputs.
    EXPECT_EQ(compared, 4u * 1000u * 4u + 1000u * 7u);
    EXPECT_GT(with_groups, compared / 3);
    EXPECT_GT(with_several_groups, 1000u);
}

// ---------------------------------------------------------------------------------------------
// Positions

std::vector<quorvel::TimeSpan> time_spans(const std::vector<Span>& spans) {
    std::vector<quorvel::TimeSpan> out;
    for (const Span& span : spans) {
        out.push_back({span.start, span.end});
    }
    return out;
}

// Checks the runs of `paired` (in range, non-empty on both sides, each starting where the
// previous one ended and together covering every position) and returns the groups they name.
Matches resolve(const quorvel::PairedPositions& paired, const Intervals& a, const Intervals& b) {
    std::size_t original_end = 0;
    std::size_t reference_end = 0;
    Matches out;
    for (const quorvel::PairedPositions::Group& group : paired.groups) {
        EXPECT_EQ(group.original_begin, original_end);
        EXPECT_EQ(group.reference_begin, reference_end);
        EXPECT_TRUE(group.original_begin < group.original_end && group.original_end <= paired.original_positions.size());
        EXPECT_TRUE(group.reference_begin < group.reference_end && group.reference_end <= paired.reference_positions.size());
        original_end = group.original_end;
        reference_end = group.reference_end;
        if (::testing::Test::HasFailure()) {
            return out;
        }
        MatchesVar& match = out.emplace_back();
        match.start = group.start;
        match.end = group.end;
        for (std::size_t position : paired.originals_of(group)) {
            match.original.push_back(a.at(position));
        }
        for (std::size_t position : paired.references_of(group)) {
            match.reference.push_back(b.at(position));
        }
    }
    EXPECT_EQ(original_end, paired.original_positions.size());
    EXPECT_EQ(reference_end, paired.reference_positions.size());
    return out;
}

TEST(PairPositions, RunsAreContiguousAndNameTheGroupsOfPairIntervalsAndTheModel) {
    const RandomShape shape = {"mixed", 0, 300, -10, 400, 10, {}};
    std::mt19937 generator(99);
    std::size_t several_groups = 0;
    for (int round = 0; round < 2000; ++round) {
        const bool extreme = round % 5 == 4;
        const std::vector<Span> a_spans = extreme ? extreme_spans(generator, 6) : random_spans(generator, shape, round % 4 != 3);
        const std::vector<Span> b_spans = extreme ? extreme_spans(generator, 6) : random_spans(generator, shape, round % 4 != 2);
        const Intervals a = make_set('A', a_spans);
        const Intervals b = make_set('B', b_spans);
        for (std::int32_t margin : {kMin, 0, 5, 1000, kMax}) {
            const Matches resolved = resolve(quorvel::pair_positions(time_spans(a_spans), time_spans(b_spans), margin), a, b);
            ASSERT_FALSE(HasFailure()) << "round " << round << ", margin " << margin;
            ASSERT_TRUE(same_matches(pair_intervals(a, b, margin), resolved)) << "round " << round << ", margin " << margin;
            ASSERT_TRUE(same_matches(ModelPairing(a, b, margin).run(), resolved)) << "round " << round << ", margin " << margin;
            several_groups += resolved.size() > 1 ? 1 : 0;
        }
    }
    EXPECT_GT(several_groups, 1000u);  // the inputs are not trivial
}

TEST(PairPositions, ARecordTakenTwiceAppearsTwiceAsTheSamePosition) {
    const auto paired = quorvel::pair_positions(time_spans({{0, 10000}}), time_spans({{0, 100}, {5000, 20000}, {6000, 6100}}), 1000);
    ASSERT_EQ(paired.groups.size(), 1u);
    EXPECT_EQ(paired.groups[0].start, 0);
    EXPECT_EQ(paired.groups[0].end, 10000);
    const auto originals = paired.originals_of(paired.groups[0]);
    const auto references = paired.references_of(paired.groups[0]);
    EXPECT_EQ(std::vector<std::size_t>(originals.begin(), originals.end()), (std::vector<std::size_t>{0}));
    EXPECT_EQ(std::vector<std::size_t>(references.begin(), references.end()), (std::vector<std::size_t>{0, 2, 2}));
}

// ---------------------------------------------------------------------------------------------
// Stopping a long walk or search

// Records of both sides all overlap each other, and each pairs only with its neighbours, so the
// walk examines every later record for each group: about n^2 / 2 steps. (The sound walk skips
// them; its stop checks are tested with it.)
std::vector<Span> overlapping_spans(std::int32_t count, std::int32_t extra_length) {
    std::vector<Span> spans;
    for (std::int32_t k = 0; k < count; ++k) {
        spans.push_back({k * 1001, k * 1001 + (1 << 30) + extra_length});
    }
    return spans;
}

struct WalkResult {
    std::vector<quorvel::PairedPositions::Group> groups;
    std::vector<std::size_t> originals;
    std::vector<std::size_t> references;
    bool operator==(const WalkResult& other) const {
        const auto same_group = [](const quorvel::PairedPositions::Group& x, const quorvel::PairedPositions::Group& y) {
            return x.start == y.start && x.end == y.end && x.original_begin == y.original_begin &&
                   x.original_end == y.original_end && x.reference_begin == y.reference_begin &&
                   x.reference_end == y.reference_end;
        };
        return std::equal(groups.begin(), groups.end(), other.groups.begin(), other.groups.end(), same_group) &&
               originals == other.originals && references == other.references;
    }
};

TEST(PairingWalks, AskTheStopCheckEverySoManyStepsAndStopWhenItSays) {
    using Walk = WalkResult (*)(const std::vector<Span>&, const std::vector<Span>&, quorvel::StopCheck);
    const struct {
        const char* name;
        Walk walk;
    } walks[] = {
        {"pair_positions",
         [](const std::vector<Span>& a, const std::vector<Span>& b, quorvel::StopCheck check) {
             quorvel::PairedPositions paired = quorvel::pair_positions(a, b, 1000, check);
             return WalkResult{paired.groups, paired.original_positions, paired.reference_positions};
         }},
    };
    constexpr std::int32_t count = 2000;
    const std::vector<Span> originals = overlapping_spans(count, 0);
    const std::vector<Span> references = overlapping_spans(count, 1);
    const std::vector<Span> few = overlapping_spans(100, 0);
    for (const auto& walk : walks) {
        SCOPED_TRACE(walk.name);
        const WalkResult unchecked = walk.walk(originals, references, nullptr);
        stop_checks_asked = 0;
        EXPECT_TRUE(walk.walk(originals, references, keep_walking) == unchecked);
        // About count^2 / 2 records examined, counted group by group.
        EXPECT_GE(stop_checks_asked, int{count / 4 * count / static_cast<int>(quorvel::steps_between_stop_checks)});

        stop_checks_asked = 0;
        EXPECT_THROW(walk.walk(originals, references, stop_walking), quorvel::WalkStopped);
        EXPECT_EQ(stop_checks_asked, 1);

        // A walk shorter than the interval never asks.
        stop_checks_asked = 0;
        EXPECT_NO_THROW(walk.walk(few, few, stop_walking));
        EXPECT_EQ(stop_checks_asked, 0);
    }
}

TEST(Synchronize, AsksTheStopCheckEverySoManyStepsAndStopsWhenItSays) {
    // Evenly spaced cues, the reference 5 s late: with the default window each reference cue is
    // weighed against the cues of a length that can agree with its own among some 120 original
    // cues (about half of them) under each of the 13 scales.
    const auto track = [](std::int32_t count, std::int32_t shift) {
        std::vector<Span> spans;
        for (std::int32_t k = 0; k < count; ++k) {
            spans.push_back({k * 3000 + shift, k * 3000 + shift + 1000 + k % 7 * 200});
        }
        return spans;
    };
    constexpr std::int32_t count = 2000;
    const std::vector<Span> originals = track(count, 0);
    const std::vector<Span> references = track(count, 5000);
    const auto segments = [](const quorvel::TimeMap& map) {
        std::vector<std::tuple<std::int64_t, std::int64_t, double, double>> found;
        for (const quorvel::TimeSegment& segment : map.segments) {
            found.emplace_back(segment.start, segment.end, segment.scale, segment.offset);
        }
        return found;
    };
    const auto unchecked = segments(quorvel::synchronize(originals, references));
    stop_checks_asked = 0;
    EXPECT_EQ(segments(quorvel::synchronize(originals, references, quorvel::default_max_offset,
                                            quorvel::default_max_breaks, keep_walking)),
              unchecked);
    // Voting alone examines about 13 * 60 cue pairs per reference cue.
    EXPECT_GE(stop_checks_asked, int{count * 13 * 50 / static_cast<int>(quorvel::steps_between_stop_checks)});

    stop_checks_asked = 0;
    EXPECT_THROW(quorvel::synchronize(originals, references, quorvel::default_max_offset, quorvel::default_max_breaks,
                                      stop_walking),
                 quorvel::WalkStopped);
    EXPECT_EQ(stop_checks_asked, 1);

    // A search shorter than the interval never asks.
    const std::vector<Span> few = track(20, 0);
    stop_checks_asked = 0;
    EXPECT_NO_THROW(quorvel::synchronize(few, few, 1000, quorvel::default_max_breaks, stop_walking));
    EXPECT_EQ(stop_checks_asked, 0);
}

}  // namespace
