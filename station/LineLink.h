// Where a device command records its jobs: the line database of a run and
// each box's job record.
#pragma once

#include "Recorder.h"

#include <memory>
#include <string>

namespace multiport {

// Where a device command records its jobs: --db URL, --no-db, --station NAME.
struct LineFlags {
    std::string db;
    bool no_db = false;
    std::string station;  // the host's name when not given
};

// The line database of a run, opened before any port is: a run it cannot
// record is refused before a box is touched. `recorder` stays null with
// --no-db.
struct LineLink {
    std::unique_ptr<line::Recorder> recorder;
    std::string station;
    // cli_exit::kOk, or kDatabase (kUsage for a refused URL) with the
    // message printed. The spool of records written while the database is
    // away lies beside `journal` when given, else in the data folder.
    int open(const LineFlags& flags, const std::string& journal = {});
    // Gives `box` its record: `label` with the station and the box's port.
    // `each_job`: the runner writes one row around the box's job; otherwise
    // the job writes one per box it works on (a station).
    void attach(struct Box& box, const line::JobStart& label, bool each_job = true) const;
    ~LineLink();
};

}  // namespace multiport
