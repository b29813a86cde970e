// How long native work asks its caller whether to stop, for example because the user interrupted
// the program.
#pragma once

#include <cstdint>
#include <exception>

namespace quorvel {

// Long work counts the steps it takes and calls the check on its own thread each time
// steps_between_stop_checks more have been taken (each kind of work says what a step is); work
// shorter than that never asks. When the check returns true the work ends by throwing WalkStopped,
// releasing everything it built. Null: never stop.
using StopCheck = bool (*)();

// Often enough that a stop is seen at once, rarely enough that the checks cost nothing measurable.
inline constexpr std::uint32_t steps_between_stop_checks = 1U << 16;

struct WalkStopped : std::exception {
    const char* what() const noexcept override { return "stopped at the caller's request"; }
};

}  // namespace quorvel
