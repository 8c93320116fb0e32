#include "store/settings.h"

#include <cerrno>
#include <string_view>

#include "net/text_encoding.h"
#include "store/file_access.h"

namespace pellox {
namespace {

constexpr char16_t kPasswordKey[] = u"passw";

// The decimal digits at the start of the value; no sign, no blanks, 0 when none.
long LeadingNumber(std::u16string_view value) {
    long n = 0;
    for (char16_t c : value) {
        if (c < u'0' || c > u'9') break;
        if (n < 1'000'000'000) n = n * 10 + (c - u'0');
    }
    return n;
}

std::u16string Flag(bool on) { return on ? u"1" : u"0"; }

std::u16string Decimal(int n) {
    std::string ascii = std::to_string(n);
    return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace

bool UsesMd5Login(const Profile& profile) {
    const auto value = profile.values.find(kLoginKey);
    return value != profile.values.end() && value->second == kLoginMd5;
}

bool UsesTls(const Profile& profile) {
    const auto value = profile.values.find(kTlsKey);
    return value != profile.values.end() && LeadingNumber(value->second) != 0;
}

std::u16string PinnedCertificate(const Profile& profile, std::u16string_view server) {
    const auto value = profile.values.find(kTlsPinKey);
    if (value == profile.values.end() || server.empty()) return {};
    const std::u16string& pin = value->second;
    const std::size_t blank = pin.find(u' ');
    if (blank == std::u16string::npos || std::u16string_view(pin).substr(0, blank) != server) return {};
    return pin.substr(blank + 1);
}

void PinCertificate(Profile& profile, std::u16string_view server, std::u16string_view fingerprint) {
    profile.values[kTlsPinKey] = std::u16string(server) + u" " + std::u16string(fingerprint);
}

void Settings::Reset() {
    profile.clear();
    profiles.clear();
    onlyonline = true;
    columns = 2;
    sendclose = true;
    showhistory = true;
    reconnect = false;
    typing = false;
}

std::u16string& Settings::Password() { return Password(profile); }

std::u16string& Settings::Password(const std::u16string& name) {
    return profiles[name].values[kPasswordKey];
}

std::size_t Settings::EraseProfile(const std::u16string& name) { return profiles.erase(name); }

int Settings::Load(const std::string& directory) {
    Reset();
    section_ = Section::None;
    // Nothing planted in an untrusted directory is taken in; start-up has told the
    // user about the directory already.
    if (UntrustedDirectory(directory)) return 0;
    int error = 0;
    const bool read = ReadSectionFile(*this, directory + kSettingsFileName, error);
    section_ = Section::None;
    if (read || error == ENOENT) return 0;
    Reset();  // not half a file
    return error;
}

bool Settings::Save(const std::string& directory) const {
    return ReplaceFileContents(directory, kSettingsFileName,
                               [this]() -> std::optional<std::string> { return FileContent(); });
}

std::string Settings::FileContent() const {
    std::string out;
    WriteTextLine(out, u"[settings]");
    WriteTextLine(out, u"profile=" + LineText(profile));
    WriteTextLine(out, u"onlyonline=" + Flag(onlyonline));
    WriteTextLine(out, u"columns=" + Decimal(columns));
    WriteTextLine(out, u"autoconnect=" + Flag(autoconnect));
    WriteTextLine(out, u"sendclose=" + Flag(sendclose));
    WriteTextLine(out, u"showhistory=" + Flag(showhistory));
    WriteTextLine(out, u"reconnect=" + Flag(reconnect));
    WriteTextLine(out, u"typing=" + Flag(typing));
    for (const auto& [name, entry] : profiles) {
        if (name.empty()) continue;  // cannot be read back as a section
        WriteTextLine(out, u"[" + LineText(name) + u"]");
        for (const auto& [key, value] : entry.values) {
            const std::u16string pair = LineText(key) + u"=" + LineText(value);
            // A pair of the shape "[k=v]" would read back as a section header.
            if (!IsSectionHeader(pair)) WriteTextLine(out, pair);
        }
    }
    return out;
}

void Settings::OnLine(SectionEvent kind, const std::u16string& line) {
    switch (kind) {
        case SectionEvent::SectionStart: {
            // Cleaned as a save writes it before the brackets come off, so that the
            // name read is the name a save writes and reads back: a zero or a line
            // break between the brackets cannot make one profile now and another
            // section (even [settings]) after a save.
            const std::u16string clean = LineText(line);
            const std::size_t first = clean.find_first_not_of(u'[');
            const std::size_t last = clean.find_last_not_of(u']');
            sectionName_ = (first == std::u16string::npos || last == std::u16string::npos ||
                            last < first)
                               ? std::u16string()
                               : clean.substr(first, last - first + 1);
            if (sectionName_.empty()) {
                section_ = Section::Ignored;
            } else if (sectionName_ == u"settings") {
                section_ = Section::Settings;
            } else {
                section_ = Section::Profile;
            }
            return;
        }
        case SectionEvent::SectionEnd:
            section_ = Section::None;
            return;
        case SectionEvent::SectionLine: break;
    }
    if (section_ != Section::Settings && section_ != Section::Profile) return;
    std::u16string key, value;
    if (!SplitKeyValue(line, key, value)) return;
    if (section_ == Section::Profile) {
        profiles[sectionName_].values[key] = value;
        return;
    }
    const long number = LeadingNumber(value);
    if (key == u"profile") {
        profile = value;
    } else if (key == u"onlyonline") {
        onlyonline = number != 0;
    } else if (key == u"columns") {
        columns = number < 1 ? 1 : number > 4 ? 4 : static_cast<int>(number);
    } else if (key == u"autoconnect") {
        autoconnect = number != 0;
    } else if (key == u"sendclose") {
        sendclose = number != 0;
    } else if (key == u"showhistory") {
        showhistory = number != 0;
    } else if (key == u"reconnect") {
        reconnect = number != 0;
    } else if (key == u"typing") {
        typing = number != 0;
    }
}

bool Settings::operator==(const Settings& other) const {
    return profile == other.profile && onlyonline == other.onlyonline &&
           columns == other.columns && autoconnect == other.autoconnect &&
           sendclose == other.sendclose && showhistory == other.showhistory &&
           reconnect == other.reconnect && typing == other.typing &&
           profiles == other.profiles;
}

}  // namespace pellox
