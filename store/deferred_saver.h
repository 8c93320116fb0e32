// Coalesces saves asked for in bursts (the network threads save after every new
// sender): the first request of a burst is written at once, on the caller's
// thread; requests within the interval after a write are put off and written
// together, with the state as it is then, by a thread of the saver's own once the
// interval is over. A flood of requests costs a write per interval.
//
// Every member may be called from any thread. The save function runs on the
// thread that asked (a first request, Flush, Stop) or on the saver's thread, never
// twice at once from the saver itself; it must not call back into the saver.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace pellox {

class DeferredSaver {
public:
    DeferredSaver(std::function<void()> save, std::chrono::milliseconds interval);
    // Stop.
    ~DeferredSaver();
    DeferredSaver(const DeferredSaver&) = delete;
    DeferredSaver& operator=(const DeferredSaver&) = delete;

    // Saves at once when no save went out within the interval, otherwise once the
    // interval is over (nothing more when a put-off save is waiting already).
    void Request();
    // Puts the save off until the interval is over even when none went out within
    // it: more changes are known to follow (a list arriving in several parts).
    void RequestLater();
    // Writes a put-off save now, after a save the saver's thread is writing; nothing
    // when none is put off.
    void Flush();
    // Writes a put-off save and ends the saver's thread; Request saves at once from
    // then on.
    void Stop();

private:
    void Ask(bool later);
    void Loop();

    const std::function<void()> save_;
    const std::chrono::milliseconds interval_;

    std::mutex lock_;  // guards everything below
    std::condition_variable wake_;
    bool pending_ = false;  // a save is put off
    bool stopped_ = false;
    bool saving_ = false;   // the saver's thread is writing a put-off save
    std::optional<std::chrono::steady_clock::time_point> lastSave_;
    std::thread thread_;
};

}  // namespace pellox
