// Fuzz target: a contact list file ("contacts_<profile>.txt") as another program
// or a crash may have left it, read both by the file reader and by the model.
//
// Every contact read has a UIN; the model loads the same contacts as
// the reader; and the list written back from them reads again as the same list
// once the format has normalised it.
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "store/app_state.h"
#include "store/contact_list_file.h"

namespace {

std::vector<std::pair<std::u16string, std::u16string>> Pairs(const std::vector<pellox::ContactInfo>& list) {
    std::vector<std::pair<std::u16string, std::u16string>> out;
    for (const auto& c : list) out.emplace_back(c.uin, c.name);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pellox;
    using fuzz::Check;
    fuzz::ScratchDirectory::Empty();
    const std::string& dir = fuzz::ScratchDirectory::Path();
    const std::string name = ContactListFileName(u"123456789");
    const std::string path = fuzz::ScratchDirectory::WriteFile(name, data, size);

    std::vector<ContactInfo> read;
    Check(ReadContactListFile(path, read), "the file could not be read");
    for (const ContactInfo& c : read) {
        Check(!c.uin.empty(), "a contact without UIN");
        Check(c.status == kContactInitialStatus && c.unreadCount == 0, "a loaded contact is not fresh");
    }

    AppState model(dir);
    model.UpdateSettings([](Settings& s) { s.profile = u"123456789"; });
    Check(model.SaveSettings(), "the settings could not be saved");
    fuzz::ScratchDirectory::WriteFile(name, data, size);
    model.ReloadAll();
    std::vector<ContactInfo> loaded;
    for (const ContactSnapshot& s : model.SnapshotContacts()) loaded.push_back(s.info);
    Check(Pairs(loaded) == Pairs(read), "the model loaded other contacts than the reader");

    // Written and read twice, the list settles: the second round changes nothing.
    Check(model.SaveContacts(), "the contact list could not be saved");
    model.ReloadAll();
    std::vector<ContactInfo> once;
    for (const ContactSnapshot& s : model.SnapshotContacts()) once.push_back(s.info);
    Check(model.SaveContacts(), "the contact list could not be saved again");
    model.ReloadAll();
    std::vector<ContactInfo> twice;
    for (const ContactSnapshot& s : model.SnapshotContacts()) twice.push_back(s.info);
    Check(Pairs(once) == Pairs(twice), "a saved contact list did not load back the same");
    return 0;
}
