// The clock beside the compact conversation panel of the contact list: the date
// and time, and the session's traffic in kilobytes. Repainted every second by the
// contact list's timer. User-interface thread only.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>
#include <cstdint>

#include "ui/session_probe.h"

class QPainter;

namespace pellox::ui {

// `seconds` (since the epoch) as local time formatted by strftime's `format` in
// the process's locale ("%x" date, "%X" time); empty when the result is too long.
QString FormatLocalTime(std::int64_t seconds, const char* format);

// "received:sent" in kilobytes (bytes / 1024) with one decimal each, e.g. "1.5:0.3".
QString TrafficText(std::int64_t bytesReceived, std::int64_t bytesSent);

class ClockPanel {
public:
    // The time shown is platform::Now(); the traffic comes from `probe`.
    explicit ClockPanel(SessionProbe probe) : probe_(std::move(probe)) {}

    // Paints into `rect` with `font` (the small font of the conversation panel).
    void Paint(QPainter& painter, const QRect& rect, const QFont& font) const;

    const SessionProbe& probe() const { return probe_; }

private:
    SessionProbe probe_;
};

}  // namespace pellox::ui
