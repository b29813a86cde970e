// The search for the time map: votes for offsets per scale, candidates rated by overlap, breaks
// chosen by dynamic programming over the reference cues.
#include "quorvel/sync.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "walk_steps.hpp"

namespace quorvel {
namespace {

constexpr std::int64_t time_floor = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t time_ceiling = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;

// The frame rates whose ratios are tried as scales.
constexpr double frame_rates[] = {24000.0 / 1001.0, 24.0, 25.0, 30.0};

// A pair of cues votes for an offset only when the offsets of their starts and of their ends agree
// within this many ms: cues of different lengths rarely belong together.
constexpr double vote_agreement = 500.0;
// A reference cue votes with at most most_votes_per_cue original cues of an agreeing length in its
// offset window, taken at an even stride when the window holds more (cues crowded together): this
// bounds the voting at O(S * n * most_votes_per_cue). Dialogue holds about a third of 17 per 60 s
// of window either way, so with the defaults (a window of 180 s either way) about 30: unchanged.
constexpr std::size_t most_votes_per_cue = 64;
// A prime: consecutive cues' strides begin at phases spread over the stride.
constexpr std::size_t stride_phase_step = 7919;
// The best-match query looks at most at most_overlaps_scanned original cues overlapping the query,
// the latest starting first: more only where that many cues overlap one time. Where crowded cues
// start late in the query, it looks at the most_crowded_scanned cues whose starts lie nearest the
// query's start instead.
constexpr std::size_t most_overlaps_scanned = 16;
constexpr std::size_t most_crowded_scanned = 12;
// Votes fall into bins of fine_bin_width ms, wider when the range of offsets would need more than
// most_bins of them; the votes within peak_width ms count towards one peak; peaks of one scale lie
// at least peak_separation apart.
constexpr double fine_bin_width = 100.0;
constexpr std::size_t most_bins = std::size_t{1} << 16;
constexpr double peak_width = 500.0;
constexpr double peak_separation = 1000.0;
// Scales whose highest peak has less than this share of the highest peak of all are dropped.
constexpr double scale_keep_share = 0.25;
// Where chance crowds the offsets beside a scale's highest peak (crowded_background votes a window
// or more, background_near to background_far ms from it, either side: dense cues), every scale
// has a peak as high as a quarter of the best, and rating them all would multiply the search's
// cost by the number of scales. There a scale is kept only when its peak also stands
// standing_out standard deviations of the background (its square root) above it; when none
// does, only the scale of the highest peak is kept. Dialogue's backgrounds stay far below (one
// or two votes a window for a short film), and the true scale of a long film stands hundreds of
// standard deviations out, so their candidates are unchanged.
constexpr double background_near = 1500.0;
constexpr double background_far = 5000.0;
constexpr double crowded_background = 50.0;
constexpr double standing_out = 30.0;
// Peaks kept per scale: one per break that max_breaks allows (up to peaks_for_breaks of them)
// and spare_peaks more, for the first segment and for peaks of chance.
constexpr std::int64_t peaks_for_breaks = 14;
constexpr std::int64_t spare_peaks = 3;
// No offset beyond this many ms can bring 32-bit times together under any scale tried; bounding
// the search by it keeps every mapped time far inside 64 bits.
constexpr double farthest_offset = 8589934592.0;  // 2^33
// A cue pairing rated at least this much takes part in refining an offset.
constexpr double matched_rating = 0.5;
// What one break costs, in cue ratings (each at most 1).
constexpr double break_penalty = 3.0;
// A candidate's offset is fitted to the residuals within this many ms of it (see mean_near).
constexpr double refit_window = 600.0;
// The final fit pairs cues whose starts and ends each lie at most this far apart (ms): two
// releases timed apart by up to 400 ms each; it takes fit_rounds rounds.
constexpr double pair_band = 800.0;
constexpr int fit_rounds = 3;
// Scales within this share of each other are twins: 1 and 24/23.976, 25/24 and 25/23.976, ...
// (0.1% apart); the final fit chooses among a map's scale and its twins.
constexpr double twin_share = 0.002;
// The final fit drops a start or end whose residual lies more than this many median absolute
// deviations from its segment's median: about four standard deviations of the scatter of two
// timings, so that it keeps all the scatter of releases timed apart and drops the end of a cue
// split in two or two cues merged into one, which can lie within pair_band of its partner's.
constexpr double outlier_deviations = 6.0;
// The confidence's control: the best rating of the map moved by one of these offsets, where a map
// of related tracks no longer brings cues together and one of unrelated tracks does as well as
// before. Thirty-two of them: rated by closeness, a short clip set against a long film meets it by
// chance about as well as by overlap, and the best of sixteen let more such clips through.
constexpr double control_shifts[] = {
    -53000.0, -51000.0, -47000.0, -43000.0, -41000.0, -37000.0, -31000.0, -29000.0, -27000.0, -23000.0, -19000.0,
    -17000.0, -13000.0, -11000.0, -9000.0,  -7000.0,  7000.0,   9000.0,   11000.0,  13000.0,  17000.0,  19000.0,
    23000.0,  27000.0,  29000.0,  31000.0,  37000.0,  41000.0,  43000.0,  47000.0,  51000.0,  53000.0};
// The cues the best map leaves unmatched vote again for offsets when there are at least this
// many, adding at most most_second_vote_peaks candidates (so that the memory of choosing the
// breaks stays within 1 KB per cue for max_breaks up to 100).
constexpr std::size_t least_unmatched_voting = 5;
constexpr std::size_t most_second_vote_peaks = 5;
// A segment whose offset lies within this much of the offset window's edge is at the edge.
constexpr double edge_margin = 2000.0;

// A map of one scale and offset; its offset stays within +-limit.
struct Candidate {
    double scale = 1.0;
    double offset = 0.0;
    double limit = 0.0;
};

// How a mapped cue is rated against an original cue. By overlap share: what the confidence is
// measured in. By closeness of its start and end: what the breaks and the scale are chosen by,
// since a cue brought near some cue by chance overlaps it about half as well as its true partner
// does when both tracks are timed independently, but rarely lies close to it at both ends.
enum class Rating { overlap, closeness };

// A start or end this far (ms) from its partner's is as far as none: wide enough for two
// releases timed apart by up to 400 ms each, narrow enough that chance rarely comes close.
constexpr double closeness_tolerance = 1000.0;
constexpr auto closeness_reach = static_cast<std::int64_t>(closeness_tolerance);


double closeness(std::int64_t distance) noexcept {
    return std::max(0.0, 1.0 - std::abs(static_cast<double>(distance)) / closeness_tolerance);
}

struct Match {
    double rating = 0.0;
    std::size_t index = 0;  // into the original cues; meaningful when rating > 0
};

std::vector<double> candidate_scales() {
    std::vector<double> scales{1.0};
    for (double to : frame_rates) {
        for (double from : frame_rates) {
            if (to != from) {
                scales.push_back(to / from);
            }
        }
    }
    return scales;
}

// Candidates' offsets lie within farthest_offset and times within 64 bits' reach of the 32-bit
// range, so the mapped time fits in 64 bits.
std::int64_t map_time(const Candidate& candidate, std::int64_t time) noexcept {
    return static_cast<std::int64_t>(mapped_time(candidate.scale, candidate.offset, static_cast<double>(time)));
}

// Cues with a positive length, sorted by start then end.
std::vector<TimeSpan> timed_cues(std::span<const TimeSpan> spans) {
    std::vector<TimeSpan> cues;
    cues.reserve(spans.size());
    for (const TimeSpan& span : spans) {
        if (length_of(span) > 0) {
            cues.push_back(span);
        }
    }
    std::sort(cues.begin(), cues.end(), [](const TimeSpan& a, const TimeSpan& b) {
        return a.start != b.start ? a.start < b.start : a.end < b.end;
    });
    return cues;
}

// A pair of cues can vote only when their lengths differ by at most vote_agreement (the difference
// of their start and end offsets): the voting looks at original cues in groups of this many ms of
// length, each in order of start, and reads only the groups a reference cue's length can agree
// with, so that cues of other lengths cost nothing however densely they lie.
constexpr std::int64_t length_group_width = 500;

// The original cues with what the best-overlap query needs: reach[k] is the latest end among
// cues 0..k, so a backward scan from the last cue starting before a query's end can stop at the
// first cue whose reach does not pass the query's start. And the same cues grouped by length for
// the voting.
class OriginalCues {
public:
    // The cues of one length group: by_length()[begin, end), in order of start.
    struct LengthGroup {
        std::int64_t id = 0;  // length / length_group_width
        std::size_t begin = 0;
        std::size_t end = 0;
    };

    explicit OriginalCues(std::vector<TimeSpan> cues) : cues_(std::move(cues)) {
        starts_.reserve(cues_.size());
        reach_.reserve(cues_.size());
        std::int64_t reach = time_floor;
        for (const TimeSpan& cue : cues_) {
            starts_.push_back(cue.start);
            reach = std::max<std::int64_t>(reach, cue.end);
            reach_.push_back(reach);
        }
        by_length_ = cues_;
        // A stable sort keeps each group in order of start.
        std::stable_sort(by_length_.begin(), by_length_.end(), [](const TimeSpan& a, const TimeSpan& b) {
            return length_of(a) / length_group_width < length_of(b) / length_group_width;
        });
        for (std::size_t k = 0; k < by_length_.size(); ++k) {
            const std::int64_t id = length_of(by_length_[k]) / length_group_width;
            if (groups_.empty() || groups_.back().id != id) {
                groups_.push_back({id, k, k});
            }
            groups_.back().end = k + 1;
        }
    }

    const std::vector<TimeSpan>& cues() const noexcept { return cues_; }
    const std::vector<TimeSpan>& by_length() const noexcept { return by_length_; }
    const std::vector<LengthGroup>& length_groups() const noexcept { return groups_; }

    // The original cue overlapping [start, end) best. By overlap: the overlap over the longer
    // length. By closeness: the mean of the start's and the end's closeness, each 1 - distance /
    // closeness_tolerance (0 from the tolerance on). The scan looks at the overlapping cues latest
    // start first, at most most_overlaps_scanned of them. Where half that many start in the
    // query's later part (beyond its first second, or its first half if shorter), cues crowd
    // together: those latest starting are rarely the best, which start near the query's start, so
    // the scan looks at the most_crowded_scanned cues whose starts lie nearest it instead.
    Match best_match(std::int64_t start, std::int64_t end, Rating rating_kind = Rating::overlap) const noexcept {
        Match best;
        if (end <= start) {
            return best;
        }
        std::size_t k = static_cast<std::size_t>(std::lower_bound(starts_.begin(), starts_.end(), end) - starts_.begin());
        const std::int64_t late = start + std::min((end - start) / 2, closeness_reach);
        constexpr std::size_t many_late = most_overlaps_scanned / 2;
        std::size_t most = most_overlaps_scanned;
        if (k >= many_late && starts_[k - many_late] >= late) {
            const auto near = static_cast<std::size_t>(
                std::lower_bound(starts_.begin(), starts_.begin() + static_cast<std::ptrdiff_t>(k), start) -
                starts_.begin());
            k = std::min(k, near + most_crowded_scanned / 2);
            most = most_crowded_scanned;
        }
        for (std::size_t scanned = 0; k > 0 && scanned < most; ++scanned) {
            --k;
            if (reach_[k] <= start) {
                break;
            }
            const TimeSpan& cue = cues_[k];
            const std::int64_t overlap = std::min<std::int64_t>(end, cue.end) - std::max<std::int64_t>(start, cue.start);
            if (overlap > 0) {
                const double rating =
                    rating_kind == Rating::overlap
                        ? static_cast<double>(overlap) / static_cast<double>(std::max(end - start, length_of(cue)))
                        : (closeness(start - cue.start) + closeness(end - cue.end)) / 2;
                if (rating > best.rating) {
                    best = {rating, k};
                }
            }
        }
        return best;
    }

private:
    std::vector<TimeSpan> cues_;
    std::vector<std::int64_t> starts_;
    std::vector<std::int64_t> reach_;
    std::vector<TimeSpan> by_length_;
    std::vector<LengthGroup> groups_;
};

Match match_of(const OriginalCues& original, const Candidate& candidate, const TimeSpan& cue,
               Rating rating_kind = Rating::overlap) noexcept {
    return original.best_match(map_time(candidate, cue.start), map_time(candidate, cue.end), rating_kind);
}

struct Peak {
    double offset = 0.0;
    std::size_t votes = 0;
    // The mean votes of the windows beside the peak's (background_near to background_far ms from
    // it, either side): what chance alone gives there.
    double background = 0.0;
};

// Votes for offsets in [low, high] at bin_width ms: every pair of cues whose start and end offsets
// agree votes for the bin of their mean offset. A reference cue reads the original cues of the
// length groups its scaled length can agree with, each group through a window of starts that
// only moves forward, at one stride through all of them when they hold more than
// most_votes_per_cue.
// Steps: the cue pairs examined and the windows' moves, counted per reference cue.
std::vector<std::uint32_t> offset_votes(const OriginalCues& original, const std::vector<TimeSpan>& reference,
                                        double scale, double low, double high, double bin_width, WalkSteps& steps) {
    std::vector<std::uint32_t> bins(static_cast<std::size_t>((high - low) / bin_width) + 1);
    const std::vector<TimeSpan>& cues = original.by_length();
    const std::vector<OriginalCues::LengthGroup>& groups = original.length_groups();
    std::vector<std::size_t> first(groups.size());
    std::vector<std::size_t> last(groups.size());
    for (std::size_t g = 0; g < groups.size(); ++g) {
        first[g] = last[g] = groups[g].begin;
    }
    for (const TimeSpan& cue : reference) {
        const double start = static_cast<double>(cue.start) * scale;
        const double end = static_cast<double>(cue.end) * scale;
        // Lengths that can agree, one ms wider either way than the test below for its rounding.
        const double length = end - start;
        const auto lowest = static_cast<std::int64_t>(std::floor((length - vote_agreement - 1) / length_group_width));
        const auto highest = static_cast<std::int64_t>(std::floor((length + vote_agreement + 1) / length_group_width));
        const auto from = static_cast<std::size_t>(
            std::lower_bound(groups.begin(), groups.end(), lowest,
                             [](const OriginalCues::LengthGroup& group, std::int64_t id) { return group.id < id; }) -
            groups.begin());
        std::size_t to = from;
        std::size_t moves = 0;
        std::size_t held = 0;
        for (; to < groups.size() && groups[to].id <= highest; ++to) {
            std::size_t& a = first[to];
            std::size_t& b = last[to];
            const std::size_t a_was = a;
            const std::size_t b_was = b;
            while (a < groups[to].end && static_cast<double>(cues[a].start) < start + low - vote_agreement) {
                ++a;
            }
            b = std::max(b, a);
            while (b < groups[to].end && static_cast<double>(cues[b].start) <= start + high + vote_agreement) {
                ++b;
            }
            moves += (a - a_was) + (b - b_was);
            held += b - a;
        }
        const std::size_t stride = std::max<std::size_t>(1, (held + most_votes_per_cue - 1) / most_votes_per_cue);
        // Each cue begins its stride at a phase of its own: begun at each window's first cue, every
        // reference cue would vote for the window's lowest offsets, a peak of chance at its edge.
        const std::size_t phase = stride == 1 ? 0 : (&cue - reference.data()) * stride_phase_step % stride;
        std::size_t examined = 0;
        for (std::size_t g = from; g < to; ++g) {
            for (std::size_t k = first[g] + phase; k < last[g]; k += stride, ++examined) {
                const double start_offset = static_cast<double>(cues[k].start) - start;
                const double end_offset = static_cast<double>(cues[k].end) - end;
                const double offset = (start_offset + end_offset) / 2;
                if (std::abs(start_offset - end_offset) <= vote_agreement && offset >= low && offset <= high) {
                    ++bins[static_cast<std::size_t>((offset - low) / bin_width)];
                }
            }
        }
        steps.take(examined + moves / 8 + 1);
    }
    return bins;
}

// The mean of the windows background_near to background_far ms from window `at`, either side; 0
// when bins are too wide for any to lie there.
double background_of(const std::vector<std::size_t>& window, std::size_t at, double bin_width) {
    const auto near = static_cast<std::size_t>(std::ceil(background_near / bin_width));
    const auto far = static_cast<std::size_t>(background_far / bin_width);
    std::size_t sum = 0;
    std::size_t count = 0;
    for (std::size_t d = near; d <= far; ++d) {
        if (at >= d) {
            sum += window[at - d];
            ++count;
        }
        if (at + d < window.size()) {
            sum += window[at + d];
            ++count;
        }
    }
    return count == 0 ? 0.0 : static_cast<double>(sum) / static_cast<double>(count);
}

// The offsets in [low, high] at which the reference, scaled, meets the original most often: the
// densest windows of votes, apart from one another, highest first. A range too wide for fine bins
// is searched coarsely first, then finely around each coarse peak.
std::vector<Peak> offset_peaks(const OriginalCues& original, const std::vector<TimeSpan>& reference,
                               double scale, double low, double high, std::size_t count, WalkSteps& steps) {
    const double bin_width = std::max(fine_bin_width, (high - low) / static_cast<double>(most_bins));
    const std::vector<std::uint32_t> bins = offset_votes(original, reference, scale, low, high, bin_width, steps);
    const std::size_t span = std::max<std::size_t>(1, static_cast<std::size_t>(peak_width / bin_width));
    const double separation = std::max(peak_separation, bin_width * static_cast<double>(span));

    // window[k]: the votes in bins [k, k + span).
    std::vector<std::size_t> window(bins.size());
    std::size_t held = 0;
    for (std::size_t k = bins.size(); k-- > 0;) {
        held += bins[k];
        if (k + span < bins.size()) {
            held -= bins[k + span];
        }
        window[k] = held;
    }
    std::vector<Peak> peaks;
    while (peaks.size() < count) {
        Peak best;
        std::size_t best_at = 0;
        for (std::size_t k = 0; k < window.size(); ++k) {
            if (window[k] <= best.votes) {
                continue;
            }
            const double centre =
                std::min(high, low + bin_width * (static_cast<double>(k) + static_cast<double>(span) / 2));
            const bool apart = std::all_of(peaks.begin(), peaks.end(), [&](const Peak& peak) {
                return std::abs(peak.offset - centre) >= separation;
            });
            if (apart) {
                best = {centre, window[k]};
                best_at = k;
            }
        }
        steps.take(window.size());
        if (best.votes == 0) {
            break;
        }
        best.background = background_of(window, best_at, bin_width);
        peaks.push_back(best);
    }
    if (bin_width > fine_bin_width) {
        for (Peak& peak : peaks) {
            const double reach = bin_width * static_cast<double>(span + 1);
            const std::vector<Peak> fine = offset_peaks(original, reference, scale, std::max(low, peak.offset - reach),
                                                        std::min(high, peak.offset + reach), 1, steps);
            if (!fine.empty()) {
                peak.offset = fine.front().offset;
            }
        }
    }
    return peaks;
}


// The mean of the residuals within refit_window of `centre`, taken again around that mean; the
// centre itself when none lies that close. A candidate's peak of votes lies within a few hundred
// ms of the offset it stands for, so its fit stays with the pairs around it, where the median of
// every pair it brings together can lie with another, larger segment's offset nearby.
double mean_near(const std::vector<double>& residuals, double centre) {
    for (int round = 0; round < 2; ++round) {
        double sum = 0.0;
        std::size_t count = 0;
        for (double residual : residuals) {
            if (std::abs(residual - centre) <= refit_window) {
                sum += residual;
                ++count;
            }
        }
        if (count == 0) {
            break;
        }
        centre = sum / static_cast<double>(count);
    }
    return centre;
}

// The candidate with its offset fitted to the cue pairs it brings together well among reference
// cues [first, last): their starts and their ends each give a residual, and the offset becomes
// their mean near the candidate's own offset (mean_near); unchanged when it brings none together.
Candidate refined(const OriginalCues& original, const std::vector<TimeSpan>& reference, Candidate candidate,
                  std::size_t first, std::size_t last, WalkSteps& steps) {
    std::vector<double> residuals;
    for (std::size_t k = first; k < last; ++k) {
        const TimeSpan& cue = reference[k];
        const Match match = match_of(original, candidate, cue, Rating::overlap);
        if (match.rating >= matched_rating) {
            const TimeSpan& partner = original.cues()[match.index];
            residuals.push_back(static_cast<double>(partner.start) - candidate.scale * static_cast<double>(cue.start));
            residuals.push_back(static_cast<double>(partner.end) - candidate.scale * static_cast<double>(cue.end));
        }
    }
    steps.take(last - first);
    if (!residuals.empty()) {
        candidate.offset = std::clamp(mean_near(residuals, candidate.offset), -candidate.limit, candidate.limit);
    }
    return candidate;
}

// Candidates from the peaks of every scale that meets the original well enough, refined, without
// repeats.
std::vector<Candidate> find_candidates(const OriginalCues& original, const std::vector<TimeSpan>& reference,
                                       double window, std::size_t peaks_per_scale, WalkSteps& steps) {
    struct ScalePeaks {
        double scale;
        double limit;
        std::vector<Peak> peaks;
    };
    std::vector<ScalePeaks> found;
    std::size_t highest = 0;
    for (double scale : candidate_scales()) {
        const double limit = std::min(window * std::max(1.0, scale), farthest_offset);
        std::vector<Peak> peaks = offset_peaks(original, reference, scale, -limit, limit, peaks_per_scale, steps);
        if (!peaks.empty()) {
            highest = std::max(highest, peaks.front().votes);
            found.push_back({scale, limit, std::move(peaks)});
        }
    }
    const auto stands_out = [](const Peak& peak) {
        return peak.background < crowded_background ||
               static_cast<double>(peak.votes) >= peak.background + standing_out * std::sqrt(peak.background);
    };
    const bool any_stands_out = std::any_of(found.begin(), found.end(), [&](const ScalePeaks& scale_peaks) {
        return stands_out(scale_peaks.peaks.front());
    });
    std::vector<Candidate> candidates;
    for (const ScalePeaks& scale_peaks : found) {
        const Peak& top = scale_peaks.peaks.front();
        if (static_cast<double>(top.votes) < scale_keep_share * static_cast<double>(highest)) {
            continue;
        }
        if (any_stands_out ? !stands_out(top) : top.votes < highest) {
            continue;
        }
        for (const Peak& peak : scale_peaks.peaks) {
            const Candidate candidate =
                refined(original, reference, {scale_peaks.scale, peak.offset, scale_peaks.limit}, 0, reference.size(), steps);
            const bool repeated = std::any_of(candidates.begin(), candidates.end(), [&](const Candidate& other) {
                return other.scale == candidate.scale && std::abs(other.offset - candidate.offset) < 1.0;
            });
            if (!repeated) {
                candidates.push_back(candidate);
            }
        }
    }
    return candidates;
}

// The candidate chosen for each reference cue and the total rating less the breaks' penalty.
struct Choice {
    std::vector<std::size_t> states;
    double score = 0.0;
    std::size_t breaks = 0;
};

// At most this many candidates share a scale, so that a state fits in a byte and none_state is
// free to mean "no state".
constexpr std::size_t most_states = 254;
constexpr std::uint8_t none_state = 255;

// Dynamic programming over the reference cues: ratings[i * count + k] rates cue i under candidate
// k; a change of candidate between neighbours is a break. With `counted`, layer b holds the paths
// with b breaks, so at most layers - 1 breaks are used; without it one layer holds every path.
// A break into state k comes from the best state of the source layer, or from its second best
// when k is the best; so the way back needs, per cue and layer, those two states and one bit per
// state saying whether it was reached by a break: layers * (2 + count / 8) bytes per cue.
Choice choose_states(const std::vector<double>& ratings, std::size_t cues, std::size_t count, std::size_t layers,
                     bool counted, WalkSteps& steps) {
    constexpr double none = -std::numeric_limits<double>::infinity();
    const std::size_t row_bytes = (count + 7) / 8;
    std::vector<double> score(layers * count, none);
    std::vector<double> next(layers * count, none);
    std::vector<std::uint8_t> sources(cues * layers * 2, none_state);
    std::vector<std::uint8_t> broke(cues * layers * row_bytes, 0);
    for (std::size_t k = 0; k < count; ++k) {
        score[k] = ratings[k];
    }
    for (std::size_t i = 1; i < cues; ++i) {
        for (std::size_t layer = 0; layer < layers; ++layer) {
            const double* here = &score[layer * count];
            const double* source = nullptr;
            if (!counted) {
                source = here;
            } else if (layer > 0) {
                source = &score[(layer - 1) * count];
            }
            // The two best states of the layer a break comes from.
            std::size_t best = 0;
            std::size_t second = count;
            if (source != nullptr) {
                for (std::size_t k = 1; k < count; ++k) {
                    if (source[k] > source[best]) {
                        second = best;
                        best = k;
                    } else if (second == count || source[k] > source[second]) {
                        second = k;
                    }
                }
                sources[(i * layers + layer) * 2] = static_cast<std::uint8_t>(best);
                sources[(i * layers + layer) * 2 + 1] = static_cast<std::uint8_t>(second < count ? second : none_state);
            }
            std::uint8_t* bits = &broke[(i * layers + layer) * row_bytes];
            for (std::size_t k = 0; k < count; ++k) {
                double value = here[k];
                if (source != nullptr) {
                    const std::size_t other = k != best ? best : second;
                    if (other < count && source[other] - break_penalty > value) {
                        value = source[other] - break_penalty;
                        bits[k / 8] = static_cast<std::uint8_t>(bits[k / 8] | (1u << (k % 8)));
                    }
                }
                next[layer * count + k] = value + ratings[i * count + k];
            }
        }
        std::swap(score, next);
        steps.take(layers * count);
    }

    std::size_t layer = 0;
    std::size_t state = 0;
    for (std::size_t b = 0; b < layers; ++b) {
        for (std::size_t k = 0; k < count; ++k) {
            if (score[b * count + k] > score[layer * count + state]) {
                layer = b;
                state = k;
            }
        }
    }
    Choice choice{std::vector<std::size_t>(cues), score[layer * count + state], 0};
    for (std::size_t i = cues; i-- > 0;) {
        choice.states[i] = state;
        if (i > 0 && (broke[(i * layers + layer) * row_bytes + state / 8] >> (state % 8) & 1u) != 0) {
            const std::size_t best = sources[(i * layers + layer) * 2];
            const std::size_t second = sources[(i * layers + layer) * 2 + 1];
            ++choice.breaks;
            layer -= counted ? 1 : 0;
            state = state != best ? best : second;
        }
    }
    return choice;
}

// The sum of the reference cues' ratings under the map, each segment's offset moved by `shift`.
double rating_sum(const OriginalCues& original, const std::vector<TimeSpan>& reference, const TimeMap& map,
                  double shift, Rating rating_kind, WalkSteps& steps) {
    double total = 0.0;
    std::size_t segment = 0;
    for (const TimeSpan& cue : reference) {
        while (map.segments[segment].end <= cue.start) {
            ++segment;
        }
        const TimeSegment& part = map.segments[segment];
        const Candidate candidate{part.scale, part.offset + shift, farthest_offset};
        total += match_of(original, candidate, cue, rating_kind).rating;
    }
    steps.take(reference.size());
    return total;
}

double total_rating(const OriginalCues& original, const std::vector<TimeSpan>& reference, const TimeMap& map,
                    WalkSteps& steps) {
    return rating_sum(original, reference, map, 0.0, Rating::closeness, steps) -
           break_penalty * static_cast<double>(map.segments.size() - 1);
}

// How far the map's closeness stands above the control's (the map moved by control_shifts), on
// a scale where 0 is the control and 1 every cue brought onto its match exactly. Closeness, like
// the search: two releases timed apart by up to 400 ms each overlap their partners little better
// than chance does, but lie much closer to them.
double confidence_of(const OriginalCues& original, const std::vector<TimeSpan>& reference, const TimeMap& map,
                     WalkSteps& steps) {
    const double cues = static_cast<double>(reference.size());
    const double rating = rating_sum(original, reference, map, 0.0, Rating::closeness, steps) / cues;
    double control = 0.0;
    for (double shift : control_shifts) {
        control = std::max(control, rating_sum(original, reference, map, shift, Rating::closeness, steps) / cues);
    }
    if (control >= 1.0) {
        return 0.0;
    }
    return std::clamp((rating - control) / (1.0 - control), 0.0, 1.0);
}

// The map of the chosen states: one segment per run of cues under one candidate, its offset
// refined on those cues alone. Runs that start at one time (cues starting together under
// different candidates) keep the last of them; neighbours that end up alike are joined. The ends
// are set last, each where the next segment starts, so the segments cover every time whatever
// was dropped or joined on the way.
TimeMap map_of(const OriginalCues& original, const std::vector<TimeSpan>& reference,
               const std::vector<Candidate>& candidates, const std::vector<std::size_t>& states, WalkSteps& steps) {
    TimeMap map;
    for (std::size_t first = 0; first < states.size();) {
        std::size_t last = first + 1;
        while (last < states.size() && states[last] == states[first]) {
            ++last;
        }
        const Candidate candidate = refined(original, reference, candidates[states[first]], first, last, steps);
        const std::int64_t start = first == 0 ? time_floor : reference[first].start;
        first = last;
        if (!map.segments.empty() && map.segments.back().start >= start) {
            map.segments.pop_back();
        }
        if (!map.segments.empty() && map.segments.back().scale == candidate.scale &&
            map.segments.back().offset == candidate.offset) {
            continue;
        }
        map.segments.push_back({map.segments.empty() ? time_floor : start, time_ceiling, candidate.scale,
                                candidate.offset});
    }
    for (std::size_t k = 0; k + 1 < map.segments.size(); ++k) {
        map.segments[k].end = map.segments[k + 1].start;
    }
    assert(covers_every_time(map));
    return map;
}

// The candidate of the map's segment holding a reference time.
Candidate candidate_at(const TimeMap& map, std::int64_t time) noexcept {
    const auto after = std::upper_bound(map.segments.begin(), map.segments.end(), time,
                                        [](std::int64_t t, const TimeSegment& segment) { return t < segment.start; });
    const TimeSegment& segment = after == map.segments.begin() ? map.segments.front() : *(after - 1);
    return {segment.scale, segment.offset, farthest_offset};
}

// How each reference cue rates under each candidate of a group: ratings[i * count + k], the
// closeness of cue i under candidate k, and partners[i * count + k], the original cue it lies
// closest to there (meaningful when the rating is positive).
struct GroupRatings {
    std::vector<double> ratings;
    std::vector<std::uint32_t> partners;
};

GroupRatings closeness_ratings(const OriginalCues& original, const std::vector<TimeSpan>& reference,
                               const std::vector<Candidate>& group, WalkSteps& steps) {
    const std::size_t cues = reference.size();
    const std::size_t count = group.size();
    GroupRatings rated{std::vector<double>(cues * count), std::vector<std::uint32_t>(cues * count)};
    for (std::size_t k = 0; k < count; ++k) {
        for (std::size_t i = 0; i < cues; ++i) {
            const Match match = match_of(original, group[k], reference[i], Rating::closeness);
            rated.ratings[i * count + k] = match.rating;
            rated.partners[i * count + k] = static_cast<std::uint32_t>(match.index);
        }
        steps.take(cues);
    }
    return rated;
}

// One candidate of the group per reference cue, chosen by dynamic programming: paths free to
// break anywhere first and, only when they break more often than max_breaks, the count kept.
std::vector<std::size_t> states_chosen(const std::vector<double>& ratings, std::size_t cues, std::size_t count,
                                       std::int64_t max_breaks, WalkSteps& steps) {
    assert(count <= most_states);
    const std::size_t layers =
        static_cast<std::size_t>(std::min<std::int64_t>(max_breaks, static_cast<std::int64_t>(cues) - 1)) + 1;
    Choice choice = choose_states(ratings, cues, count, 1, false, steps);
    if (choice.breaks > static_cast<std::uint64_t>(max_breaks)) {
        choice = choose_states(ratings, cues, count, layers, true, steps);
    }
    return std::move(choice.states);
}

// Two releases of one film never bring two stretches of the reference onto the same original
// cues: a cue that a segment of chance brings onto an original cue already matched elsewhere is
// no evidence for it. Under the chosen states, each original cue is claimed by the reference cue
// matched to it (rated at least matched_rating) that lies in the longest run of one candidate,
// the better rated on a tie; every other rating that lands on a claimed cue becomes 0. A short
// stretch that chance brought onto the middle of the film then loses to its true offset, and a
// break that chance moved a few cues early or late goes back to where the claims agree.
void claims_respected(GroupRatings& rated, const std::vector<std::size_t>& states, std::size_t originals,
                      WalkSteps& steps) {
    constexpr std::uint32_t unclaimed = std::numeric_limits<std::uint32_t>::max();
    const std::size_t cues = states.size();
    const std::size_t count = rated.ratings.size() / std::max<std::size_t>(cues, 1);
    std::vector<std::size_t> run_length(cues);
    for (std::size_t first = 0; first < cues;) {
        std::size_t last = first + 1;
        while (last < cues && states[last] == states[first]) {
            ++last;
        }
        std::fill(run_length.begin() + static_cast<std::ptrdiff_t>(first),
                  run_length.begin() + static_cast<std::ptrdiff_t>(last), last - first);
        first = last;
    }
    std::vector<std::uint32_t> claimant(originals, unclaimed);
    for (std::size_t i = 0; i < cues; ++i) {
        const std::size_t at = i * count + states[i];
        if (rated.ratings[at] < matched_rating) {
            continue;
        }
        std::uint32_t& holder = claimant[rated.partners[at]];
        if (holder == unclaimed || run_length[i] > run_length[holder] ||
            (run_length[i] == run_length[holder] &&
             rated.ratings[at] > rated.ratings[holder * count + states[holder]])) {
            holder = static_cast<std::uint32_t>(i);
        }
    }
    for (std::size_t i = 0; i < cues; ++i) {
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t at = i * count + k;
            if (rated.ratings[at] > 0.0) {
                const std::uint32_t holder = claimant[rated.partners[at]];
                if (holder != unclaimed && holder != i) {
                    rated.ratings[at] = 0.0;
                }
            }
        }
    }
    steps.take(cues * count / 8 + cues);
}

// The map of one scale's candidates, given their ratings.
TimeMap breaks_chosen(const OriginalCues& original, const std::vector<TimeSpan>& reference,
                      const std::vector<Candidate>& group, const GroupRatings& rated, std::int64_t max_breaks,
                      WalkSteps& steps) {
    return map_of(original, reference, group,
                  states_chosen(rated.ratings, reference.size(), group.size(), max_breaks, steps), steps);
}

// The same with the claims respected (see claims_respected): the breaks chosen once, the ratings
// that land on cues claimed by others set to 0, and the breaks chosen again.
TimeMap breaks_chosen_by_claims(const OriginalCues& original, const std::vector<TimeSpan>& reference,
                                const std::vector<Candidate>& group, GroupRatings rated, std::int64_t max_breaks,
                                WalkSteps& steps) {
    const std::vector<std::size_t> first =
        states_chosen(rated.ratings, reference.size(), group.size(), max_breaks, steps);
    claims_respected(rated, first, original.cues().size(), steps);
    return map_of(original, reference, group,
                  states_chosen(rated.ratings, reference.size(), group.size(), max_breaks, steps), steps);
}

// The median of `values` (not empty), which it reorders.
double median(std::vector<double>& values) {
    const std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
    const double upper = values[middle];
    if (values.size() % 2 == 1) {
        return upper;
    }
    const double lower = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle));
    return (lower + upper) / 2;
}

// The map fitted to the cue pairs it brings together. A reference cue pairs with the original cue
// it lies closest to when both of their starts and both of their ends lie within pair_band of each
// other under the map; an original cue pairs once, with the reference cue lying closest to it.
// Their starts and ends, outliers dropped (see outlier_deviations), give the fit: of the map's
// scale and its twins (see twin_share), the scale becomes the one nearest their least-squares
// slope, each segment keeping an offset of its own; each segment's offset then becomes the mean
// residual of its points, the least-squares offset under that scale. Three rounds, each on the
// pairs under the map before. A segment without pairs keeps its cues where the map put them.
// The closeness that chose the map cannot tell twin scales apart on a short film: they part by
// 0.3 s over 5 minutes, less than two independent timings scatter, and closeness rates every pair
// within 1 s alike. The slope of the pairs can, more often, on pairs clean of chance: a pair of
// chance lies anywhere within 1 s, a true pair of two releases timed apart by up to 400 ms each
// within 800 ms. And the mean of their points, outliers dropped by their deviation: a fixed
// window about the median (600 ms before) cut the scatter of such releases (up to 800 ms) and
// pulled a short segment's offset towards its median.
TimeMap fitted_to_pairs(const OriginalCues& original, const std::vector<TimeSpan>& reference, const TimeMap& map,
                        WalkSteps& steps) {
    struct Pair {
        std::size_t segment;
        TimeSpan cue;      // the reference cue
        TimeSpan partner;  // the original cue
        double distance;   // of their starts plus of their ends, under the map
    };
    constexpr std::size_t unpaired = std::numeric_limits<std::size_t>::max();
    const std::vector<double> scales = candidate_scales();
    TimeMap fitted = map;
    for (int round = 0; round < fit_rounds; ++round) {
        std::vector<Pair> pairs;
        std::vector<std::size_t> pair_of(original.cues().size(), unpaired);
        // Each segment's reference times, summed and counted: where a segment without pairs
        // keeps its place when the scale changes.
        std::vector<double> cue_time_sum(fitted.segments.size());
        std::vector<double> cue_time_count(fitted.segments.size());
        std::size_t segment = 0;
        for (const TimeSpan& cue : reference) {
            while (fitted.segments[segment].end <= cue.start) {
                ++segment;
            }
            cue_time_sum[segment] += static_cast<double>(cue.start) + static_cast<double>(cue.end);
            cue_time_count[segment] += 2.0;
            const TimeSegment& part = fitted.segments[segment];
            const Candidate candidate{part.scale, part.offset, farthest_offset};
            const Match match = match_of(original, candidate, cue, Rating::closeness);
            if (match.rating <= 0.0) {
                continue;
            }
            const TimeSpan& partner = original.cues()[match.index];
            const double start_distance = std::abs(static_cast<double>(partner.start - map_time(candidate, cue.start)));
            const double end_distance = std::abs(static_cast<double>(partner.end - map_time(candidate, cue.end)));
            if (start_distance > pair_band || end_distance > pair_band) {
                continue;
            }
            std::size_t& held = pair_of[match.index];
            if (held != unpaired && pairs[held].distance <= start_distance + end_distance) {
                continue;
            }
            const Pair pair{segment, cue, partner, start_distance + end_distance};
            if (held != unpaired) {
                pairs[held] = pair;
            } else {
                held = pairs.size();
                pairs.push_back(pair);
            }
        }
        steps.take(reference.size());

        // The pairs' starts and ends as points, less the outliers of each segment (see
        // outlier_deviations).
        struct Point {
            std::size_t segment;
            double x;  // reference time
            double y;  // original time
        };
        const std::size_t count = fitted.segments.size();
        std::vector<std::vector<double>> residuals(count);
        std::vector<Point> points;
        for (const Pair& pair : pairs) {
            const TimeSegment& part = fitted.segments[pair.segment];
            for (const auto& [x, y] : {std::pair{pair.cue.start, pair.partner.start}, std::pair{pair.cue.end, pair.partner.end}}) {
                points.push_back({pair.segment, static_cast<double>(x), static_cast<double>(y)});
                residuals[pair.segment].push_back(static_cast<double>(y) - part.scale * static_cast<double>(x) - part.offset);
            }
        }
        std::vector<double> centre(count), reach(count);
        for (std::size_t k = 0; k < count; ++k) {
            if (!residuals[k].empty()) {
                centre[k] = median(residuals[k]);
                for (double& residual : residuals[k]) {
                    residual = std::abs(residual - centre[k]);
                }
                reach[k] = outlier_deviations * median(residuals[k]);
            }
        }
        std::erase_if(points, [&](const Point& point) {
            const TimeSegment& part = fitted.segments[point.segment];
            return std::abs(point.y - part.scale * point.x - part.offset - centre[point.segment]) > reach[point.segment];
        });

        // Means per segment, then the slope of all points about their segments' means.
        std::vector<double> mean_x(count), mean_y(count), weight(count);
        for (const Point& point : points) {
            mean_x[point.segment] += point.x;
            mean_y[point.segment] += point.y;
            weight[point.segment] += 1.0;
        }
        for (std::size_t k = 0; k < count; ++k) {
            if (weight[k] > 0.0) {
                mean_x[k] /= weight[k];
                mean_y[k] /= weight[k];
            }
        }
        double spread = 0.0;      // sum of (x - mean x)^2
        double covariance = 0.0;  // sum of (x - mean x) * (y - mean y)
        for (const Point& point : points) {
            const double dx = point.x - mean_x[point.segment];
            spread += dx * dx;
            covariance += dx * (point.y - mean_y[point.segment]);
        }
        double scale = fitted.segments.front().scale;
        if (spread > 0.0) {
            const double slope = covariance / spread;
            const double current = scale;
            for (double twin : scales) {
                if (std::abs(twin / current - 1.0) < twin_share && std::abs(slope - twin) < std::abs(slope - scale)) {
                    scale = twin;
                }
            }
        }
        for (std::size_t k = 0; k < count; ++k) {
            TimeSegment& part = fitted.segments[k];
            if (weight[k] > 0.0) {
                part.offset = mean_y[k] - scale * mean_x[k];
            } else if (cue_time_count[k] > 0.0) {
                // No pairs: the segment's cues stay where they were mapped, about their mean time
                // (the offset alone, kept under another scale, moves them by the scales'
                // difference times that time: 3.6 s an hour in for twins).
                const double anchor = cue_time_sum[k] / cue_time_count[k];
                part.offset += (part.scale - scale) * anchor;
            }
            part.scale = scale;
        }
    }
    return fitted;
}

}  // namespace

double mapped_time(double scale, double offset, double time) noexcept {
    return std::round(time * scale + offset);
}

std::int64_t TimeMap::operator()(std::int32_t time) const noexcept {
    if (segments.empty()) {
        return time;
    }
    const auto after = std::upper_bound(segments.begin(), segments.end(), std::int64_t{time},
                                        [](std::int64_t t, const TimeSegment& segment) { return t < segment.start; });
    const TimeSegment& segment = after == segments.begin() ? segments.front() : *(after - 1);
    return map_time({segment.scale, segment.offset, farthest_offset}, time);
}

bool covers_every_time(const TimeMap& map) noexcept {
    if (map.segments.empty() || map.segments.front().start != time_floor || map.segments.back().end != time_ceiling) {
        return false;
    }
    for (std::size_t k = 0; k < map.segments.size(); ++k) {
        const TimeSegment& segment = map.segments[k];
        if (segment.start >= segment.end || (k > 0 && map.segments[k - 1].end != segment.start)) {
            return false;
        }
    }
    return true;
}

TimeMap identity_map() { return TimeMap{{TimeSegment{time_floor, time_ceiling, 1.0, 0.0}}}; }

TimeMap synchronize(std::span<const TimeSpan> original_spans, std::span<const TimeSpan> reference_spans,
                    std::int64_t max_offset, std::int64_t max_breaks, StopCheck stop_requested) {
    if (max_offset < 0) {
        throw std::invalid_argument("max_offset must not be negative, got " + std::to_string(max_offset));
    }
    if (max_breaks < 0) {
        throw std::invalid_argument("max_breaks must not be negative, got " + std::to_string(max_breaks));
    }
    const OriginalCues original(timed_cues(original_spans));
    const std::vector<TimeSpan> reference = timed_cues(reference_spans);
    TimeMap identity = identity_map();
    if (reference.empty()) {
        return identity;  // nothing to carry: every map is right
    }
    if (original.cues().empty()) {
        identity.confidence = 0.0;  // nothing to carry it onto: no map can be told right
        return identity;
    }

    const double window = static_cast<double>(max_offset) * (1.0 + static_cast<double>(max_breaks));
    const std::int64_t peaks_per_scale = std::min(max_breaks, peaks_for_breaks) + spare_peaks;
    WalkSteps steps(stop_requested);
    const std::vector<Candidate> candidates =
        find_candidates(original, reference, window, static_cast<std::size_t>(peaks_per_scale), steps);
    if (candidates.empty()) {
        identity.confidence = confidence_of(original, reference, identity, steps);
        return identity;
    }

    // One scale per map: the breaks are chosen among the candidates of each scale in turn, and
    // the map rating best is kept (the identity unless some map rates strictly better).
    const std::size_t cues = reference.size();
    TimeMap best = identity;
    double best_rating = total_rating(original, reference, identity, steps);
    std::vector<Candidate> best_group;
    for (std::size_t first = 0; first < candidates.size();) {
        std::size_t last = first;
        while (last < candidates.size() && candidates[last].scale == candidates[first].scale) {
            ++last;
        }
        std::vector<Candidate> group(candidates.begin() + static_cast<std::ptrdiff_t>(first),
                                     candidates.begin() + static_cast<std::ptrdiff_t>(last));
        first = last;
        TimeMap map = breaks_chosen(original, reference, group, closeness_ratings(original, reference, group, steps),
                                    max_breaks, steps);
        const double rating = total_rating(original, reference, map, steps);
        if (rating > best_rating) {
            best = std::move(map);
            best_rating = rating;
            best_group = std::move(group);
        }
    }
    if (!best_group.empty()) {
        // A short segment votes too weakly among the whole track's cues to be a candidate: the
        // cues the best map leaves unmatched vote again on their own, and the breaks are chosen
        // once more with what they find.
        {  // the unmatched cues' copies go back before the breaks are chosen again
            std::vector<TimeSpan> unmatched;
            std::vector<bool> matched(original.cues().size());
            for (std::size_t i = 0; i < cues; ++i) {
                const Match match =
                    match_of(original, candidate_at(best, reference[i].start), reference[i], Rating::closeness);
                if (match.rating < matched_rating) {
                    unmatched.push_back(reference[i]);
                } else {
                    matched[match.index] = true;
                }
            }
            steps.take(cues);
            // They vote with the original cues the map leaves unmatched too: one matched already
            // is another reference cue's partner, no evidence of where a stretch left out lies.
            std::vector<TimeSpan> unclaimed;
            if (unmatched.size() >= least_unmatched_voting) {
                for (std::size_t k = 0; k < matched.size(); ++k) {
                    if (!matched[k]) {
                        unclaimed.push_back(original.cues()[k]);
                    }
                }
            }
            const OriginalCues free_original(std::move(unclaimed));
            if (!free_original.cues().empty()) {
                const Candidate model = best_group.front();  // a copy: the group grows below
                const std::size_t peaks = std::min(static_cast<std::size_t>(peaks_per_scale), most_second_vote_peaks);
                for (const Peak& peak :
                     offset_peaks(free_original, unmatched, model.scale, -model.limit, model.limit, peaks, steps)) {
                    const Candidate candidate = refined(free_original, unmatched, {model.scale, peak.offset, model.limit},
                                                        0, unmatched.size(), steps);
                    const bool repeated =
                        std::any_of(best_group.begin(), best_group.end(), [&](const Candidate& other) {
                            return std::abs(other.offset - candidate.offset) < 1.0;
                        });
                    if (!repeated && best_group.size() < most_states) {
                        best_group.push_back(candidate);
                    }
                }
            }
        }
    }
    if (!best_group.empty()) {
        // The breaks chosen once more among the best scale's candidates with the claims
        // respected, and the offsets fitted to the pairs of the map chosen.
        best = fitted_to_pairs(original, reference,
                               breaks_chosen_by_claims(original, reference, best_group,
                                                       closeness_ratings(original, reference, best_group, steps),
                                                       max_breaks, steps),
                               steps);
    }
    best.confidence = confidence_of(original, reference, best, steps);
    for (const TimeSegment& segment : best.segments) {
        const double limit = std::min(window * std::max(1.0, segment.scale), farthest_offset);
        best.at_window_edge |= limit - std::abs(segment.offset) < std::min(edge_margin, limit / 2);
    }
    return best;
}

}  // namespace quorvel
