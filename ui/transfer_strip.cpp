#include "ui/transfer_strip.h"

#include <QFontMetrics>
#include <QPainter>
#include <algorithm>

#include "net/text_encoding.h"
#include "resources/strings.h"
#include "ui/drawing_kit.h"

namespace pellox::ui {
namespace {

constexpr int kRowPadding = 4;    // above and below a row's text
constexpr int kButtonPadding = 8; // beside a button's label

}  // namespace

std::u16string SizeText(std::uint64_t size) {
    const FileSizeParts parts = SplitFileSize(size);
    return FormatQString(parts.unitId, {parts.number}).toStdU16String();
}

QString FileOfferText(const std::u16string& fileName, std::uint64_t size) {
    return FormatQString(str::kFileProposed, {fileName, SizeText(size)});
}

bool TransferStrip::Refresh(const std::u16string& uin) {
    const std::size_t before = rows_.size();
    rows_ = transfers_ != nullptr ? transfers_->List(uin) : std::vector<TransferInfo>{};
    return rows_.size() != before;
}

bool TransferStrip::active() const {
    return std::any_of(rows_.begin(), rows_.end(),
                       [](const TransferInfo& info) { return info.state < TransferState::Completed; });
}

int TransferStrip::Height(int lineHeight) const {
    return static_cast<int>(rows_.size()) * (lineHeight + 2 * kRowPadding);
}

QString TransferStrip::RowText(const TransferInfo& info) {
    const std::u16string name = info.name;
    const std::u16string size = SizeText(info.size);
    switch (info.state) {
    case TransferState::Proposed:
        return FormatQString(info.outgoing ? str::kFileWaiting : str::kFileIncoming, {name, size});
    case TransferState::Connecting:
        return FormatQString(str::kFileConnecting, {name, size});
    case TransferState::Running: {
        const std::string seconds = std::to_string(info.secondsLeft);
        const std::u16string left = info.secondsLeft < 0 ? u"…" : std::u16string(seconds.begin(), seconds.end());
        return FormatQString(str::kFileProgress,
                             {name, SizeText(info.done), size,
                              SizeText(static_cast<std::uint64_t>(info.bytesPerSecond)), left});
    }
    case TransferState::Completed:
        return FormatQString(info.outgoing ? str::kFileSent : str::kFileReceived,
                             {name, size, DecodeUtf8(info.path)});
    case TransferState::Refused:
        return FormatQString(str::kFileRefused, {name, size});
    case TransferState::Cancelled:
        return FormatQString(str::kFileCancelled, {name, size});
    case TransferState::Failed:
        break;
    }
    return FormatQString(str::kFileFailed, {name, size});
}

void TransferStrip::Paint(QPainter& painter, const QRect& rect, const QFont& font) {
    buttons_.clear();
    if (rows_.empty() || rect.isEmpty()) return;
    const QFontMetrics metrics(font);
    const int rowHeight = metrics.height() + 2 * kRowPadding;
    painter.save();
    painter.setClipRect(rect);
    painter.setFont(font);
    int top = rect.top();
    for (const TransferInfo& info : rows_) {
        const QRect row(rect.left(), top, rect.width(), rowHeight);
        FillVerticalGradient(painter, row, shade::kForm, shade::kDark);
        // The progress as a band along the row's bottom.
        if (info.size > 0 && info.done > 0) {
            const int width = static_cast<int>(static_cast<double>(row.width()) *
                                               static_cast<double>(info.done) / static_cast<double>(info.size));
            painter.fillRect(QRect(row.left(), row.bottom() - 2, width, 3), ThemeColors::kSkyBlue);
        }
        std::vector<int> actions;
        if (!info.outgoing && info.state == TransferState::Proposed) {
            actions = {str::kFileAccept, str::kFileRefuse};
        } else if (info.state < TransferState::Completed) {
            actions = {str::kFileCancel};
        }
        int right = row.right() - kButtonPadding;
        for (auto it = actions.rbegin(); it != actions.rend(); ++it) {
            const QString label = LoadQString(*it);
            const int width = metrics.horizontalAdvance(label) + 2 * kButtonPadding;
            const QRect button(right - width, row.top() + 2, width, rowHeight - 5);
            painter.fillRect(button, ThemeColors::kSteelBlue);
            painter.setPen(ThemeColors::kWhite);
            painter.drawText(button, Qt::AlignCenter | Qt::TextSingleLine, label);
            buttons_.push_back({button, info.id, *it});
            right = button.left() - kButtonPadding / 2;
        }
        const QRect text(row.left() + kButtonPadding, row.top(), std::max(right - row.left() - kButtonPadding, 0),
                         rowHeight);
        painter.setPen(info.state == TransferState::Failed ? ThemeColors::kSkyBlue : ThemeColors::kWhite);
        painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                         metrics.elidedText(RowText(info), Qt::ElideMiddle, text.width()));
        top += rowHeight;
    }
    painter.restore();
}

bool TransferStrip::Click(const QPoint& point) {
    if (transfers_ == nullptr) return false;
    for (const Button& button : buttons_) {
        if (!button.rect.contains(point)) continue;
        if (button.action == str::kFileAccept) return transfers_->Accept(button.id);
        if (button.action == str::kFileRefuse) return transfers_->Refuse(button.id);
        return transfers_->Cancel(button.id);
    }
    return false;
}

}  // namespace pellox::ui
