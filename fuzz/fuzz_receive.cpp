// Fuzz target: the byte stream of a messaging-server connection.
//
// The input is everything a server sends after sign-on (and, first, the same bytes
// are read as the login server's reply and its messaging address). It is fed to
// the FLAP parser in pieces of changing sizes, and every frame the parser yields
// goes through the session's handling of a messaging-phase frame (SNAC headers,
// extra data, the sign-off) into every handler of a MessengerSession, with a model
// on a scratch data directory behind it. The session's answers go to one end of a
// socket pair whose other end is drained after each frame, on this same thread.
//
// Beyond memory safety it checks what a messenger must never get wrong: every
// message the session reported is in its contact's history, in memory and byte for
// byte in the history file, and the stored files load again.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "net/flap_parser.h"
#include "net/session_impl.h"
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

    void OnMessage(Connection& from, const std::u16string& uin,
                   const std::u16string& text) override {
        if (IsUsableUin(uin)) ++messages[uin];
        MessengerSession::OnMessage(from, uin, text);
    }

    std::map<std::u16string, std::size_t> messages;  // the frames are handled on this thread
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

// The sizes of the pieces the input is fed in, in turn: a frame and its header
// arrive whole, cut and packed with others.
constexpr std::size_t kPieces[] = {1, 7, 64, 3, 1024, 2, 16384, 5};

// Reads and drops whatever the session has sent so far.
void Drain(int fd) {
    std::uint8_t sink[4096];
    while (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
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
    // Nobody drains while a frame is being handled: an answer that does not fit
    // the socket buffer fails as a broken line would, rather than blocking.
    if (::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK) != 0) std::abort();
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
            SessionImpl& net = session.NetForTesting();
            // The same bytes as a login server's reply, and the messaging address it
            // names parsed as the connect would (nothing is connected).
            PacketReader reply(data, static_cast<int>(std::min<std::size_t>(size, kMaxFlapData)));
            Connection none = net.CurrentConnection();
            if (net.ParseLoginReply(none, reply)) {
                platform::Ipv4Endpoint endpoint;
                (void)ResolveAddress(net.BosAddressForTesting(), false, endpoint);
            }
            Connection connection =
                net.AdoptSocketForTesting(fds[0]);  // the session owns fds[0] now
            FlapParser parser;
            FlapFrame frame;
            bool signOnDone = false;
            bool open = true;
            for (std::size_t at = 0, piece = 0; open && at < size && !parser.Broken(); ++piece) {
                const std::size_t n = std::min(kPieces[piece % std::size(kPieces)], size - at);
                parser.Feed({data + at, n});
                at += n;
                while (open && parser.Next(frame)) {
                    open = net.HandleMessagingFrame(connection, frame, signOnDone);
                    Drain(fds[1]);
                }
            }
            net.EndConnectionForTesting(connection);
            // The end of the stream leaves a closing code: 1 after a sign-off
            // frame, otherwise 2 (or 0 when the stream never got past sign-on).
            Check(static_cast<int>(session.State()) < static_cast<int>(ConnState::OpeningConnection),
                  "the connection did not end in a closing state");
            CheckHistories(model, session);
        }  // closes the connection
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
    ::close(fds[1]);
    return 0;
}
