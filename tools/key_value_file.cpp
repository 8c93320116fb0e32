#include "tools/key_value_file.h"

#include "net/text_encoding.h"
#include "store/section_file.h"

namespace pellox::server {
namespace {

class KeyValueHandler final : public SectionFileHandler {
public:
    KeyValueHandler(const SectionSink& onSection, const PairSink& onPair)
        : onSection_(onSection), onPair_(onPair) {}

    void OnLine(SectionEvent kind, const std::u16string& line) override {
        if (kind == SectionEvent::SectionStart) {
            std::u16string_view name = line;
            while (!name.empty() && name.front() == u'[') name.remove_prefix(1);
            while (!name.empty() && name.back() == u']') name.remove_suffix(1);
            inside_ = true;
            onSection_(NarrowFromWide(name));
        } else if (kind == SectionEvent::SectionLine && inside_) {
            std::u16string key, value;
            if (!SplitKeyValue(line, key, value)) return;
            while (!value.empty() && value.back() == u'\r') value.pop_back();
            onPair_(NarrowFromWide(key), NarrowFromWide(value));
        } else if (kind == SectionEvent::SectionEnd) {
            inside_ = false;
        }
    }

private:
    const SectionSink& onSection_;
    const PairSink& onPair_;
    bool inside_ = false;
};

}  // namespace

bool ReadKeyValueFile(const std::string& path, const SectionSink& onSection, const PairSink& onPair) {
    KeyValueHandler handler(onSection, onPair);
    return ReadSectionFile(handler, path);
}

}  // namespace pellox::server
