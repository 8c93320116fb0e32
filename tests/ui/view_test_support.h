// Shared pieces of the view tests: a model on a temporary data directory, contact
// templates and pixel helpers.
#pragma once

#include <QColor>
#include <QImage>
#include <QRect>
#include <QTemporaryDir>
#include <QTest>
#include <string>
#include <utility>
#include <vector>

#include "store/app_state.h"

namespace pellox::test {

// A model of its own on a fresh data directory, removed afterwards.
struct TempModel {
    QTemporaryDir dir;
    AppState state{dir.path().toStdString() + "/"};

    TempModel() { SetOnlyOnline(false); }

    void SetOnlyOnline(bool on) {
        state.UpdateSettings([on](Settings& settings) { settings.onlyonline = on; });
    }
    void SetShowHistory(bool on) {
        state.UpdateSettings([on](Settings& settings) { settings.showhistory = on; });
    }
    // Appends a contact without saving or notifying.
    ContactPtr Add(const ContactInfo& info) { return state.AddContact(info, false); }
};

// A contact template: online, no unread messages, closed conversation.
inline ContactInfo Info(std::u16string name, std::u16string uin, std::int32_t status = 0,
                        std::uint16_t unread = 0, std::int64_t lastActivity = 0,
                        bool conversationOpen = false) {
    ContactInfo info;
    info.name = std::move(name);
    info.uin = std::move(uin);
    info.status = status;
    info.unreadCount = unread;
    info.lastActivity = lastActivity;
    info.SetConversationOpen(conversationOpen);
    return info;
}

inline QColor PixelAt(const QImage& image, int x, int y) {
    return QColor(image.pixel(x, y));
}

// Pixels of `area` for which `match` holds.
template <typename Match>
int CountPixels(const QImage& image, const QRect& area, Match match) {
    int count = 0;
    const QRect inside = area.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            if (match(QColor(image.pixel(x, y)))) ++count;
        }
    }
    return count;
}

inline int CountColour(const QImage& image, const QRect& area, const QColor& colour) {
    return CountPixels(image, area, [&](const QColor& c) { return c == colour; });
}

}  // namespace pellox::test
