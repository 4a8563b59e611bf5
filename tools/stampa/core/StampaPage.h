// What a burn page decides without a window: its current code and how it
// advances, and the checks of "OK" and "Start". The tool tab and the command
// line both drive a page through this.
#pragma once

#include "BurnLog.h"
#include "StampaCodes.h"
#include "StampaPlatform.h"

#include <mutex>
#include <string>
#include <vector>

namespace stampa {

// The page's settings from corvane.ini, section "Stampa".
struct StampaSettings {
    int len_sn = 0;  // "LenSN " (0: not set; Scan input then refuses to start)
    std::string num_sys;  // "NumSys" (empty: not set; likewise)
    bool print_ca_id = false;  // "PrintCAID "
    std::string project_type;  // "Project_Type"

    // Reads corvane.ini from the program folder (or `path`).
    static StampaSettings load(const std::string& path = "");
};

// The page's current code ("Bar Code:") and the code list, shared between
// the page and its passes: every member may be called from any thread.
class CodeCursor {
public:
    void configure(InputType input, int width, int step, Base base);
    InputType input() const;
    int width() const;

    std::string current() const;
    void set_current(const std::string& code);

    // File input: the codes of the code file, none selected.
    void set_codes(std::vector<std::string> codes);
    std::vector<std::string> codes() const;
    int selected() const;
    // Makes entry `index` the current code; false outside the list.
    bool select(int index);

    // "Next": File input takes the next entry ("reach the end of the code
    // file!" at the last); otherwise the next generated code. On failure the
    // current code stays.
    CodeResult advance();

    // "Start": the cursor takes the page's controls as they are now (the
    // input type may have changed since "OK"). File input: the current code
    // must be an entry of the code list, which becomes the selected one;
    // Auto: the current code is padded to the width. An empty code is left
    // for the check of "Start". A failure carries the operator's message.
    CodeResult start(InputType input, int width, int step, Base base);

    // "OK" of File input: selects the first entry not yet in the log
    // ("reach the end of stampa file!" when every one is).
    CodeResult select_first_unburnt(const BurnLog& log);

private:
    mutable std::mutex m_mutex;
    InputType m_input = InputType::Manual;
    int m_width = kDefaultWidth;
    int m_step = 1;
    Base m_base = Base::Decimal;
    std::string m_current;
    std::vector<std::string> m_codes;
    int m_selected = -1;
};

// "OK": the width limit of the platform and, for Manual and Auto input, the
// start code padded to the width (it becomes the current code). File input
// selects its first unburnt code. A failure carries the operator's message.
CodeResult configure_check(const PlatformInfo& platform, InputType input, int width, const std::string& start,
                           CodeCursor& cursor, const BurnLog& log);

// "Start": an empty text when the run may begin, else the message. Checks
// the port, an empty code (Manual, Auto), a repeat in the log, and in File
// input a code longer than the width; then rotates a long log. `reuse` and
// `reusable` as for code_check.
std::string start_check(const PlatformInfo& platform, InputType input, int width, const std::string& code,
                        bool port_open, BurnLog& log, const std::string& reuse = {}, bool* reusable = nullptr);

// The test of a code about to be burnt (Manual, Auto, File): an empty text
// when it may go to a box, else the message: an empty code, a File code
// longer than the width, a character the box cannot hold, a repeat. A code
// that stands in the log only on "Failed" lines is a repeat too (a box may
// hold it), unless it is `reuse`, the code the operator chose to burn again;
// *reusable (may be null) tells such a refusal from the others.
std::string code_check(InputType input, int width, const std::string& code, const BurnLog& log,
                       const std::string& reuse = {}, bool* reusable = nullptr);

// The duplicate test of a code about to be burnt (box bytes): File input
// compares the whole code, the others its first `width` characters.
BurnLog::Seen repeat_kind(const BurnLog& log, InputType input, int width, const std::string& code,
                          std::string* error = nullptr);
bool is_repeat(const BurnLog& log, InputType input, int width, const std::string& code, std::string* error = nullptr);

// What the operator is asked before a code that a failed burn sent to a box
// goes to another one.
std::string reuse_question(const std::string& code);

}  // namespace stampa
