// The contact list file of a profile: "contacts_<profile>.txt" in the data
// directory, one section per contact in list order:
//   [<UIN>]
//   name=<display name, possibly empty>
//   ignored=1                  only for a contact on the ignore list
// Only UIN, name and the ignore mark are stored; a name character outside the code page is written
// as a reference "&#N;" and decoded on reading (NarrowWithReferences). Reading
// keeps a section when both its UIN (the header without its first and last
// character) and its "name" value are not empty; other keys are ignored and no
// duplicate check is made. An empty list is an empty file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "store/contact.h"

namespace pellox {

// "contacts_" + profile + ".txt", the profile as a file name component.
std::string ContactListFileName(std::u16string_view profile);

// The bytes of the file for these contacts, in their order.
std::string FormatContactList(const std::vector<ContactInfo>& contacts);
// About the bytes of one contact's section, for reserving the whole file's.
inline constexpr std::size_t kContactSectionBytes = 40;
// The section of one contact, appended to `out`: FormatContactList is these
// sections one after the other.
void AppendContactSection(std::string& out, const ContactInfo& contact);

// Appends the file's contacts to `out` (with the initial values of every other
// field); false when the file could not be read.
bool ReadContactListFile(const std::string& path, std::vector<ContactInfo>& out);
// The same, with the error number of a failed read (ENOENT: no file; see
// ReadSectionFile); after a failure `out` is as it was before the call.
bool ReadContactListFile(const std::string& path, std::vector<ContactInfo>& out, int& error);

}  // namespace pellox
