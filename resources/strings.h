// The application's string table: every user-visible fixed text, by numeric id,
// except the texts of the menus (menus.cpp) and of the forms (the .ui files here).
// Qt-free; the texts are UTF-16.
#pragma once

#include <initializer_list>
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
// Texts added to the table later have ids from 2001 on.
// The status line after the login server refused the sign-on.
inline constexpr int kLoginWrongPassword = 2001;
inline constexpr int kLoginTooOften = 2002;
inline constexpr int kLoginAccountBlocked = 2003;
inline constexpr int kLoginClientTooOld = 2004;
inline constexpr int kLoginRefused = 2005;
// A message that was not sent: the notice and its reasons.
inline constexpr int kNoConnection = 2010;       // sending while not connected
inline constexpr int kMessageNotSent = 2011;     // "%1": the contact, "%2": the reason
inline constexpr int kReasonNotWritten = 2012;
inline constexpr int kReasonRecipientAway = 2013;
inline constexpr int kReasonTooMany = 2014;
inline constexpr int kReasonRefused = 2015;
inline constexpr int kReasonBadFormat = 2016;
inline constexpr int kReasonOther = 2017;        // "%1": the error code
// Questions before deleting; "%1" is the contact's display name.
inline constexpr int kDeleteContactQuestion = 2020;
inline constexpr int kDeleteConversationQuestion = 2021;
inline constexpr int kYes = 2022;
inline constexpr int kNo = 2023;
// The desktop application's own texts.
// A stored file that could not be read or written: "%1" the file, "%2" the error.
inline constexpr int kFileNotRead = 2030;
inline constexpr int kFileNotSaved = 2031;
// An authorization request: the window's title, its question ("%1" the contact,
// "%2" the contact's text) and its two answers.
inline constexpr int kAuthorizationTitle = 2032;
inline constexpr int kAuthorizationQuestion = 2033;
inline constexpr int kGrantAuthorization = 2034;
inline constexpr int kRefuseAuthorization = 2035;
// The choices offered on a message notification.
inline constexpr int kNotificationOpen = 2036;
inline constexpr int kNotificationClose = 2037;
// A form field that cannot be saved: "%1" the field's label.
inline constexpr int kFieldControlCharacter = 2038;
inline constexpr int kFieldDigitsOnly = 2039;
// After the contact's name in the conversation header while it types.
inline constexpr int kTyping = 2040;
// Why the data folder cannot be used ("%1" the folder, "%2" one of the reasons).
inline constexpr int kFolderUnusable = 2041;
inline constexpr int kFolderNotCreated = 2042;
inline constexpr int kFolderIsLink = 2043;
inline constexpr int kFolderNotAFolder = 2044;
inline constexpr int kFolderOtherOwner = 2045;
inline constexpr int kFolderWritableByOthers = 2046;
inline constexpr int kFolderUnreadable = 2047;
inline constexpr int kAlreadyRunning = 2048;   // "%1" the folder
inline constexpr int kFolderNotLocked = 2049;  // "%1" the folder
// An authorization request left for later: its window closes, the request stays.
inline constexpr int kAnswerLater = 2050;
inline constexpr int kCopyEntry = 320;    // a conversation entry's context menu
// What a screen reader is told about the custom-drawn parts (2200-2249).
inline constexpr int kA11yOffline = 2200;         // a contact's presence when offline
inline constexpr int kA11yUnreadOne = 2201;       // "%1": 1, 21, 31...
inline constexpr int kA11yUnreadMany = 2202;      // "%1": every other count
inline constexpr int kA11yConversationOpen = 2203;
inline constexpr int kA11yTyping = 2204;
inline constexpr int kA11yContactList = 2205;     // the list's name
inline constexpr int kA11yConversation = 2206;    // the history's name
inline constexpr int kA11yOwnEntry = 2207;        // who wrote an outgoing entry
inline constexpr int kA11yTraffic = 2208;         // "%1" received, "%2" sent, in kilobytes
inline constexpr int kA11yPreviousColumn = 2209;  // the "<<" button
inline constexpr int kA11yNextColumn = 2210;      // the ">>" button
inline constexpr int kA11ySend = 2211;            // the conversation's send button
// Texts of the protocol layer: authorization and the server contact list.
inline constexpr int kAuthRequestText = 2100;      // one's own authorization request
inline constexpr int kAuthGranted = 2101;          // system line: the contact granted it
inline constexpr int kAuthRefused = 2102;          // system line: the contact refused it
inline constexpr int kYouWereAdded = 2103;         // system line: someone added you
inline constexpr int kAuthRequestedNotice = 2104;  // "%1": the request's text
inline constexpr int kServerAddFailed = 2105;      // "%1": the UIN, "%2": the error code
inline constexpr int kNewGroupName = 2106;         // the server list's first group
// History search and export (2250-2299).
inline constexpr int kSearchLine = 2250;          // the conversation's search line
inline constexpr int kSearchCount = 2251;         // "%1" the current match, "%2" how many
inline constexpr int kSearchNothing = 2252;       // a query without matches
inline constexpr int kHistorySearchTitle = 2253;  // the search over every conversation
inline constexpr int kHistorySearchRunning = 2254;
inline constexpr int kHistorySearchFound = 2255;      // "%1" entries found
inline constexpr int kHistorySearchFoundMore = 2256;  // "%1" found, "%2" the newest listed
inline constexpr int kHistorySearchNothing = 2257;
inline constexpr int kHistorySearchHits = 2258;   // the list of hits, to a screen reader
inline constexpr int kExportTitle = 2259;         // the file dialog's caption
inline constexpr int kExportTextFilter = 2260;
inline constexpr int kExportHtmlFilter = 2261;
inline constexpr int kExportFileName = 2262;      // "%1" the contact's number
inline constexpr int kExportHeading = 2263;       // "%1" one's number, "%2" the contact
inline constexpr int kExportSystem = 2264;        // who wrote a system entry
inline constexpr int kExportIntoDataFolder = 2265;
// Sign-on over TLS (2300-2349). The status line when a certificate or TLS itself
// ended the sign-on (LoginRefusal() kRefusalCertificateUntrusted,
// kRefusalCertificateChanged, kRefusalTlsFailed):
inline constexpr int kLoginCertificateUntrusted = 2300;
inline constexpr int kLoginCertificateChanged = 2301;
inline constexpr int kLoginTlsFailed = 2302;
// The question about a certificate nobody vouches for ("%1" the server, "%2" its
// SHA-256 fingerprint), its title, and the notices of a changed certificate ("%1"
// the server, "%2" the pinned fingerprint, "%3" the one presented) and of a
// messaging server's certificate that no pin covers ("%1" its fingerprint).
inline constexpr int kCertificateTitle = 2303;
inline constexpr int kCertificateQuestion = 2304;
inline constexpr int kCertificateChanged = 2305;
inline constexpr int kCertificateNotTrusted = 2306;
}  // namespace str

// The text of string `id`; empty for an id the table does not hold.
std::u16string_view StringView(int id);
std::u16string LoadString(int id);

// The first line of string `id` (up to the first '\n'); the window title is the
// first line of string 128.
std::u16string_view FirstLine(std::u16string_view text);

// The string id shown in the status line for a connection state code; 0 (no
// string, an empty status line) for Online, ContactsLoaded and unknown codes.
// With the code of a login refusal (NetSession::LoginRefusal(), not 0) the
// ConnectionError state shows the refusal's text instead.
int ConnectionStateStringId(int state, int loginRefusal = 0);

// The reason text of a message that was not sent: `reason` 0 when it could not be
// written to the connection, otherwise the server's message error code.
int MessageNotSentReasonId(int reason);

// String `id` with "%1", "%2", ... replaced by the arguments in one pass (an
// argument's own "%1" stays as it is); a number without an argument stays as well.
std::u16string FormatString(int id, std::initializer_list<std::u16string_view> args);

}  // namespace pellox
