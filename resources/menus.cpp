#include "resources/menus.h"

#include <algorithm>
#include <utility>

#include "resources/command_ids.h"
#include "resources/strings.h"

namespace pellox {

namespace {

MenuItem Command(int id, std::u16string text) {
    return MenuItem{id, std::move(text), false, {}};
}

MenuItem Separator() {
    return MenuItem{0, {}, true, {}};
}

MenuItem Popup(std::u16string text, std::vector<MenuItem> items) {
    return MenuItem{0, std::move(text), false, std::move(items)};
}

std::vector<MenuDefinition> BuildDefinitions() {
    using namespace cmd;
    std::vector<MenuItem> status{
        Command(kDisconnect, u"Отключить"),
        Command(kStatusOnline, u"В сети"),
        Command(kStatusFreeForChat, u"Готов болтать"),
        Separator(),
        Command(kStatusAway, u"Отсутствую"),
        Command(kStatusNotAvailable, u"Нет на месте"),
        Command(kStatusOccupied, u"Занят"),
        Command(kStatusDoNotDisturb, u"Не беспокоить"),
        Command(kStatusInvisible, u"Невидим"),
    };
    std::vector<MenuItem> contacts{
        Command(kLoadContacts, u"Загрузить с сервера"),
        Command(kAddContact, u"Добавить контакт"),
        Command(kAuthRequests, u"Запросы авторизации"),
        Separator(),
        Command(kShowOnlyOnline, u"Отображать кто в сети"),
        Command(kVisibleToListOnly, u"Видим только для своих"),
        Separator(),
        Command(kContactInfo, u"Информация о контакте"),
        Command(kDeleteConversation, u"Удалить переписку"),
        Separator(),
        Command(kDeleteContact, u"Удалить контакт"),
    };
    std::vector<MenuItem> mainMenu{
        Command(kDisconnect, u"Отключить"),
        Command(kConnect, u"Подключить"),
        Popup(u"Статус", std::move(status)),
        Separator(),
        Popup(u"Контакты", std::move(contacts)),
        Command(kSettings, u"Настройки"),
        Separator(),
        Command(kExit, u"Выход"),
    };
    std::vector<MenuItem> messageMenu{
        Command(kDeleteContact, u"Удалить контакт"),
        Separator(),
        Command(kContactInfo, u"Информация о контакте"),
        Command(kDeleteConversation, u"Удалить переписку"),
        Separator(),
        Command(kCloseConversation, u"Закрыть переписку"),
    };
    const std::u16string menu = LoadString(str::kMenuButton);

    std::vector<MenuDefinition> defs;
    defs.push_back(
        {menubar::kMain,
         {Popup(menu, std::move(mainMenu)), Command(kWrite, LoadString(str::kWriteButton))}});
    defs.push_back({menubar::kMessage,
                    {Popup(menu, std::move(messageMenu)), Command(kShowContacts, u"Отменить")}});
    defs.push_back(
        {menubar::kSettings, {Command(kShowContacts, u"Отмена"), Command(kSave, u"Сохранить")}});
    defs.push_back(
        {menubar::kUserInfo, {Command(kShowContacts, u"Отмена"), Command(kSave, u"Сохранить")}});
    defs.push_back(
        {menubar::kUserAdd, {Command(kShowContacts, u"Отмена"), Command(kAdd, u"Добавить")}});
    defs.push_back(
        {menubar::kNotification, {Command(kShowContacts, u"Открыть"), Command(kOk, u"Закрыть")}});
    return defs;
}

// Puts `item` in front of the entry with command `id`; at the end when there is none.
void InsertBefore(std::vector<MenuItem>& items, int id, MenuItem item) {
    const auto at = std::find_if(items.begin(), items.end(),
                                 [id](const MenuItem& i) { return i.id == id; });
    items.insert(at, std::move(item));
}

// The history search and export: "Поиск по истории" in the main menu, the search
// and the export of the conversation in its menu, and the search's own bar.
void AddHistoryEntries(std::vector<MenuDefinition>& defs) {
    using namespace cmd;
    for (MenuDefinition& def : defs) {
        std::vector<MenuItem>& menu = def.items.front().submenu;
        if (def.id == menubar::kMain) {
            InsertBefore(menu, kSettings, Command(kSearchHistory, u"Поиск по истории"));
        } else if (def.id == menubar::kMessage) {
            InsertBefore(menu, kCloseConversation,
                         Command(kFindInConversation, u"Найти в переписке"));
            InsertBefore(menu, kCloseConversation,
                         Command(kExportConversation, u"Экспорт переписки…"));
            InsertBefore(menu, kCloseConversation, Separator());
        }
    }
    defs.push_back({menubar::kHistorySearch,
                    {Command(kShowContacts, u"Отмена"), Command(kOpenSearchHit, u"Открыть")}});
}

const std::vector<MenuDefinition>& Definitions() {
    static const std::vector<MenuDefinition> defs = [] {
        std::vector<MenuDefinition> built = BuildDefinitions();
        AddHistoryEntries(built);
        return built;
    }();
    return defs;
}

}  // namespace

const MenuDefinition* FindMenuDefinition(int id) {
    const auto& defs = Definitions();
    auto it = std::find_if(defs.begin(), defs.end(),
                           [id](const MenuDefinition& d) { return d.id == id; });
    return it == defs.end() ? nullptr : &*it;
}

std::vector<int> MenuDefinitionIds() {
    std::vector<int> ids;
    for (const MenuDefinition& d : Definitions()) ids.push_back(d.id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace pellox
