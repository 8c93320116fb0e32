#include "store/contact_list_file.h"

#include "net/text_encoding.h"
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

}  // namespace

std::string ContactListFileName(std::u16string_view profile) {
    return "contacts_" + FileNameComponent(profile) + ".txt";
}

std::string FormatContactList(const std::vector<ContactInfo>& contacts) {
    std::string out;
    for (const ContactInfo& contact : contacts) {
        WriteTextLine(out, u"[" + LineText(contact.uin) + u"]");
        // The name keeps characters outside the code page as references.
        out += "name=" + NarrowWithReferences(LineText(contact.name)) + "\r\n";
        if (contact.ignored()) out += "ignored=1\r\n";
    }
    return out;
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
