// Helpers shared by the engine's tests: the ends of the 32-bit range, spans, readable
// descriptions of records for failure messages (zero bytes shown as \0), and stop checks that
// count how often a walk asks them.
#pragma once

#include <cstdint>
#include <limits>
#include <sstream>
#include <string>

#include "quorvel/records.hpp"

namespace engine_test {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

using Span = quorvel::TimeSpan;

inline std::string escaped(const std::string& bytes) {
    std::string out;
    for (char c : bytes) {
        out += c == '\0' ? std::string("\\0") : std::string(1, c);
    }
    return out;
}

inline std::string describe(const quorvel::IntervalVar& record) {
    std::ostringstream out;
    out << "[" << record.start << ", " << record.end << " \"" << escaped(record.text) << "\"(" << record.text.size()
        << ") \"" << escaped(record.original) << "\"(" << record.original.size() << ") nl " << record.nl << "]";
    return out.str();
}

inline std::string describe(const quorvel::Intervals& records) {
    std::string out = "{";
    for (std::size_t k = 0; k < records.size(); ++k) {
        out += (k ? ", " : "") + describe(records[k]);
    }
    return out + "}";
}

// Stop checks for the walks: each counts the times it was asked.
inline int stop_checks_asked = 0;
inline bool keep_walking() {
    ++stop_checks_asked;
    return false;
}
inline bool stop_walking() {
    ++stop_checks_asked;
    return true;
}

}  // namespace engine_test
