// Fuzz target: "settings.txt" as another program or a crash may have left it.
//
// The input is the file. Loading must never fail in a way the user sees, and what
// was loaded must stay within the documented ranges, and a save of what was loaded
// must load back into the same settings values.
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "store/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pellox;
    using fuzz::Check;
    const std::string& dir = fuzz::ScratchDirectory::Path();
    fuzz::ScratchDirectory::WriteFile(kSettingsFileName, data, size);

    Settings settings;
    settings.Load(dir);
    Check(settings.columns >= 1 && settings.columns <= 4, "columns out of range");
    for (const auto& [name, profile] : settings.profiles) {
        Check(!name.empty(), "a profile without a name");
        (void)profile;
    }

    Check(settings.Save(dir), "the settings could not be saved");
    Settings reloaded;
    reloaded.Load(dir);
    Check(reloaded.columns == settings.columns && reloaded.onlyonline == settings.onlyonline &&
              reloaded.sendclose == settings.sendclose &&
              reloaded.showhistory == settings.showhistory &&
              reloaded.autoconnect == settings.autoconnect,
          "a saved setting did not load back");
    return 0;
}
