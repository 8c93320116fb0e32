#pragma once

// Tests on the lanes of a GNU vector, such as a comparison's result (each lane all
// ones or all zeros), for the loops that look at eight characters at a time.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pellox::platform {

// Whether any lane has a bit set.
template <typename Lanes>
bool AnyLane(const Lanes& lanes) {
    static_assert(sizeof(Lanes) % 8 == 0);
    std::uint64_t words[sizeof(Lanes) / 8];
    std::memcpy(words, &lanes, sizeof words);
    std::uint64_t any = 0;
    for (const std::uint64_t word : words) any |= word;
    return any != 0;
}

// Whether every bit of every lane is set.
template <typename Lanes>
bool EveryLane(const Lanes& lanes) {
    static_assert(sizeof(Lanes) % 8 == 0);
    std::uint64_t words[sizeof(Lanes) / 8];
    std::memcpy(words, &lanes, sizeof words);
    std::uint64_t every = ~std::uint64_t{0};
    for (const std::uint64_t word : words) every &= word;
    return every == ~std::uint64_t{0};
}

}  // namespace pellox::platform
