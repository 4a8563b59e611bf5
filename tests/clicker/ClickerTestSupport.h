// Helpers of the remote-control suites: key-map workbooks written by xlwt and
// openpyxl, a sink that keeps the session's lines, and polling waits.
#pragma once

#include "RemoteSession.h"

#include "../support/ScratchDir.h"
#include "../support/WaitUntil.h"

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace clickertest {

struct KeyRow {
    std::string name;
    std::string value;  // written as a number cell when it is all digits
    std::string shortcut;
};

// Seven keys: buttons 0 to 5 fill the first row, 6 starts the second.
inline std::vector<KeyRow> seven_keys()
{
    return {{"POWER", "1", "P"}, {"MENU", "2", ""},  {"OK", "3", "O"},  {"VOL+", "4", ""},
            {"VOL-", "5", ""},   {"CH UP", "6", ""}, {"EXIT", "7", "X"}};
}

// Writes a key map workbook (.xls through xlwt, .xlsx through openpyxl): a
// heading row, then one row per key. Returns the path, empty on failure.
inline std::string write_key_map(const testsupport::ScratchDir& dir, const std::string& name,
                                 const std::vector<KeyRow>& keys)
{
    const std::string path = dir.file(name);
    const bool xlsx = name.size() > 5 && name.substr(name.size() - 5) == ".xlsx";
    std::string rows = "[('Name', 'Value', 'Shortcut')";
    for (const KeyRow& k : keys) {
        bool digits = !k.value.empty() && k.value.find_first_not_of("0123456789") == std::string::npos;
        rows += ", ('" + k.name + "', " + (digits ? k.value : "'" + k.value + "'") + ", '" + k.shortcut + "')";
    }
    rows += "]";
    std::string script = xlsx ? "import openpyxl\nwb = openpyxl.Workbook()\nws = wb.active\n"
                                "for r in " +
                                    rows +
                                    ":\n    ws.append([c if c != '' else None for c in r])\n"
                                    "wb.save('" +
                                    path + "')\n"
                              : "import xlwt\nwb = xlwt.Workbook()\nws = wb.add_sheet('keys')\n"
                                "for i, r in enumerate(" +
                                    rows +
                                    "):\n"
                                    "    for j, c in enumerate(r):\n"
                                    "        if c != '': ws.write(i, j, c)\n"
                                    "wb.save('" +
                                    path + "')\n";
    std::string out;
    return testsupport::run_python(dir, script, &out) == 0 ? path : std::string();
}

// Keeps every line the session shows.
class LineSink : public clicker::IRemoteSink {
public:
    void OnLine(const std::string& text) override
    {
        std::lock_guard<std::mutex> l(m_);
        lines_.push_back(text);
    }
    void OnModeEnded() override
    {
        std::lock_guard<std::mutex> l(m_);
        ++ended_;
    }
    std::vector<std::string> lines() const
    {
        std::lock_guard<std::mutex> l(m_);
        return lines_;
    }
    // Lines that begin with `prefix`.
    std::vector<std::string> starting(const std::string& prefix) const
    {
        std::vector<std::string> out;
        for (const auto& s : lines())
            if (s.rfind(prefix, 0) == 0)
                out.push_back(s);
        return out;
    }
    int ended() const
    {
        std::lock_guard<std::mutex> l(m_);
        return ended_;
    }

private:
    mutable std::mutex m_;
    std::vector<std::string> lines_;
    int ended_ = 0;
};

// Polls `cond` until it holds or `limit_ms` passed.
inline bool wait_for(const std::function<bool()>& cond, int limit_ms = 20000)
{
    return testsupport::wait_until(cond, limit_ms);
}

}  // namespace clickertest
