// The flags with which the pages steer the exchanges with the panel program.
//
// A page writes them from the user-interface thread (its buttons), the
// exchange reads them on its own thread. Every value that belongs together
// lives in one atomic word, so that the exchange never sees half of a change
// (a step without its pending mark, a focused row of the other list).
#pragma once

#include "PanelRecord.h"

#include <atomic>
#include <cstdint>

namespace fir {

// Key acquisition ("Start Get Key"): whether it runs, and the key cell that a
// reported key goes to.
class KeyAcquisitionFlags {
public:
    std::atomic<bool> getting{false};
    // Key codes are shown (and logged) in hexadecimal, else in decimal.
    std::atomic<bool> hex{false};

    // The cell of `table` (Fp, Ir1 or Ir2) at `row` takes the next key.
    void focus(KeyTable table, int row) { m_focus = static_cast<int32_t>(table) << 16 | (row & 0xFFFF); }
    void clear_focus() { m_focus = kNone; }
    // False when no cell has the focus.
    bool focused(KeyTable* table, int* row) const
    {
        const int32_t f = m_focus.load();
        if (f == kNone)
            return false;
        *table = static_cast<KeyTable>(f >> 16);
        *row = f & 0xFFFF;
        return true;
    }

private:
    static constexpr int32_t kNone = -1;
    std::atomic<int32_t> m_focus{kNone};
};

// LED-map acquisition ("Start Get LED Map"): whether it runs, and the step
// the user pressed last that has not been acknowledged yet.
class LedMapFlags {
public:
    static constexpr int kNoStep = 10;  // 0 all lit, 1 all dark, 2 to 9 segment 0 to 7
    std::atomic<bool> getting{false};

    // A step button: while getting the step becomes pending, otherwise none is.
    void press(int step) { m_pending = getting && step >= 0 && step < kNoStep ? step : kNoStep; }
    // The pending step, taken (kNoStep when none).
    int take() { return m_pending.exchange(kNoStep); }
    int pending() const { return m_pending.load(); }
    void reset()
    {
        getting = false;
        m_pending = kNoStep;
    }

private:
    std::atomic<int> m_pending{kNoStep};
};

// Lamp-position test ("Start Test Lamp Pos"): whether it runs, and the arrow
// or "OK" the user pressed.
class LampTestFlags {
public:
    enum Action { kConfirm = 0, kPrevious = 1, kNext = 2, kNone = 3 };
    std::atomic<bool> testing{false};

    // While testing the action becomes pending, otherwise none is.
    void press(int action) { m_action = testing && action >= kConfirm && action < kNone ? action : kNone; }
    int take() { return m_action.exchange(kNone); }
    int pending() const { return m_action.load(); }
    void reset()
    {
        testing = false;
        m_action = kNone;
    }

private:
    std::atomic<int> m_action{kNone};
};

}  // namespace fir
