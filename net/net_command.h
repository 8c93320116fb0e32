// Commands that the user interface hands to the network worker, and the
// connection state codes that the session reports.
//
// A command is a plain struct and one alternative of `Command`. The worker looks
// up the one handler registered for its alternative (SessionImpl::SetCommandHandler)
// and runs it; the net layer registers the handlers of the commands it carries out
// itself, the protocol layer those of the rest (RegisterProtocolHandlers). A new
// command is its struct here, its handler, and the call site that queues it.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace pellox {

// Connection state codes reported through SessionDelegate::OnStateChanged.
enum class ConnState : std::int32_t {
    Disconnected = 0,               // CloseSession (twice), the Disconnect command
    DisconnectedByOtherClient = 1,  // sign-off frame from the messaging server
    ConnectionError = 2,            // connect failed; the receive thread ended
    OpeningConnection = 3,          // the Connect command starts
    ConnectingLoginServer = 4,      // the login-server socket was created
    ConnectingMessagingServer = 5,  // never reported by the session
    CheckingPassword = 6,           // the login frame is being sent
    Online = 7,                     // client ready sent; offline messages complete
    LoadingOfflineMessages = 8,     // right after Online at sign-on
    LoadingContacts = 9,            // contact list requested
    ContactsLoaded = 10,            // contact list received and applied
};

// 7 and above count as connected: the keep-alive runs only then.
inline bool IsConnectedState(std::int32_t code) {
    return code >= static_cast<std::int32_t>(ConnState::Online);
}
inline bool IsConnectedState(ConnState code) {
    return IsConnectedState(static_cast<std::int32_t>(code));
}

// ---- Carried out by the net layer ----

// Signs on. `status` is the status half of the word the sign-on announces (0 online).
struct ConnectCommand {
    std::u16string server;
    std::u16string uin;
    std::u16string password;
    std::uint16_t status = 0;
    // The MD5 login of family 0x0017 instead of the roasted password.
    bool md5Login = false;
    // Both connections over TLS; `tlsPin` is the SHA-256 fingerprint of the one
    // certificate the user trusted for this server (empty: the system's trust
    // store decides).
    bool tls = false;
    std::string tlsPin{};
};

// Reports Disconnected, closes the connection and refreshes the contacts.
struct DisconnectCommand {};

// One's own status half of the status word (0x0001 away, 0x0100 invisible, ...):
// kept for sign-on, sent at once while connected.
struct StatusCommand {
    std::uint16_t status = 0;
};

struct SendMessageCommand {
    std::u16string uin;
    std::u16string text;
    // The recipient contact as the queuing view knew it; never dereferenced here.
    const void* contact = nullptr;
};

// Asks the server for the contact list.
struct LoadContactsCommand {};

// Deletes the contact's server item and takes it off the client-side buddy list.
struct DeleteContactCommand {
    std::u16string uin;
};

// Asks for the contact's short user information.
struct RequestInfoCommand {
    std::u16string uin;
};

// ---- Carried out by the protocol layer ----

// True to be seen only by the contacts of one's server list.
struct VisibilityCommand {
    bool visibleToListOnly = false;
};

// A contact added locally: the server list and presence.
struct AddContactCommand {
    std::u16string uin;
    std::u16string name;
};

// A contact's new name for its server item.
struct RenameContactCommand {
    std::u16string uin;
    std::u16string name;
};

// One's own typing to the contact (0 stopped, 1 typed, 2 begun).
struct TypingCommand {
    std::u16string uin;
    std::uint16_t kind = 0;
};

// The answer to the UIN's authorization request.
struct AuthReplyCommand {
    std::u16string uin;
    bool granted = false;
};

using Command =
    std::variant<ConnectCommand, DisconnectCommand, StatusCommand, SendMessageCommand,
                 LoadContactsCommand, DeleteContactCommand, RequestInfoCommand, VisibilityCommand,
                 AddContactCommand, RenameContactCommand, TypingCommand, AuthReplyCommand>;

}  // namespace pellox
