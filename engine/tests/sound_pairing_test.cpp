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

}  // namespace
