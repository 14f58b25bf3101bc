// Shell, pactl and private-server helpers for the live tests.
#include "mv_pulse_support.h"

#include "marovel_audio.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>

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

} // namespace mvtest
