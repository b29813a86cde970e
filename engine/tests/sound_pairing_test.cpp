// Sound pairing of two tracks by position: worked walks of the engine alone. The walk's agreement
// with its model and its properties are tested through c_quorvel.align.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "quorvel/pairing.hpp"
#include "test_support.hpp"

namespace {

using engine_test::kMax;
using engine_test::kMin;
using engine_test::Span;
using engine_test::keep_walking;
using engine_test::stop_checks_asked;
using engine_test::stop_walking;
using quorvel::align_positions;
using quorvel::AlignedPositions;
using Positions = std::vector<std::size_t>;

struct Group {
    std::int32_t start;
    std::int32_t end;
    Positions original;
    Positions reference;
    bool operator==(const Group&) const = default;
};

std::vector<Group> groups_of(const AlignedPositions& aligned) {
    std::vector<Group> groups;
    for (const auto& group : aligned.paired.groups) {
        const auto originals = aligned.paired.originals_of(group);
        const auto references = aligned.paired.references_of(group);
        groups.push_back({group.start, group.end, Positions(originals.begin(), originals.end()),
                          Positions(references.begin(), references.end())});
    }
    return groups;
}

std::ostream& operator<<(std::ostream& out, const Group& group) {
    out << "[" << group.start << ", " << group.end << "] original {";
    for (std::size_t position : group.original) out << " " << position;
    out << " } reference {";
    for (std::size_t position : group.reference) out << " " << position;
    return out << " }";
}

struct WalkCase {
    const char* name;
    std::vector<Span> original;
    std::vector<Span> reference;
    std::int32_t margin;
    std::vector<Group> groups;
    Positions unpaired_original;
    Positions unpaired_reference;
};

TEST(AlignPositions, WorkedWalks) {
    const std::vector<WalkCase> cases = {
        {"empty sides", {}, {}, 1000, {}, {}, {}},
        {"one side empty: everything unpaired", {{0, 10}, {5, 20}}, {}, 1000, {}, {0, 1}, {}},
        {"the passed-over candidate pairs with a later record",
         {{0, 10000}, {5200, 19000}},
         {{0, 100}, {5000, 20000}, {6000, 6100}},
         1000,
         {{0, 10000, {0}, {0, 2}}, {5000, 20000, {1}, {1}}},
         {},
         {}},
        {"a late joiner widens the group's span",
         {{0, 5000}, {5700, 11000}},
         {{0, 1000}, {4800, 5100}},
         1000,
         {{0, 11000, {0, 1}, {0, 1}}},
         {},
         {}},
        {"equal spans keep their input order",
         {{0, 50}, {0, 50}},
         {{0, 100}},
         0,
         {{0, 100, {0, 1}, {0}}},
         {},
         {}},
        {"extreme times compare exactly",
         {{kMin, kMin}, {kMax, kMax}},
         {{-1, -1}, {kMax, kMax}},
         kMax,
         {{kMin, -1, {0}, {0}}, {kMax, kMax, {1}, {1}}},
         {},
         {}},
        {"a negative margin pairs nested records only",
         {{0, 10}, {20, 30}},
         {{0, 10}, {21, 31}},
         -1,
         {{0, 10, {0}, {0}}},
         {1},
         {1}},
    };
    for (const WalkCase& c : cases) {
        SCOPED_TRACE(c.name);
        const AlignedPositions aligned = align_positions(c.original, c.reference, c.margin);
        EXPECT_EQ(groups_of(aligned), c.groups);
        EXPECT_EQ(aligned.unpaired_original, c.unpaired_original);
        EXPECT_EQ(aligned.unpaired_reference, c.unpaired_reference);
    }
}

// ---------------------------------------------------------------------------------------------
// Crowded tracks: the walk's steps grow about linearly, and it still stops when asked

// Every record overlaps every other; the staircase matches only its neighbours, the nested chain
// matches every later record, each of which belongs rather to the anchor's follower.
std::vector<Span> staircase(std::int32_t count, std::int32_t extra_length) {
    std::vector<Span> spans;
    for (std::int32_t k = 0; k < count; ++k) {
        spans.push_back({k * 1001, k * 1001 + (1 << 30) + extra_length});
    }
    return spans;
}

std::vector<Span> nested_chain(std::int32_t count, std::int32_t extra_length) {
    std::vector<Span> spans;
    for (std::int32_t k = 0; k < count; ++k) {
        spans.push_back({k * 1001, (1 << 30) - k * 1001 + extra_length});
    }
    return spans;
}

TEST(AlignPositions, CrowdedTracksTakeAboutLinearlyManyStepsAndStopWhenAsked) {
    using Family = std::vector<Span> (*)(std::int32_t, std::int32_t);
    const struct {
        const char* name;
        Family family;
    } families[] = {{"staircase", staircase}, {"nested chain", nested_chain}};
    for (const auto& family : families) {
        SCOPED_TRACE(family.name);
        const auto asked = [&](std::int32_t count) {
            stop_checks_asked = 0;
            const AlignedPositions aligned =
                align_positions(family.family(count, 0), family.family(count, 1), 1000, keep_walking);
            EXPECT_EQ(aligned.paired.groups.size(), static_cast<std::size_t>(count));
            return stop_checks_asked;
        };
        // Scanning every later record would take about count^2 / 2 steps: 4,700 checks at 25,000.
        const int at_25000 = asked(25000);
        const int at_100000 = asked(100000);
        EXPECT_GE(at_25000, 1);
        EXPECT_LE(at_100000, 8 * at_25000 + 8);
        EXPECT_LE(at_25000, 100);

        stop_checks_asked = 0;
        EXPECT_THROW(align_positions(family.family(25000, 0), family.family(25000, 1), 1000, stop_walking),
                     quorvel::WalkStopped);
        EXPECT_EQ(stop_checks_asked, 1);
    }
}

}  // namespace
