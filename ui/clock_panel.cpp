#include "ui/clock_panel.h"

#include <QPainter>
#include <ctime>

#include "platform/local_time.h"
#include "ui/drawing_kit.h"

namespace pellox::ui {

QString FormatLocalTime(std::int64_t seconds, const char* format) {
    // The conversion goes through the platform layer, which serialises every use of
    // the time-zone state; timegm then only fills in the weekday and the day of the
    // year (as UTC, without touching that state).
    std::tm local =
        platform::CalendarFields(platform::ToLocalTime(static_cast<std::time_t>(seconds)));
    (void)timegm(&local);
    char buffer[128];
    const std::size_t length = std::strftime(buffer, sizeof buffer, format, &local);
    return QString::fromLocal8Bit(buffer, static_cast<qsizetype>(length));
}

QString TrafficText(std::int64_t bytesReceived, std::int64_t bytesSent) {
    // Always with a decimal point, whatever the locale.
    return QString::asprintf("%.1f:%.1f", static_cast<double>(bytesReceived) / 1024.0,
                             static_cast<double>(bytesSent) / 1024.0);
}

void ClockPanel::Paint(QPainter& painter, const QRect& rect, const QFont& font) const {
    if (rect.isEmpty()) return;
    painter.save();
    painter.fillRect(QRect(rect.left(), rect.top(), 1, rect.height()), ThemeColors::kSkyBlue);

    const int inset = rect.width() * 5 / 100;
    const QRect inner = rect.adjusted(inset, inset, -inset, -inset);
    const std::int64_t now = platform::Now();
    const QString clock =
        FormatLocalTime(now, "%x") + QLatin1Char('\n') + FormatLocalTime(now, "%X");
    painter.setFont(font);
    painter.setPen(ThemeColors::kWhite);
    painter.drawText(inner, Qt::AlignHCenter | Qt::AlignTop, clock);
    painter.drawText(inner, Qt::AlignHCenter | Qt::AlignBottom | Qt::TextSingleLine,
                     TrafficText(probe_.Received(), probe_.Sent()));
    painter.restore();
}

}  // namespace pellox::ui
