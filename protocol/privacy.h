// Keeping the unwanted out: the count of what was held back from strangers, told
// at most once a minute.
//
// While the setting "onlylisted" is on, messages, authorization requests and "you
// were added" notices from numbers not in the contact list are held back: not
// shown, not stored, no contact made. The user learns how many, in one notice a
// minute at most: the first one held back after a quiet minute is told at once,
// the ones after it are counted and told once the minute is over (by the next
// one held back, or by Flush, which the application calls now and then).
#pragma once

#include <cstdint>
#include <mutex>

namespace pellox {

inline constexpr std::int64_t kHeldBackNoticeIntervalMs = 60000;

// Any thread; the time is a monotonic clock in milliseconds, given by the caller.
class HeldBackCounter {
public:
    // One more held back at `nowMs`: how many to tell now (0: not yet, and then
    // `startsWaiting` says whether none waited before it).
    int Hold(std::int64_t nowMs, bool& startsWaiting);
    // Whether some are held back and not told yet.
    bool Waiting();
    // How many are left to tell at `nowMs` (0 when none, or the minute since the
    // last notice is not over).
    int Flush(std::int64_t nowMs);

private:
    int TakeIfDue(std::int64_t nowMs);  // requires lock_

    std::mutex lock_;  // a leaf lock
    int untold_ = 0;
    bool told_ = false;  // a notice has been given
    std::int64_t lastNoticeMs_ = 0;
};

}  // namespace pellox
