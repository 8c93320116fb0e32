// Fuzz target: received 8-bit text (message texts, nicknames) to UTF-16, and the
// UTF-8 decoder under it with every output capacity.
//
// The decoder must never write past its capacity (the output block is exactly that
// large, so the sanitizer sees an overrun); ASCII text and text that is not UTF-8
// arrive unit for byte; nothing grows beyond one unit per input byte.
#include <algorithm>
#include <cstdlib>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "net/text_encoding.h"
#include "platform/code_page.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pellox;
    using fuzz::Check;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string_view text = CutAtZero(bytes);

    std::u16string out;
    DecodeIncomingText(bytes, out);
    Check(out.size() <= text.size(), "the decoded text is longer than its bytes");
    if (IsAscii(text.data(), text.size()) || !IsValidUtf8(text)) {
        Check(out == platform::LocalToWide(text), "local text did not arrive unit for byte");
    }
    Check(ToLocalIfUtf8(bytes).size() <= text.size(), "the local text grew");

    // Every capacity up to one past the whole decoding, in a block of exactly that
    // many units.
    const std::u16string whole = DecodeUtf8(text);
    const std::size_t limit = std::min<std::size_t>(whole.size() + 2, 64);
    for (std::size_t capacity = 0; capacity <= limit; ++capacity) {
        auto block = std::make_unique<char16_t[]>(capacity == 0 ? 1 : capacity);
        const std::size_t n = DecodeUtf8(text, capacity == 0 ? nullptr : block.get(), capacity);
        if (capacity == 0) {
            Check(n == 0, "a zero capacity wrote units");
            continue;
        }
        Check(n < capacity, "the decoder filled its terminator's place");
        Check(block[n] == 0, "the decoded text is not terminated");
        Check(std::u16string_view(block.get(), n) == std::u16string_view(whole).substr(0, n),
              "a short decoding differs from the whole one");
    }
    return 0;
}
