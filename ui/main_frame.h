// The main window and its mechanics: one portrait frame with a header strip (the
// title, one's own number with its presence icon, and an "ok" button), exactly one view at a time in the middle, and a
// soft-key bar at the bottom built from a menu definition. Commands go from the
// active view to the frame to the application object.
//
// Everything here runs on the user-interface thread.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QSize>
#include <QWidget>
#include <array>
#include <functional>
#include <map>
#include <optional>

#include "resources/menus.h"

class QLabel;
class QMenu;
class QWheelEvent;
class QAction;

namespace pellox::ui {

class ImageButton;

// The state of a command as its handler sees it now.
struct CommandState {
    bool enabled = true;
    bool checked = false;  // shown with a check mark in a popup menu
};

// Something that handles commands: the views, the frame and the application object.
// The defaults handle nothing.
class CommandTarget {
public:
    virtual ~CommandTarget() = default;

    // Carries out command `id`; returns true when this target handled it.
    virtual bool OnCommand(int id);
    // The state of command `id`, or nullopt when this target has no handler for it.
    // Called whenever a popup opens and whenever the soft keys are refreshed, so it
    // must be cheap and free of side effects.
    virtual std::optional<CommandState> QueryCommand(int id);
};

// The kinds of view the frame shows. Contacts and Message views are created once
// and kept (hidden) while another view is shown; User and Settings forms, the
// history search and the people forms are created afresh each time and destroyed
// when another view is shown.
enum class ViewKind {
    Contacts,
    Message,
    User,
    Settings,
    HistorySearch,
    // People: the search, a contact's details, one's own details, the ignored.
    PeopleSearch,
    PeopleDetails,
    OwnDetails,
    IgnoredList,
};

bool IsPersistentView(ViewKind kind);

class CMainFrame;

// The strip across the top that stands in for the device's title bar: the title,
// one's own presence and number, and the "ok" button. Its accessible name says the
// same (a tool bar to a screen reader).
class HeaderStrip : public QWidget {
    Q_OBJECT

public:
    explicit HeaderStrip(QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// Base of every view the frame shows.
class FrameView : public QWidget, public CommandTarget {
    Q_OBJECT

public:
    explicit FrameView(QWidget* parent = nullptr);

    // Called by the frame each time this view becomes the active view, after it
    // has been attached and shown (the first time and on every return).
    virtual void OnInitialUpdate() {}

    // The frame showing this view, or null while the view is not in one.
    CMainFrame* frame() const;
    // Routes command `id` through the frame now (as the frame's RouteCommand);
    // false when the view is not in a frame or nobody handled it.
    bool SendFrameCommand(int id);
    // Routes command `id` through the frame once control returns to the event
    // loop (as the frame's PostCommand); nothing when the view is not in a frame.
    void PostFrameCommand(int id);

protected:
    // The whole wheel notches `event` completes, positive towards the user (down);
    // fine-grained wheels and touchpads add up until a notch is reached.
    int WheelNotches(const QWheelEvent& event);

private:
    int wheelRemainder_ = 0;  // eighths of a degree short of a notch
};

// Creates a view of one kind as a child of `parent`.
using ViewFactory = std::function<FrameView*(QWidget* parent)>;

class CMainFrame : public QMainWindow, public CommandTarget {
    Q_OBJECT

public:
    static constexpr int kDefaultWidth = 480;
    static constexpr int kDefaultHeight = 640;
    // The smallest window. The views are drawn and the forms placed in proportion
    // to the window, while texts keep their size: below this the forms' labels no
    // longer hold their texts.
    static constexpr int kMinimumWidth = 320;
    static constexpr int kMinimumHeight = 320;

    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    // ---- Views ----

    // Registers the factory for a kind of view, replacing an earlier one.
    void RegisterView(ViewKind kind, ViewFactory factory);

    // Makes a view of `kind` the active view:
    //  - nothing happens when the active view is already of that kind;
    //  - a kept Contacts or Message view is re-attached, any other is created by
    //    its factory (false, and nothing changes, when there is no factory or it
    //    returns null);
    //  - a nonzero `menuBarId` rebuilds the soft-key bar from that definition;
    //  - the previous view is hidden and kept (Contacts, Message) or destroyed
    //    (User, Settings; deleted once control returns to the event loop);
    //  - the new view's OnInitialUpdate runs, it is repainted and the soft keys
    //    are refreshed.
    bool SwitchView(ViewKind kind, int menuBarId);

    FrameView* activeView() const { return active_; }
    std::optional<ViewKind> activeViewKind() const;
    // The view of that kind if it exists (the active one or a kept one).
    FrameView* findView(ViewKind kind) const;

    // ---- Commands ----

    // The application object: the last target of every command. May be null.
    void SetApplicationTarget(CommandTarget* application) { application_ = application; }

    // Offers command `id` to the active view, then to the frame, then to the
    // application; returns true when one of them handled it.
    bool RouteCommand(int id);
    // The state of command `id` from the first of those with a handler; nullopt
    // when none has one (the command is then shown disabled).
    std::optional<CommandState> QueryRoute(int id);
    // Routes command `id` once control returns to the event loop. Soft keys, the
    // popup menus and the "ok" button use this, so a command may rebuild the bar
    // or switch views safely.
    void PostCommand(int id);

    // The frame handles command 1 (cmd::kOk): it minimises the window.
    bool OnCommand(int id) override;
    std::optional<CommandState> QueryCommand(int id) override;

    // ---- Soft keys ----

    // Rebuilds the soft-key bar from menu definition `menuBarId`: the first item
    // becomes the left key, the second the right key. A key bound to a popup opens
    // it upwards; a key bound to a command posts it. An unknown id empties the bar.
    // From the keyboard, F10 and the menu key open the left key's popup, and Escape
    // runs the key bound to cmd::kShowContacts ("Отменить", "Отмена"), the right one first.
    void SetMenuBar(int menuBarId);
    int menuBarId() const { return menuBarId_; }
    // Re-evaluates the soft keys' enabled state through the router. The frame does
    // this after switching views and after every routed command; the application
    // calls it after a model change that affects enabling.
    void UpdateCommandUi();

    // Brings the window back from minimised and to the front.
    void ShowMainWindow();

    // The pieces, for the application object and for tests.
    ImageButton* softKey(int index) const;  // 0 left, 1 right
    QMenu* softKeyMenu(int index);          // the key's popup, or null for a command key
    void OpenSoftKey(int index);            // as if the key was clicked
    ImageButton* okButton() const { return okButton_; }
    QLabel* titleLabel() const { return titleLabel_; }
    HeaderStrip* headerStrip() const { return header_; }

    // One's own number and the icon of one's presence (a presence value 0..7) in
    // the header strip, left of the "ok" button; an empty number hides both.
    void SetOwnPresence(const QString& number, int status);
    int ownStatus() const { return ownStatus_; }
    QLabel* ownNumberLabel() const { return ownNumber_; }
    QLabel* ownIconLabel() const { return ownIcon_; }

signals:
    void viewSwitched(pellox::ui::ViewKind kind);

private:
    struct SoftKey {
        ImageButton* button = nullptr;
        // For a popup key: its items, and the popup once it is first needed.
        const std::vector<MenuItem>* popup = nullptr;
        QPointer<QMenu> menu;
        int commandId = 0;  // for a command key
    };

    // The key's popup, built the first time it is asked for; null for a command key.
    QMenu* KeyMenu(SoftKey& key);

    QMenu* BuildMenu(const std::vector<MenuItem>& items, QWidget* parent);
    void RefreshMenu(QMenu* menu);
    void DetachActive();

    QWidget* viewHost_ = nullptr;
    HeaderStrip* header_ = nullptr;
    QLabel* titleLabel_ = nullptr;
    QLabel* ownIcon_ = nullptr;
    QLabel* ownNumber_ = nullptr;
    int ownStatus_ = -1;
    ImageButton* okButton_ = nullptr;
    std::array<SoftKey, 2> keys_;
    int menuBarId_ = 0;

    std::map<ViewKind, ViewFactory> factories_;
    std::map<ViewKind, QPointer<FrameView>> kept_;  // the kept views, active or not
    QPointer<FrameView> active_;
    ViewKind activeKind_ = ViewKind::Contacts;
    CommandTarget* application_ = nullptr;
};

}  // namespace pellox::ui
