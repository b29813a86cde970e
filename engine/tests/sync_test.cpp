// The time map search: worked distortions alone and combined, the identity, the limits it keeps,
// bad arguments and extreme times.
#include "quorvel/sync.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace {

using engine_test::kMax;
using engine_test::kMin;
using engine_test::Span;
using quorvel::synchronize;
using quorvel::TimeMap;

constexpr double fps_23_976 = 24000.0 / 1001.0;

// A dialogue-like track: cues of 1-6 s after gaps of 0.1-2 s, from 20 s on; the lengths come from
// the raw output of a fixed mt19937, which is the same on every platform.
std::vector<Span> dialogue(std::size_t cues, std::uint32_t seed = 7) {
    std::mt19937 draws(seed);
    std::vector<Span> track;
    std::int64_t t = 20000;
    for (std::size_t k = 0; k < cues; ++k) {
        t += 100 + draws() % 1900;
        const std::int64_t length = 1000 + draws() % 5000;
        track.push_back({static_cast<std::int32_t>(t), static_cast<std::int32_t>(t + length)});
        t += length;
    }
    return track;
}

struct Break {
    double at;      // a fraction of the track's cues: the break comes before that cue
    std::int64_t length;  // > 0 inserts time, < 0 cuts the cues of that much time out
};

struct Distorted {
    std::vector<Span> reference;
    std::vector<std::int64_t> truth;  // where each reference cue's start belongs on the original
};

// The original's cues played at another rate (every time times `ratio`), moved by `offset`, with
// breaks: reference start = round(ratio * (t + breaks so far) + offset).
Distorted distort(const std::vector<Span>& original, double ratio, std::int64_t offset, std::vector<Break> breaks) {
    Distorted out;
    std::vector<std::int64_t> points;
    for (const Break& b : breaks) {
        points.push_back(original[static_cast<std::size_t>(b.at * static_cast<double>(original.size()))].start);
    }
    for (const Span& cue : original) {
        std::int64_t moved = cue.start;
        bool cut = false;
        for (std::size_t b = 0; b < breaks.size(); ++b) {
            if (breaks[b].length < 0 && cue.start >= points[b] && cue.start < points[b] - breaks[b].length) {
                cut = true;
            } else if (cue.start >= points[b]) {
                moved += breaks[b].length;
            }
        }
        if (cut) {
            continue;
        }
        const std::int64_t start = std::llround(ratio * static_cast<double>(moved) + static_cast<double>(offset));
        const std::int64_t end = start + std::llround(ratio * static_cast<double>(quorvel::length_of(cue)));
        out.reference.push_back({static_cast<std::int32_t>(start), static_cast<std::int32_t>(end)});
        out.truth.push_back(cue.start);
    }
    return out;
}

std::int64_t worst_error(const TimeMap& map, const Distorted& distorted) {
    std::int64_t worst = 0;
    for (std::size_t k = 0; k < distorted.reference.size(); ++k) {
        worst = std::max(worst, std::abs(map(distorted.reference[k].start) - distorted.truth[k]));
    }
    return worst;
}

std::string describe(const TimeMap& map) {
    std::ostringstream out;
    for (const quorvel::TimeSegment& segment : map.segments) {
        out << "[" << segment.start << ", " << segment.end << ") x" << segment.scale << " + " << segment.offset << "  ";
    }
    return out.str();
}

void expect_identity(const TimeMap& map) {
    ASSERT_EQ(map.segments.size(), 1u) << describe(map);
    EXPECT_EQ(map.segments[0].start, std::int64_t{kMin});
    EXPECT_EQ(map.segments[0].end, std::int64_t{kMax} + 1);
    EXPECT_EQ(map.segments[0].scale, 1.0);
    EXPECT_EQ(map.segments[0].offset, 0.0);
}

TEST(TimeMap, AppliesTheSegmentHoldingEachTimeRoundingHalfAwayFromZero) {
    const TimeMap map{{{kMin, 1000, 1.0, -0.5}, {1000, 2000, 0.5, 0.0}, {2000, std::int64_t{kMax} + 1, 1.25, 1e9}}};
    const std::vector<std::pair<std::int32_t, std::int64_t>> cases = {
        {kMin, std::int64_t{kMin} - 1},  // -2147483648.5 rounds away from zero
        {0, -1},                         // -0.5 rounds away from zero
        {999, 999},                      // 998.5
        {1000, 500},                     // the second segment starts here
        {1001, 501},                     // 500.5
        {1999, 1000},                    // 999.5
        {2000, 1000002500},
        {kMax, 3684354559},  // 2147483647 * 1.25 + 1e9 = 3684354558.75
    };
    for (const auto& [time, expected] : cases) {
        EXPECT_EQ(map(time), expected) << time;
    }
    EXPECT_EQ(TimeMap{}(-7), -7);
}

TEST(Synchronize, CarriesEveryCueHomeUnderEachDistortionAloneAndCombined) {
    struct Case {
        const char* name;
        double ratio;
        std::int64_t offset;
        std::vector<Break> breaks;
    };
    const std::vector<Case> cases = {
        {"offset later", 1.0, 7300, {}},
        {"offset earlier by the most allowed", 1.0, -60000, {}},
        {"23.976 -> 25 fps", fps_23_976 / 25.0, 0, {}},
        {"25 -> 23.976 fps", 25.0 / fps_23_976, 0, {}},
        {"24 -> 23.976 fps, the smallest ratio", 24.0 / fps_23_976, 0, {}},
        {"30 -> 24 fps", 30.0 / 24.0, 0, {}},
        {"one break inserting 30 s", 1.0, 0, {{0.4, 30000}}},
        {"one break cutting 20 s", 1.0, 0, {{0.6, -20000}}},
        {"two breaks", 1.0, 0, {{0.3, 12000}, {0.7, -45000}}},
        {"offset, frame rate and a break", fps_23_976 / 25.0, 7300, {{0.5, 30000}}},
        {"everything at its limit", 30.0 / 24.0, -60000, {{0.25, 60000}, {0.75, 60000}}},
    };
    const std::vector<Span> original = dialogue(600);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Distorted distorted = distort(original, c.ratio, c.offset, c.breaks);
        const TimeMap map = synchronize(original, distorted.reference);
        EXPECT_EQ(map.segments.size(), c.breaks.size() + 1) << describe(map);
        for (const quorvel::TimeSegment& segment : map.segments) {
            EXPECT_DOUBLE_EQ(segment.scale, 1.0 / c.ratio) << describe(map);
        }
        EXPECT_LE(worst_error(map, distorted), 2) << describe(map);
    }
}

TEST(Synchronize, FitsTheOffsetExactlyWhereSomeCuesAreSplitInTwo) {
    // Every fourth cue of 1.6 s or more shown as two parts 100 ms apart, the second of 500 ms: the
    // first part's end lies 600 ms from its partner's, and a fit that took it would move every
    // cue.
    const std::vector<Span> original = dialogue(600);
    std::vector<Span> reference;
    std::vector<std::int64_t> truth;
    for (std::size_t k = 0; k < original.size(); ++k) {
        const Span moved{original[k].start + 7300, original[k].end + 7300};
        if (k % 4 == 0 && quorvel::length_of(moved) >= 1600) {
            const std::int32_t middle = moved.end - 600;
            reference.push_back({moved.start, middle});
            reference.push_back({middle + 100, moved.end});
            truth.push_back(original[k].start);
            truth.push_back(middle + 100 - 7300);
        } else {
            reference.push_back(moved);
            truth.push_back(original[k].start);
        }
    }
    const TimeMap map = synchronize(original, reference);
    ASSERT_EQ(map.segments.size(), 1u) << describe(map);
    EXPECT_EQ(map.segments[0].scale, 1.0);
    for (std::size_t k = 0; k < reference.size(); ++k) {
        ASSERT_EQ(map(reference[k].start), truth[k]) << k << ": " << describe(map);
    }
}

TEST(Synchronize, ReturnsTheIdentityExactlyWhenNothingRatesBetter) {
    const std::vector<Span> track = dialogue(500);
    std::vector<Span> shuffled = track;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(3));
    expect_identity(synchronize(track, track));
    expect_identity(synchronize(shuffled, track));
    expect_identity(synchronize(track, shuffled, 60000, 0));
    expect_identity(synchronize(track, {}));
    expect_identity(synchronize({}, track));
    // Out of reach: the reference lies a day away, far beyond any offset allowed.
    expect_identity(synchronize(track, distort(track, 1.0, 86400000, {}).reference));
    // Cues without a positive length carry no time.
    expect_identity(synchronize(std::vector<Span>{{5000, 5000}, {9000, 8000}}, std::vector<Span>{{5000, 7000}}));
}

TEST(Synchronize, TakesTheReferenceInAnyOrder) {
    const std::vector<Span> original = dialogue(400);
    const Distorted distorted = distort(original, 25.0 / 24.0, -15000, {{0.5, 20000}});
    std::vector<Span> shuffled = distorted.reference;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(11));
    const TimeMap sorted_map = synchronize(original, distorted.reference);
    const TimeMap shuffled_map = synchronize(original, shuffled);
    ASSERT_EQ(sorted_map.segments.size(), shuffled_map.segments.size());
    for (std::size_t k = 0; k < sorted_map.segments.size(); ++k) {
        EXPECT_EQ(sorted_map.segments[k].start, shuffled_map.segments[k].start);
        EXPECT_EQ(sorted_map.segments[k].scale, shuffled_map.segments[k].scale);
        EXPECT_EQ(sorted_map.segments[k].offset, shuffled_map.segments[k].offset);
    }
}

TEST(Synchronize, KeepsWithinMaxOffsetAndMaxBreaks) {
    const std::vector<Span> original = dialogue(600);
    const Distorted two_breaks = distort(original, 1.0, 0, {{0.3, 20000}, {0.7, -20000}});
    EXPECT_EQ(synchronize(original, two_breaks.reference, 60000, 0).segments.size(), 1u);
    EXPECT_EQ(synchronize(original, two_breaks.reference, 60000, 1).segments.size(), 2u);
    EXPECT_LE(worst_error(synchronize(original, two_breaks.reference, 60000, 5), two_breaks), 2);

    // An offset of 20 s is out of reach of a 10 s window, in reach of a 20 s one.
    const Distorted late = distort(original, 1.0, 20000, {});
    for (const std::int64_t max_offset : {0, 10000}) {
        const TimeMap map = synchronize(original, late.reference, max_offset, 0);
        for (const quorvel::TimeSegment& segment : map.segments) {
            EXPECT_LE(std::abs(segment.offset), static_cast<double>(max_offset)) << describe(map);
        }
    }
    EXPECT_LE(worst_error(synchronize(original, late.reference, 20000, 0), late), 2);
}

TEST(Synchronize, RefusesNegativeLimitsNamingThem) {
    const std::vector<Span> track = dialogue(10);
    const auto message = [&](std::int64_t max_offset, std::int64_t max_breaks) -> std::string {
        try {
            synchronize(track, track, max_offset, max_breaks);
        } catch (const std::invalid_argument& error) {
            return error.what();
        }
        return "no exception";
    };
    EXPECT_EQ(message(-1, 2), "max_offset must not be negative, got -1");
    EXPECT_EQ(message(0, -1), "max_breaks must not be negative, got -1");
    EXPECT_EQ(message(std::numeric_limits<std::int64_t>::min(), 0),
              "max_offset must not be negative, got -9223372036854775808");
}

TEST(Synchronize, StaysSoundAtExtremeTimesAndLimits) {
    constexpr std::int64_t huge = std::numeric_limits<std::int64_t>::max();
    const std::vector<Span> edges = {{kMin, kMin + 3000}, {-5, 5}, {kMax - 3000, kMax}};
    const std::vector<Span> moved = {{kMin + 1000, kMin + 4000}};
    for (const auto& [max_offset, max_breaks] :
         std::vector<std::pair<std::int64_t, std::int64_t>>{{huge, huge}, {huge, 0}, {0, huge}, {60000, 2}}) {
        for (const TimeMap& map : {synchronize(edges, moved, max_offset, max_breaks),
                                   synchronize(moved, edges, max_offset, max_breaks)}) {
            ASSERT_FALSE(map.segments.empty());
            EXPECT_EQ(map.segments.front().start, std::int64_t{kMin});
            EXPECT_EQ(map.segments.back().end, std::int64_t{kMax} + 1);
            for (std::size_t k = 1; k < map.segments.size(); ++k) {
                EXPECT_EQ(map.segments[k - 1].end, map.segments[k].start);
                EXPECT_LT(map.segments[k].start, map.segments[k].end);
            }
            EXPECT_LE(std::abs(map(kMin)), std::int64_t{1} << 35);
            EXPECT_LE(std::abs(map(kMax)), std::int64_t{1} << 35);
        }
    }
    // With the whole range open, the cue at the start is brought home.
    const TimeMap map = synchronize(edges, moved, huge, 2);
    EXPECT_LE(std::abs(map(kMin + 1000) - kMin), 2) << describe(map);
}

void expect_covers_every_time(const TimeMap& map) {
    EXPECT_TRUE(quorvel::covers_every_time(map)) << describe(map);
    ASSERT_FALSE(map.segments.empty());
    EXPECT_EQ(map.segments.front().start, std::int64_t{kMin});
    EXPECT_EQ(map.segments.back().end, std::int64_t{kMax} + 1);
    for (std::size_t k = 1; k < map.segments.size(); ++k) {
        EXPECT_EQ(map.segments[k - 1].end, map.segments[k].start) << describe(map);
        EXPECT_LT(map.segments[k].start, map.segments[k].end) << describe(map);
    }
}

// Cues starting together may be chosen under offsets X, then Y, then X again; the map must still
// cover every time (its builder once dropped the middle run and left a hole after the first).
TEST(Synchronize, CoversEveryTimeWhenCuesStartTogetherUnderDifferentOffsets) {
    std::vector<Span> original;
    std::vector<Span> reference;
    for (std::int32_t k = 0; k < 30; ++k) {
        const Span cue{k * 6000, k * 6000 + 3000};
        original.push_back(cue);
        reference.push_back(cue);
    }
    for (int k = 0; k < 8; ++k) {
        reference.push_back({200000, 201000});
        original.push_back({230000, 231000});
    }
    for (int k = 0; k < 4; ++k) {
        reference.push_back({200000, 220000});
        original.push_back({200000, 220000});
    }
    const TimeMap map = synchronize(original, reference);
    expect_covers_every_time(map);
    for (const Span& cue : reference) {
        EXPECT_LE(std::abs(map(cue.start) - cue.start), 30000) << describe(map);
    }
}

// Generated: dialogue with a break of 25 s half-way, and clusters of cues starting together where
// the short ones lie some seconds later in the original and the long ones in place.
TEST(Synchronize, CoversEveryTimeOnTracksWithClustersOfCuesStartingTogether) {
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 draws(seed);
        std::vector<Span> original;
        std::vector<Span> reference;
        std::int32_t t = 0;
        for (int k = 0; k < 200; ++k) {
            t += 500 + static_cast<std::int32_t>(draws() % 3000);
            const std::int32_t length = 1000 + static_cast<std::int32_t>(draws() % 4000);
            if (draws() % 25 == 0) {
                const std::int32_t shift = 5000 + static_cast<std::int32_t>(draws() % 40) * 1000;
                const int shorts = 1 + static_cast<int>(draws() % 10);
                const int longs = 1 + static_cast<int>(draws() % 5);
                for (int c = 0; c < shorts; ++c) {
                    reference.push_back({t, t + 1000});
                    original.push_back({t + shift, t + shift + 1000});
                }
                for (int c = 0; c < longs; ++c) {
                    reference.push_back({t, t + 20000});
                    original.push_back({t, t + 20000});
                }
            }
            reference.push_back({t, t + length});
            original.push_back({t, t + length});
            t += length;
        }
        const std::int32_t middle = reference[reference.size() / 2].start;
        for (Span& cue : reference) {
            if (cue.start >= middle) {
                cue.start += 25000;
                cue.end += 25000;
            }
        }
        std::size_t broken = 0;
        for (const std::int64_t max_breaks : {1, 2, 5, 14}) {
            const TimeMap map = synchronize(original, reference, 60000, max_breaks);
            expect_covers_every_time(map);
            EXPECT_LE(map.segments.size(), static_cast<std::size_t>(max_breaks) + 1) << describe(map);
            broken += map.segments.size() > 1 ? 1 : 0;
        }
        EXPECT_GE(broken, 3u);  // the builder's joining of segments is exercised
    }
}

// Cues of 1-6 s all starting within the first `span` ms from 20 s on, and the same cues moved by
// 7.3 s with each start and end moved by up to 100 ms more: what a track of many short lines
// crowded together gives.
struct Crowded {
    std::vector<Span> original;
    std::vector<Span> reference;
};

Crowded crowded(std::size_t cues, std::int32_t span, std::uint32_t seed = 3) {
    std::mt19937 draws(seed);
    Crowded tracks;
    for (std::size_t k = 0; k < cues; ++k) {
        const std::int32_t start = 20000 + static_cast<std::int32_t>(draws() % static_cast<std::uint32_t>(span));
        const std::int32_t length = 1000 + static_cast<std::int32_t>(draws() % 5000);
        tracks.original.push_back({start, start + length});
        const std::int32_t moved = start + 7300 + static_cast<std::int32_t>(draws() % 201) - 100;
        tracks.reference.push_back(
            {moved, std::max(moved + 300, start + length + 7300 + static_cast<std::int32_t>(draws() % 201) - 100)});
    }
    return tracks;
}

// 4,000 cues starting within one minute: the nearest cues by start lie among hundreds that overlap
// each one, and the votes of every scale are crowded by chance; the map is still found.
TEST(Synchronize, FindsTheMapOfCuesCrowdedTogether) {
    const Crowded tracks = crowded(4000, 60000);
    const TimeMap map = synchronize(tracks.original, tracks.reference);
    std::vector<std::int64_t> errors;
    for (const Span& cue : tracks.reference) {
        errors.push_back(std::abs(map(cue.start) - (cue.start - 7300)));
    }
    std::sort(errors.begin(), errors.end());
    EXPECT_LE(errors[errors.size() * 95 / 100], 100) << describe(map);
}

// The search's work (its steps, counted by the stop checks it asks) on crowded cues stays near its
// work on dialogue of as many cues: every scale's chance peak is not a candidate there, and a cue
// votes with a bounded number of cues of its length.
TEST(Synchronize, SearchesCrowdedCuesAtTheCostOfDialogue) {
    struct Case {
        std::size_t cues;
        std::int32_t span;
    };
    // A minute of cues, and half an hour with a cue every 225 ms, where a cue's window of offsets
    // holds some 1,600 cues and votes take a stride through those of its length.
    for (const Case crowd : {Case{2000, 60000}, Case{8000, 60000}, Case{8000, 1800000}}) {
        SCOPED_TRACE(crowd.span);
        const std::size_t cues = crowd.cues;
        const std::vector<Span> original = dialogue(cues, 11);
        const Distorted moved = distort(original, 1.0, 7300, {});
        engine_test::stop_checks_asked = 0;
        synchronize(original, moved.reference, 60000, 2, engine_test::keep_walking);
        const int dialogue_checks = engine_test::stop_checks_asked;
        const Crowded tracks = crowded(cues, crowd.span);
        engine_test::stop_checks_asked = 0;
        synchronize(tracks.original, tracks.reference, 60000, 2, engine_test::keep_walking);
        const int crowded_checks = engine_test::stop_checks_asked;
        EXPECT_LE(crowded_checks, 3 * dialogue_checks) << dialogue_checks << " on dialogue";
    }
}

}  // namespace

