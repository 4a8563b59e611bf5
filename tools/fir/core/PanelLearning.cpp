#include "PanelLearning.h"

#include <chrono>

namespace fir {

void PanelLearnEvents::OnKeyLearned(const LearnedKey& k)
{
    if (on_key)
        on_key(k);
}

void PanelLearnEvents::OnLedStep(int, bool ok)
{
    std::lock_guard<std::mutex> l(m_m);
    m_steps.push_back(ok);
    m_cv.notify_all();
}

void PanelLearnEvents::OnLedMap(const LedMapBytes& map)
{
    std::lock_guard<std::mutex> l(m_m);
    m_map = map;
}

void PanelLearnEvents::OnExchangeEnded(PanelExchange, const PanelResult&) { m_cv.notify_all(); }

std::optional<bool> PanelLearnEvents::next_step(const CPanelSession& s)
{
    std::unique_lock<std::mutex> l(m_m);
    while (m_steps.empty()) {
        if (!s.Busy())
            return std::nullopt;
        m_cv.wait_for(l, std::chrono::milliseconds(100));
    }
    const bool ok = m_steps.front();
    m_steps.erase(m_steps.begin());
    return ok;
}

std::optional<LedMapBytes> PanelLearnEvents::map()
{
    std::lock_guard<std::mutex> l(m_m);
    return m_map;
}

bool key_table_of(const std::string& name, KeyTable* t, PageFile* kind)
{
    const struct {
        const char* name;
        KeyTable t;
        PageFile kind;
    } tables[] = {{"fp", KeyTable::Fp, PageFile::FpKey},
                  {"ir1", KeyTable::Ir1, PageFile::Ir1},
                  {"ir2", KeyTable::Ir2, PageFile::Ir2}};
    for (const auto& e : tables)
        if (name == e.name) {
            *t = e.t;
            *kind = e.kind;
            return true;
        }
    return false;
}

const std::vector<std::string>& key_names_of(const KeyNames& n, KeyTable t)
{
    return t == KeyTable::Fp ? n.fp : t == KeyTable::Ir1 ? n.ir1 : n.ir2;
}

std::string KeyLearner::prompt() const
{
    const std::string name = row < static_cast<int>(names->size()) ? " (" + (*names)[row] + ")" : "";
    return "Press the key for row " + std::to_string(row) + name;
}

std::string KeyLearner::take(const LearnedKey& k)
{
    rec->set_key_code(table, k.row, k.key_code);
    rec->set_user_code(table, k.user_code);
    ++learned;
    row = k.row + 1;
    if (row >= end) {
        session->keys.getting = false;
        return {};
    }
    session->keys.focus(table, row);
    return prompt();
}

FirResult KeyLearner::write(PageFile kind, Platform p, const std::string& path) const
{
    if (rec->count(table) < row)
        rec->set_count(table, static_cast<uint16_t>(row));
    CPanelRecord file;
    FirResult res = export_page_file(*rec, kind, p, {}, &file);
    if (res.ok)
        res = write_page_file(path, file);
    return res;
}

const char* const kLedStepNames[10] = {"every segment lit (Light All)", "every segment dark (Dim All)",
                                       "segment 0, the top bar",        "segment 1, upper right",
                                       "segment 2, lower right",        "segment 3, the bottom bar",
                                       "segment 4, lower left",         "segment 5, upper left",
                                       "segment 6, the middle bar",     "segment 7, the dot"};

bool step_through_led_map(CPanelSession& session, PanelLearnEvents& events,
                          const std::function<void(const std::string&)>& say,
                          const std::function<bool(const std::function<bool()>& running)>& go_ahead)
{
    auto running = [&session] { return session.Busy() && session.led.getting; };
    for (int step = 0; step < 10; ++step) {
        for (int attempt = 0;; ++attempt) {
            say("Step " + std::to_string(step) + ": " + kLedStepNames[step]);
            if (go_ahead && !go_ahead(running))
                return false;
            session.led.press(step);
            const std::optional<bool> ok = events.next_step(session);
            if (!ok)
                return false;
            if (*ok)
                break;
            if (attempt == 2)
                return false;
        }
    }
    return true;
}

}  // namespace fir
