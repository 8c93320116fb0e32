// Commands that the user interface hands to the network worker, and the
// connection state codes that the session reports.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace pellox {

// Connection state codes reported through NetSession::OnStateChanged.
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

enum class CommandCode : std::int32_t {
    Connect = 1,
    Disconnect = 2,
    SendMessage = 3,
    LoadContacts = 4,
    DeleteContact = 5,
    RequestInfo = 6,
    SetStatus = 7,      // one's own status: kept for sign-on, sent at once while connected
    SetVisibility = 8,  // the visibility item of the server list (the protocol layer's)
    AddContact = 9,     // a contact added locally: the server list and presence (the protocol layer's)
    RenameContact = 10, // a contact's new name for its server item (the protocol layer's)
    TypingNotice = 11,  // one's own typing to a contact (the protocol layer's)
    AuthReply = 12,     // the answer to an authorization request (the protocol layer's)
};

// A queued request. The queue owns it from EnqueueCommand until the worker has
// performed it. Disconnect and LoadContacts carry no payload and use this record
// as it is.
struct NetCommand {
    explicit NetCommand(CommandCode c) : code(c) {}
    virtual ~NetCommand() = default;
    CommandCode code;
};

// `status` is the status half of the word the sign-on announces (0 online).
struct ConnectCommand : NetCommand {
    ConnectCommand(std::u16string serverText, std::u16string uinText, std::u16string passwordText,
                   std::uint16_t ownStatus = 0)
        : NetCommand(CommandCode::Connect),
          server(std::move(serverText)),
          uin(std::move(uinText)),
          password(std::move(passwordText)),
          status(ownStatus) {}
    std::u16string server;
    std::u16string uin;
    std::u16string password;
    std::uint16_t status;
};

// SetStatus: the status half of one's own status word (0x0001 away, 0x0100
// invisible, ...).
struct StatusCommand : NetCommand {
    explicit StatusCommand(std::uint16_t ownStatus)
        : NetCommand(CommandCode::SetStatus), status(ownStatus) {}
    std::uint16_t status;
};

// SetVisibility: true to be seen only by the contacts of one's server list.
struct VisibilityCommand : NetCommand {
    explicit VisibilityCommand(bool listOnly)
        : NetCommand(CommandCode::SetVisibility), visibleToListOnly(listOnly) {}
    bool visibleToListOnly;
};

struct SendMessageCommand : NetCommand {
    SendMessageCommand(std::u16string uinText, std::u16string messageText,
                       const void* recipient = nullptr)
        : NetCommand(CommandCode::SendMessage),
          uin(std::move(uinText)),
          text(std::move(messageText)),
          contact(recipient) {}
    std::u16string uin;
    std::u16string text;
    // The recipient contact as the queuing view knew it; never dereferenced here.
    const void* contact;
};

// AddContact and RenameContact: the UIN and the contact's name.
struct ContactCommand : NetCommand {
    ContactCommand(CommandCode c, std::u16string uinText, std::u16string nameText)
        : NetCommand(c), uin(std::move(uinText)), name(std::move(nameText)) {}
    std::u16string uin;
    std::u16string name;
};

// TypingNotice: one's own typing to the contact (0 stopped, 1 typed, 2 begun).
struct TypingCommand : NetCommand {
    TypingCommand(std::u16string uinText, std::uint16_t typingKind)
        : NetCommand(CommandCode::TypingNotice), uin(std::move(uinText)), kind(typingKind) {}
    std::u16string uin;
    std::uint16_t kind;
};

// AuthReply: the answer to the UIN's authorization request.
struct AuthReplyCommand : NetCommand {
    AuthReplyCommand(std::u16string uinText, bool grant)
        : NetCommand(CommandCode::AuthReply), uin(std::move(uinText)), granted(grant) {}
    std::u16string uin;
    bool granted;
};

// DeleteContact and RequestInfo: one UIN.
struct UinCommand : NetCommand {
    UinCommand(CommandCode c, std::u16string uinText) : NetCommand(c), uin(std::move(uinText)) {}
    std::u16string uin;
};

}  // namespace pellox
