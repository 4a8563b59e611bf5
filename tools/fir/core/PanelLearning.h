// Learning from a live box: the codes of a key table, row after row as the
// keys are pressed, and the LED map, step by step through the segments;
// then the key file or the .led file written.
#pragma once

#include "FirPageFiles.h"
#include "FirScript.h"
#include "PanelSession.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace fir {

// The keys and LED steps the exchanges report, handed on to the learning.
class PanelLearnEvents : public IPanelEvents {
public:
    std::function<void(const LearnedKey&)> on_key;

    void OnKeyLearned(const LearnedKey& k) override;
    void OnLedStep(int step, bool ok) override;
    void OnLedMap(const LedMapBytes& map) override;
    void OnExchangeEnded(PanelExchange which, const PanelResult& r) override;

    // The next step acknowledgement; none when the exchange ended first.
    std::optional<bool> next_step(const CPanelSession& s);
    std::optional<LedMapBytes> map();

private:
    std::mutex m_m;
    std::condition_variable m_cv;
    std::vector<bool> m_steps;
    std::optional<LedMapBytes> m_map;
};

// The key table named "fp", "ir1" or "ir2" and the file kind it is written as.
bool key_table_of(const std::string& name, KeyTable* t, PageFile* kind);
const std::vector<std::string>& key_names_of(const KeyNames& n, KeyTable t);

// Learns keys into the record, row after row from `row` up to `end` (one
// past the last row to learn); the session's key acquisition ends there.
struct KeyLearner {
    KeyTable table;
    int row;
    int end;
    CPanelRecord* rec;
    const std::vector<std::string>* names;
    CPanelSession* session;
    int learned = 0;

    // "Press the key for row 3 (OK)".
    std::string prompt() const;
    // Takes a learnt key; the next prompt, or empty when the last row is in.
    std::string take(const LearnedKey& k);
    // The record's count raised to the rows learnt, then written as a key
    // file of `kind` to `path`.
    FirResult write(PageFile kind, Platform p, const std::string& path) const;
};

// The ten LED-map steps: what the panel shows at each.
extern const char* const kLedStepNames[10];

// Steps through the ten steps of a running LED-map acquisition. Each step is
// told through `say` ("Step 0: ..."); `go_ahead` (may be empty) waits for
// the user and is given what tells whether the acquisition still runs. A
// step the panel refused is taken again, at most three times. False when
// the exchange ended first.
bool step_through_led_map(CPanelSession& session, PanelLearnEvents& events,
                          const std::function<void(const std::string&)>& say,
                          const std::function<bool(const std::function<bool()>& running)>& go_ahead);

}  // namespace fir
