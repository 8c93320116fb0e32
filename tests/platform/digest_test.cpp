#include "platform/digest.h"

#include <gtest/gtest.h>

#include <string>

namespace pellox::platform {
namespace {

TEST(Digest, KnownVectors) {
    struct Case {
        std::string input;
        const char* md5;
        const char* sha256;
    };
    const Case cases[] = {
        {"", "D4:1D:8C:D9:8F:00:B2:04:E9:80:09:98:EC:F8:42:7E",
         "E3:B0:C4:42:98:FC:1C:14:9A:FB:F4:C8:99:6F:B9:24:27:AE:41:E4:64:9B:93:4C:A4:95:99:1B:78:"
         "52:B8:55"},
        {"abc", "90:01:50:98:3C:D2:4F:B0:D6:96:3F:7D:28:E1:7F:72",
         "BA:78:16:BF:8F:01:CF:EA:41:41:40:DE:5D:AE:22:23:B0:03:61:A3:96:17:7A:9C:B4:10:FF:61:F2:"
         "00:15:AD"},
        {"message digest", "F9:6B:69:7D:7C:B7:93:8D:52:5A:2F:31:AA:F1:61:D0",
         "F7:84:6F:55:CF:23:E1:4E:EB:EA:B5:B4:E1:55:0C:AD:5B:50:9E:33:48:FB:C4:EF:A3:A1:41:3D:39:"
         "3C:B6:50"},
        // Bytes above 0x7F and a zero byte inside are hashed as they are.
        {std::string("\xFF\x00\x80", 3), "60:CD:CC:D4:00:05:80:A3:C3:94:B8:AD:6E:A9:B8:99",
         "EF:19:2B:7A:F5:4E:94:3F:20:6A:B2:70:75:EC:18:05:38:4C:97:2C:99:59:FC:58:20:F1:FA:7D:52:"
         "68:FC:EF"},
        // Longer than a block: the length goes into a second one.
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57:ED:F4:A2:2B:E3:C9:55:AC:49:DA:2E:21:07:B6:7A",
         "F3:71:BC:4A:31:1F:2B:00:9E:EF:95:2D:D8:3C:A8:0E:2B:60:02:6C:8E:93:55:92:D0:F9:C3:08:45:3C:"
         "81:3E"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.md5);
        EXPECT_EQ(FormatFingerprint(Md5(c.input)), c.md5);
        EXPECT_EQ(FormatFingerprint(Sha256(c.input)), c.sha256);
        const std::span<const std::uint8_t> bytes(
            reinterpret_cast<const std::uint8_t*>(c.input.data()), c.input.size());
        EXPECT_EQ(Md5(bytes), Md5(c.input));
        EXPECT_EQ(Sha256(bytes), Sha256(c.input));
    }
}

TEST(Digest, FingerprintsCompareWhateverTheNotation) {
    struct Case {
        const char* a;
        const char* b;
        bool same;
    };
    const Case cases[] = {
        {"AB:01:FF", "ab01ff", true},
        {"AB:01:FF", " ab 01 ff ", true},
        {"AB:01:FF", "AB:01:FE", false},
        {"AB:01:FF", "AB:01", false},
        {"AB:01:F", "AB:01:F", false},  // a digit without its pair
        {"", "", false},                // no pin matches nothing
        {"AB:01:FG", "AB:01:FG", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        EXPECT_EQ(SameFingerprint(c.a, c.b), c.same);
    }
}

}  // namespace
}  // namespace pellox::platform
