#include "store/icon_cache.h"

#include "net/text_encoding.h"
#include "platform/digest.h"
#include "platform/files.h"
#include "store/file_access.h"

namespace pellox {
namespace {

bool WriteInto(const std::string& folder, const std::string& name,
               std::span<const std::uint8_t> bytes) {
    if (!platform::EntryExists(folder) && !platform::MakeDirectory(folder, kDataDirectoryMode))
        return false;
    const std::string content(bytes.begin(), bytes.end());
    return ReplaceFileContents(folder, name,
                               [&content]() -> std::optional<std::string> { return content; });
}

}  // namespace

std::string IconHashText(const IconHash& hash) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : hash) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

IconHash IconHashOf(std::span<const std::uint8_t> bytes) {
    return platform::Md5(bytes);
}

std::string CachedIconPath(const std::string& directory, const std::string& hashText) {
    return directory + "icons/" + hashText;
}

bool IconCached(const std::string& directory, const std::string& hashText) {
    return platform::FileExists(CachedIconPath(directory, hashText));
}

bool CacheIcon(const std::string& directory, const std::string& hashText,
               std::span<const std::uint8_t> bytes) {
    return WriteInto(directory + "icons/", hashText, bytes);
}

namespace {

// The name a profile keeps, when it is a plain name inside the data folder.
std::optional<std::string> PictureName(std::u16string_view kept) {
    const std::string name = NarrowFromWide(kept);
    if (name.empty() || name.find('/') != std::string::npos || name.front() == '.')
        return std::nullopt;
    return name;
}

}  // namespace

void RemoveOwnPicture(const std::string& directory, std::u16string_view name) {
    if (const std::optional<std::string> plain = PictureName(name))
        (void)DeleteRewrittenFile(directory, *plain);
}

std::optional<std::vector<std::uint8_t>> ReadOwnPicture(const std::string& directory,
                                                        const Profile& profile) {
    const auto it = profile.values.find(kPictureKey);
    if (it == profile.values.end()) return std::nullopt;
    const std::optional<std::string> plain = PictureName(it->second);
    if (!plain) return std::nullopt;
    const std::string& name = *plain;
    std::string bytes;
    if (!platform::ReadWholeFile(directory + name, bytes) || bytes.empty() ||
        bytes.size() > kMaxIconBytes) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

std::optional<std::string> WriteOwnPicture(const std::string& directory,
                                           std::span<const std::uint8_t> bytes,
                                           const std::string& extension) {
    const std::string name = "picture-" + IconHashText(IconHashOf(bytes)) + "." + extension;
    if (!WriteInto(directory, name, bytes)) return std::nullopt;
    return name;
}

}  // namespace pellox
