#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "resources/command_ids.h"
#include "resources/menus.h"
#include "resources/strings.h"

namespace pellox {
namespace {

// The menu tree in one line: "id text" per command, "-" per separator,
// "text[...]" per popup, items separated by "|".
std::u16string Describe(const std::vector<MenuItem>& items) {
    std::u16string out;
    for (const MenuItem& item : items) {
        if (!out.empty()) out += u'|';
        if (item.separator) {
            out += u'-';
        } else if (item.IsPopup()) {
            out += item.text + u'[' + Describe(item.submenu) + u']';
        } else {
            const std::string id = std::to_string(item.id);
            out += std::u16string(id.begin(), id.end()) + u' ' + item.text;
        }
    }
    return out;
}

std::u16string DescribeMenu(int id) {
    const MenuDefinition* def = FindMenuDefinition(id);
    return def == nullptr ? u"(none)" : Describe(def->items);
}

TEST(StringTable, TitleKeepsItsLeadingBlank) {
    EXPECT_EQ(FirstLine(StringView(str::kTitle)), u" ZORBEL!");
    EXPECT_EQ(FirstLine(u"first\nsecond"), u"first");
    EXPECT_EQ(FirstLine(u""), u"");
}

TEST(StringTable, UnknownIdsAreEmpty) {
    for (int id : {0, 127, 140, 300, 303, 2000, -1}) EXPECT_TRUE(StringView(id).empty()) << id;
    for (int id = 128; id <= 139; ++id) EXPECT_FALSE(StringView(id).empty()) << id;
    EXPECT_EQ(LoadString(str::kMenuButton), u"Меню");
    EXPECT_EQ(LoadString(str::kWriteButton), u"Написать");
    EXPECT_EQ(StringView(129), u"Загружается переписка");
    EXPECT_EQ(StringView(130), u"Переписки не найдено");
}

// Arguments go in once, in one pass: one that holds "%1" itself stays as it is.
TEST(StringTable, FormatFillsEachNumberOnce) {
    EXPECT_EQ(FormatString(str::kAuthRequestedNotice, {u"%1 и %2"}), u"Просит авторизацию: %1 и %2");
    EXPECT_EQ(FormatString(str::kServerAddFailed, {u"42", u"10"}),
              u"Контакт 42 не добавлен в список на сервере (ошибка 10): он останется только в этом списке.");
    EXPECT_EQ(FormatString(str::kMessageNotSent, {u"Боб"}), u"Сообщение для Боб не отправлено: %2.");
}

TEST(StringTable, EveryConnectionStateShowsItsText) {
    const std::pair<int, std::u16string_view> expected[] = {
        {0, u"Отключен"},
        {1, u"Отключен другим клиентом"},
        {2, u"Ошибка соединения"},
        {3, u"Открытие соединения"},
        {4, u"Соединение с сервером регистрации"},
        {5, u"Соединение с сервером ICQ"},
        {6, u"Проверка имени и пароля"},
        {7, u""},
        {8, u"Загруза оффлайн сообщений"},
        {9, u"Загрузка контактов"},
        {10, u""},
        {11, u""},
        {-1, u""},
    };
    for (const auto& [state, text] : expected) {
        EXPECT_EQ(StringView(ConnectionStateStringId(state)), text) << "state " << state;
    }
    EXPECT_EQ(ConnectionStateStringId(7), 0);
    EXPECT_EQ(ConnectionStateStringId(10), 0);
}

TEST(MenuDefinitions, EveryBarExists) {
    EXPECT_EQ(MenuDefinitionIds(), (std::vector<int>{128, 130, 131, 138, 139, 141, 143}));
    EXPECT_EQ(FindMenuDefinition(129), nullptr);
    EXPECT_EQ(FindMenuDefinition(0), nullptr);
}

TEST(MenuDefinitions, MainBarPopupOrderAndSubmenus) {
    EXPECT_EQ(DescribeMenu(menubar::kMain),
              u"Меню["
              u"32772 Отключить|32773 Подключить|"
              u"Статус[32772 Отключить|32780 В сети|32774 Готов болтать|-|32775 Отсутствую|"
              u"32776 Нет на месте|32777 Занят|32778 Не беспокоить|32779 Невидим]|"
              u"-|"
              u"Контакты[32801 Загрузить с сервера|32802 Добавить контакт|32815 Запросы авторизации|-|"
              u"32805 Отображать кто в сети|32804 Видим только для своих|-|"
              u"32810 Информация о контакте|32814 Удалить переписку|-|32807 Удалить контакт]|"
              u"32850 Поиск по истории|32784 Настройки|-|57665 Выход]"
              u"|32785 Написать");
}

TEST(MenuDefinitions, OtherBars) {
    EXPECT_EQ(DescribeMenu(menubar::kMessage),
              u"Меню[32807 Удалить контакт|-|32810 Информация о контакте|32814 Удалить переписку|"
              u"-|32851 Найти в переписке|32852 Экспорт переписки…|-|32812 Закрыть переписку]|"
              u"32793 Отменить");
    EXPECT_EQ(DescribeMenu(menubar::kSettings), u"32793 Отмена|32794 Сохранить");
    EXPECT_EQ(DescribeMenu(menubar::kUserInfo), u"32793 Отмена|32794 Сохранить");
    EXPECT_EQ(DescribeMenu(menubar::kUserAdd), u"32793 Отмена|32811 Добавить");
    EXPECT_EQ(DescribeMenu(menubar::kNotification), u"32793 Открыть|1 Закрыть");
    EXPECT_EQ(DescribeMenu(menubar::kHistorySearch), u"32793 Отмена|32853 Открыть");
}

}  // namespace
}  // namespace pellox
