// A tab's job in the line database. The tab begins the job's row before it
// starts the job, gives the job observer() (which passes every event on to
// the tab's own observer) and ends the row when the job returns, on the
// job's thread, so the row ends even when the tab has gone meanwhile. The
// database is the program's: $CORVANE_DB, then [Line] Database in
// corvane.ini, then sqlite:corvane-line.db in the data folder ("off" there
// records nothing); the station is [Line] Station, or the host's name.
#pragma once

#include "JobTrace.h"

#include <memory>
#include <string>

namespace corvane {

class TabRecord {
public:
    // Begins the row of `label`, the job on the port the serial service has
    // open. False, with the message the tab shows, when the line database
    // cannot be reached: the tab then refuses to start the job.
    bool begin(line::JobStart label, IJobObserver* next, std::string* error);
    IJobObserver* observer() { return &m_trace; }
    // The code the job burns, once it is known.
    void set_code(const std::string& code) { m_trace.set_code(code); }
    // The job's ending, as the job reported it.
    void end(const std::string& report = {}) { m_trace.end_as_reported(report); }
    // The job never ran (its thread did not start): the row ends failed.
    void fail(const std::string& why)
    {
        m_trace.OnResult(JobResult::failure(JobErrorKind::Failed, why));
        m_trace.end(JobErrorKind::Failed);
    }

private:
    line::JobTrace m_trace;
};

// The row of a tab's job begun, or null with the tab's message in *error.
std::shared_ptr<TabRecord> begin_tab_record(const line::JobStart& label, IJobObserver* next, std::string* error);

// The start row of a job on an image: its name, size and SHA-256.
line::JobStart tab_job(const std::string& tool, const std::string& kind, int project_type = -1,
                       const std::string& image = {});

}  // namespace corvane
