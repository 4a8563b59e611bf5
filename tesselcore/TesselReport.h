// The message a configuration operation leaves: its text (also written to
// the log) and, when there is one, the reason underneath it (an
// operating-system error, the workbook reader's own words). Every part of the
// configuration core reports through one of these.
#pragma once

#include <string>

namespace tessel {

class Report {
public:
    // Sets the message (and clears the reason) and writes it to the log.
    void show(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Sets the reason underneath the message and writes it to the log.
    void detail(const std::string& why);
    // Sets the message without writing it anywhere (a part of a longer one).
    void set(const std::string& text) { m_message = text; }

    const std::string& message() const { return m_message; }
    const std::string& reason() const { return m_detail; }

private:
    std::string m_message;
    std::string m_detail;
};

}  // namespace tessel
