// Shared pieces of the protocol tests: the server's byte layouts, a model on a
// temporary data directory whose posted notifications are queued, an announcer
// that records what it was asked, and the recording session over that model.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "net/codec.h"
#include "net/session_impl.h"
#include "platform/code_page.h"
#include "platform/files.h"
#include "protocol/announcer.h"
#include "protocol/messenger_session.h"
#include "store/app_state.h"
#include "tests/net/recording_session.h"
#include "tests/net/scripted_server.h"
#include "tests/store/store_test_util.h"

namespace pellox::testing {

// ---- Byte layouts as a server sends them ----

inline Bytes Le16(std::uint16_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
}
inline Bytes Le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

inline Bytes operator+(const Bytes& a, const Bytes& b) { return Concat({a, b}); }

// A user-information block: UIN, warning level 0, the TLVs with their count.
inline Bytes UserInfo(const std::string& uin, const std::vector<Bytes>& tlvs = {}) {
    Bytes out = Concat({Bytes{static_cast<std::uint8_t>(uin.size())}, BytesOf(uin),
                        BigEndian16(0), BigEndian16(static_cast<std::uint16_t>(tlvs.size()))});
    for (const Bytes& tlv : tlvs) out = Concat({out, tlv});
    return out;
}

// The status TLV 0x0006 of 4 bytes: flags, then status.
inline Bytes StatusTlv(std::uint16_t status, std::uint16_t flags = 0) {
    return TlvBytes(0x0006, Concat({BigEndian16(flags), BigEndian16(status)}));
}

// The message TLV 0x0002 of a channel-1 message.
inline Bytes MessageTlv(const Bytes& text, std::uint16_t charset = 0x0000,
                        const Bytes& capabilities = {0x01}) {
    return TlvBytes(0x0002,
                    Concat({Bytes{0x05, 0x01}, BigEndian16(static_cast<std::uint16_t>(capabilities.size())),
                            capabilities, Bytes{0x01, 0x01},
                            BigEndian16(static_cast<std::uint16_t>(text.size() + 4)),
                            BigEndian16(charset), BigEndian16(0xFFFF), text}));
}

// SNAC 0x0004/0x0007 data: cookie, channel, sender block, then `rest`.
inline Bytes IncomingMessage(std::uint16_t channel, const Bytes& sender, const Bytes& rest) {
    return Concat({FromHex("0102030405060708"), BigEndian16(channel), sender, rest});
}

inline Bytes Ucs2(std::u16string_view text) {
    Bytes out;
    for (char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c >> 8));
        out.push_back(static_cast<std::uint8_t>(c));
    }
    return out;
}

// The bytes of the text in the local code page (Windows-1251).
inline Bytes Local(std::u16string_view text) { return BytesOf(platform::WideToLocal(text)); }

// The bytes of a text in UTF-8 (a surrogate pair as one four-byte sequence).
inline Bytes Utf8(std::u16string_view text) {
    Bytes out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            const std::uint32_t cp = 0x10000 + ((c - 0xD800u) << 10) + (text[++i] - 0xDC00u);
            out.push_back(static_cast<std::uint8_t>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<std::uint8_t>(0x80 | (cp & 0x3F)));
        } else if (c < 0x80) {
            out.push_back(static_cast<std::uint8_t>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<std::uint8_t>(0xC0 | (c >> 6)));
            out.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<std::uint8_t>(0xE0 | (c >> 12)));
            out.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// The head of a meta reply (SNAC 0x0015/0x0003 data) of the given type.
inline Bytes MetaHead(std::uint16_t replyType, std::uint32_t owner = 123456789,
                      std::uint16_t bodySize = 0) {
    return Concat({BigEndian16(0x0001), BigEndian16(static_cast<std::uint16_t>(bodySize + 12)),
                   Le16(static_cast<std::uint16_t>(bodySize + 10)), Le32(owner), Le16(replyType),
                   Le16(2)});
}

// One offline message (reply type 0x0041); `text` gets its terminating zero.
inline Bytes OfflineMessage(std::uint32_t sender, const Bytes& text) {
    const Bytes body = Concat({Le32(sender), Le16(2024), Bytes{5, 17, 12, 30, 0x01, 0x00},
                               Le16(static_cast<std::uint16_t>(text.size() + 1)), text, Bytes{0}});
    return Concat({MetaHead(0x0041, 123456789, static_cast<std::uint16_t>(body.size())), body});
}

// The end of the offline messages (reply type 0x0042), with the zero byte servers
// put behind it.
inline Bytes OfflineDone() { return Concat({MetaHead(0x0042, 123456789, 1), Bytes{0}}); }

// A meta string: little-endian length, the bytes and their terminating zero.
inline Bytes MetaString(const Bytes& text) {
    return Concat({Le16(static_cast<std::uint16_t>(text.size() + 1)), text, Bytes{0}});
}

// One short user-information record with result 0x0A.
inline Bytes ShortInfoRecord(const Bytes& nickname) {
    return Concat({Bytes{0x0A}, MetaString(nickname), MetaString(BytesOf("First")),
                   MetaString(BytesOf("Last")), MetaString(BytesOf("mail@example.org")),
                   Bytes{0x01, 0x00, 0x02}});
}

// A short user-information reply (0x07DA / 0x0104) carrying the records.
inline Bytes ShortInfoReply(const Bytes& records) {
    const Bytes body = Concat({Le16(0x0104), records});
    return Concat({MetaHead(0x07DA, 123456789, static_cast<std::uint16_t>(body.size())), body});
}

// An item of the server contact list.
inline Bytes ListItem(const std::string& name, std::uint16_t type, const Bytes& data = {},
                      std::uint16_t groupId = 1, std::uint16_t itemId = 2) {
    return Concat({BigEndian16(static_cast<std::uint16_t>(name.size())), BytesOf(name),
                   BigEndian16(groupId), BigEndian16(itemId), BigEndian16(type),
                   BigEndian16(static_cast<std::uint16_t>(data.size())), data});
}
inline Bytes Buddy(const std::string& uin, const Bytes& nickname) {
    return ListItem(uin, 0x0000, nickname.empty() ? Bytes{} : TlvBytes(0x0131, nickname));
}
// The reply (SNAC 0x0013/0x0006 data); with `lastChange` false its trailing time
// is missing.
inline Bytes ContactListReply(const std::vector<Bytes>& items, bool lastChange = true) {
    Bytes out = Concat({Bytes{0x00}, BigEndian16(static_cast<std::uint16_t>(items.size()))});
    for (const Bytes& item : items) out = Concat({out, item});
    if (lastChange) out = Concat({out, BigEndian32(0x65000000)});
    return out;
}

// The extension data of a channel-2 message: two chunks, then type, flags,
// status, priority and the text.
inline Bytes Extension(std::uint8_t type, const Bytes& text) {
    return Le16(27) + Bytes(27, 0) + Le16(14) + Bytes(14, 0) + Bytes{type, 0x03} + Le16(0) +
           Le16(1) + MetaString(text);
}

// SNAC 0x0004/0x0007 of channel 2: an auto-message request from `uin`.
inline Bytes AutoRequest(const std::string& uin, const Bytes& cookie, std::uint8_t type) {
    const Bytes rendezvous = BigEndian16(0) + cookie + FromHex("09461349 4C7F11D1 82224445 53540000") +
                             TlvBytes(0x000A, FromHex("0001")) + TlvBytes(0x000F, {}) +
                             TlvBytes(0x2711, Extension(type, {}));
    return cookie + BigEndian16(2) + UserInfo(uin, {StatusTlv(0x0000)}) + TlvBytes(0x0005, rendezvous) +
           TlvBytes(0x0003, {});
}

// SNAC 0x0004/0x000B: the answer of `uin` under the cookie.
inline Bytes AutoAnswer(const std::string& uin, const Bytes& cookie, std::uint8_t type, const Bytes& text) {
    return cookie + BigEndian16(2) + Bytes{static_cast<std::uint8_t>(uin.size())} + BytesOf(uin) +
           BigEndian16(3) + Extension(type, text);
}

// ---- Recorders ----

// Queues what the model posts, as the application's poster would.
class PostedQueue {
public:
    struct Posted {
        ChangeCode code;
        ContactPtr contact;
    };

    void Install(AppState& model) {
        model.SetPoster([this](ChangeCode code, ContactPtr contact) {
            std::lock_guard<std::mutex> guard(lock_);
            posted_.push_back({code, std::move(contact)});
        });
    }
    std::vector<Posted> Take() {
        std::lock_guard<std::mutex> guard(lock_);
        return std::exchange(posted_, {});
    }
    // The codes taken, in order.
    std::vector<ChangeCode> TakeCodes() {
        std::vector<ChangeCode> codes;
        for (const Posted& p : Take()) codes.push_back(p.code);
        return codes;
    }

private:
    std::mutex lock_;
    std::vector<Posted> posted_;
};

class RecordingAnnouncer : public Announcer {
public:
    struct Call {
        std::string what;  // "notification" or "sound"
        std::u16string first;
        std::u16string second;
    };

    bool MainWindowActive() override {
        std::lock_guard<std::mutex> guard(lock_);
        ++activeQuestions_;
        return active;
    }
    bool ShowNotification(const std::u16string& title, const std::u16string& body) override {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.push_back({"notification", title, body});
        return notificationShown;
    }
    void PlaySound(const std::u16string& fileName) override {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.push_back({"sound", fileName, {}});
    }

    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> guard(lock_);
        return calls_;
    }
    int ActiveQuestions() {
        std::lock_guard<std::mutex> guard(lock_);
        return activeQuestions_;
    }

    // Set before the session runs.
    bool active = false;
    bool notificationShown = true;

private:
    std::mutex lock_;
    std::vector<Call> calls_;
    int activeQuestions_ = 0;
};

// The session with the model side of its events, each event recorded once the
// model has taken it.
class TestSession : public Recording<MessengerSession> {
public:
    using Report = Recording<MessengerSession>::Report;

    TestSession(AppState& model, Announcer* announcer)
        : Recording(model, announcer), conn_(NetForTesting().CurrentConnection()) {
        CountBytesOf(*this);
    }
    ~TestSession() override { Shutdown(); }

    std::vector<Report> Reports() const { return ReportsWithBytes(); }
    bool WaitForReport(ConnState code, int times = 1, int timeoutMs = 5000) const {
        return WaitForReportTimes(code, times, timeoutMs);
    }

    // The session's current connection, as the worker acts on it.
    Connection& Conn() { return conn_; }
    // A state report as the session makes it: stored by the rule, then told.
    void ReportState(ConnState code) { conn_.ReportState(code); }
    // Runs one handler the way the receive loop does.
    void Dispatch(std::uint16_t family, std::uint16_t subtype, const Bytes& data,
                  std::uint32_t requestId = 0) {
        PacketReader reader(data);
        NetForTesting().DispatchSnac(conn_, reader, SnacHeader{family, subtype, 0, requestId});
    }

private:
    Connection conn_;
};

// A model on a temporary data directory with "123456789" as its active profile,
// its posted notifications queued, an announcer and a session that is not
// connected (its sends fail harmlessly).
class ModelTest : public ::testing::Test {
protected:
    ModelTest() {
        posted.Install(model);
        model.UpdateSettings([](Settings& s) { s.profile = u"123456789"; });
    }
    // Every thread ends before the session's destruction begins, so none calls an
    // event while the object changes type under it.
    void TearDown() override { session.Shutdown(); }

    ContactPtr Add(const std::u16string& uin, const std::u16string& name = {},
                   std::int32_t status = 1) {
        ContactInfo info = Info(uin, name);
        info.status = status;
        return model.AddContact(info, false);
    }
    ContactInfo Snapshot(const std::u16string& uin) const {
        const ContactPtr contact = model.FindContact(uin);
        EXPECT_TRUE(contact) << "no contact " << std::string(uin.begin(), uin.end());
        return contact ? contact->Snapshot() : ContactInfo{};
    }
    std::string FileText(const std::string& name) const {
        std::string bytes;
        (void)platform::ReadWholeFile(dir.path() + name, bytes);
        return bytes;
    }

    TempDir dir;
    AppState model{dir.path()};
    PostedQueue posted;
    RecordingAnnouncer announcer;
    TestSession session{model, &announcer};
};

}  // namespace pellox::testing
