// The codes of a run of several production lines (one per port): one list
// they all draw from, safe to use from every line's thread.
#pragma once

#include "Recorder.h"
#include "SeriesCodes.h"
#include "StampaPage.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace stampa {

// Who takes a code: the station and port of the box, its job's id, and how
// to tell it waits for the database.
struct Taker {
    std::string station;
    std::string port;
    std::string job_id;
    std::function<bool()> stopped;
    std::function<void(const std::string&)> status;
};

// The one list the production lines of a run draw their codes from: the
// run's cursor, or a series of the line database. With a database every
// code is taken line-wide before its burn (a series' next code, or the
// cursor's code claimed as it is), so no two boxes of the line share one.
class LineCodes {
public:
    LineCodes(CodeCursor& cursor, int limit, line::Recorder* recorder, std::string series)
        : m_cursor(cursor), m_limit(limit), m_recorder(recorder), m_series(std::move(series))
    {}
    bool from_series() const { return !m_series.empty() && m_recorder; }

    // The next code; false, with why, when none is left. *refused is set when
    // the line database refused the code (it may sit in a box), not when the
    // codes ran out.
    bool take(std::string* code, std::string* why, const Taker& who, bool* refused)
    {
        {
            std::lock_guard<std::mutex> l(m_mutex);
            if (!m_out.empty() || (m_limit > 0 && m_taken >= m_limit)) {
                *why = m_out.empty() ? "all " + std::to_string(m_limit) + " codes are handed out" : m_out;
                return false;
            }
            ++m_taken;
            if (!from_series()) {
                *code = m_cursor.current();
                CodeResult next = m_cursor.advance();
                if (!next.ok)
                    m_out = next.message;
                if (!m_recorder)
                    return true;
            }
        }
        return take_from_database(code, why, who, refused);
    }

    // After give_back(): the code of the line's next box. A series gives its
    // next code (the one given back, unless another station took it first);
    // a code of the run's own is taken again as it is (*code).
    bool take_again(std::string* code, std::string* why, const Taker& who, bool* refused)
    {
        {
            std::lock_guard<std::mutex> l(m_mutex);
            ++m_taken;
        }
        return take_from_database(code, why, who, refused);
    }

    // A code that went to a box whose burn failed: spent, but not burnt, so
    // it does not count against the limit.
    void spent_unburnt()
    {
        std::lock_guard<std::mutex> l(m_mutex);
        --m_taken;
    }
    // A code no burn frame carried goes back for the next box.
    void give_back(const std::string& code)
    {
        std::lock_guard<std::mutex> l(m_mutex);
        --m_taken;
        if (m_recorder)
            m_recorder->give_back(code);
    }

private:
    // The database is asked without the pool's lock: the other lines go on meanwhile.
    bool take_from_database(std::string* code, std::string* why, const Taker& who, bool* refused)
    {
        std::string failed;
        if (reserve(code, who, &failed, refused))
            return true;
        std::lock_guard<std::mutex> l(m_mutex);
        --m_taken;
        if (m_out.empty())
            m_out = failed;
        *why = failed;
        return false;
    }

    // Takes the code line-wide, waiting while the database cannot: no box is
    // started without its code.
    bool reserve(std::string* code, const Taker& who, std::string* failed, bool* refused)
    {
        bool told = false;
        for (;;) {
            // A series hands out its next code; a code of the run's own is taken line-wide as it is.
            line::Reservation r =
                from_series() ? m_recorder->reserve(m_series, who.station, who.port, who.job_id, series_next_code)
                              : m_recorder->claim(*code, who.station, who.port, who.job_id);
            if (r.status.ok()) {
                *code = r.code;
                return true;
            }
            if (r.status.code != line::DbCode::Unavailable || who.stopped()) {
                *failed = r.status.message;
                *refused = !r.exhausted && r.status.code != line::DbCode::Unavailable;
                return false;
            }
            if (!std::exchange(told, true))
                who.status(r.status.message);
            for (int i = 0; i < 20 && !who.stopped(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    std::mutex m_mutex;
    CodeCursor& m_cursor;
    int m_limit;
    int m_taken = 0;
    std::string m_out;  // why no code is left
    line::Recorder* m_recorder;
    std::string m_series;
};

}  // namespace stampa
