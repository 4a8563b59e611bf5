// The state of the panel program that outlives one run of it: what it holds,
// the keys pressed, its faults. The box thread runs the program; the control
// input and the tests reach the state from other threads.
#pragma once

#include "StbSim.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace stbsim {

enum class PanelFault { FirstError, SecondError, Silent, StatusError, NoStatus, MapCrc };

class PanelState {
public:
    // Arms the faults of the options; false with a message on a bad one.
    bool configure(const PanelOptions& o, std::string* error);
    bool add_fault(const std::string& spec, std::string* error);
    void clear_faults();
    // True (one firing used up) when a fault of `kind` applies to command `cmd`.
    bool fire(PanelFault kind, int cmd);

    // A key pressed: queued while key reports go out, refused otherwise.
    bool press(PanelKey k);
    bool take_key(PanelKey* k);

    PanelHeld held() const;
    // Changes what the program holds.
    template <class F>
    void update(F f)
    {
        std::lock_guard<std::mutex> l(m_);
        f(held_);
        if (!held_.key_mode)
            pressed_.clear();
    }
    // " panel record=LEN:CRC config=LEN:CRC" once a panel program ran, else "".
    std::string status() const;

private:
    struct Fault {
        PanelFault kind;
        int cmd = -1;  // -1: any command
        int times = 1;  // 0: every time
    };
    static bool parse(const std::string& spec, Fault* out, std::string* error);

    mutable std::mutex m_;
    PanelHeld held_;
    std::deque<PanelKey> pressed_;
    std::vector<Fault> faults_;
};

}  // namespace stbsim
