// Shell, pactl and private-server helpers for the live tests.
#include "mv_pulse_support.h"

#include "marovel_audio.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>

namespace mvtest {

namespace {

// The value of "export NAME='value'" in scripts/pulse's output.
std::string valueOf(const std::string &env, const std::string &name) {
    std::string key = "export " + name + "='";
    size_t start = env.find(key);
    if (start == std::string::npos) return "";
    start += key.size();
    return env.substr(start, env.find('\'', start) - start);
}

std::string pulseScript() { return std::string(MV_SOURCE_DIR) + "/scripts/pulse"; }

} // namespace

std::optional<std::string> shell(const std::string &command) {
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string out;
    std::array<char, 256> buffer;
    while (size_t n = fread(buffer.data(), 1, buffer.size(), pipe)) out.append(buffer.data(), n);
    if (pclose(pipe) != 0) return std::nullopt;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::string pactl(const std::string &arguments) {
    std::optional<std::string> out = shell("pactl " + arguments);
    EXPECT_TRUE(out) << "pactl " << arguments << " failed";
    return out.value_or("");
}

void expectReturnsWithin(std::chrono::seconds bound, const char *what,
                         const std::function<void()> &call) {
    std::promise<void> returned;
    std::future<void> done = returned.get_future();
    std::thread caller([&] {
        call();
        returned.set_value();
    });
    if (done.wait_for(bound) == std::future_status::timeout) {
        std::fprintf(stderr, "%s did not return within %lld s\n", what,
                     static_cast<long long>(bound.count()));
        std::abort();
    }
    caller.join();
}

int deviceIndexOf(const std::string &id) {
    int count = mvGetDeviceCount();
    for (int i = 0; i < count; ++i)
        if (const char *listed = mvGetDeviceID(i); listed && id == listed) return i;
    return -1;
}

OwnServer::OwnServer() {
    std::optional<std::string> env = shell(pulseScript() + " start");
    if (!env) return;
    dir_ = valueOf(*env, "MV_PULSE_DIR");
    if (const char *previous = std::getenv("PULSE_SERVER")) previousServer_ = previous;
    setenv("PULSE_SERVER", valueOf(*env, "PULSE_SERVER").c_str(), 1);
}

OwnServer::~OwnServer() {
    stop();
    if (previousServer_) setenv("PULSE_SERVER", previousServer_->c_str(), 1);
}

void OwnServer::stop() {
    if (running()) shell(pulseScript() + " stop " + dir_);
    dir_.clear();
}

void OwnServer::kill() {
    if (running()) shell("kill \"$(cat '" + dir_ + "/pid')\"");
}

std::vector<float> captureMonitor(const std::string &sinkName, int rate) {
    std::string command =
        "parec --raw --format=float32le --channels=1 --rate=" + std::to_string(rate) +
        " --latency-msec=20 -d " + sinkName + ".monitor 2>/dev/null";
    std::vector<float> samples(rate);
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return {};
    size_t got = fread(samples.data(), sizeof(float), samples.size(), pipe);
    pclose(pipe);
    samples.resize(got);
    return samples;
}

Tone measureTone(const std::vector<float> &signal, int rate) {
    size_t skip = signal.size() / 10;
    double first = -1, last = -1, squares = 0;
    int crossings = 0;
    for (size_t i = skip + 1; i < signal.size(); ++i) {
        squares += double(signal[i]) * signal[i];
        if (signal[i - 1] < 0 && signal[i] >= 0) {
            double at = double(i - 1) + signal[i - 1] / (signal[i - 1] - signal[i]);
            if (first < 0) first = at;
            last = at;
            ++crossings;
        }
    }
    double rms = std::sqrt(squares / double(signal.size() - skip - 1));
    double hertz = crossings > 1 ? (crossings - 1) * rate / (last - first) : 0;
    return {hertz, rms * std::sqrt(2.0)};
}

} // namespace mvtest
