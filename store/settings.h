// The application settings and every stored profile, and their file "settings.txt".
//
// File layout (Windows-1251, CR LF, no byte-order mark):
//   [settings]
//   profile=<active profile>
//   onlyonline=<0|1>
//   columns=<1..4>
//   autoconnect=<0|1>
//   sendclose=<0|1>
//   showhistory=<0|1>
//   reconnect=<0|1>
//   typing=<0|1>
//   [<profile name>]          one section per profile with a non-empty name,
//   <key>=<value>             in code-unit order; its pairs in key order
// "status" of a profile is its own presence to sign on with (see kStatusKey).
// "passw" is a profile's password, kept in plain text (the format requires it):
// the file is created with mode 0600 in a directory of mode 0700.
//
// Reading: a header names its section after every leading "[" and trailing "]" is
// removed; an empty name is ignored, "settings" is the settings section, any other
// name a profile. In the settings section only the keys above count; a number is
// the run of decimal digits at the start of the value (none gives 0), a flag is 1
// when that number is not 0, and columns is clamped to 1..4. In a profile section
// every "key=value" line is kept (a repeated key ends with its last value).
//
// A Settings object is a plain value and not thread-safe; AppState guards its own.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "store/section_file.h"

namespace pellox {

inline constexpr char kSettingsFileName[] = "settings.txt";
// The profile key of one's own presence: a presence value 0 to 7 in decimal; a
// profile without it signs on online.
inline constexpr char16_t kStatusKey[] = u"status";

// One named set of key/value pairs; the name is the profile's UIN text.
struct Profile {
    std::map<std::u16string, std::u16string> values;  // ordered by code units
    bool operator==(const Profile&) const = default;
};

// The profile keys of how to sign on:
//   "login"   "md5" for the MD5 login; "roasted", or no key at all (every profile
//             from before the choice), for the roasted password;
//   "tls"     a flag: both connections over TLS;
//   "tlspin"  "<server> <fingerprint>": the SHA-256 fingerprint of the server
//             certificate the user trusted, for the server named as ServerIdentity
//             (net/address.h) names it.
inline constexpr char16_t kLoginKey[] = u"login";
inline constexpr char16_t kLoginMd5[] = u"md5";
inline constexpr char16_t kLoginRoasted[] = u"roasted";
inline constexpr char16_t kTlsKey[] = u"tls";
inline constexpr char16_t kTlsPinKey[] = u"tlspin";

bool UsesMd5Login(const Profile& profile);
bool UsesTls(const Profile& profile);
// The fingerprint pinned for `server`; empty when none is, or one is for another
// server.
std::u16string PinnedCertificate(const Profile& profile, std::u16string_view server);
void PinCertificate(Profile& profile, std::u16string_view server, std::u16string_view fingerprint);

class Settings : public SectionFileHandler {
public:
    Settings() = default;

    std::u16string profile;  // name of the active profile
    bool onlyonline = true;
    int columns = 2;
    bool autoconnect = false;  // kept by Reset
    bool sendclose = true;
    bool showhistory = true;
    bool reconnect = false;  // connect again after a connection error
    bool typing = false;     // tell contacts when one is typing to them
    std::map<std::u16string, Profile> profiles;  // ordered by code units

    // Every field back to its initial value except autoconnect.
    void Reset();

    // The password of the active profile, or of the named one; the profile and its
    // "passw" key are created (empty) when missing.
    std::u16string& Password();
    std::u16string& Password(const std::u16string& name);

    // Removes the named profile; the number removed (0 or 1).
    std::size_t EraseProfile(const std::u16string& name);

    // Reset, then read directory + "settings.txt" (a missing file leaves the values
    // of Reset, as does an untrusted directory). 0 when the file was read or is
    // missing or the directory untrusted; otherwise the error number of the failed
    // read, and the values are those of Reset.
    int Load(const std::string& directory);
    int Load() { return Load(DataDirectory()); }

    // Rewrites directory + "settings.txt" whole (see file_access.h); false when it
    // could not be written, and then the old file is untouched.
    bool Save(const std::string& directory) const;
    bool Save() const { return Save(DataDirectory()); }

    // The bytes of the file as Save writes them.
    std::string FileContent() const;

    void OnLine(SectionEvent kind, const std::u16string& line) override;

    // The fields and profiles (not the reading state).
    bool operator==(const Settings& other) const;

private:
    enum class Section { None, Ignored, Settings, Profile };
    Section section_ = Section::None;
    std::u16string sectionName_;
};

}  // namespace pellox
