#include "ui/contacts_view.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QTimerEvent>
#include <QWheelEvent>
#include <QWindow>
#include <algorithm>
#include <climits>

#include "resources/command_ids.h"
#include "resources/strings.h"
#include "ui/accessibility.h"
#include "ui/image_button.h"

namespace pellox::ui {

namespace {

constexpr int kPreviousBitmap = 136;  // double chevron left
constexpr int kNextBitmap = 135;      // double chevron right
constexpr int kWriteBitmap = 133;     // envelope with an arrow

}  // namespace

CContactsView::CContactsView(AppState& state, SessionProbe probe, QWidget* parent)
    : FrameView(parent),
      state_(state),
      probe_(std::move(probe)),
      list_(this, state),
      history_(this, state, HistoryPanel::Layout::Compact, probe_),
      status_([this] { return probe_.State(); }, [this] { StatusChanged(); },
              [this] { return probe_.LoginRefusal(); }) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);

    struct ButtonSpec {
        ImageButton*& button;
        const char* caption;
        int command;
        int bitmap;
        bool returnFocus;
        int spokenName;  // the string a screen reader says for the picture
    };
    const ButtonSpec specs[] = {
        {previous_, "<<", cmd::kPreviousColumn, kPreviousBitmap, true, str::kA11yPreviousColumn},
        {ok_, "OK", cmd::kViewOk, kWriteBitmap, false, str::kWriteButton},
        {next_, ">>", cmd::kNextColumn, kNextBitmap, true, str::kA11yNextColumn},
    };
    for (const ButtonSpec& spec : specs) {
        spec.button = new ImageButton(QString::fromLatin1(spec.caption), spec.command, this);
        spec.button->setBitmapId(spec.bitmap);
        spec.button->setAccessibleName(LoadQString(spec.spokenName));
        spec.button->setReturnFocus(spec.returnFocus);
        // The buttons are for the pointer: neither a click nor Tab takes the focus
        // from the list, so the arrow keys always move the selection.
        spec.button->setFocusPolicy(Qt::NoFocus);
        connect(spec.button, &ImageButton::commandTriggered, this,
                [this](int id) { OnCommand(id); });
        buttonHeight_ = std::max(buttonHeight_, LoadBitmap(spec.bitmap).height());
    }
}

void CContactsView::OnInitialUpdate() {
    clock_.start(kClockIntervalMs, this);
    if (!initialised_) {
        initialised_ = true;
        // Told when its window comes back from being minimised.
        window()->installEventFilter(this);
        list_.Register();
        history_.Register();
        state_.AddListener(&status_);
        status_.OnAppStateChange(ChangeCode::ConnectionStateChanged, nullptr);
    }
    // A current contact that left the list while another view was shown gives way
    // to the highlighted entry now.
    list_.AgreeWithCurrent();
    LayOut();
    setFocus(Qt::OtherFocusReason);
}

bool CContactsView::OnCommand(int id) {
    switch (id) {
        case cmd::kPreviousColumn:
            list_.MoveSelection(-list_.rows());
            return true;
        case cmd::kNextColumn:
            list_.MoveSelection(list_.rows());
            return true;
        case cmd::kViewOk:
            PostFrameCommand(cmd::kWrite);
            return true;
        default:
            return false;
    }
}

std::optional<CommandState> CContactsView::QueryCommand(int id) {
    if (id == cmd::kPreviousColumn || id == cmd::kNextColumn || id == cmd::kViewOk) {
        return CommandState{};
    }
    return std::nullopt;
}

CContactsView::Areas CContactsView::ComputeAreas() const {
    const int width = this->width();
    const int height = this->height();
    Areas areas;

    int statusHeight = 0;
    if (!status_.text().isEmpty()) {
        const QRect bounds(0, 0, std::max(width - 2 * kStatusInset, 1), INT_MAX / 4);
        statusHeight = QFontMetrics(font())
                           .boundingRect(bounds, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                                         status_.text())
                           .height();
    }
    const int statusTop = height - statusHeight;
    areas.status = QRect(0, statusTop, width, statusHeight);

    const bool showHistory =
        state_.ReadSettings([](const Settings& settings) { return settings.showhistory; });
    const int historyHeight = showHistory ? std::max(statusTop, 0) * 20 / 100 : 0;
    const int historyTop = statusTop - historyHeight;
    areas.history = QRect(0, historyTop, width, historyHeight);

    const int barHeight = std::max(height * 10 / 100, buttonHeight_ + height / 50);
    const int barTop = historyTop - barHeight;
    areas.buttonBar = QRect(0, barTop, width, barHeight);
    areas.list = QRect(0, 0, width, std::max(barTop, 0));

    const int half = width / 2;
    const int sixth = width / 6;
    areas.previous = QRect(0, barTop, half - sixth, barHeight);
    areas.ok = QRect(half - sixth, barTop, 2 * sixth, barHeight);
    areas.next = QRect(half + sixth, barTop, width - (half + sixth), barHeight);
    return areas;
}

void CContactsView::LayOut() {
    const Areas areas = ComputeAreas();
    previous_->setGeometry(areas.previous);
    ok_->setGeometry(areas.ok);
    next_->setGeometry(areas.next);
    list_.Measure(areas.list, font());
}

void CContactsView::StatusChanged() {
    LayOut();
    update();
    StatusTextChanged(this);
}

void CContactsView::paintEvent(QPaintEvent* event) {
    // Painted again after the clock stopped: the window is back in sight.
    if (initialised_ && !clock_.isActive()) clock_.start(kClockIntervalMs, this);
    const Areas areas = ComputeAreas();
    // A tick of the clock: the clock alone.
    if (history_.ClockArea(areas.history).contains(event->rect())) {
        OffscreenPaint paint(this, event->rect());
        history_.PaintClock(paint.painter(), areas.history);
        return;
    }
    OffscreenPaint paint(this, rect());
    QPainter& painter = paint.painter();
    background_.Draw(painter, rect());
    painter.setFont(font());
    if (areas.list.intersects(event->rect())) list_.Paint(painter, areas.list);
    if (!status_.text().isEmpty()) {
        painter.setPen(ThemeColors::kWhite);
        painter.drawText(areas.status.adjusted(kStatusInset, 0, -kStatusInset, 0),
                         Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, status_.text());
    }
    history_.Paint(painter, areas.history);
}

void CContactsView::resizeEvent(QResizeEvent* event) {
    FrameView::resizeEvent(event);
    LayOut();
}

void CContactsView::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            SendFrameCommand(cmd::kWrite);
            break;
        case Qt::Key_Left:
            list_.MoveSelection(-list_.rows());
            break;
        case Qt::Key_Right:
            list_.MoveSelection(list_.rows());
            break;
        case Qt::Key_Up:
            list_.MoveSelection(-1);
            break;
        case Qt::Key_Down:
            list_.MoveSelection(1);
            break;
        default:
            break;  // every other key and character is swallowed
    }
    event->accept();
}

void CContactsView::mousePressEvent(QMouseEvent* event) {
    const QPoint point = event->position().toPoint();
    list_.HitTest(point);
    if (ComputeAreas().history.contains(point)) {
        if (const ContactPtr current = state_.ContainsContact(state_.CurrentContact())) {
            const bool cleared = current->Update([](ContactInfo& info) {
                if (info.unreadCount == 0) return false;
                info.unreadCount = 0;
                return true;
            });
            if (cleared) state_.Notify(ChangeCode::ContactChanged, current);
        }
    }
    FrameView::mousePressEvent(event);
}

void CContactsView::wheelEvent(QWheelEvent* event) {
    // A notch turns a column, as "<<" and ">>" do.
    if (const int notches = WheelNotches(*event)) list_.MoveSelection(notches * list_.rows());
    event->accept();
}

void CContactsView::focusInEvent(QFocusEvent* event) {
    FrameView::focusInEvent(event);
    FocusSelectedContact(this);
}

bool CContactsView::OnScreen() const {
    const QWindow* handle = window()->windowHandle();
    return isVisible() && handle != nullptr && handle->isExposed() && !window()->isMinimized();
}

bool CContactsView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window() && event->type() == QEvent::WindowStateChange &&
        !clock_.isActive() && OnScreen()) {
        clock_.start(kClockIntervalMs, this);
        update(history_.ClockArea(ComputeAreas().history));
    }
    return FrameView::eventFilter(watched, event);
}

void CContactsView::timerEvent(QTimerEvent* event) {
    if (event->timerId() == clock_.timerId()) {
        // Nobody sees the clock (another view, a minimised or unmapped window): it
        // stops until the view is painted again or its window restored, so that a
        // hidden window sleeps.
        if (!OnScreen()) {
            clock_.stop();
            return;
        }
        update(history_.ClockArea(ComputeAreas().history));
        return;
    }
    FrameView::timerEvent(event);
}

}  // namespace pellox::ui
