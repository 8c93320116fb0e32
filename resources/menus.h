// The menu bar definitions: each is a list of top-level items, of which the first
// becomes the left soft key and the second the right soft key. A top-level item is
// either a command or a popup (a list of commands, separators and popups).
// Qt-free data; the frame turns a definition into soft keys and popup menus.
#pragma once

#include <string>
#include <vector>

namespace pellox {

struct MenuItem {
    int id = 0;           // command id; 0 for a popup or a separator
    std::u16string text;  // empty for a separator
    bool separator = false;
    std::vector<MenuItem> submenu;  // the popup's items; empty for a command

    bool IsPopup() const { return !separator && id == 0 && !submenu.empty(); }
    bool IsCommand() const { return !separator && id != 0; }
};

struct MenuDefinition {
    int id = 0;                   // the menu bar id (menubar::kMain, ...)
    std::vector<MenuItem> items;  // top level: [0] left soft key, [1] right soft key
};

// The definition with that id, or nullptr when there is none.
const MenuDefinition* FindMenuDefinition(int id);

// The ids of every definition, in ascending order.
std::vector<int> MenuDefinitionIds();

}  // namespace pellox
