#pragma once

#include <functional>
#include <memory>
#include <string>

namespace kvr::platform {

// The desktop's media transport controls (media keys, the shell's media overlay) for the main window.
// Linux: an MPRIS 2 player on the session bus, service "org.mpris.MediaPlayer2.kestrune".
// GUI thread only; button presses reach the handler on the GUI thread.
class Smtc {
public:
    // PlayPause is the bus's own toggle request; the other values name the buttons of the controls.
    enum class Button { Play = 1, Pause = 2, PlayPause = 3, Next = 4, Previous = 5, Stop = 6 };

    Smtc();
    ~Smtc();
    Smtc(const Smtc&) = delete;
    Smtc& operator=(const Smtc&) = delete;

    // Publishes the controls for the window; false for a null handle or when no session bus is reachable
    // (every later call then does nothing). The status shows closed until the first setStatus.
    bool attach(void* window);
    void setButtonHandler(std::function<void(Button)> handler);
    // 1 stopped, 2 playing, 3 paused, 0 and anything else closed.
    void setStatus(int status);
    // Both UTF-8.
    void setMetadata(const std::string& title, const std::string& artist);

private:
    struct Record;
    std::unique_ptr<Record> d;
};

} // namespace kvr::platform
