// One inotify thread per process that reports changes of files in watched
// folders: a write, a file created, deleted or renamed into place. The
// registry and the event log emulation build their change notifications on
// it, so writes of other processes are seen as well as our own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace cvn::platform::posix {

using ChangeCallback = std::function<void(const std::string& file_name)>;

// Calls callback on the watcher thread with the name of each changed file in
// folder (which must exist), or with an empty name when changes may have been
// missed (the system's event queue overflowed). Returns an id for UnwatchFolder, or 0 when the
// watch could not be set up. Callbacks run one at a time under the watcher's
// lock and must not call WatchFolder or UnwatchFolder.
uint64_t WatchFolder(const std::string& folder, ChangeCallback callback);

// Removes a watch. When it returns, its callback is not running and will not
// run again.
void UnwatchFolder(uint64_t id);

}  // namespace cvn::platform::posix
