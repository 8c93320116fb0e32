// The token bucket and the login throttle on a clock of the test's own.
#include <gtest/gtest.h>

#include "tools/rate_limits.h"

namespace pellox::server::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const Clock::time_point kStart = Clock::time_point() + std::chrono::hours(1);

// A quiet minute once saved up 1,200 messages at 20 a second: the burst caps it.
TEST(TokenBucketTest, AQuietSpellSavesUpNoMoreThanTheBurst) {
    TokenBucket bucket;
    auto takenAt = [&bucket](Clock::time_point now) {
        int taken = 0;
        while (taken < 10000 && bucket.Take(40, 20, now)) ++taken;
        return taken;
    };
    EXPECT_EQ(takenAt(kStart), 40);
    EXPECT_EQ(takenAt(kStart + milliseconds(500)), 10);
    EXPECT_EQ(takenAt(kStart + milliseconds(500) + seconds(60)), 40);
    EXPECT_FALSE(bucket.Ready(40, 20, kStart + milliseconds(60500)));
}

TEST(LoginThrottleTest, DelaysDoubleFromTheBaseAndParallelLoginsQueue) {
    LoginThrottle throttle({250, 4000, 8000});
    constexpr Uin kUin = 100001;
    constexpr std::uint32_t kGuesser = 0x0A000001, kUser = 0x0A0000FF;
    auto waitOf = [&](std::uint32_t address, Clock::time_point now) {
        const std::optional<Clock::time_point> at = throttle.Admit(kUin, address, now);
        return at ? std::chrono::duration_cast<milliseconds>(*at - now).count() : -1;
    };
    // No wait before a failure; the first failure costs the base, not twice it.
    EXPECT_EQ(waitOf(kGuesser, kStart), 0);
    throttle.Finish(kUin, kGuesser, LoginThrottle::Outcome::Failed, kStart);
    EXPECT_EQ(waitOf(kGuesser, kStart), 250);
    throttle.Finish(kUin, kGuesser, LoginThrottle::Outcome::Failed, kStart + milliseconds(250));

    // Guesses in parallel: one waiting per address, and those of the UIN one
    // behind the other, each doubling; past the longest wait, refused at once.
    const Clock::time_point t = kStart + seconds(1);
    EXPECT_EQ(waitOf(kGuesser, t), 500);
    EXPECT_EQ(waitOf(kGuesser, t), -1);
    EXPECT_EQ(waitOf(kGuesser + 1, t), 500 + 1000);
    EXPECT_EQ(waitOf(kGuesser + 2, t), 500 + 1000 + 2000);
    EXPECT_EQ(waitOf(kUser, t), 500 + 1000 + 2000 + 4000);
    EXPECT_EQ(waitOf(kGuesser + 3, t), -1);
    for (std::uint32_t g = kGuesser; g < kGuesser + 3; ++g) {
        throttle.Finish(kUin, g, LoginThrottle::Outcome::Failed, t + seconds(4));
    }
    throttle.Finish(kUin, kUser, LoginThrottle::Outcome::Succeeded, t + seconds(8));

    // The good login cleared the UIN but not the guessers' addresses.
    const Clock::time_point later = t + seconds(9);
    EXPECT_EQ(waitOf(kUser, later), 0);
    throttle.Finish(kUin, kUser, LoginThrottle::Outcome::Succeeded, later);
    EXPECT_EQ(waitOf(kGuesser, later), 1000);
    throttle.Finish(kUin, kGuesser, LoginThrottle::Outcome::NotTried, later);
    // Fifteen quiet minutes forget the failures.
    EXPECT_EQ(waitOf(kGuesser, later + std::chrono::minutes(16)), 0);
}

}  // namespace
}  // namespace pellox::server::test
