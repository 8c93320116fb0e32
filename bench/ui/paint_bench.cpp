// The views where a user feels the size of his data: painting the conversation
// with a short and a very long history, painting the contact list with few and
// many contacts, and the storm of presence reports at sign-on: one report against
// one full sort of the same list, and a whole storm drawn on screen.
//
// The widgets are real and painted off screen (QT_QPA_PLATFORM=offscreen); the
// model lives on a temporary data directory that is removed at exit.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QImage>
#include <QTemporaryDir>
#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/ui/drawing_bench_main.h"
#include "net/net_command.h"
#include "net/session_impl.h"
#include "protocol/messenger_session.h"
#include "store/app_state.h"
#include "store/message_history.h"
#include "ui/contacts_view.h"
#include "ui/drawing_kit.h"
#include "ui/form_view.h"
#include "ui/message_view.h"
#include "ui/sound_player.h"

namespace pellox {
namespace {

constexpr int kWidth = 480;  // the frame's default client size
constexpr int kHeight = 640;
constexpr std::int64_t kFirstTime = 1600000000;
constexpr std::int64_t kNewestTime = 1700000000;

// ---- Realistic data -------------------------------------------------------------

const std::vector<std::u16string>& Words() {
    static const std::vector<std::u16string> words = {
        u"привет", u"как", u"дела", u"сегодня", u"встреча", u"завтра", u"в", u"офисе",
        u"спасибо", u"хорошо", u"позвони", u"мне", u"когда", u"будешь", u"свободен",
        u"документы", u"отправил", u"посмотри", u"пожалуйста", u"Москва", u"ok", u"see",
        u"you", u"at", u"the", u"meeting", u"link:", u"http://example.org/doc?id=42",
        u"ICQ", u"lol", u"build", u"release", u"13:45", u"2", u"!", u"?"};
    return words;
}

std::u16string Sentence(std::mt19937& random, int words) {
    std::u16string text;
    const std::vector<std::u16string>& pool = Words();
    for (int i = 0; i < words; ++i) {
        if (i > 0) text += u' ';
        text += pool[random() % pool.size()];
    }
    return text;
}

// Mixed Cyrillic and Latin, short and long, one in eight on several lines, both
// directions, now and then a system entry (never drawn). Made from the newest end,
// so that histories of any length show the same newest entries: a longer history
// only adds older ones.
std::vector<MessageEntry> Conversation(int count, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<MessageEntry> entries;
    entries.reserve(static_cast<std::size_t>(count));
    for (int age = 0; age < count; ++age) {
        MessageEntry entry;
        entry.time = kNewestTime - static_cast<std::int64_t>(age) * 37;
        entry.direction = random() % 500 == 0 ? MessageDirection::System
                          : random() % 2 == 0 ? MessageDirection::In
                                              : MessageDirection::Out;
        const int lines = random() % 8 == 0 ? 2 + static_cast<int>(random() % 2) : 1;
        for (int line = 0; line < lines; ++line) {
            if (line > 0) entry.text += u"\r\n";
            entry.text += Sentence(random, 1 + static_cast<int>(random() % 24));
        }
        entries.push_back(std::move(entry));
    }
    std::reverse(entries.begin(), entries.end());  // oldest first, as stored
    return entries;
}

const std::vector<std::u16string>& Names() {
    static const std::vector<std::u16string> names = {
        u"Анна", u"Борис", u"Вика", u"Дмитрий", u"Елена", u"Жанна", u"Игорь", u"Катя",
        u"Alex", u"Bob", u"Chris", u"Diana", u"Eve", u"Frank", u"Grace", u"Henry"};
    return names;
}

// Contact number i: online, offline or away, some with unread messages, some with
// an open conversation, names Cyrillic or Latin (and now and then only the UIN).
ContactInfo ContactNumber(int i, std::mt19937& random) {
    ContactInfo info;
    info.uin = std::u16string(u"2") + QString::number(100000 + i).toStdU16String();
    if (random() % 20 != 0) {
        const std::vector<std::u16string>& names = Names();
        info.name = names[random() % names.size()] + u' ' +
                    names[random() % names.size()] + u' ' + QString::number(i).toStdU16String();
    }
    const unsigned kind = random() % 10;
    info.status = kind < 4 ? 1 : (kind < 8 ? 0 : 2);
    if (random() % 15 == 0) info.unreadCount = static_cast<std::uint16_t>(1 + random() % 30);
    info.SetConversationOpen(random() % 25 == 0);
    info.lastActivity = random() % 3 == 0 ? kFirstTime + random() % 100000 : 0;
    return info;
}

// The entries as the history file holds them, so the history is loaded the way the
// application loads it.
void WriteHistoryFile(const AppState& state, const std::u16string& uin,
                      const std::vector<MessageEntry>& entries) {
    std::ofstream file(state.Directory() + HistoryFileName(uin), std::ios::binary);
    for (const MessageEntry& entry : entries) file << FormatHistoryEntry(entry);
}

// ---- The set-ups, made once per size and kept until the end of main ---------------

struct NullSession : ui::SessionControl {
    ConnState State() const override { return ConnState::Disconnected; }
    void CloseSession() override {}
    void EnqueueCommand(Command) override {}
};

struct Model {
    QTemporaryDir dir;
    AppState state{dir.path().toStdString() + "/"};

    explicit Model(bool onlyOnline) {
        state.UpdateSettings([onlyOnline](Settings& settings) {
            settings.onlyonline = onlyOnline;
            settings.showhistory = true;
        });
    }
};

// The conversation view showing a contact whose loaded history has `count` entries.
struct ConversationSetup {
    Model model{false};
    NullSession session;
    ui::SoundPlayer sounds{QStringList{}};
    std::unique_ptr<ui::CMessageView> view;

    explicit ConversationSetup(int count) {
        ContactInfo info;
        info.uin = u"2345678";
        info.name = u"Анна Smith";
        info.status = 0;
        const ContactPtr contact = model.state.AddContact(info, false);
        WriteHistoryFile(model.state, info.uin, Conversation(count, 7));
        const std::shared_ptr<MessageHistory> history = model.state.GetHistory(contact);
        if (history == nullptr || history->Count() != static_cast<std::size_t>(count)) {
            throw std::runtime_error("the history did not load whole");
        }
        model.state.SetCurrentContact(contact);
        view = std::make_unique<ui::CMessageView>(model.state, session, sounds);
        view->resize(kWidth, kHeight);
        view->OnInitialUpdate();
    }
};

// The contact list view with `count` contacts, the selection on the middle page, the
// selected contact with a short conversation in the compact panel.
struct ContactsSetup {
    Model model{false};
    std::unique_ptr<ui::CContactsView> view;

    explicit ContactsSetup(int count) {
        std::mt19937 random(11);
        for (int i = 0; i < count; ++i) model.state.AddContact(ContactNumber(i, random), false);
        view = std::make_unique<ui::CContactsView>(model.state, ui::SessionProbe{});
        view->resize(kWidth, kHeight);
        view->OnInitialUpdate();
        const auto& entries = view->listPanel().entries();
        const ContactPtr middle = entries[entries.size() / 2];
        WriteHistoryFile(model.state, middle->Uin(), Conversation(30, 3));
        model.state.GetHistory(middle);
        model.state.SetCurrentContact(middle);
        if (view->listPanel().selection() != middle) {
            throw std::runtime_error("the middle contact is not selected");
        }
        QImage scratch(view->size(), QImage::Format_ARGB32_Premultiplied);
        view->render(&scratch);  // lays the page out
        const ui::ContactListPanel& panel = view->listPanel();
        const int perPage = panel.rows() * panel.columns();
        const int first = static_cast<int>(entries.size() / 2) / perPage * perPage;
        if (perPage <= 0 || static_cast<int>(entries.size()) - first < perPage) {
            throw std::runtime_error("the page shown is not full");
        }
    }
};

// Posted changes are delivered on this (the user-interface) thread as the
// application delivers them, through the event loop, in `context`.
void DeliverThroughTheEventLoop(AppState& state, QObject& context) {
    state.SetPoster([&state, &context](ChangeCode code, ContactPtr contact) {
        QMetaObject::invokeMethod(
            &context,
            [&state, code, contact = std::move(contact)] { state.Notify(code, contact, false); },
            Qt::QueuedConnection);
    });
}

// The contact list view at the frame's size, activated; `shown` on screen (off
// screen) or only laid out.
std::unique_ptr<ui::CContactsView> MakeContactsView(AppState& state, bool shown) {
    auto view = std::make_unique<ui::CContactsView>(state, ui::SessionProbe{});
    view->resize(kWidth, kHeight);
    if (shown) view->show();
    view->OnInitialUpdate();
    return view;
}

// 1 000 contacts, every one listed, the contact list view registered; posted
// changes are delivered on this (the user-interface) thread as the application
// delivers them, through the event loop.
struct PresenceSetup {
    static constexpr int kContacts = 1000;
    Model model{false};
    QObject postContext;
    std::unique_ptr<ui::CContactsView> view;
    std::unique_ptr<MessengerSession> session;
    std::vector<std::u16string> uins;
    std::vector<std::int32_t> statuses;

    PresenceSetup() {
        std::mt19937 random(5);
        for (int i = 0; i < kContacts; ++i) {
            const ContactInfo info = ContactNumber(i, random);
            model.state.AddContact(info, false);
            uins.push_back(info.uin);
            statuses.push_back(info.status);
        }
        DeliverThroughTheEventLoop(model.state, postContext);
        view = MakeContactsView(model.state, /*shown=*/false);
        session = std::make_unique<MessengerSession>(model.state);
    }
    ~PresenceSetup() {
        session.reset();
        model.state.SetPoster(nullptr);
    }
    std::size_t Listed() const { return view->listPanel().entries().size(); }
};

// The presence storm of a sign-on as the contact list meets it on screen: a
// thousand reports, each delivered in an event-loop turn of its own (the
// user-interface thread keeping up with the network), with the view shown (off
// screen) and its paints counted.
struct StormSetup : QObject {
    static constexpr int kContacts = 1000;
    Model model{false};
    QObject postContext;
    std::unique_ptr<ui::CContactsView> view;
    std::vector<ContactPtr> contacts;
    int paints = 0;

    StormSetup() {
        std::mt19937 random(9);
        for (int i = 0; i < kContacts; ++i) {
            contacts.push_back(model.state.AddContact(ContactNumber(i, random), false));
        }
        DeliverThroughTheEventLoop(model.state, postContext);
        view = MakeContactsView(model.state, /*shown=*/true);
        view->installEventFilter(this);
    }
    ~StormSetup() override { model.state.SetPoster(nullptr); }

    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

// Made on first use, destroyed by main before the application object goes.
struct Setups {
    std::map<int, std::unique_ptr<ConversationSetup>> conversations;
    std::map<int, std::unique_ptr<ContactsSetup>> contacts;
    std::unique_ptr<PresenceSetup> presence;
    std::unique_ptr<StormSetup> storm;
};
Setups* g_setups = nullptr;

ConversationSetup& ConversationFor(int count) {
    auto& slot = g_setups->conversations[count];
    if (!slot) slot = std::make_unique<ConversationSetup>(count);
    return *slot;
}

ContactsSetup& ContactsFor(int count) {
    auto& slot = g_setups->contacts[count];
    if (!slot) slot = std::make_unique<ContactsSetup>(count);
    return *slot;
}

PresenceSetup& Presence() {
    if (!g_setups->presence) g_setups->presence = std::make_unique<PresenceSetup>();
    return *g_setups->presence;
}

StormSetup& Storm() {
    if (!g_setups->storm) g_setups->storm = std::make_unique<StormSetup>();
    return *g_setups->storm;
}

// ---- Benchmarks -----------------------------------------------------------------

void RenderEach(benchmark::State& state, QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        widget.render(&image);
        benchmark::DoNotOptimize(image.constBits());
        benchmark::ClobberMemory();
    }
}

// One paint of the conversation view, newest entry at the top.
void BM_PaintConversation(benchmark::State& state) {
    ConversationSetup& setup = ConversationFor(static_cast<int>(state.range(0)));
    RenderEach(state, *setup.view);
}
BENCHMARK(BM_PaintConversation)->Arg(100)->Arg(100000)->Unit(benchmark::kMicrosecond)
    ->MinTime(0.5);

// One paint of the contact list view on its middle page. At this size a page has
// 2 columns of 25 rows, and both lists fill every cell of it: the pair compares
// the length of the list, not the number of names drawn.
void BM_PaintContacts(benchmark::State& state) {
    ContactsSetup& setup = ContactsFor(static_cast<int>(state.range(0)));
    RenderEach(state, *setup.view);
}
BENCHMARK(BM_PaintContacts)->Arg(50)->Arg(2000)->Unit(benchmark::kMicrosecond)->MinTime(0.5);

// One presence report: a contact's status changes (offline, online, away in turn)
// through the session's presence event, and the posted ContactChanged is delivered
// to the contact list, which puts off sorting until the order is needed. The view
// is not on screen, so no paint follows.
void BM_PresenceReport(benchmark::State& state) {
    PresenceSetup& setup = Presence();
    std::size_t next = 0;
    Connection connection = setup.session->NetForTesting().CurrentConnection();
    for (auto _ : state) {
        const std::size_t i = next;
        next = (next + 1) % setup.uins.size();
        std::int32_t& status = setup.statuses[i];
        status = status == 1 ? 0 : (status == 0 ? 2 : 1);
        setup.session->OnContactStatus(connection, setup.uins[i], status);
        QCoreApplication::sendPostedEvents(&setup.postContext, QEvent::MetaCall);
    }
    if (setup.Listed() != PresenceSetup::kContacts) state.SkipWithError("contacts went missing");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_PresenceReport)->Unit(benchmark::kMicrosecond)->Iterations(1000);

// A storm of kContacts presence reports, each delivered in its own event-loop turn
// as the network thread would post it, until the last one is drawn: the time,
// and the paints it took (counter "repaints", per storm).
void BM_PresenceStorm(benchmark::State& state) {
    StormSetup& setup = Storm();
    std::int64_t paints = 0;
    std::int32_t status = 0;
    for (auto _ : state) {
        status = status == 0 ? 2 : 0;  // online, then away
        const int before = setup.paints;
        for (const ContactPtr& contact : setup.contacts) {
            contact->Update([status](ContactInfo& info) { info.status = status; });
            setup.model.state.Notify(ChangeCode::ContactChanged, contact, true);
            QCoreApplication::processEvents();
        }
        while (setup.view->listPanel().repaintPending()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        QCoreApplication::processEvents();
        paints += setup.paints - before;
    }
    state.counters["repaints"] =
        benchmark::Counter(static_cast<double>(paints), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_PresenceStorm)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

// One full sort of the same list: a ListReset rebuilds it from the model.
void BM_ContactListSort(benchmark::State& state) {
    PresenceSetup& setup = Presence();
    for (auto _ : state) {
        setup.model.state.Notify(ChangeCode::ListReset);
    }
    if (setup.Listed() != PresenceSetup::kContacts) state.SkipWithError("contacts went missing");
}
BENCHMARK(BM_ContactListSort)->Unit(benchmark::kMicrosecond)->Iterations(1000);

}  // namespace
}  // namespace pellox

int main(int argc, char** argv) {
    return pellox::bench::RunDrawingBenchmarks(argc, argv, [] {
        pellox::Setups setups;
        pellox::g_setups = &setups;
        benchmark::RunSpecifiedBenchmarks();
        pellox::g_setups = nullptr;
    });
}
