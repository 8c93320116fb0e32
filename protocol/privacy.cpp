#include "protocol/privacy.h"

namespace pellox {

int HeldBackCounter::Hold(std::int64_t nowMs, bool& startsWaiting) {
    std::lock_guard<std::mutex> guard(lock_);
    startsWaiting = untold_++ == 0;
    const int count = TakeIfDue(nowMs);
    startsWaiting = startsWaiting && count == 0;
    return count;
}

bool HeldBackCounter::Waiting() {
    std::lock_guard<std::mutex> guard(lock_);
    return untold_ > 0;
}

int HeldBackCounter::Flush(std::int64_t nowMs) {
    std::lock_guard<std::mutex> guard(lock_);
    return untold_ > 0 ? TakeIfDue(nowMs) : 0;
}

int HeldBackCounter::TakeIfDue(std::int64_t nowMs) {
    if (told_ && nowMs - lastNoticeMs_ < kHeldBackNoticeIntervalMs) return 0;
    told_ = true;
    lastNoticeMs_ = nowMs;
    const int count = untold_;
    untold_ = 0;
    return count;
}

}  // namespace pellox
