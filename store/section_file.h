// The bracket-section text format shared by every stored file, and the data
// directory that holds those files.
//
// Format: 8-bit Windows-1251 text, no byte-order mark. Lines are written ending in
// CR LF. On reading, LF ends a line and every CR at the start and at the end of a
// line is removed (CRs inside a line stay). A section header is a line of at least
// two characters that starts with "[" and ends with "]"; every other line belongs
// to the section opened by the nearest header above it, and lines before the first
// header are dropped. In the settings and contact list files a line is
// "key=value" (see SplitKeyValue); the history file has its own line syntax.
//
// The reader turns a file into a stream of events for a SectionFileHandler:
//   SectionStart  the header line, brackets included;
//   SectionLine   a line of the current section;
//   SectionEnd    the end of the current section (the text has no meaning).
// The file is read in chunks; a line split between two chunks
// is joined before it is delivered. A last line without LF is delivered as a
// SectionLine exactly as it stands (no CR removal, no header test, whatever the
// state), and every read that reaches the end of the file finishes with SectionEnd.
#pragma once

#include <string>
#include <string_view>

#include "platform/files.h"

namespace pellox {

enum class SectionEvent {
    SectionStart = 0,
    SectionLine = 1,
    SectionEnd = 2,
};

class SectionFileHandler {
public:
    virtual void OnLine(SectionEvent kind, const std::u16string& line) = 0;
    virtual ~SectionFileHandler() = default;
};

// Reads the file at `path` and delivers its events in file order. True when the file
// could be opened and was read to its end; false when it could not be opened (no
// event at all) or a read failed (the events up to the failure were delivered, no
// final SectionEnd). The reader holds the file's lock (see file_access.h) while it
// delivers events: a handler must not write the same file.
bool ReadSectionFile(SectionFileHandler& handler, const std::string& path);
// The same; on failure `error` tells why: ENOENT when there is no file, otherwise
// the error number of the open, lock or read that failed. 0 after a success.
bool ReadSectionFile(SectionFileHandler& handler, const std::string& path, int& error);

// The text without CR, LF and zero characters: what a writer puts into a line, so
// that no value (a pasted UIN, name or password) can end its line early and start
// a section or key of its own.
std::u16string LineText(std::u16string_view text);

// True for a line of at least two characters that starts with "[" and ends with "]".
bool IsSectionHeader(std::u16string_view line);

// Splits "key = value": the key is the text before the first "=" without its
// trailing white space, the value the text after it without its leading white space
// (space, tab, LF, VT, FF, CR). False for a line without "=".
bool SplitKeyValue(std::u16string_view line, std::u16string& key, std::u16string& value);

// The data directory, ending in "/": "History/" beside the running executable when
// something of that name is there already (a portable copy, the demo, the tests);
// otherwise "pellox/History/" in the user's data folder (UserDataHome, by default
// ~/.local/share), which is created with every missing folder above it, mode 0700.
// "./History/" when neither can be named. Chosen on the first call; every later
// call returns the same text.
std::string DataDirectory();

// Whether the data directory may be used, judged when it was chosen: anything but
// Private means that nothing is read from it or written to it (see file_access.h).
platform::DirectoryTrust DataDirectoryTrust();

// The data directory for an executable path (`found` false: unknown) and a user
// data folder (empty: unknown).
std::string DataDirectoryFor(const std::string& executablePath, bool found,
                             const std::string& dataHome);

// Makes DataDirectory() return `path` (a "/" is added when missing) from now on and
// creates it; an empty path returns to the executable's directory. For tests, which
// call it before making an AppState that follows DataDirectory().
void SetDataDirectoryForTesting(const std::string& path);

}  // namespace pellox
