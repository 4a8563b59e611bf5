// The ways keys go to the box without a window: named keys in order, keys at
// random, keys recorded as their names arrive, or a record file replayed in
// rounds. Each runs on the box's job thread until it ends or is cancelled.
#pragma once

#include "JobObserver.h"
#include "RemoteSession.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace clicker {

// Which mode, and its settings: `press` names keys, else `record` names the
// record file to write, else `random` presses `count` keys, else `replay`
// is the record file replayed `cycles` times (0: until cancelled).
struct RemoteMode {
    std::vector<std::string> press;
    std::string record, replay;
    bool random = false;
    int count = 0;
    uint32_t seed = 0;
    bool seeded = false;  // else a fresh seed
    int cycles = 0;
};

// What a mode needs from whoever runs it.
struct RemoteModeHost {
    const std::atomic<bool>* cancel = nullptr;
    // The next key name of a recording into *line; false at the end of the input.
    std::function<bool(std::string* line)> next_line;
    // A message about a key the key map does not hold.
    std::function<void(const std::string& text)> error;
};

// Runs the mode; None, Cancelled, Usage (a --press key the map lacks), Input
// (a record file that does not replay), or Failed (a key that did not go out,
// an unknown key, a key not recorded).
JobErrorKind run_remote_mode(const RemoteMode& m, CRemoteSession& session, const RemoteModeHost& host);

}  // namespace clicker
