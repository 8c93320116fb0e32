#include "ui/people_forms.h"

#include <QLabel>
#include <QLineEdit>
#include <QStringList>
#include <algorithm>

#include "resources/strings.h"
#include "ui/drawing_kit.h"

namespace pellox::ui {

void PeopleFormView::SetDialogSize(int height) {
    setProperty(kDialogSizeProperty, QSize(kPeopleFormWidth, height));
}

QLabel* PeopleFormView::AddLabel(const QString& text, const QRect& dialogRect) {
    auto* label = new QLabel(text, this);
    label->setProperty(kDialogRectProperty, dialogRect);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return label;
}

QLineEdit* PeopleFormView::AddEdit(const QRect& dialogRect, int controlId) {
    auto* edit = new QLineEdit(this);
    edit->setProperty(kDialogRectProperty, dialogRect);
    edit->setProperty(kControlIdProperty, controlId);
    return edit;
}

FormButton* PeopleFormView::AddButton(const QString& text, const QRect& dialogRect, int controlId) {
    auto* button = new FormButton(this);
    button->setText(text);
    button->setDimWhenDisabled(true);  // "Добавить" is greyed once the result is a contact
    button->setProperty(kDialogRectProperty, dialogRect);
    button->setProperty(kControlIdProperty, controlId);
    return button;
}

void PeopleFormView::AddFieldRows(std::initializer_list<FieldRow> rows, int narrowRows, int narrowWidth) {
    int y = 4;
    int index = 0;
    for (const FieldRow& row : rows) {
        AddLabel(LoadQString(row.label), QRect(4, y + 2, 48, 8));
        *row.edit = AddEdit(QRect(54, y, index++ < narrowRows ? narrowWidth : 106, 12), row.controlId);
        y += 13;
    }
}

void PeopleFormView::Stretch(QWidget* widget, int bottom, std::initializer_list<QWidget*> below) {
    const QRect placed = MapDialogRect(widget->property(kDialogRectProperty).toRect());
    const int lowest = height() - MapDialogRect(QRect(0, 0, 0, bottom)).height();
    const int grow = std::max(0, lowest - placed.bottom());
    widget->setGeometry(placed.adjusted(0, 0, 0, grow));
    for (QWidget* control : below) {
        control->setGeometry(MapDialogRect(control->property(kDialogRectProperty).toRect()).translated(0, grow));
    }
}

QString GenderText(std::uint8_t gender) {
    if (gender == 1) return LoadQString(str::kGenderFemale);
    if (gender == 2) return LoadQString(str::kGenderMale);
    return {};
}

QString DetailsText(const UserDetails& d) {
    QStringList lines;
    const auto add = [&lines](int label, const QString& value) {
        if (!value.isEmpty()) lines << LoadQString(str::kFieldLine).arg(LoadQString(label), value);
    };
    const auto text = [](const std::u16string& value) { return QString::fromStdU16String(value); };
    const auto number = [](int value) { return value > 0 ? QString::number(value) : QString(); };
    add(str::kFieldNickname, text(d.nickname));
    add(str::kFieldFirstName, text(d.firstName));
    add(str::kFieldLastName, text(d.lastName));
    add(str::kFieldEmail, text(d.email));
    QStringList others;
    for (const std::u16string& email : d.emails) others << text(email);
    add(str::kFieldOtherEmails, others.join(QStringLiteral(", ")));
    add(str::kFieldAge, number(d.age));
    add(str::kFieldGender, GenderText(d.gender));
    if (d.birthYear > 0 && d.birthMonth > 0 && d.birthDay > 0) {
        add(str::kFieldBirthday,
            LoadQString(str::kBirthdayFormat)
                .arg(d.birthDay, 2, 10, QLatin1Char('0'))
                .arg(d.birthMonth, 2, 10, QLatin1Char('0'))
                .arg(d.birthYear));
    }
    add(str::kFieldCity, text(d.city));
    add(str::kFieldState, text(d.state));
    add(str::kFieldStreet, text(d.street));
    add(str::kFieldZip, text(d.zip));
    add(str::kFieldPhone, text(d.phone));
    add(str::kFieldCellular, text(d.cellular));
    add(str::kFieldFax, text(d.fax));
    add(str::kFieldHomepage, text(d.homepage));
    add(str::kFieldCompany, text(d.company));
    add(str::kFieldDepartment, text(d.department));
    add(str::kFieldPosition, text(d.position));
    add(str::kFieldWorkCity, text(d.workCity));
    QStringList interests;
    for (const auto& [category, interest] : d.interests) interests << text(interest);
    add(str::kFieldInterests, interests.join(QStringLiteral(", ")));
    if (!d.about.empty()) {
        lines << QString() << LoadQString(str::kFieldAbout) + QLatin1Char(':') << text(d.about);
    }
    return lines.join(QLatin1Char('\n'));
}

}  // namespace pellox::ui
