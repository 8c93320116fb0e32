// The server's rate limits: a token bucket (messages, SNACs and sign-ons of a
// UIN) and the throttle of failed logins. Both take the time from their caller,
// so that they can be checked without waiting for a clock.
//
// Not thread-safe: the server guards them with its own lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

#include "tools/accounts.h"

namespace pellox::server {

using Clock = std::chrono::steady_clock;

// A burst, then a steady rate. A quiet spell saves up no more than the burst.
struct TokenBucket {
    double tokens = 0;
    Clock::time_point refilled;
    bool started = false;

    // Takes one token; false when none is left.
    bool Take(double burst, double perSecond, Clock::time_point now);
    // Whether a token is there, without taking it.
    bool Ready(double burst, double perSecond, Clock::time_point now);

private:
    void Refill(double burst, double perSecond, Clock::time_point now);
};

// Failed logins slow down the answers for their UIN and their client address:
// none before the first failure, then the base delay, doubled with each further
// failure up to the cap. Logins still waiting for their answer count as failures
// to come, and a new login of the UIN is answered only after those already
// waiting, so that parallel connections guess no faster than one after another.
// Refused at once: a login from an address that has one waiting already, and
// one that would wait longer than the longest wait. A good login clears its
// UIN's failures; a count is forgotten after 15 quiet minutes.
class LoginThrottle {
public:
    struct Settings {
        int baseMs = 250;
        int maxMs = 4000;
        int longestWaitMs = 8000;
    };
    enum class Outcome { Failed, Succeeded, NotTried };

    explicit LoginThrottle(const Settings& settings) : settings_(settings) {}

    // When the login of `uin` (0: no such account) from `address` may be
    // answered; nullopt when that is further off than the longest wait. A login
    // given a time is waiting until its Finish. `address`: an IPv4 address (host
    // byte order), or a number at or above 2^63 for an IPv6 client.
    std::optional<Clock::time_point> Admit(Uin uin, std::uint64_t address, Clock::time_point now);
    // The login given a time by Admit is answered.
    void Finish(Uin uin, std::uint64_t address, Outcome outcome, Clock::time_point now);

private:
    struct Entry {
        unsigned failures = 0;
        unsigned waiting = 0;        // admitted and not finished
        Clock::time_point last;      // of the last failure
        Clock::time_point answerAt;  // of the last login admitted
    };
    using Table = std::map<std::uint64_t, Entry>;

    // The entry of a key, made when missing; when the table is full, the oldest
    // idle entry but `keep` makes room.
    Entry& At(std::uint64_t key, Clock::time_point now, std::uint64_t keep);
    long long DelayMs(unsigned failures) const;

    const Settings settings_;
    Table entries_;  // UINs below 2^32, addresses above (AddressKey)
};

}  // namespace pellox::server
