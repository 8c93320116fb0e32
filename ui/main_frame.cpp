#include "ui/main_frame.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QShortcut>
#include <QVBoxLayout>
#include <QWheelEvent>

#include "resources/command_ids.h"
#include "resources/strings.h"
#include "ui/accessibility.h"
#include "ui/drawing_kit.h"
#include "ui/image_button.h"
#include "ui/language.h"

namespace pellox::ui {

namespace {

// The property of a popup action that holds its command id.
constexpr const char* kCommandProperty = "pelloxCommand";

constexpr int kHeaderHeight = 26;
constexpr int kSoftKeyHeight = 30;

// The host of the active view: the view fills it.
class ViewHost : public QWidget {
public:
    explicit ViewHost(QWidget* parent) : QWidget(parent) {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
    }
};

}  // namespace

HeaderStrip::HeaderStrip(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFixedHeight(kHeaderHeight);
}

void HeaderStrip::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    FillVerticalGradient(painter, rect(), ThemeColors::kSteelBlue,
                         Blend(ThemeColors::kSteelBlue, ThemeColors::kBlack, 45));
}

bool CommandTarget::OnCommand(int) {
    return false;
}

std::optional<CommandState> CommandTarget::QueryCommand(int) {
    return std::nullopt;
}

bool IsPersistentView(ViewKind kind) {
    return kind == ViewKind::Contacts || kind == ViewKind::Message;
}

FrameView::FrameView(QWidget* parent) : QWidget(parent) {
    InstallAccessibility();
}

CMainFrame* FrameView::frame() const {
    return qobject_cast<CMainFrame*>(window());
}

bool FrameView::SendFrameCommand(int id) {
    CMainFrame* owner = frame();
    return owner != nullptr && owner->RouteCommand(id);
}

void FrameView::PostFrameCommand(int id) {
    if (CMainFrame* owner = frame()) owner->PostCommand(id);
}

int FrameView::WheelNotches(const QWheelEvent& event) {
    constexpr int kNotch = 120;  // eighths of a degree
    wheelRemainder_ -= event.angleDelta().y();
    const int notches = wheelRemainder_ / kNotch;
    wheelRemainder_ %= kNotch;
    return notches;
}

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent) {
    InstallAccessibility();
    const QString title = LoadQString(str::kTitle).section(QLatin1Char('\n'), 0, 0);
    setWindowTitle(title);
    setWindowIcon(AppIcon());
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    resize(kDefaultWidth, kDefaultHeight);

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* header = new HeaderStrip(central);
    header_ = header;
    header->setAccessibleName(title.trimmed());
    auto* headerRow = new QHBoxLayout(header);
    headerRow->setContentsMargins(4, 2, 3, 2);
    titleLabel_ = new QLabel(title, header);
    QFont titleFont = titleLabel_->font();
    titleFont.setBold(true);
    titleLabel_->setFont(titleFont);
    QPalette titlePalette = titleLabel_->palette();
    titlePalette.setColor(QPalette::WindowText, ThemeColors::kWhite);
    titleLabel_->setPalette(titlePalette);
    ownIcon_ = new QLabel(header);
    ownIcon_->setFixedSize(StatusIcons::kIconSize, StatusIcons::kIconSize);
    ownNumber_ = new QLabel(header);
    ownNumber_->setPalette(titlePalette);
    ownIcon_->hide();
    ownNumber_->hide();
    okButton_ = new ImageButton(QStringLiteral("ok"), cmd::kOk, header);
    okButton_->setFixedSize(34, kHeaderHeight - 4);
    okButton_->setFocusPolicy(Qt::NoFocus);
    connect(okButton_, &ImageButton::commandTriggered, this, &CMainFrame::PostCommand);
    headerRow->addWidget(titleLabel_, 1);
    headerRow->addWidget(ownIcon_);
    headerRow->addWidget(ownNumber_);
    headerRow->addSpacing(4);
    headerRow->addWidget(okButton_);

    viewHost_ = new ViewHost(central);

    auto* keyBar = new QWidget(central);
    keyBar->setFixedHeight(kSoftKeyHeight);
    auto* keyRow = new QHBoxLayout(keyBar);
    keyRow->setContentsMargins(0, 0, 0, 0);
    keyRow->setSpacing(0);
    for (int i = 0; i < 2; ++i) {
        auto* button = new ImageButton(QString(), 0, keyBar);
        button->setDimWhenDisabled(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        connect(button, &ImageButton::clicked, this, [this, i] { OpenSoftKey(i); });
        keyRow->addWidget(button, 1);
        keys_[static_cast<std::size_t>(i)].button = button;
    }

    column->addWidget(header);
    column->addWidget(viewHost_, 1);
    column->addWidget(keyBar);
    setCentralWidget(central);
    SetMenuBar(0);

    // The soft keys from the keyboard: F10 and the menu key open the left key's
    // popup, Escape runs the key that goes back ("Отменить", "Отмена"). Both go
    // through OpenSoftKey, so a key's enabling holds as for a click.
    for (const Qt::Key key : {Qt::Key_F10, Qt::Key_Menu}) {
        new QShortcut(QKeySequence(key), this, [this] {
            if (keys_[0].popup != nullptr) OpenSoftKey(0);
        });
    }
    new QShortcut(QKeySequence(Qt::Key_Escape), this, [this] {
        for (const int index : {1, 0}) {
            if (keys_[static_cast<std::size_t>(index)].commandId == cmd::kShowContacts) {
                OpenSoftKey(index);
                return;
            }
        }
    });
}

CMainFrame::~CMainFrame() = default;

void CMainFrame::RegisterView(ViewKind kind, ViewFactory factory) {
    factories_[kind] = std::move(factory);
}

std::optional<ViewKind> CMainFrame::activeViewKind() const {
    if (active_ == nullptr) return std::nullopt;
    return activeKind_;
}

FrameView* CMainFrame::findView(ViewKind kind) const {
    if (active_ != nullptr && activeKind_ == kind) return active_;
    auto it = kept_.find(kind);
    return it == kept_.end() ? nullptr : it->second.data();
}

bool CMainFrame::SwitchView(ViewKind kind, int menuBarId) {
    if (active_ != nullptr && activeKind_ == kind) return true;

    FrameView* view = nullptr;
    if (auto it = kept_.find(kind); it != kept_.end() && it->second != nullptr) {
        view = it->second;
    } else {
        auto factory = factories_.find(kind);
        if (factory == factories_.end() || !factory->second) return false;
        view = factory->second(viewHost_);
        if (view == nullptr) return false;
        view->setParent(viewHost_);
        if (IsPersistentView(kind)) kept_[kind] = view;
    }

    DetachActive();
    active_ = view;
    activeKind_ = kind;
    if (menuBarId != 0) SetMenuBar(menuBarId);

    viewHost_->layout()->addWidget(view);
    view->show();
    view->OnInitialUpdate();
    view->update();
    viewHost_->layout()->activate();
    UpdateCommandUi();
    emit viewSwitched(kind);
    return true;
}

void CMainFrame::DetachActive() {
    FrameView* previous = active_;
    if (previous == nullptr) return;
    viewHost_->layout()->removeWidget(previous);
    previous->hide();
    if (!IsPersistentView(activeKind_)) {
        // Deferred: the form may be the one whose command led here.
        previous->deleteLater();
    }
    active_ = nullptr;
}

bool CMainFrame::RouteCommand(int id) {
    bool handled = false;
    if (active_ != nullptr && active_->OnCommand(id)) {
        handled = true;
    } else if (OnCommand(id)) {
        handled = true;
    } else if (application_ != nullptr && application_->OnCommand(id)) {
        handled = true;
    }
    UpdateCommandUi();
    return handled;
}

std::optional<CommandState> CMainFrame::QueryRoute(int id) {
    if (active_ != nullptr) {
        if (auto state = active_->QueryCommand(id)) return state;
    }
    if (auto state = QueryCommand(id)) return state;
    if (application_ != nullptr) return application_->QueryCommand(id);
    return std::nullopt;
}

void CMainFrame::PostCommand(int id) {
    QMetaObject::invokeMethod(
        this, [this, id] { RouteCommand(id); }, Qt::QueuedConnection);
}

bool CMainFrame::OnCommand(int id) {
    if (id != cmd::kOk) return false;
    showMinimized();
    return true;
}

std::optional<CommandState> CMainFrame::QueryCommand(int id) {
    if (id == cmd::kOk) return CommandState{};
    return std::nullopt;
}

void CMainFrame::SetMenuBar(int menuBarId) {
    menuBarId_ = menuBarId;
    const MenuDefinition* definition = FindMenuDefinition(menuBarId);
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        SoftKey& key = keys_[i];
        // A command of the old bar may still be on its way out of the old menu.
        if (key.menu != nullptr) key.menu->deleteLater();
        key.menu = nullptr;
        key.popup = nullptr;
        key.commandId = 0;
        const MenuItem* item =
            definition != nullptr && i < definition->items.size() ? &definition->items[i] : nullptr;
        if (item == nullptr || (!item->IsPopup() && !item->IsCommand())) {
            key.button->setText(QString());
            key.button->setCommandId(0);
            key.button->setEnabled(false);
            continue;
        }
        key.button->setText(MenuQString(item->text));
        if (item->IsPopup()) {
            // Built when it is first opened: most bars are left before that.
            key.popup = &item->submenu;
        } else {
            key.commandId = item->id;
        }
        key.button->setCommandId(key.commandId);
    }
    UpdateCommandUi();
}

QMenu* CMainFrame::BuildMenu(const std::vector<MenuItem>& items, QWidget* parent) {
    auto* menu = new QMenu(parent);
    for (const MenuItem& item : items) {
        if (item.separator) {
            menu->addSeparator();
        } else if (item.IsPopup()) {
            QMenu* submenu = BuildMenu(item.submenu, menu);
            submenu->setTitle(MenuQString(item.text));
            menu->addMenu(submenu);
        } else {
            QAction* action = menu->addAction(MenuQString(item.text));
            action->setProperty(kCommandProperty, item.id);
            connect(action, &QAction::triggered, this, [this, id = item.id] { PostCommand(id); });
        }
    }
    // Enabling and check marks are asked for each time the popup opens.
    connect(menu, &QMenu::aboutToShow, this, [this, menu] { RefreshMenu(menu); });
    return menu;
}

void CMainFrame::RefreshMenu(QMenu* menu) {
    for (QAction* action : menu->actions()) {
        const QVariant id = action->property(kCommandProperty);
        if (!id.isValid()) continue;  // separators and submenus
        const std::optional<CommandState> state = QueryRoute(id.toInt());
        action->setEnabled(state.has_value() && state->enabled);
        const bool checked = state.has_value() && state->checked;
        action->setCheckable(checked);
        action->setChecked(checked);
    }
}

void CMainFrame::UpdateCommandUi() {
    for (SoftKey& key : keys_) {
        if (key.popup != nullptr) {
            key.button->setEnabled(true);
        } else if (key.commandId != 0) {
            const std::optional<CommandState> state = QueryRoute(key.commandId);
            key.button->setEnabled(state.has_value() && state->enabled);
        }
    }
}

void CMainFrame::OpenSoftKey(int index) {
    if (index < 0 || index >= static_cast<int>(keys_.size())) return;
    SoftKey& key = keys_[static_cast<std::size_t>(index)];
    if (QMenu* menu = KeyMenu(key)) {
        // The popup opens upwards from the key's top edge.
        const QSize size = menu->sizeHint();
        menu->popup(key.button->mapToGlobal(QPoint(0, -size.height())));
        return;
    }
    if (key.commandId == 0) return;
    // The key may show a stale state: ask again before running the command.
    const std::optional<CommandState> state = QueryRoute(key.commandId);
    if (!state.has_value() || !state->enabled) {
        UpdateCommandUi();
        return;
    }
    PostCommand(key.commandId);
}

void CMainFrame::SetOwnPresence(const QString& number, int status) {
    ownNumber_->setText(number);
    if (status != ownStatus_) {
        ownIcon_->setPixmap(StatusIcons::Instance().Icon(status));
        ownStatus_ = status;
    }
    ownIcon_->setVisible(!number.isEmpty());
    ownNumber_->setVisible(!number.isEmpty());
    // The icon says the presence in words; the strip says it all.
    const QString presence = PresenceWords(status);
    ownIcon_->setAccessibleName(presence);
    QStringList parts{windowTitle().trimmed()};
    if (!number.isEmpty()) parts << number << presence;
    parts.removeAll(QString());
    header_->setAccessibleName(parts.join(QStringLiteral(", ")));
}

void CMainFrame::ShowMainWindow() {
    if (isMinimized()) {
        showNormal();
    } else {
        show();
    }
    raise();
    activateWindow();
}

ImageButton* CMainFrame::softKey(int index) const {
    if (index < 0 || index >= static_cast<int>(keys_.size())) return nullptr;
    return keys_[static_cast<std::size_t>(index)].button;
}

QMenu* CMainFrame::softKeyMenu(int index) {
    if (index < 0 || index >= static_cast<int>(keys_.size())) return nullptr;
    return KeyMenu(keys_[static_cast<std::size_t>(index)]);
}

QMenu* CMainFrame::KeyMenu(SoftKey& key) {
    if (key.menu == nullptr && key.popup != nullptr) key.menu = BuildMenu(*key.popup, this);
    return key.menu;
}

}  // namespace pellox::ui
