// Helpers for live tests against private PulseAudio servers started by
// scripts/pulse: shell commands, polling, and a server of a test's own.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace mvtest {

// Runs a shell command; its standard output without the final newline, or
// nothing when it failed.
std::optional<std::string> shell(const std::string &command);

// pactl with the given arguments; a failure fails the current test.
std::string pactl(const std::string &arguments);

// Polls condition every 50 ms for up to 5 s; its last value.
template <class Condition> bool eventually(Condition condition) {
    constexpr int kPollRounds = 100;
    constexpr auto kPollStep = std::chrono::milliseconds(50);
    for (int round = 0; round < kPollRounds; ++round) {
        if (condition()) return true;
        std::this_thread::sleep_for(kPollStep);
    }
    return condition();
}

// Runs call on a thread of its own and waits up to bound for it. A call
// still running by then has wedged the engine (it holds the dispatcher's
// lock), so no later test could run either: the process ends with a report
// naming what.
void expectReturnsWithin(std::chrono::seconds bound, const char *what,
                         const std::function<void()> &call);

// One second of a null sink's monitor, mono float32 at rate (shorter when
// the capture ends early).
std::vector<float> captureMonitor(const std::string &sinkName, int rate);

// A captured sine: frequency from the first and last rising zero crossing
// (interpolated), amplitude from the RMS; the first tenth is skipped.
struct Tone {
    double hertz;
    double amplitude;
};
Tone measureTone(const std::vector<float> &signal, int rate);

// The device list index of the device with this identifier, or -1.
int deviceIndexOf(const std::string &id);

// A second private server of a test's own, so it can be stopped without
// disturbing the shared one. The engine reaches it through PULSE_SERVER,
// which is restored on destruction.
class OwnServer {
public:
    OwnServer();
    ~OwnServer();
    OwnServer(const OwnServer &) = delete;
    OwnServer &operator=(const OwnServer &) = delete;
    bool running() const { return !dir_.empty(); }
    void stop();
    // Sends the server the signal to terminate and returns at once, while
    // it is still going away; stop() or the destructor then waits for it.
    void kill();

private:
    std::string dir_;
    std::optional<std::string> previousServer_;
};

} // namespace mvtest
