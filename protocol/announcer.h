// How an incoming message is announced to the user. The desktop application
// implements Announcer; the session decides between notification and sound.
//
// Every member is called on the network thread that received the message, never
// on the user-interface thread, and must not wait for that thread: answer
// MainWindowActive from a flag the user-interface thread keeps up to date, and
// hand the notification and the sound over to it (or to an asynchronous service).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pellox {

// The sound of an incoming message while the application is in front.
inline constexpr char16_t kIncomingMessageSound[] = u"alarm2.wav";

// A notification's title: finished text (a contact's name and number, see
// AnnouncementTitle), or the id of a string of the table, which the interface
// shows in its language.
using NotificationTitle = std::variant<std::u16string, int>;

class Announcer {
public:
    virtual ~Announcer() = default;
    // True while the main window or one of its child windows is the active window.
    virtual bool MainWindowActive() = 0;
    // Shows a desktop notification with this title and body; false when none could
    // be shown.
    virtual bool ShowNotification(const std::u16string& title, const std::u16string& body) = 0;
    // Shows a desktop notification whose body is string `stringId` of the table with
    // its markers replaced by `args` (see FormatString), in the language of the
    // interface, as is a title given by its string id; the session's own notices
    // come this way, so that the core, which knows only the table's Russian texts,
    // never picks the words. By default the table's texts themselves.
    // Shows the notification of a file a contact offers: its name and its size, the
    // size's unit in the interface's language too. By default the table's texts.
    virtual bool ShowFileOffer(const std::u16string& title, const std::u16string& fileName,
                               std::uint64_t size);
    virtual bool ShowStringNotification(const NotificationTitle& title, int stringId,
                                        const std::vector<std::u16string>& args);
    // Starts playing the sound file (a name in the application's sound folder) and
    // returns at once.
    virtual void PlaySound(const std::u16string& fileName) = 0;
    // Tells the user that the message `text` to this contact was not sent:
    // `reason` 0 when it could not be written to the connection, otherwise the
    // server's message error code. Does nothing by default.
    virtual void MessageNotSent(const std::u16string& displayName, const std::u16string& uin,
                                const std::u16string& text, std::uint16_t reason) {
        (void)displayName, (void)uin, (void)text, (void)reason;
    }
};

// "ICQ: <display name> (<UIN>)", the name cut to kMaxAnnouncedName UTF-16 units
// (never inside a surrogate pair): a name from the network can be of any length.
// A contact without a name, whose display name is its UIN, is "ICQ: <UIN>".
inline constexpr std::size_t kMaxAnnouncedName = 64;
std::u16string AnnouncementTitle(std::u16string_view displayName, std::u16string_view uin);

// In the background a notification alerts the user; in front, or when the
// notification could not be shown, the sound plays instead.
void AnnounceMessage(Announcer& announcer, const std::u16string& title, const std::u16string& body);

}  // namespace pellox
