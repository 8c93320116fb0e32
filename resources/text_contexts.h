// The translation contexts of the texts kept here: the string table's and the
// menus'. The forms' texts are translated under their form's class name
// ("SettingsForm", "UserForm"), as uic writes them. The Russian texts are the
// source; resources/translations/pellox_en.ts holds their English translation.
#pragma once

namespace pellox {

inline constexpr char kStringsContext[] = "Strings";
inline constexpr char kMenusContext[] = "Menus";

}  // namespace pellox
