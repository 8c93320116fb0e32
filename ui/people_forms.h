// What the people forms (search, details, own details, the ignored numbers)
// share: their controls are made in code and placed by dialog units as the
// Designer forms' are (see DialogFormView), and a list or text area may stretch
// to the bottom of the view.
//
// Everything here runs on the user-interface thread.
#pragma once

#include <QRect>
#include <QSize>
#include <QString>
#include <string>

#include "net/net_command.h"
#include "protocol/people.h"
#include "ui/form_view.h"

class QLabel;
class QLineEdit;

namespace pellox::ui {

// The width of every people form's template in dialog units, as the other forms.
inline constexpr int kPeopleFormWidth = 164;

// A people form: a DialogFormView whose controls are made with the helpers below.
class PeopleFormView : public DialogFormView {
    Q_OBJECT

public:
    explicit PeopleFormView(QWidget* parent) : DialogFormView(parent) {}

protected:
    // Call first: the template's size, before any control is placed.
    void SetDialogSize(int height);
    QLabel* AddLabel(const QString& text, const QRect& dialogRect);
    QLineEdit* AddEdit(const QRect& dialogRect, int controlId);
    FormButton* AddButton(const QString& text, const QRect& dialogRect, int controlId);
    // A form's fields: a label (string id) and its edit, one row under another from
    // the top; the first `narrowRows` edits are `narrowWidth` wide, the rest span the
    // form.
    struct FieldRow {
        int label;
        QLineEdit** edit;
        int controlId;
    };
    void AddFieldRows(std::initializer_list<FieldRow> rows, int narrowRows = 0, int narrowWidth = 0);
    // Places `widget` by its dialog rectangle, then stretches it down to `bottom`
    // dialog units above the view's lower edge (never shorter than its template
    // height), and moves every control named in `below` that far down too.
    void Stretch(QWidget* widget, int bottom, std::initializer_list<QWidget*> below = {});
};

// The text a form shows of a user's sex: "", "женский", "мужской".
QString GenderText(std::uint8_t gender);
// The lines of a contact's details as the details form shows them: "Поле: значение"
// for every field the server filled.
QString DetailsText(const UserDetails& details);

}  // namespace pellox::ui
