#include "ui/message_box.h"

#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include "resources/strings.h"
#include "ui/drawing_kit.h"

namespace pellox::ui {

namespace {

QMessageBox* MakeBox(QWidget* parent, const char* name, QMessageBox::Icon icon,
                     const QString& text) {
    auto* box =
        new QMessageBox(icon, LoadQString(str::kTitle).trimmed(), text, QMessageBox::NoButton,
                        parent != nullptr ? parent->window() : nullptr);
    box->setObjectName(QString::fromLatin1(name));
    box->setAttribute(Qt::WA_DeleteOnClose);
    return box;
}

// Where the platform activates a notice all the same, gives the keyboard back to
// the widget that had it, once: later the user may activate the box to answer it.
class KeyboardReturner : public QObject {
public:
    KeyboardReturner(QWidget* box, QWidget* typing) : QObject(box), typing_(typing) {
        box->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::WindowActivate) return false;
        watched->removeEventFilter(this);
        if (typing_ != nullptr) {
            typing_->activateWindow();
            typing_->setFocus(Qt::OtherFocusReason);
        }
        return false;
    }

private:
    QPointer<QWidget> typing_;
};

}  // namespace

QMessageBox* ShowNotice(QWidget* parent, const QString& text) {
    QWidget* window = parent != nullptr ? parent->window() : nullptr;
    if (window != nullptr) {
        for (QMessageBox* open : window->findChildren<QMessageBox*>(
                 QString::fromLatin1(kNoticeObjectName), Qt::FindDirectChildrenOnly)) {
            if (!open->isVisible()) continue;
            const QString separator = QStringLiteral("\n\n");
            if (!open->text().split(separator).contains(text))
                open->setText(open->text() + separator + text);
            return open;
        }
    }
    QMessageBox* box = MakeBox(parent, kNoticeObjectName, QMessageBox::Warning, text);
    box->addButton(QMessageBox::Ok);
    box->setModal(false);
    // Keys typed meanwhile stay where they were going (a notice comes unasked,
    // often while the user types); the box waits for a click.
    box->setAttribute(Qt::WA_ShowWithoutActivating);
    box->setWindowFlag(Qt::WindowDoesNotAcceptFocus);
    if (QWidget* typing = QApplication::focusWidget()) new KeyboardReturner(box, typing);
    box->show();
    return box;
}

QMessageBox* AskYesNo(QWidget* parent, const QString& question, std::function<void()> onYes) {
    QMessageBox* box = MakeBox(parent, kQuestionObjectName, QMessageBox::Question, question);
    QPushButton* yes = box->addButton(LoadQString(str::kYes), QMessageBox::YesRole);
    QPushButton* no = box->addButton(LoadQString(str::kNo), QMessageBox::NoRole);
    box->setDefaultButton(no);
    box->setEscapeButton(no);
    QObject::connect(yes, &QPushButton::clicked, box, [onYes = std::move(onYes)] {
        if (onYes) onYes();
    });
    box->setWindowModality(Qt::WindowModal);
    box->show();
    return box;
}

}  // namespace pellox::ui
