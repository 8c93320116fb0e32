// What the two form views (the contact form and the settings form) share: the
// grey form background, the control colours, and the placement of the controls of
// a Designer form by dialog units, plus the small interface through which a form
// reaches the network session.
//
// A form is laid out like a dialog template: every control carries a dynamic
// property "dialogRect" (its QRect in dialog units) and "controlId" (its resource
// id), and the form itself carries "dialogSize" (the template's size). The form's
// width is mapped onto the template's width; one vertical dialog unit is 13/12 of
// a horizontal one (the proportions of the template font's character cell), so the
// controls keep the template's proportions at any width.
//
// Everything here runs on the user-interface thread.
#pragma once

#include <QCheckBox>
#include <QRect>
#include <QSize>
#include <QString>
#include <initializer_list>
#include <memory>

#include "net/net_command.h"
#include "ui/image_button.h"
#include "ui/main_frame.h"

namespace pellox {
class NetSession;
}

class QLineEdit;
class QMessageBox;

namespace pellox::ui {

// Opens a warning box over the window that holds `over` and returns at once: the
// box is modal to that window and deletes itself when closed.
QMessageBox* ShowWarning(QWidget* over, const QString& text);

// A UIN as a form takes it: decimal digits only, at most this many (a 32-bit
// number). The edit refuses other keys; CheckFormFields refuses what got in
// otherwise.
inline constexpr int kMaxUinDigits = 10;
void LimitToUin(QLineEdit* edit);

// A text field of a form, as CheckFormFields sees it.
struct FormField {
    QLineEdit* edit;
    QString label;      // the field's label, as the form shows it
    bool trim = false;  // white space at either end is dropped (a number, a server)
    bool uin = false;   // empty, or a UIN (see LimitToUin)
};

// Trims the fields that ask for it (their edits show the result), then looks for a
// control character (a pasted line break above all) in each: such a value would
// break the stored files; and in a UIN field for anything but its digits. At the
// first field that fails, the user is told which field it is and false comes back.
bool CheckFormFields(QWidget* form, std::initializer_list<FormField> fields);

// What a form needs from the network session. The application passes a
// NetSessionControl; tests pass a recording double.
class SessionControl {
public:
    virtual ~SessionControl() = default;
    // The current connection state code.
    virtual ConnState State() const = 0;
    // Closes the connection at once (it reports Disconnected).
    virtual void CloseSession() = 0;
    // Queues a command for the network worker.
    virtual void EnqueueCommand(Command command) = 0;
};

// SessionControl over the application's NetSession.
class NetSessionControl : public SessionControl {
public:
    explicit NetSessionControl(NetSession& session) : session_(session) {}
    ConnState State() const override;
    void CloseSession() override;
    void EnqueueCommand(Command command) override;

private:
    NetSession& session_;
};

// The push button of the forms: an ImageButton without a bitmap, in the shape the
// Designer forms construct their widgets.
class FormButton : public ImageButton {
    Q_OBJECT

public:
    explicit FormButton(QWidget* parent = nullptr) : ImageButton(QString(), 0, parent) {}
};

// The check box of the forms: a steel-blue box with a white frame and a white tick
// when checked, drawn by the form itself so it reads on the grey background. The
// whole control reacts to the pen, not only the box.
class FormCheckBox : public QCheckBox {
    Q_OBJECT

public:
    explicit FormCheckBox(QWidget* parent = nullptr) : QCheckBox(parent) {}

    // The box, square, at the left of the control and centred vertically.
    QRect BoxRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
};

inline constexpr char kDialogRectProperty[] = "dialogRect";
inline constexpr char kControlIdProperty[] = "controlId";
inline constexpr char kDialogSizeProperty[] = "dialogSize";

class DialogFormView : public FrameView {
    Q_OBJECT

public:
    explicit DialogFormView(QWidget* parent);

    QSize dialogSize() const { return dialogSize_; }
    // The child control with that resource id, or null.
    QWidget* Control(int id) const;
    // Pixels of `dialogRect` at the form's current width.
    QRect MapDialogRect(const QRect& dialogRect) const;

protected:
    // Takes the template's size from the form, applies the form's colours and
    // places the controls; call right after the Designer form is set up.
    void SetUpForm();
    // Places every control that carries a dialogRect.
    void PlaceControls();

    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QSize dialogSize_;
};

}  // namespace pellox::ui
