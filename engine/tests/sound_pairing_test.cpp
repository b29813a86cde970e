// Sound pairing of two tracks: worked walks, and the partition and order properties on random
// tracks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "quorvel/pairing.hpp"
#include "test_support.hpp"

namespace {

using engine_test::kMax;
using engine_test::kMin;
using engine_test::Span;
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
        {"a record that matches nothing does not pass over the other side's record",
         {{0, 10}, {2050, 2090}},
         {{2000, 2100}},
         1000,
         {{2000, 2100, {1}, {0}}},
         {0},
         {}},
        {"a candidate the group passed over stays available and is listed once",
         {{0, 10000}},
         {{0, 100}, {5000, 20000}, {6000, 6100}},
         1000,
         {{0, 10000, {0}, {0, 2}}},
         {},
         {1}},
        {"the passed-over candidate pairs with a later record",
         {{0, 10000}, {5200, 19000}},
         {{0, 100}, {5000, 20000}, {6000, 6100}},
         1000,
         {{0, 10000, {0}, {0, 2}}, {5000, 20000, {1}, {1}}},
         {},
         {}},
        {"a candidate nearer to the anchor's follower is left to it",
         {{0, 1868}, {2007, 3580}},
         {{875, 2786}, {2916, 4493}},
         1000,
         {{0, 2786, {0}, {0}}, {2007, 4493, {1}, {1}}},
         {},
         {}},
        {"a late joiner widens the group's span",
         {{0, 5000}, {5700, 11000}},
         {{0, 1000}, {4800, 5100}},
         1000,
         {{0, 11000, {0, 1}, {0, 1}}},
         {},
         {}},
        {"input order does not matter; groups list members in order of start",
         {{4000, 5000}, {0, 1000}, {1100, 2000}},
         {{3900, 5100}, {0, 2000}},
         50,
         {{0, 2000, {1, 2}, {1}}, {3900, 5100, {0}, {0}}},
         {},
         {}},
        {"equal starts keep their input order",
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

std::vector<Span> random_track(std::mt19937& generator, std::size_t count) {
    std::uniform_int_distribution<std::int32_t> start(-5000, 50000);
    std::uniform_int_distribution<std::int32_t> length(-200, 6000);  // some reversed, some empty
    std::vector<Span> track;
    for (std::size_t k = 0; k < count; ++k) {
        const std::int32_t from = start(generator);
        track.push_back({from, from + length(generator)});
    }
    return track;
}

// Every position of a side exactly once: in one group or in the unpaired list.
void expect_partition(const AlignedPositions& aligned, std::size_t originals, std::size_t references) {
    Positions seen_original = aligned.paired.original_positions;
    seen_original.insert(seen_original.end(), aligned.unpaired_original.begin(), aligned.unpaired_original.end());
    Positions seen_reference = aligned.paired.reference_positions;
    seen_reference.insert(seen_reference.end(), aligned.unpaired_reference.begin(), aligned.unpaired_reference.end());
    std::sort(seen_original.begin(), seen_original.end());
    std::sort(seen_reference.begin(), seen_reference.end());
    Positions all_original(originals);
    Positions all_reference(references);
    for (std::size_t k = 0; k < originals; ++k) all_original[k] = k;
    for (std::size_t k = 0; k < references; ++k) all_reference[k] = k;
    EXPECT_EQ(seen_original, all_original);
    EXPECT_EQ(seen_reference, all_reference);
    for (const auto& group : aligned.paired.groups) {
        EXPECT_GT(group.original_end, group.original_begin);
        EXPECT_GT(group.reference_end, group.reference_begin);
    }
}

// The result of a shuffled input, with positions mapped back to the unshuffled input.
std::vector<Group> groups_after_shuffle(const std::vector<Span>& original, const std::vector<Span>& reference,
                                        std::int32_t margin, std::mt19937& generator) {
    Positions original_order(original.size());
    Positions reference_order(reference.size());
    for (std::size_t k = 0; k < original.size(); ++k) original_order[k] = k;
    for (std::size_t k = 0; k < reference.size(); ++k) reference_order[k] = k;
    std::shuffle(original_order.begin(), original_order.end(), generator);
    std::shuffle(reference_order.begin(), reference_order.end(), generator);
    // Equal starts stay in input order: a shuffle that swaps two records with equal starts gives
    // an equally valid result, so those are compared by span only below.
    std::vector<Span> shuffled_original;
    std::vector<Span> shuffled_reference;
    for (std::size_t position : original_order) shuffled_original.push_back(original[position]);
    for (std::size_t position : reference_order) shuffled_reference.push_back(reference[position]);
    std::vector<Group> groups = groups_of(align_positions(shuffled_original, shuffled_reference, margin));
    for (Group& group : groups) {
        for (std::size_t& position : group.original) position = original_order[position];
        for (std::size_t& position : group.reference) position = reference_order[position];
    }
    return groups;
}

std::vector<std::vector<std::pair<std::int32_t, std::int32_t>>> spans_by_group(const std::vector<Group>& groups,
                                                                               const std::vector<Span>& original,
                                                                               const std::vector<Span>& reference) {
    std::vector<std::vector<std::pair<std::int32_t, std::int32_t>>> spans;
    for (const Group& group : groups) {
        auto& members = spans.emplace_back();
        members.emplace_back(group.start, group.end);
        for (std::size_t position : group.original) members.emplace_back(original[position].start, original[position].end);
        members.emplace_back(kMin, kMin);  // side separator
        for (std::size_t position : group.reference) members.emplace_back(reference[position].start, reference[position].end);
    }
    return spans;
}

TEST(AlignPositions, RandomTracksArePartitionedAndOrderDoesNotMatter) {
    std::mt19937 generator(20261207);
    for (int round = 0; round < 300; ++round) {
        std::uniform_int_distribution<std::size_t> size(0, 40);
        std::vector<Span> original = random_track(generator, size(generator));
        std::vector<Span> reference = random_track(generator, size(generator));
        if (round % 3 == 0 && !original.empty()) {
            reference.push_back(original.front());  // duplicates across and within sides
            original.push_back(original.front());
        }
        const std::int32_t margin = std::uniform_int_distribution<std::int32_t>(-10, 2000)(generator);
        SCOPED_TRACE(testing::Message() << "round " << round << " margin " << margin);
        const AlignedPositions aligned = align_positions(original, reference, margin);
        expect_partition(aligned, original.size(), reference.size());
        for (const Group& group : groups_of(aligned)) {
            for (std::size_t position : group.original) {
                EXPECT_LE(group.start, original[position].start);
                EXPECT_GE(group.end, original[position].end);
            }
            for (std::size_t position : group.reference) {
                EXPECT_LE(group.start, reference[position].start);
                EXPECT_GE(group.end, reference[position].end);
            }
        }
        EXPECT_EQ(spans_by_group(groups_of(aligned), original, reference),
                  spans_by_group(groups_after_shuffle(original, reference, margin, generator), original, reference));
    }
}

}  // namespace
