// How a device job reports while it runs.
//
// A job runs on a worker thread and never touches a window. It reports through
// this interface; a view implements it by queuing onto its user-interface
// thread, the command line by printing. Log lines themselves go through
// KvBasicLog as everywhere else.
#pragma once

#include <string>

class IJobObserver {
public:
    virtual ~IJobObserver() = default;
    // A status line of the tool (e.g. "Sync with slave, please wait...").
    virtual void OnStatus(const std::string& /*text*/) {}
    // Progress of the current phase, 0 to 100.
    virtual void OnProgress(int /*percent*/) {}
    // A named phase begins ("boot init", "client", "transfer", "burn", ...).
    virtual void OnPhase(const std::string& /*name*/) {}
    // The tool's buttons are to be enabled (true) or disabled (false).
    virtual void OnButtonsEnabled(bool /*enabled*/) {}
    // The job ended; `error` says why when it failed.
    virtual void OnFinished(bool /*ok*/, const std::string& /*error*/) {}
};

// An observer that ignores everything.
class NullJobObserver : public IJobObserver {};
