#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace kvr::platform {

// Playback state and position on the application's launcher entry (dock, task manager).
// Linux: the LauncherEntry "Update" signal on the session bus for "application://kestrune.desktop".
// GUI thread only.
class TaskbarProgress {
public:
    TaskbarProgress();
    // Clears what the launcher shows.
    ~TaskbarProgress();
    TaskbarProgress(const TaskbarProgress&) = delete;
    TaskbarProgress& operator=(const TaskbarProgress&) = delete;

    // False for a null handle or when no session bus is reachable; true at once when already attached.
    bool attach(void* window);
    // 1 indeterminate, 2 normal, 3 paused, 4 error, 0 and anything else no progress.
    void setState(int state);
    // Nothing is sent for a total of 0; a completed value above the total counts as the total.
    void setProgress(std::uint64_t completed, std::uint64_t total);

private:
    struct Record;
    std::unique_ptr<Record> d;
};

// Names the application to the desktop before the application object exists. Linux: every id stands for
// the one desktop file the program ships, "kestrune"; an empty id does nothing.
void setAppUserModelId(std::u16string_view id);

} // namespace kvr::platform
