#include "store/contact_list_file.h"

#include "net/text_encoding.h"
#include "platform/code_page.h"
#include "store/file_access.h"
#include "store/section_file.h"

namespace pellox {
namespace {

class ContactListReader : public SectionFileHandler {
public:
    explicit ContactListReader(std::vector<ContactInfo>& out) : out_(out) {}

    void OnLine(SectionEvent kind, const std::u16string& line) override {
        switch (kind) {
            case SectionEvent::SectionStart:
                pending_ = ContactInfo();
                hasName_ = false;
                // Exactly one bracket off each end; inner brackets and blanks stay.
                if (line.size() >= 2) pending_.uin = line.substr(1, line.size() - 2);
                break;
            case SectionEvent::SectionLine: {
                std::u16string key, value;
                if (!SplitKeyValue(line, key, value)) break;
                if (key == u"name") {
                    pending_.name = DecodeReferences(value);
                    hasName_ = true;
                } else if (key == u"ignored") {
                    pending_.SetIgnored(value == u"1");
                }
                break;
            }
            case SectionEvent::SectionEnd:
                // A contact saved before its nickname was known is written with an
                // empty "name=" line; it is kept (views show its UIN), so a stranger
                // who wrote to us does not vanish from the list at the next start.
                if (!pending_.uin.empty() && hasName_) out_.push_back(pending_);
                break;
        }
    }

private:
    std::vector<ContactInfo>& out_;
    ContactInfo pending_;
    bool hasName_ = false;
};

// The characters a line of the file cannot hold.
bool IsLineBreakOrZero(char16_t c) { return c == u'\r' || c == u'\n' || c == u'\0'; }

// Narrows `text` onto the end of `out`, line breaks and zeros dropped, written
// into place rather than appended a byte at a time (a list's save is mostly this).
// A unit the code page lacks becomes its default character; with `plainOnly`
// such a unit, or a '&', instead leaves `out` as it was and gives false.
bool AppendNarrowed(std::string& out, std::u16string_view text, bool plainOnly) {
    const std::size_t start = out.size();
    out.resize(start + text.size());
    char* next = out.data() + start;
    for (char16_t c : text) {
        if (IsLineBreakOrZero(c)) continue;
        if ((!platform::LocalFromUnit(c, *next) || c == u'&') && plainOnly) {
            out.resize(start);
            return false;
        }
        ++next;
    }
    out.resize(static_cast<std::size_t>(next - out.data()));
    return true;
}

// "[" uin "]" CR LF, as WriteTextLine writes it: line breaks and zeros dropped,
// characters outside the code page as its default character.
void AppendUinLine(std::string& out, std::u16string_view uin) {
    out += '[';
    (void)AppendNarrowed(out, uin, /*plainOnly=*/false);
    out += "]\r\n";
}

// "name=" name CR LF, the name with line breaks and zeros dropped and characters
// outside the code page as references. Names of code-page characters only (nearly
// all of them) are narrowed in place, without the temporary strings.
void AppendNameLine(std::string& out, std::u16string_view name) {
    out += "name=";
    if (!AppendNarrowed(out, name, /*plainOnly=*/true)) out += NarrowWithReferences(LineText(name));
    out += "\r\n";
}

}  // namespace

std::string ContactListFileName(std::u16string_view profile) {
    return "contacts_" + FileNameComponent(profile) + ".txt";
}

std::string FormatContactList(const std::vector<ContactInfo>& contacts) {
    std::string out;
    out.reserve(contacts.size() * kContactSectionBytes);
    for (const ContactInfo& contact : contacts) AppendContactSection(out, contact);
    return out;
}

void AppendContactSection(std::string& out, const ContactInfo& contact) {
    AppendUinLine(out, contact.uin);
    // The name keeps characters outside the code page as references.
    AppendNameLine(out, contact.name);
    if (contact.ignored()) out += "ignored=1\r\n";
}

bool ReadContactListFile(const std::string& path, std::vector<ContactInfo>& out) {
    if (UntrustedDirectory(DirectoryOfFile(path))) return false;
    ContactListReader reader(out);
    return ReadSectionFile(reader, path);
}

bool ReadContactListFile(const std::string& path, std::vector<ContactInfo>& out, int& error) {
    const std::size_t before = out.size();
    ContactListReader reader(out);
    if (ReadSectionFile(reader, path, error)) return true;
    out.resize(before, ContactInfo());
    return false;
}

}  // namespace pellox
