#include "ui/image_button.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>

#include "ui/drawing_kit.h"

namespace pellox::ui {

void PaintButtonFace(QPainter& painter, const QRect& rect, bool pressed) {
    if (rect.width() <= 0 || rect.height() <= 0) return;
    if (pressed) {
        painter.fillRect(rect, shade::kForm);
    } else {
        FillVerticalGradient(painter, rect, shade::kMid, shade::kDark);
    }
    // The frame runs along the rectangle shrunk by one pixel at its right and
    // bottom: light on the left and top, dark on the right and bottom.
    const int left = rect.left();
    const int top = rect.top();
    const int right = rect.left() + rect.width() - 1;
    const int bottom = rect.top() + rect.height() - 1;
    painter.fillRect(QRect(left, top, 1, rect.height()), shade::kFrameLight);
    painter.fillRect(QRect(left, top, rect.width() - 1, 1), shade::kFrameLight);
    painter.fillRect(QRect(right, top, 1, rect.height()), shade::kFrameDark);
    painter.fillRect(QRect(left + 1, bottom, rect.width() - 1, 1), shade::kFrameDark);
}

ImageButton::ImageButton(const QString& caption, int commandId, QWidget* parent)
    : QPushButton(caption, parent), commandId_(commandId) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_Hover);
    connect(this, &QPushButton::clicked, this, [this] { emit commandTriggered(commandId_); });
}

void ImageButton::setBitmap(const QImage& bitmap) {
    bitmap_ = MaskedPixmap(bitmap);
    updateGeometry();
    update();
}

void ImageButton::setBitmapId(int id) {
    setBitmap(LoadBitmap(id));
}

void ImageButton::setDimWhenDisabled(bool on) {
    dimWhenDisabled_ = on;
    update();
}

QSize ImageButton::sizeHint() const {
    if (!bitmap_.isNull()) return bitmap_.size() + QSize(8, 8);
    const QString caption = text().isEmpty() ? QStringLiteral(" ") : text();
    return fontMetrics().size(0, caption) + QSize(12, 8);
}

void ImageButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect r = rect();
    drawnPressed_ = isDown();
    PaintButtonFace(painter, r, drawnPressed_);

    if (!bitmap_.isNull()) {
        const QPoint topLeft(r.left() + (r.width() - bitmap_.width()) / 2,
                             r.top() + (r.height() - bitmap_.height()) / 2);
        painter.drawPixmap(topLeft, bitmap_);
        return;
    }
    const bool dim = dimWhenDisabled_ && !isEnabled();
    painter.setPen(dim ? shade::kFrameLight : ThemeColors::kWhite);
    painter.setFont(font());
    painter.drawText(r, Qt::AlignCenter | Qt::TextWordWrap, text());
}

void ImageButton::mouseReleaseEvent(QMouseEvent* event) {
    // A click may end in a command that removes the button's view.
    QPointer<ImageButton> self(this);
    QPushButton::mouseReleaseEvent(event);
    if (self == nullptr) return;
    if (returnFocus_ && parentWidget() != nullptr) parentWidget()->setFocus(Qt::OtherFocusReason);
}

void ImageButton::enterEvent(QEnterEvent* event) {
    penOver_ = true;
    QPushButton::enterEvent(event);
}

void ImageButton::leaveEvent(QEvent* event) {
    penOver_ = false;
    QPushButton::leaveEvent(event);
}

}  // namespace pellox::ui
