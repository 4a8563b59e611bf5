// Code series and the codes drawn from them. A code is taken ("reserved",
// with its station and port) in a transaction before its first burn frame
// goes to a box, and marked "burnt" or "failed" when the pass ends. A code
// that may sit in a box is never issued again by itself; a person gives it
// back with release_code() after checking the box.
#pragma once

#include "Database.h"

#include <functional>
#include <string>
#include <vector>

namespace line {

struct SeriesSpec {
    std::string name;
    std::string start;  // the first code (generated series)
    int step = 1;
    bool hex = false;
    int width = 0;  // 0: the start code's own length
    std::string code_file;  // a code file's name (its list below)
    std::vector<std::string> file_codes;
};

struct SeriesRule {
    int step = 1;
    bool hex = false;
    int width = 0;
};

// The code after `code` under `rule`; false with a reason when there is none
// (the width is used up).
using NextCode =
    std::function<bool(const std::string& code, const SeriesRule& rule, std::string* next, std::string* why)>;

// A new series; a code of its file that the line already holds refuses it
// (Conflict, naming the code).
DbStatus add_series(Connection& db, const SeriesSpec& spec);

// Whether the line has a series of that name.
DbStatus series_exists(Connection& db, const std::string& name, bool* found);

struct Reservation {
    DbStatus status;
    std::string code;
    bool exhausted = false;  // the series has no code left (status then says why)
};

Reservation reserve_code(Connection& db, const std::string& series, const std::string& station, const std::string& port,
                         const std::string& job_id, const NextCode& next);

// A code a station was given by hand (a start code or a code file of its
// own) taken line-wide as a series' code is: Conflict, naming its state, when
// the line holds it already (unless it was given back).
Reservation claim_code(Connection& db, const std::string& code, const std::string& station, const std::string& port,
                       const std::string& job_id);

// A reserved code's ending: burnt, or failed (it may be in the box).
DbStatus end_code(Connection& db, const std::string& code, bool burnt);
// Nothing of the code went to the box: it is free for the next box at once.
DbStatus give_back_code(Connection& db, const std::string& code);
// A person checked the box: a failed or reserved code is free again. A burnt
// code is refused. `was` gets the state it had.
DbStatus release_code(Connection& db, const std::string& code, std::string* was);

struct CodeRow {
    std::string series, code, state, station, port, job_id, reserved_at, ended_at;
};
// The codes of a series (all series when empty), in issue order; `state`
// filters when given.
DbStatus list_codes(Connection& db, const std::string& series, const std::string& state, std::vector<CodeRow>* out);
// The state the line holds for `code` ("" when it holds none).
DbStatus code_state(Connection& db, const std::string& code, std::string* state);

}  // namespace line
