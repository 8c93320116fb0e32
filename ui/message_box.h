// Short notices and yes/no questions over the main window. Neither waits: the box
// is shown and the call returns, so a network event, a posted command or a test
// can go on while the box is open. User-interface thread only.
#pragma once

#include <QString>
#include <functional>

class QMessageBox;
class QWidget;

namespace pellox::ui {

inline constexpr char kNoticeObjectName[] = "pelloxNotice";
inline constexpr char kQuestionObjectName[] = "pelloxQuestion";

// Shows `text` with an "OK" button over the window of `parent`, without taking the
// keyboard from it. While a notice is still open there, the text is added to it as
// a new paragraph instead (unless it holds that paragraph already), so a burst of
// failures gives one box. The box deletes itself when closed.
QMessageBox* ShowNotice(QWidget* parent, const QString& text);

// Asks `question` with the buttons "Да" and "Нет" over the window of `parent`,
// which takes no input meanwhile; `onYes` runs when "Да" is chosen, nothing when
// "Нет" is or the box is closed. The box deletes itself when closed.
QMessageBox* AskYesNo(QWidget* parent, const QString& question, std::function<void()> onYes);

}  // namespace pellox::ui
