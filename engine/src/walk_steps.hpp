// Counting the steps of a pairing walk, so that it asks its stop check now and then.
#pragma once

#include <cstdint>

#include "quorvel/pairing.hpp"

namespace quorvel {

class WalkSteps {
public:
    explicit WalkSteps(StopCheck stop_requested) noexcept : stop_requested_(stop_requested) {}

    // One record examined. Throws WalkStopped when the check, asked once every
    // steps_between_stop_checks steps, says to stop.
    void step() {
        if (--steps_left_ == 0) [[unlikely]] {
            steps_left_ = steps_between_stop_checks;
            if (stop_requested_ != nullptr && stop_requested_()) {
                throw WalkStopped();
            }
        }
    }

private:
    const StopCheck stop_requested_;
    std::uint32_t steps_left_ = steps_between_stop_checks;
};

}  // namespace quorvel
