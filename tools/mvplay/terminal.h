// mvplay on a terminal: single keys without Enter (the terminal's settings
// come back on every exit path) and the progress line's clock.
#pragma once

#include <string>

enum class Key { none, pause, seekBack, seekForward, louder, quieter, quit };

// Puts standard input into single-key mode while it lives, when standard
// input is a terminal; restores it when destroyed, at exit, and before the
// process dies of a signal handled by mvplay.
class KeyReader {
public:
    KeyReader();
    KeyReader(const KeyReader &) = delete;
    KeyReader &operator=(const KeyReader &) = delete;
    ~KeyReader();
    bool active() const { return active_; }
    // The next key pressed, without waiting.
    Key poll();

private:
    bool active_ = false;
};

// Puts the terminal back as it was, if a KeyReader changed it. Safe in a
// signal handler.
void restoreTerminal();

// "1:02:03.4" or "2:03.4".
std::string clockText(double seconds);
