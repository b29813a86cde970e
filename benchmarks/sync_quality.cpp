// Quality and cost of quorvel::synchronize on generated pairs of subtitle tracks.
//
// Built only on request: cmake -DQUORVEL_BUILD_BENCHMARKS=ON, then run build/.../sync_quality
// [--cues 2000] [--seeds 5]. Not a test: every row is printed with OK or MISSED against its goal.
//
// The generator, written down so that another benchmark can mirror it (all times in ms, every
// draw from one std::mt19937_64 seeded per pair; triangular(low, high, mode) as Python's
// random.triangular):
//  1. The original track: N cues starting at 30,000; before each cue a gap of
//     triangular(0, 2000, 150), then a duration of triangular(1000, 6000, 2200).
//  2. The second language, on the same timeline, walking the original's cues in order; one draw u
//     of uniform [0, 1) per cue:
//       u < 0.03            the cue is only in the original (left out);
//       u < 0.06            merged with its successor into one cue (when there is one);
//       u < 0.14            split at 35-65% of its length, the second part 0-120 ms after the
//                           first (only cues of at least 1,600 ms; shorter ones are copied);
//       otherwise           copied.
//     Every start and end so made moves by a uniform integer of -100..100 ms (jitter); a cue
//     shorter than 300 ms afterwards is stretched to 300 ms. After a cue, with probability 0.03
//     and when the gap to the next original cue is at least 1,400 ms, a cue of 600-1,200 ms found
//     only in the second track is put in the middle of that gap. The track is sorted by start.
//  3. The distortion of the second track: a frame-rate ratio, an offset and breaks. A break at
//     original time p of length L > 0 inserts L ms of foreign content (times from p on move by L);
//     of length L < 0 cuts the content [p, p + |L|) (cues starting there are dropped, later times
//     move by L). A cue starting at t becomes
//         start' = round(ratio * (t + sum of the breaks at or before t) + offset),
//         end'   = start' + round(ratio * (end - start)).
//     Break points are drawn uniformly in 5%-95% of the track's span, at least 10% of it apart.
//  4. The error of a found map at a cue is |map(start') - t| where t is the cue's undistorted
//     (jittered) start: how far the map lands from where the cue belongs.
// Goal: 95th percentile of the error at most 100 ms for every distortion with offsets within
// +-60 s, any of the 12 frame-rate ratios between 23.976, 24, 25 and 30 fps, and up to two breaks
// of 5-60 s either way. Cost goal: 2,000 cues a side in well under a second.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "quorvel/records.hpp"
#include "quorvel/sync.hpp"

namespace {

using quorvel::TimeSpan;

constexpr double frame_rates[] = {24000.0 / 1001.0, 24.0, 25.0, 30.0};
const char* const frame_rate_names[] = {"23.976", "24", "25", "30"};

class Draws {
public:
    explicit Draws(std::uint64_t seed) : engine_(seed) {}
    double uniform() { return std::uniform_real_distribution<double>(0.0, 1.0)(engine_); }
    std::int64_t integer(std::int64_t low, std::int64_t high) {
        return std::uniform_int_distribution<std::int64_t>(low, high)(engine_);
    }
    // As Python's random.triangular(low, high, mode).
    double triangular(double low, double high, double mode) {
        double u = uniform();
        double c = (mode - low) / (high - low);
        if (u > c) {
            u = 1.0 - u;
            c = 1.0 - c;
            std::swap(low, high);
        }
        return low + (high - low) * std::sqrt(u * c);
    }

private:
    std::mt19937_64 engine_;
};

struct Break {
    std::int64_t at = 0;
    std::int64_t length = 0;
};

struct Distortion {
    std::string name;
    int rate_from = -1;  // indices into frame_rates; -1 for no change of rate
    int rate_to = -1;
    std::int64_t offset = 0;
    std::vector<std::int64_t> break_lengths;  // placed by the generator
    bool random = false;                      // drawn per seed instead
};

struct Pair {
    std::vector<TimeSpan> original;
    std::vector<TimeSpan> reference;
    std::vector<std::int64_t> truth;  // undistorted start of each reference cue
};

std::vector<TimeSpan> original_track(Draws& draws, std::size_t cues) {
    std::vector<TimeSpan> track;
    double t = 30000;
    for (std::size_t k = 0; k < cues; ++k) {
        t += std::floor(draws.triangular(0, 2000, 150));
        const double duration = std::floor(draws.triangular(1000, 6000, 2200));
        track.push_back({static_cast<std::int32_t>(t), static_cast<std::int32_t>(t + duration)});
        t += duration;
    }
    return track;
}

std::vector<TimeSpan> second_language(Draws& draws, const std::vector<TimeSpan>& original) {
    std::vector<TimeSpan> track;
    auto add = [&](std::int64_t start, std::int64_t end) {
        start += draws.integer(-100, 100);
        end += draws.integer(-100, 100);
        end = std::max(end, start + 300);
        track.push_back({static_cast<std::int32_t>(start), static_cast<std::int32_t>(end)});
    };
    for (std::size_t k = 0; k < original.size(); ++k) {
        const TimeSpan cue = original[k];
        const double u = draws.uniform();
        if (u < 0.03) {
            // only in the original
        } else if (u < 0.06 && k + 1 < original.size()) {
            add(cue.start, original[k + 1].end);
            ++k;
        } else if (u < 0.14 && quorvel::length_of(cue) >= 1600) {
            const std::int64_t middle = cue.start + quorvel::length_of(cue) * draws.integer(35, 65) / 100;
            add(cue.start, middle);
            add(middle + draws.integer(0, 120), cue.end);
        } else {
            add(cue.start, cue.end);
        }
        if (k + 1 < original.size() && draws.uniform() < 0.03) {
            const std::int64_t gap = std::int64_t{original[k + 1].start} - original[k].end;
            if (gap >= 1400) {
                const std::int64_t length = draws.integer(600, 1200);
                const std::int64_t start = original[k].end + (gap - length) / 2;
                track.push_back({static_cast<std::int32_t>(start), static_cast<std::int32_t>(start + length)});
            }
        }
    }
    std::sort(track.begin(), track.end(), [](const TimeSpan& a, const TimeSpan& b) { return a.start < b.start; });
    return track;
}

Pair make_pair(const Distortion& asked, std::size_t cues, std::uint64_t seed) {
    Draws draws(seed);
    Pair pair;
    pair.original = original_track(draws, cues);
    const std::vector<TimeSpan> second = second_language(draws, pair.original);

    Distortion distortion = asked;
    if (asked.random) {
        distortion.offset = draws.integer(-60000, 60000);
        distortion.rate_from = static_cast<int>(draws.integer(0, 3));
        distortion.rate_to = static_cast<int>(draws.integer(0, 3));
        distortion.break_lengths.clear();
        const std::int64_t breaks = draws.integer(0, 2);
        for (std::int64_t b = 0; b < breaks; ++b) {
            const std::int64_t length = draws.integer(5000, 60000);
            distortion.break_lengths.push_back(draws.uniform() < 0.5 ? length : -length);
        }
    }
    const double ratio = distortion.rate_from < 0 ? 1.0
                                                    : frame_rates[distortion.rate_from] /
                                                          frame_rates[distortion.rate_to];
    const std::int64_t first = pair.original.front().start;
    const std::int64_t span = pair.original.back().end - first;
    std::vector<Break> breaks;
    for (std::int64_t length : distortion.break_lengths) {
        for (;;) {
            const std::int64_t at = first + span / 20 + draws.integer(0, span * 9 / 10);
            const bool apart = std::all_of(breaks.begin(), breaks.end(),
                                           [&](const Break& other) { return std::abs(other.at - at) >= span / 10; });
            if (apart) {
                breaks.push_back({at, length});
                break;
            }
        }
    }
    for (const TimeSpan& cue : second) {
        std::int64_t moved = cue.start;
        bool cut = false;
        for (const Break& b : breaks) {
            if (b.length < 0 && cue.start >= b.at && cue.start < b.at - b.length) {
                cut = true;
            } else if (cue.start >= b.at) {
                moved += b.length;
            }
        }
        if (cut) {
            continue;
        }
        const std::int64_t start = std::llround(ratio * static_cast<double>(moved) + static_cast<double>(distortion.offset));
        const std::int64_t end = start + std::llround(ratio * static_cast<double>(quorvel::length_of(cue)));
        pair.reference.push_back({static_cast<std::int32_t>(start), static_cast<std::int32_t>(end)});
        pair.truth.push_back(cue.start);
    }
    return pair;
}

double percentile(std::vector<double> values, double share) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t k = std::min(values.size() - 1, static_cast<std::size_t>(share * static_cast<double>(values.size())));
    return values[k];
}

double milliseconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

std::vector<Distortion> distortions() {
    std::vector<Distortion> list;
    list.push_back({.name = "none", .break_lengths = {}});
    for (std::int64_t offset : {-60000, -7300, 500, 30000, 60000}) {
        list.push_back({.name = "offset " + std::to_string(offset) + " ms", .offset = offset, .break_lengths = {}});
    }
    for (int from = 0; from < 4; ++from) {
        for (int to = 0; to < 4; ++to) {
            if (from != to) {
                list.push_back({.name = std::string("rate ") + frame_rate_names[from] + " -> " + frame_rate_names[to],
                                .rate_from = from,
                                .rate_to = to,
                                .break_lengths = {}});
            }
        }
    }
    for (std::int64_t length : {5000, -5000, 30000, -30000, 60000, -60000}) {
        list.push_back({.name = "one break " + std::to_string(length) + " ms", .break_lengths = {length}});
    }
    list.push_back({.name = "two breaks +12 s, -45 s", .break_lengths = {12000, -45000}});
    list.push_back({.name = "two breaks +5 s, +60 s", .break_lengths = {5000, 60000}});
    list.push_back({.name = "two breaks -60 s, -60 s", .break_lengths = {-60000, -60000}});
    list.push_back({.name = "+7.3 s, 23.976 -> 25, break +30 s",
                    .rate_from = 0, .rate_to = 2, .offset = 7300, .break_lengths = {30000}});
    list.push_back({.name = "-42 s, 25 -> 23.976, breaks +20/-8 s",
                    .rate_from = 2, .rate_to = 0, .offset = -42000, .break_lengths = {20000, -8000}});
    list.push_back({.name = "+60 s, 30 -> 24, breaks +60/+60 s",
                    .rate_from = 3, .rate_to = 1, .offset = 60000, .break_lengths = {60000, 60000}});
    list.push_back({.name = "-60 s, 24 -> 30, breaks -60/-60 s",
                    .rate_from = 1, .rate_to = 3, .offset = -60000, .break_lengths = {-60000, -60000}});
    list.push_back({.name = "+1 s, 24 -> 23.976, break -5 s",
                    .rate_from = 1, .rate_to = 0, .offset = 1000, .break_lengths = {-5000}});
    list.push_back({.name = "random within the limits", .break_lengths = {}, .random = true});
    return list;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t cues = 2000;
    std::uint64_t seeds = 5;
    for (int k = 1; k + 1 < argc; k += 2) {
        if (std::strcmp(argv[k], "--cues") == 0) {
            cues = std::strtoull(argv[k + 1], nullptr, 10);
        } else if (std::strcmp(argv[k], "--seeds") == 0) {
            seeds = std::strtoull(argv[k + 1], nullptr, 10);
        }
    }

    std::printf("Quality: %zu original cues, %llu seeds per distortion (the random row: %llu), max_offset 60000, "
                "max_breaks 2\n",
                cues, static_cast<unsigned long long>(seeds), static_cast<unsigned long long>(seeds * 8));
    std::printf("%-40s %9s %9s %9s %10s  %s\n", "distortion", "cues", "median", "p95", "time", "goal p95<=100ms");
    int missed = 0;
    for (const Distortion& distortion : distortions()) {
        std::vector<double> errors;
        double time = 0.0;
        const std::uint64_t runs = distortion.random ? seeds * 8 : seeds;
        for (std::uint64_t seed = 1; seed <= runs; ++seed) {
            const Pair pair = make_pair(distortion, cues, seed * 7919);
            const auto start = std::chrono::steady_clock::now();
            const quorvel::TimeMap map = quorvel::synchronize(pair.original, pair.reference);
            time += milliseconds_since(start);
            for (std::size_t k = 0; k < pair.reference.size(); ++k) {
                errors.push_back(std::abs(static_cast<double>(map(pair.reference[k].start) - pair.truth[k])));
            }
        }
        const double p95 = percentile(errors, 0.95);
        missed += p95 > 100.0 ? 1 : 0;
        std::printf("%-40s %9zu %7.0fms %7.0fms %8.1fms  %s\n", distortion.name.c_str(), errors.size(),
                    percentile(errors, 0.5), p95, time / static_cast<double>(runs), p95 <= 100.0 ? "OK" : "MISSED");
    }

    std::printf("\nCost: +7.3 s, 23.976 -> 25 fps, two breaks (+30 s, -12 s); best of 3 runs\n");
    std::printf("%9s %11s %11s %14s\n", "cues", "ref cues", "time", "ms/1000 cues");
    const Distortion costly{.name = "cost", .rate_from = 0, .rate_to = 2, .offset = 7300, .break_lengths = {30000, -12000}};
    for (std::size_t size : {500, 1000, 2000, 5000, 10000, 20000}) {
        const Pair pair = make_pair(costly, size, 17);
        double best = 1e300;
        for (int run = 0; run < 3; ++run) {
            const auto start = std::chrono::steady_clock::now();
            const quorvel::TimeMap map = quorvel::synchronize(pair.original, pair.reference);
            best = std::min(best, milliseconds_since(start));
            if (map.segments.empty()) {
                return 2;
            }
        }
        std::printf("%9zu %11zu %9.1fms %14.2f\n", size, pair.reference.size(), best,
                    best * 1000.0 / static_cast<double>(size));
    }
    std::printf("\n%s\n", missed == 0 ? "every distortion meets its goal" : "some distortions MISSED their goal");
    return 0;
}
