#include "StampaPage.h"

#include "KvBasicCfgIni.h"
#include "KvBasicLog.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace stampa {

namespace {

std::string over_width(int width)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "The length of bar code is over %d", width);
    return buf;
}

bool too_long_for(const std::string& code, int width)
{
    return width > 0 && char_count(code) > static_cast<size_t>(width);
}

}  // namespace

StampaSettings StampaSettings::load(const std::string& path)
{
    StampaSettings s;
    CKvBasicCfgIni ini;
    ini.SetFileName(path.empty() ? CKvBasicCfgIni::path_in_root("corvane.ini") : path);
    s.len_sn = std::atoi(ini.GetValue("Stampa", "LenSN ").c_str());
    s.num_sys = ini.GetValue("Stampa", "NumSys");
    s.print_ca_id = std::atoi(ini.GetValue("Stampa", "PrintCAID ").c_str()) != 0;
    s.project_type = ini.GetValue("Stampa", "Project_Type");
    return s;
}

// ---- CodeCursor ---------------------------------------------------------------

void CodeCursor::configure(InputType input, int width, int step, Base base)
{
    std::lock_guard<std::mutex> l(m_mutex);
    m_input = input;
    m_width = width;
    m_step = step < 1 ? 1 : step > 4 ? 4 : step;
    m_base = base;
}

InputType CodeCursor::input() const
{
    std::lock_guard<std::mutex> l(m_mutex);
    return m_input;
}

int CodeCursor::width() const
{
    std::lock_guard<std::mutex> l(m_mutex);
    return m_width;
}

std::string CodeCursor::current() const
{
    std::lock_guard<std::mutex> l(m_mutex);
    return m_current;
}

void CodeCursor::set_current(const std::string& code)
{
    std::lock_guard<std::mutex> l(m_mutex);
    m_current = code;
}

void CodeCursor::set_codes(std::vector<std::string> codes)
{
    std::lock_guard<std::mutex> l(m_mutex);
    m_codes = std::move(codes);
    m_selected = -1;
}

std::vector<std::string> CodeCursor::codes() const
{
    std::lock_guard<std::mutex> l(m_mutex);
    return m_codes;
}

int CodeCursor::selected() const
{
    std::lock_guard<std::mutex> l(m_mutex);
    return m_selected;
}

bool CodeCursor::select(int index)
{
    std::lock_guard<std::mutex> l(m_mutex);
    if (index < 0 || static_cast<size_t>(index) >= m_codes.size())
        return false;
    m_selected = index;
    m_current = m_codes[static_cast<size_t>(index)];
    return true;
}

CodeResult CodeCursor::advance()
{
    std::lock_guard<std::mutex> l(m_mutex);
    CodeResult r;
    if (m_input == InputType::File) {
        if (m_selected + 1 >= static_cast<int>(m_codes.size())) {
            r.message = "reach the end of the code file!";
            return r;
        }
        m_current = m_codes[static_cast<size_t>(++m_selected)];
        r.ok = true;
        r.code = m_current;
        return r;
    }
    Base base = m_input == InputType::Auto ? m_base : Base::Decimal;
    r = next_code(m_current, m_width, m_step, base);
    if (r.ok)
        m_current = r.code;
    return r;
}

CodeResult CodeCursor::start(InputType input, int width, int step, Base base)
{
    configure(input, width, step, base);
    std::lock_guard<std::mutex> l(m_mutex);
    if (m_current.empty())
        return {true, {}, {}};
    if (input == InputType::File) {
        const bool selected = m_selected >= 0 && static_cast<size_t>(m_selected) < m_codes.size() &&
                              m_codes[static_cast<size_t>(m_selected)] == m_current;
        if (!selected) {
            auto it = std::find(m_codes.begin(), m_codes.end(), m_current);
            if (it == m_codes.end())
                return {false, {}, "The bar code " + m_current + " is not in the code file!"};
            m_selected = static_cast<int>(it - m_codes.begin());
        }
    } else if (input == InputType::Auto) {
        CodeResult r = pad_start_code(m_current, width);
        if (!r.ok)
            return r;
        m_current = r.code;
    }
    return {true, m_current, {}};
}

CodeResult CodeCursor::select_first_unburnt(const BurnLog& log)
{
    std::vector<std::string> codes = this->codes();
    for (size_t i = 0; i < codes.size(); ++i) {
        std::string bytes, why;
        if (!to_box_code(codes[i], &bytes, &why) || !is_repeat(log, InputType::File, 0, bytes)) {
            select(static_cast<int>(i));
            return {true, codes[i], {}};
        }
    }
    return {false, {}, "reach the end of stampa file!"};
}

// ---- checks ----------------------------------------------------------------------

CodeResult configure_check(const PlatformInfo& platform, InputType input, int width, const std::string& start,
                           CodeCursor& cursor, const BurnLog& log)
{
    if (platform.max_width && width > platform.max_width)
        return {false, {}, "The number of bar code must under 32!"};
    if (input == InputType::Manual || input == InputType::Auto) {
        CodeResult r = pad_start_code(start, width);
        if (r.ok)
            cursor.set_current(r.code);
        return r;
    }
    if (input == InputType::File) {
        CodeResult r = cursor.select_first_unburnt(log);
        if (r.ok && too_long_for(r.code, width))
            return {false, {}, over_width(width)};
        return r;
    }
    return {true, cursor.current(), {}};
}

std::string start_check(const PlatformInfo& platform, InputType input, int width, const std::string& code,
                        bool port_open, BurnLog& log, const std::string& reuse, bool* reusable)
{
    if (reusable)
        *reusable = false;
    if (!port_open)
        return platform.id == Platform::Birch ? "Not open COM, please check! " : "Open COM failed, please reopen! ";
    if (input != InputType::Scan) {
        std::string why = code_check(input, width, code, log, reuse, reusable);
        if (!why.empty())
            return why;
    }
    std::string rotated, why;
    if (!log.rotate_if_needed(&rotated, &why))
        kv_console_printf("%s", why.c_str());
    else if (!rotated.empty())
        kv_console_printf("The burn log was moved to %s\n", rotated.c_str());
    return {};
}

std::string code_check(InputType input, int width, const std::string& code, const BurnLog& log,
                       const std::string& reuse, bool* reusable)
{
    if (reusable)
        *reusable = false;
    if (code.empty())
        return "Fill bar code please!";
    if (input == InputType::File && too_long_for(code, width))
        return over_width(width);
    std::string bytes, why;
    if (!to_box_code(burnt_part(code, width, input), &bytes, &why))
        return why;
    switch (repeat_kind(log, input, width, bytes, &why)) {
    case BurnLog::Seen::No: return {};
    case BurnLog::Seen::Failed:
        if (!reuse.empty() && reuse == code)
            return {};
        if (reusable)
            *reusable = true;
        return "Repeat Bar code,input again!";
    case BurnLog::Seen::Burnt: break;
    }
    return why.empty() ? "Repeat Bar code,input again!" : why;
}

BurnLog::Seen repeat_kind(const BurnLog& log, InputType input, int width, const std::string& code, std::string* error)
{
    return log.seen(code, input == InputType::File ? 0 : width, error);
}

bool is_repeat(const BurnLog& log, InputType input, int width, const std::string& code, std::string* error)
{
    return repeat_kind(log, input, width, code, error) != BurnLog::Seen::No;
}

std::string reuse_question(const std::string& code)
{
    return "The bar code " + code + " was sent to a box whose burn failed, and that box may hold it. Burn " + code +
           " into this box as well?";
}

}  // namespace stampa
