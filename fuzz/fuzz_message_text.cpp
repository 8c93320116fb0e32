// Fuzz target: the message TLV of a received channel-1 message, and the decoding of
// its text in each character set.
//
// A failed parse leaves the text untouched and the cursor never leaves its block.
#include <algorithm>
#include <cstdlib>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "net/codec.h"
#include "protocol/messages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pellox;
    using fuzz::Check;
    if (size > 0xFFFF) return 0;  // a FLAP block is at most this long
    // A copy of exactly the input's size, so a read past it is caught.
    std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[size == 0 ? 1 : size]);
    std::copy(data, data + size, block.get());
    PacketReader reader(block.get(), static_cast<int>(size));

    const std::u16string before = u"untouched";
    std::u16string text = before;
    const bool ok = ParseMessageText(reader, text);
    if (!ok) Check(text == before, "a failed parse changed the text");
    Check(reader.Position() >= 0 && (reader.Overrun() || reader.Position() <= reader.Length()),
          "the cursor left its block");

    if (size >= 2) {
        const std::uint16_t charset = static_cast<std::uint16_t>((data[0] << 8) | data[1]);
        const std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
        const std::u16string decoded = DecodeMessageText(charset, rest);
        Check(decoded.size() <= rest.size(), "the decoded text is longer than its bytes");
    }
    return 0;
}
