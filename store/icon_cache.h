// Pictures in the data folder: the contacts' icons, cached under "icons/" by the
// MD5 of their bytes written as 32 lowercase hex digits, and one's own picture,
// whose file name the profile keeps under kPictureKey. Every file goes through
// ReplaceFileContents (store/file_access.h): a crash leaves the old file or the
// new one, never a torn icon.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "store/settings.h"

namespace pellox {

// The largest picture the icon service takes, in bytes.
inline constexpr std::size_t kMaxIconBytes = 7168;
// The side of a picture as it is made and drawn, in pixels.
inline constexpr int kPictureSide = 48;
// The profile key with the own picture's file name in the data folder.
inline constexpr char16_t kPictureKey[] = u"picture";

using IconHash = std::array<std::uint8_t, 16>;
std::string IconHashText(const IconHash& hash);
IconHash IconHashOf(std::span<const std::uint8_t> bytes);

// directory + "icons/" + the hash text.
std::string CachedIconPath(const std::string& directory, const std::string& hashText);
bool IconCached(const std::string& directory, const std::string& hashText);
// Writes the icon under its hash (the folder made when missing). False when it
// could not be written.
[[nodiscard]] bool CacheIcon(const std::string& directory, const std::string& hashText,
                             std::span<const std::uint8_t> bytes);

// The own picture of the profile: the file its kPictureKey names in `directory`,
// nullopt when it names none or the file is missing, empty or over kMaxIconBytes.
std::optional<std::vector<std::uint8_t>> ReadOwnPicture(const std::string& directory,
                                                        const Profile& profile);
// Writes the picture's bytes to "picture-<hash text>.<extension>" in the directory
// and returns that name (plain ASCII); nullopt when it could not be written.
std::optional<std::string> WriteOwnPicture(const std::string& directory,
                                           std::span<const std::uint8_t> bytes,
                                           const std::string& extension);

// Deletes an own picture's file by the name a profile kept (a plain name only).
void RemoveOwnPicture(const std::string& directory, std::u16string_view name);

}  // namespace pellox
