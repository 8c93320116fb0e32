#pragma once

// Start-up work that the first frame waits for but that need not wait for the
// main thread: each piece runs on a thread of its own while the main thread
// connects to the display and builds the window, so the machine's second
// processor does it meanwhile; whatever is not finished when the main thread
// needs it is waited for then.

#include <QString>
#include <thread>

namespace pellox::ui {

// Runs a piece of start-up work on a thread of its own from construction;
// Wait() and the destructor return once it is done.
class EarlyWork {
public:
    explicit EarlyWork(void (*work)());
    ~EarlyWork();
    EarlyWork(const EarlyWork&) = delete;
    EarlyWork& operator=(const EarlyWork&) = delete;

    void Wait();

private:
    std::thread thread_;
};

// Reads the font configuration and maps the font caches, which the first text
// shown needs (the font database asks for the font list as the application font
// is set), and finds the family that stands in for Arial (SetArialStandIn). Needs
// no application object; done before the application font is set.
void LoadFontConfiguration();

// The family fontconfig picks for `family` as the font database would (the
// configuration's substitutes, then the best match); empty when none.
QString MatchedFamily(const QString& family);

// Connects to the session bus, which the accessibility bridge opens and waits for
// as the first widget is given a name; the bridge and the notifications then share
// the connection. Needs the application object and must be done before it goes.
void ConnectSessionBus();

}  // namespace pellox::ui
