// Stress of the model and the session under real threads (run under
// ThreadSanitizer in CI): a scripted server pours messages and presence storms
// into a signed-on session, so the receive thread adds contacts, appends history
// and posts changes; a history loader loads conversations as the current contact
// changes; and the test thread plays the user-interface thread: it delivers the
// posted changes to views that repaint from snapshots, switches the current
// contact, adds and deletes contacts, sends messages and switches profiles.
//
// Afterwards every message the session reported is in its sender's history file.
// PELLOX_STRESS_MESSAGES sets the number of messages (default 1500).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <random>
#include <thread>

#include "platform/code_page.h"
#include "tests/hardening/hardening_util.h"
#include "tests/protocol/protocol_test_util.h"

namespace pellox::testing {
namespace {

constexpr int kSenders = 12;

Bytes Frame(const Bytes& snac) { return FlapBytes(kChannelSnac, 0x2000, snac); }

// The messaging server: sign-on without stored messages, an empty contact list,
// then the storm in bursts with short pauses between them.
Script StormServer(int messages) {
    Script s;
    s.SendHello()
        .Expect(kChannelSignOn)
        .SendSnac(0x0001, 0x0003)
        .ExpectSnac(0x0001, 0x0017)
        .SendSnac(0x0001, 0x0018)
        .ExpectSnac(0x0001, 0x0002)
        .SendSnac(0x0015, 0x0003, OfflineDone())
        .ExpectSnac(0x0013, 0x0004)
        .SendSnac(0x0013, 0x0006, ContactListReply({Buddy("300000", BytesOf("First sender"))}));
    Bytes burst;
    for (int i = 0; i < messages; ++i) {
        const std::string uin = std::to_string(300000 + i % kSenders);
        burst = Concat({burst, Frame(SnacBytes(0x0004, 0x0007,
                                               IncomingMessage(1, UserInfo(uin, {StatusTlv(0x0001)}),
                                                               MessageTlv(BytesOf("storm " + std::to_string(i))))))});
        // A presence storm: every sender changes twice per message.
        for (int k = 0; k < 2; ++k) {
            const std::string other = std::to_string(300000 + (i + k + 1) % kSenders);
            burst = Concat({burst, Frame(SnacBytes(0x0003, static_cast<std::uint16_t>(k == 0 ? 0x000B : 0x000C),
                                                   UserInfo(other, {StatusTlv(static_cast<std::uint16_t>(i % 3))})))});
        }
        if (i % 50 == 49 || i + 1 == messages) {
            s.Send(burst).Pause(2);
            burst.clear();
        }
    }
    return s;
}

// A view: repaints from snapshots and shows the current conversation.
class RepaintingView : public AppStateListener {
public:
    explicit RepaintingView(AppState& model) : model_(model) {}
    void OnAppStateChange(ChangeCode code, const ContactPtr& contact) override {
        ++changes;
        std::size_t unread = 0;
        for (const ContactSnapshot& s : model_.SnapshotContacts()) unread += s.info.unreadCount;
        (void)unread;
        if (code == ChangeCode::ConversationChanged || code == ChangeCode::ContactChanged) {
            const ContactPtr current = model_.CurrentContact();
            if (current && current == contact) {
                if (auto history = current->History()) shownEntries += history->EntriesFrom(0).size();
            }
        }
    }
    std::size_t changes = 0;
    std::size_t shownEntries = 0;

private:
    AppState& model_;
};

TEST(StressTest, NetworkThreadsAgainstTheUserInterfaceThread) {
    const int messages = EnvCount("PELLOX_STRESS_MESSAGES", 1500);
    TempDir dir;
    AppState model(dir.path());
    PostQueue queue;
    queue.Install(model);
    model.UpdateSettings([](Settings& s) {
        s.profile = u"111";
        s.Password(u"222") = u"other";
    });
    ASSERT_TRUE(model.SaveContacts());

    RepaintingView view(model);
    model.AddListener(&view);
    TestSession session(model, nullptr);

    // The history loader of the application.
    std::thread loader([&] {
        while (model.running.load() && model.WaitForChange(ChangeCode::CurrentContactChanged)) {
            BusyScope busy(model);
            const ContactPtr contact = model.CurrentContact();
            if (!contact) continue;
            (void)model.GetHistory(contact);
            if (model.CurrentContact() == contact) model.Notify(ChangeCode::ConversationChanged, contact, true);
        }
    });

    ScriptedServer server;
    server.AddConnection(Script().SendHello().Expect(kChannelSignOn).SendLoginReplyToSelf("111", {1, 2, 3}));
    server.AddConnection(StormServer(messages));
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(session.StartWorker());
    session.EnqueueCommand(ConnectCommand{server.AddressText(), u"111", u"pw"});

    // The user-interface thread.
    std::mt19937 random(12345);
    int actions = 0;
    int profileSwitches = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::max(90, messages / 100));
    while (session.Messages().size() < static_cast<std::size_t>(messages) &&
           std::chrono::steady_clock::now() < deadline) {
        queue.Deliver(model, 1);
        const std::vector<ContactPtr> contacts = model.Contacts();
        ++actions;
        switch (random() % 8) {
            case 0:
            case 1:
            case 2:
                if (!contacts.empty()) model.SetCurrentContact(contacts[random() % contacts.size()]);
                break;
            case 3: {  // the user adds a contact of their own and deletes one again
                model.AddContact(Info(u"9" + platform::LocalToWide(std::to_string(random() % 50)), u"Mine"), true);
                for (const ContactPtr& c : contacts) {
                    if (c->Uin()[0] == u'9' && random() % 2 == 0) {
                        model.RemoveContact(c);
                        break;
                    }
                }
                break;
            }
            case 4:  // a message sent from the open conversation
                if (const ContactPtr current = model.CurrentContact()) {
                    session.EnqueueCommand(SendMessageCommand{current->Uin(), u"reply"});
                    if (auto history = model.GetHistory(current)) {
                        history->Append(MessageEntry{u"reply", 0, MessageDirection::Out});
                    }
                    model.Notify(ChangeCode::ConversationChanged, current);
                }
                break;
            case 5:
                if (random() % 10 == 0) {  // the settings view switches profiles
                    model.UpdateSettings([](Settings& s) { s.profile = s.profile == u"111" ? u"222" : u"111"; });
                    (void)model.SaveSettings();
                    model.ReloadAll();
                    model.Notify(ChangeCode::ListReset);
                    ++profileSwitches;
                }
                break;
            default:  // a repaint
                view.OnAppStateChange(ChangeCode::ListReset, nullptr);
                break;
        }
    }
    ASSERT_EQ(session.Messages().size(), static_cast<std::size_t>(messages)) << "the storm did not arrive";

    session.Shutdown();
    model.Shutdown();
    loader.join();
    queue.Deliver(model);
    model.RemoveListener(&view);
    server.Stop();

    // Every reported message is in its sender's file, in order, with no other
    // incoming entry.
    std::map<std::u16string, std::vector<std::u16string>> reported;
    for (const auto& [uin, text] : session.Messages()) reported[uin].push_back(text);
    for (const auto& [uin, texts] : reported) {
        std::vector<std::u16string> stored;
        for (const MessageEntry& e : StoredHistory(dir.path(), uin)) {
            if (e.direction == MessageDirection::In) stored.push_back(e.text);
        }
        EXPECT_EQ(stored, texts) << std::string(uin.begin(), uin.end());
    }
    EXPECT_GT(view.changes, 0u);
    std::printf("%d messages, %zu presence reports, %d UI actions, %d profile switches, %zu changes delivered\n",
                messages, session.Statuses().size(), actions, profileSwitches, view.changes);
}

}  // namespace
}  // namespace pellox::testing
