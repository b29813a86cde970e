// The packed record store: texts of every size survive the trip through the growing buffer, and
// sorting by start is stable.
#include "quorvel/interval_store.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

using quorvel::IntervalStore;
using quorvel::IntervalVar;
using quorvel::IntervalView;

// Texts from empty to longer than the buffer's first size, with zero bytes, so that the buffer
// grows both by doubling and by a single record's need.
std::string text_of(std::size_t k) {
    const std::size_t length = (k == 2000) ? 1'000'000 : (k % 7 == 6) ? 70'000 + k : (k * 37) % 300;
    std::string text(length, static_cast<char>('a' + k % 26));
    if (!text.empty()) {
        text[text.size() / 2] = '\0';
    }
    return text;
}

IntervalVar record_of(std::size_t k) {
    const auto n = static_cast<std::int32_t>(k);
    return IntervalVar{n % 5, -n, text_of(k), text_of(k + 3), n * 7};
}

bool same(const IntervalView& view, const IntervalVar& record) {
    return view.start == record.start && view.end == record.end && view.text == record.text &&
           view.original == record.original && view.nl == record.nl;
}

TEST(IntervalStore, KeepsEveryRecordWhileGrowing) {
    IntervalStore store;
    const std::size_t count = 3000;
    for (std::size_t k = 0; k < count; ++k) {
        store.append(quorvel::view_of(record_of(k)));
        ASSERT_TRUE(same(store[k], record_of(k))) << "record " << k << " as appended";
    }
    ASSERT_EQ(store.size(), count);
    for (std::size_t k = 0; k < count; ++k) {
        ASSERT_TRUE(same(store[k], record_of(k))) << "record " << k;
        const IntervalVar copy = store.copy(k);
        ASSERT_TRUE(same(quorvel::view_of(copy), record_of(k))) << "copy " << k;
    }
}

TEST(IntervalStore, SortsByStartStablyAndLeavesOrderedRecordsAlone) {
    IntervalStore store;
    const std::size_t count = 200;
    for (std::size_t k = 0; k < count; ++k) {
        store.append(quorvel::view_of(record_of(k)));  // starts 0..4 repeating
    }
    store.sort_by_start();
    std::size_t position = 0;
    for (std::int32_t start = 0; start < 5; ++start) {
        for (std::size_t k = 0; k < count; ++k) {
            if (record_of(k).start == start) {
                ASSERT_TRUE(same(store[position], record_of(k))) << "position " << position;
                ++position;
            }
        }
    }
    EXPECT_EQ(position, count);
}

TEST(IntervalStore, AppendsViewsOfItselfAndIsReusableAfterAMove) {
    IntervalStore store;
    store.append(quorvel::view_of(record_of(2000)));  // fills the first buffer: the next append grows it
    store.append(store[0]);
    ASSERT_EQ(store.size(), 2U);
    EXPECT_TRUE(same(store[1], record_of(2000)));

    IntervalStore taken(std::move(store));
    EXPECT_TRUE(store.empty());
    for (std::size_t k = 0; k < 20; ++k) {
        store.append(quorvel::view_of(record_of(k)));
    }
    store.shrink_to_fit();
    for (std::size_t k = 0; k < 20; ++k) {
        ASSERT_TRUE(same(store[k], record_of(k))) << "record " << k;
    }
    store = std::move(taken);
    EXPECT_TRUE(taken.empty());
    taken.append(quorvel::view_of(record_of(1)));
    EXPECT_TRUE(same(taken[0], record_of(1)));
    EXPECT_TRUE(same(store[1], record_of(2000)));
}

}  // namespace
