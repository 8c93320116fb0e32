#include "tools/rate_limits.h"

#include <algorithm>

namespace pellox::server {
namespace {

// Failed logins are forgotten after this long without another, and at most this
// many UINs and addresses are remembered (the oldest idle ones go first).
constexpr auto kForgetFailures = std::chrono::minutes(15);
constexpr std::size_t kMaxEntries = 4096;

// Addresses apart from UINs (below 2^32): an IPv4 address above them, an IPv6
// key (with its top bit set) as it is.
constexpr std::uint64_t AddressKey(std::uint64_t address) {
    return address >> 32 == 0 ? std::uint64_t{1} << 32 | address : address;
}

}  // namespace

void TokenBucket::Refill(double burst, double perSecond, Clock::time_point now) {
    if (!started) {
        started = true;
        tokens = burst;
    } else if (now > refilled) {
        const double seconds = std::chrono::duration<double>(now - refilled).count();
        tokens = std::min(burst, tokens + seconds * perSecond);
    }
    refilled = std::max(refilled, now);
}

bool TokenBucket::Take(double burst, double perSecond, Clock::time_point now) {
    Refill(burst, perSecond, now);
    if (tokens < 1.0) return false;
    tokens -= 1.0;
    return true;
}

bool TokenBucket::Ready(double burst, double perSecond, Clock::time_point now) {
    Refill(burst, perSecond, now);
    return tokens >= 1.0;
}

long long LoginThrottle::DelayMs(unsigned failures) const {
    if (failures == 0) return 0;
    long long delay = settings_.baseMs;
    for (unsigned i = 1; i < failures && delay < settings_.maxMs; ++i) delay *= 2;
    return std::min<long long>(delay, settings_.maxMs);
}

LoginThrottle::Entry& LoginThrottle::At(std::uint64_t key, Clock::time_point now, std::uint64_t keep) {
    if (auto it = entries_.find(key); it != entries_.end()) {
        if (it->second.failures > 0 && now - it->second.last > kForgetFailures) it->second.failures = 0;
        return it->second;
    }
    if (entries_.size() >= kMaxEntries) {
        auto oldest = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            const bool idle = it->second.waiting == 0 && it->first != keep;
            if (idle && (oldest == entries_.end() || it->second.last < oldest->second.last)) {
                oldest = it;
            }
        }
        if (oldest != entries_.end()) entries_.erase(oldest);
    }
    Entry& made = entries_[key];
    made.last = now;
    return made;
}

std::optional<Clock::time_point> LoginThrottle::Admit(Uin uin, std::uint64_t address, Clock::time_point now) {
    Entry* entries[2] = {&At(AddressKey(address), now, 0), uin != 0 ? &At(uin, now, AddressKey(address)) : nullptr};
    // One address has one login waiting at a time: a guesser's parallel
    // connections cannot fill the UIN's queue and keep its user out.
    if (entries[0]->waiting > 0) return std::nullopt;
    Clock::time_point at = now;
    for (Entry* e : entries) {
        if (e == nullptr) continue;
        // Behind those already waiting, with one more doubling for each of them.
        const Clock::time_point start = e->waiting > 0 ? std::max(now, e->answerAt) : now;
        at = std::max(at, start + std::chrono::milliseconds(DelayMs(e->failures + e->waiting)));
    }
    if (at - now > std::chrono::milliseconds(settings_.longestWaitMs)) return std::nullopt;
    for (Entry* e : entries) {
        if (e == nullptr) continue;
        ++e->waiting;
        e->answerAt = at;
    }
    return at;
}

void LoginThrottle::Finish(Uin uin, std::uint64_t address, Outcome outcome, Clock::time_point now) {
    for (std::uint64_t key : {AddressKey(address), std::uint64_t{uin}}) {
        if (key == 0) continue;
        auto it = entries_.find(key);
        if (it == entries_.end()) continue;
        Entry& e = it->second;
        if (e.waiting > 0) --e.waiting;
        if (outcome == Outcome::Failed) {
            if (now - e.last > kForgetFailures) e.failures = 0;
            ++e.failures;
            e.last = now;
        } else if (outcome == Outcome::Succeeded && key == uin) {
            e.failures = 0;  // the user is in: its guessers start over
        }
        if (e.failures == 0 && e.waiting == 0) entries_.erase(it);
    }
}

}  // namespace pellox::server
