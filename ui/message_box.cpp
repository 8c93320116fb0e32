#include "ui/message_box.h"

#include <QMessageBox>
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

}  // namespace

QMessageBox* ShowNotice(QWidget* parent, const QString& text) {
    QWidget* window = parent != nullptr ? parent->window() : nullptr;
    if (window != nullptr) {
        for (QMessageBox* open : window->findChildren<QMessageBox*>(
                 QString::fromLatin1(kNoticeObjectName), Qt::FindDirectChildrenOnly)) {
            if (!open->isVisible()) continue;
            open->setText(open->text() + QStringLiteral("\n\n") + text);
            return open;
        }
    }
    QMessageBox* box = MakeBox(parent, kNoticeObjectName, QMessageBox::Warning, text);
    box->addButton(QMessageBox::Ok);
    box->setModal(false);
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
