// The application's string table: every user-visible fixed text, by numeric id.
// Qt-free; the texts are UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace pellox {

namespace str {
inline constexpr int kTitle = 128;           // " ZORBEL!" (note the leading blank)
inline constexpr int kHistoryLoading = 129;  // history not loaded yet
inline constexpr int kHistoryEmpty = 130;    // history without entries
inline constexpr int kOpeningConnection = 131;
inline constexpr int kConnectionError = 132;
inline constexpr int kConnectingLoginServer = 133;
inline constexpr int kConnectingMessagingServer = 134;
inline constexpr int kCheckingPassword = 135;
inline constexpr int kLoadingContacts = 136;
inline constexpr int kDisconnected = 137;
inline constexpr int kDisconnectedByOtherClient = 138;
inline constexpr int kLoadingOfflineMessages = 139;
inline constexpr int kMenuButton = 301;   // left soft key of the main menu bar
inline constexpr int kWriteButton = 302;  // right soft key of the main menu bar
inline constexpr int kCopyEntry = 320;    // a conversation entry's context menu
}  // namespace str

// The text of string `id`; empty for an id the table does not hold.
std::u16string_view StringView(int id);
std::u16string LoadString(int id);

// The first line of string `id` (up to the first '\n'); the window title is the
// first line of string 128.
std::u16string_view FirstLine(std::u16string_view text);

// The string id shown in the status line for a connection state code; 0 (no
// string, an empty status line) for Online, ContactsLoaded and unknown codes.
int ConnectionStateStringId(int state);

}  // namespace pellox
