// The application's string table: every user-visible fixed text, by numeric id,
// except the texts of the menus (menus.cpp) and of the forms (the .ui files here).
// Qt-free; the texts are UTF-16.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
// People: the directory, details, away texts and privacy (2350-2449).
// The away-type presences, as the away text's question and system line name them.
inline constexpr int kPresenceAway = 2350;
inline constexpr int kPresenceNotAvailable = 2351;
inline constexpr int kPresenceOccupied = 2352;
inline constexpr int kPresenceDoNotDisturb = 2353;
inline constexpr int kAwayTextLine = 2354;      // system line: "%1" the presence, "%2" the text
inline constexpr int kHeldBackTitle = 2355;     // the notice of strangers held back
inline constexpr int kHeldBackNotice = 2356;    // "%1": how many
// The forms' field labels, and the lines of a contact's details.
inline constexpr int kFieldUin = 2360;
inline constexpr int kFieldEmail = 2361;
inline constexpr int kFieldNickname = 2362;
inline constexpr int kFieldFirstName = 2363;
inline constexpr int kFieldLastName = 2364;
inline constexpr int kFieldCity = 2365;
inline constexpr int kFieldAbout = 2366;
inline constexpr int kFieldState = 2367;
inline constexpr int kFieldPhone = 2368;
inline constexpr int kFieldFax = 2369;
inline constexpr int kFieldStreet = 2370;
inline constexpr int kFieldCellular = 2371;
inline constexpr int kFieldZip = 2372;
inline constexpr int kFieldAge = 2373;
inline constexpr int kFieldGender = 2374;
inline constexpr int kFieldHomepage = 2375;
inline constexpr int kFieldBirthday = 2376;
inline constexpr int kBirthdayFormat = 2386;   // "%1" day, "%2" month, "%3" year
inline constexpr int kFieldOtherEmails = 2377;
inline constexpr int kFieldCompany = 2378;
inline constexpr int kFieldDepartment = 2379;
inline constexpr int kFieldPosition = 2380;
inline constexpr int kFieldWorkCity = 2381;
inline constexpr int kFieldInterests = 2382;
inline constexpr int kGenderFemale = 2383;
inline constexpr int kGenderMale = 2384;
inline constexpr int kFieldLine = 2385;        // "%1: %2", a line of the details
// The search form.
inline constexpr int kSearchNoConnection = 2390;
inline constexpr int kSearching = 2391;
inline constexpr int kSearchNobody = 2392;
inline constexpr int kSearchFound = 2393;      // "%1": how many
inline constexpr int kSearchFoundMore = 2394;  // "%1" shown, "%2" not sent
inline constexpr int kSearchOnline = 2395;
inline constexpr int kSearchOffline = 2396;
inline constexpr int kSearchAddButton = 2397;
inline constexpr int kSearchWriteButton = 2398;
inline constexpr int kSearchHint = 2399;       // what to fill in
// The details forms.
inline constexpr int kDetailsLoading = 2400;
inline constexpr int kDetailsNone = 2401;
inline constexpr int kOwnNoConnection = 2402;
inline constexpr int kOwnSaving = 2403;
inline constexpr int kOwnSaved = 2404;
inline constexpr int kOwnNotSaved = 2405;
inline constexpr int kDetailsButton = 2406;    // the contact form's "Информация"
// Away texts.
inline constexpr int kAwayTextTitle = 2410;
inline constexpr int kAwayTextQuestion = 2411;  // "%1": the presence
inline constexpr int kDialogOk = 2412;
inline constexpr int kDialogCancel = 2413;
// Privacy.
inline constexpr int kIgnoreQuestion = 2420;    // "%1": the contact
inline constexpr int kIgnoredTitle = 2421;
inline constexpr int kIgnoredNone = 2422;
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
// One's own picture (2480-2529): the file dialog's caption and filter, and the
// notice for a file that gives no picture ("%1" the file's name).
inline constexpr int kPictureTitle = 2480;
inline constexpr int kPictureFilter = 2481;
inline constexpr int kPictureUnusable = 2482;

// Sending a file: the conversation's lines ("%1" the name, "%2" the size, "%3"
// where it is), the reasons an offer is not made, the progress strip and sizes.
inline constexpr int kFileProposed = 2530;
inline constexpr int kFileSent = 2531;
inline constexpr int kFileReceived = 2532;
inline constexpr int kFileRefused = 2533;
inline constexpr int kFileCancelled = 2534;
inline constexpr int kFileFailed = 2535;
inline constexpr int kFileFailedPartial = 2536;
inline constexpr int kFileNotConnected = 2537;
inline constexpr int kFileUnreadable = 2538;
inline constexpr int kFileTooLarge = 2539;
inline constexpr int kFileTooMany = 2540;
inline constexpr int kFileChooseTitle = 2541;
inline constexpr int kFileIncoming = 2542;   // the strip: a proposal waiting for the user
inline constexpr int kFileWaiting = 2543;    // the strip: an offer waiting for the answer
inline constexpr int kFileConnecting = 2544;
inline constexpr int kFileProgress = 2545;   // "%1 из %2, %3/с, осталось %4"
inline constexpr int kFileAccept = 2546;
inline constexpr int kFileRefuse = 2547;
inline constexpr int kFileCancel = 2548;
inline constexpr int kSizeBytes = 2549;
inline constexpr int kSizeKilobytes = 2550;
inline constexpr int kSizeMegabytes = 2551;
inline constexpr int kSizeGigabytes = 2552;
inline constexpr int kFileNotOnline = 2554;
// The own picture's buttons on "Мои данные".
inline constexpr int kPictureChoose = 2483;
inline constexpr int kPictureRemove = 2484;
}  // namespace str

// The text of string `id`; empty for an id the table does not hold.
std::u16string_view StringView(int id);
std::u16string LoadString(int id);
// The ids of every string the table holds, in ascending order.
std::vector<int> StringIds();

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
// `text` (a string of the table, or its translation) with its markers replaced as
// FormatString does.
std::u16string FormatText(std::u16string_view text, std::span<const std::u16string_view> args);

}  // namespace pellox
