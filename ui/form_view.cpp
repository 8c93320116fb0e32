#include "ui/form_view.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QResizeEvent>
#include <algorithm>
#include <cmath>

#include "net/session.h"
#include "resources/strings.h"
#include "ui/drawing_kit.h"

namespace pellox::ui {

ConnState NetSessionControl::State() const {
    return session_.State();
}

void NetSessionControl::CloseSession() {
    session_.CloseSession();
}

void NetSessionControl::EnqueueCommand(Command command) {
    session_.EnqueueCommand(std::move(command));
}

QMessageBox* ShowWarning(QWidget* over, const QString& text) {
    QWidget* window = over != nullptr ? over->window() : nullptr;
    auto* box = new QMessageBox(QMessageBox::Warning,
                                window != nullptr ? window->windowTitle() : QString(), text,
                                QMessageBox::Ok, window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return box;
}

namespace {

QRegularExpression UinPattern() {
    return QRegularExpression(QStringLiteral("[0-9]{0,%1}").arg(kMaxUinDigits));
}

}  // namespace

void LimitToUin(QLineEdit* edit) {
    edit->setValidator(new QRegularExpressionValidator(UinPattern(), edit));
}

bool CheckFormFields(QWidget* form, std::initializer_list<FormField> fields) {
    for (const FormField& field : fields) {
        if (field.trim) {
            const QString trimmed = field.edit->text().trimmed();
            if (trimmed != field.edit->text()) field.edit->setText(trimmed);
        }
        const QString text = field.edit->text();
        const bool control = std::any_of(text.begin(), text.end(), [](QChar c) {
            return c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F);
        });
        const bool notUin =
            field.uin &&
            !QRegularExpression(QRegularExpression::anchoredPattern(UinPattern().pattern()))
                 .match(text)
                 .hasMatch();
        if (!control && !notUin) continue;
        ShowWarning(form, LoadQString(control ? str::kFieldControlCharacter : str::kFieldDigitsOnly)
                              .arg(field.label));
        field.edit->setFocus();
        return false;
    }
    return true;
}

QRect FormCheckBox::BoxRect() const {
    const int side = std::max(8, std::min(height() - 2, fontMetrics().height() + 2));
    return QRect(1, (height() - side) / 2, side, side);
}

void FormCheckBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect box = BoxRect();
    painter.fillRect(box, ThemeColors::kSteelBlue);
    painter.setPen(QPen(ThemeColors::kWhite, 1));
    painter.drawRect(box.adjusted(0, 0, -1, -1));
    if (hasFocus()) {
        painter.setPen(QPen(ThemeColors::kSkyBlue, 1, Qt::DotLine));
        painter.drawRect(box.adjusted(-1, -1, 0, 0));
    }
    if (!isChecked()) return;
    // The tick: a short stroke down to the lower third, a long one up to the right.
    painter.setRenderHint(QPainter::Antialiasing);
    const double w = box.width();
    const QPointF origin = box.topLeft();
    const QPointF points[] = {origin + QPointF(w * 0.22, w * 0.52),
                              origin + QPointF(w * 0.42, w * 0.74),
                              origin + QPointF(w * 0.80, w * 0.26)};
    painter.setPen(QPen(ThemeColors::kWhite, std::max(1.5, w / 8), Qt::SolidLine, Qt::RoundCap,
                        Qt::RoundJoin));
    painter.drawPolyline(points, 3);
}

DialogFormView::DialogFormView(QWidget* parent) : FrameView(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QWidget* DialogFormView::Control(int id) const {
    for (QWidget* child : findChildren<QWidget*>()) {
        const QVariant value = child->property(kControlIdProperty);
        if (value.isValid() && value.toInt() == id) return child;
    }
    return nullptr;
}

QRect DialogFormView::MapDialogRect(const QRect& dialogRect) const {
    const double unitX = dialogSize_.width() > 0 ? double(width()) / dialogSize_.width() : 1.0;
    const double unitY = unitX * 13.0 / 12.0;
    // Both edges are rounded, so neighbouring controls stay neighbours.
    const int left = static_cast<int>(std::lround(dialogRect.x() * unitX));
    const int top = static_cast<int>(std::lround(dialogRect.y() * unitY));
    const int right = static_cast<int>(std::lround((dialogRect.x() + dialogRect.width()) * unitX));
    const int bottom =
        static_cast<int>(std::lround((dialogRect.y() + dialogRect.height()) * unitY));
    return QRect(left, top, right - left, bottom - top);
}

void DialogFormView::SetUpForm() {
    dialogSize_ = property(kDialogSizeProperty).toSize();
    ApplyControlColours(this);
    setStyleSheet(FormStyleSheet());
    PlaceControls();
}

void DialogFormView::PlaceControls() {
    for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        const QVariant rect = child->property(kDialogRectProperty);
        if (rect.isValid()) child->setGeometry(MapDialogRect(rect.toRect()));
    }
}

void DialogFormView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    PaintFormBackground(painter, rect());
}

void DialogFormView::resizeEvent(QResizeEvent* event) {
    FrameView::resizeEvent(event);
    PlaceControls();
}

}  // namespace pellox::ui
