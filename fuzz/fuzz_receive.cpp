// Fuzz target: the byte stream of a messaging-server connection.
//
// The input is everything a server sends after sign-on (and, first, the same bytes
// are read as the login server's reply and its messaging address). It runs through the
// session's frame loop (FLAP framing, SNAC headers, extra data) and DispatchSnac
// into every handler of a MessengerSession, with a model on a scratch data
// directory behind it, over one end of a socket pair whose other end a peer thread
// feeds with the input while it drains what the session answers.
//
// Beyond memory safety it checks what a messenger must never get wrong: every
// message the session reported is in its contact's history, in memory and byte for
// byte in the history file, and the stored files load again.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/files.h"
#include "protocol/identity.h"
#include "protocol/messenger_session.h"
#include "store/app_state.h"
#include "store/contact_list_file.h"
#include "store/message_history.h"

namespace pellox::fuzz {
namespace {

// The session with a count of the messages it reported per sender.
class CountingSession : public MessengerSession {
public:
    using MessengerSession::MessengerSession;
    ~CountingSession() override { Shutdown(); }

    void OnMessage(const std::u16string& uin, const std::u16string& text) override {
        if (IsUsableUin(uin)) ++messages[uin];
        MessengerSession::OnMessage(uin, text);
    }

    std::map<std::u16string, std::size_t> messages;  // the receive thread is this thread
};

// What a view does with a change: look at the contact and its conversation.
class Repainter : public AppStateListener {
public:
    explicit Repainter(AppState& model) : model_(model) {}
    void OnAppStateChange(ChangeCode, const ContactPtr& contact) override {
        for (const ContactSnapshot& s : model_.SnapshotContacts()) {
            (void)s.info.DisplayName();
        }
        if (contact && model_.ContainsContact(contact)) {
            if (auto history = contact->History()) (void)history->Count();
        }
    }

private:
    AppState& model_;
};

// The server end: writes the input, then shuts its sending side; reads and drops
// what the client sends until the client closes.
void Serve(int fd, const std::uint8_t* data, std::size_t size) {
    bool writing = size > 0;
    if (!writing) ::shutdown(fd, SHUT_WR);
    std::uint8_t sink[4096];
    for (;;) {
        pollfd p{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, -1) < 0) continue;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t got = ::recv(fd, sink, sizeof sink, 0);
            if (got <= 0) return;
        }
        if (writing && (p.revents & POLLOUT)) {
            const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) {
                data += sent;
                size -= static_cast<std::size_t>(sent);
            } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
                size = 0;
            }
            if (size == 0) {
                writing = false;
                ::shutdown(fd, SHUT_WR);
            }
        }
    }
}

void CheckHistories(AppState& model, const CountingSession& session) {
    for (const auto& [uin, count] : session.messages) {
        const ContactPtr contact = model.FindContact(uin);
        Check(contact != nullptr, "a sender is not in the contact list");
        const std::shared_ptr<MessageHistory> history = contact->History();
        Check(history != nullptr, "a sender has no history");
        const std::vector<MessageEntry> entries = history->Entries();
        Check(entries.size() == count, "a reported message is missing from the history");
        Check(contact->Snapshot().unreadCount == std::min<std::size_t>(count, 0xFFFF),
              "the unread count does not match the messages");
        std::string expected;
        for (const MessageEntry& e : entries) expected += FormatHistoryEntry(e);
        std::string stored;
        Check(platform::ReadWholeFile(model.Directory() + history->FileName(), stored),
              "a history file cannot be read");
        Check(stored == expected, "a history file differs from the messages");
    }
}

}  // namespace
}  // namespace pellox::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pellox;
    using namespace pellox::fuzz;
    ScratchDirectory::Empty();
    const std::string& dir = ScratchDirectory::Path();

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    std::thread server(Serve, fds[1], data, size);
    {
        AppState model(dir);
        model.UpdateSettings([](Settings& s) { s.profile = u"123456789"; });
        std::vector<std::pair<ChangeCode, ContactPtr>> posted;
        model.SetPoster([&posted](ChangeCode code, ContactPtr contact) {
            posted.emplace_back(code, std::move(contact));
        });
        Repainter repainter(model);
        model.AddListener(&repainter);
        {
            CountingSession session(model);
            // The same bytes as a login server's reply, and the messaging address it
            // names parsed as the connect would (nothing is connected).
            PacketReader reply(data, static_cast<int>(std::min<std::size_t>(size, kMaxFlapData)));
            if (session.ParseLoginReply(reply)) {
                platform::Ipv4Endpoint endpoint;
                (void)ResolveAddress(session.BosAddress(), false, endpoint);
            }
            session.RunMessagingConnection(fds[0]);  // the session owns fds[0] now
            // The end of the stream leaves a closing code: 1 after a sign-off
            // frame, otherwise 2 (or 0 when the stream never got past sign-on).
            Check(static_cast<int>(session.State()) < static_cast<int>(ConnState::OpeningConnection),
                  "the connection did not end in a closing state");
            CheckHistories(model, session);
        }  // closes the connection: the server thread sees the end
        for (auto& [code, contact] : posted) model.Notify(code, contact, false);
        model.RemoveListener(&repainter);

        // The files the session left behind load again, and the stored list holds
        // exactly the contacts of the model: every contact the session added was
        // saved, at the latest when a put-off save is written.
        model.FlushSaves();
        std::vector<std::u16string> uins;
        for (const ContactSnapshot& c : model.SnapshotContacts()) uins.push_back(c.info.uin);
        AppState reloaded(dir);
        reloaded.ReloadAll();
        std::vector<std::u16string> stored;
        for (const ContactPtr& c : reloaded.Contacts()) {
            stored.push_back(c->Uin());
            (void)reloaded.GetHistory(c);
        }
        Check(stored == uins, "the stored contact list differs from the model's");
    }
    server.join();
    ::close(fds[1]);
    return 0;
}
