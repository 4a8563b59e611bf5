// Hardware-info files: the front-panel record (40 bytes) and the LED map
// (200 bytes) a block of type EM 2 takes, written as text sections
// ("panel starts" ... "##", "led starts" ... "##").
//
// Qt-free. Operations return true on success and false on failure with the
// text in the Report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "TesselReport.h"

// Line kinds of a hardware-info file.
enum tag_line_type { LINE_COMMENT = 0, LINE_SEPARATOR = 1, LINE_PANEL_START = 2, LINE_LED_START = 3, LINE_OTHER = 4 };

namespace tessel {

constexpr size_t kMaxHwInfoFile = 1u << 20;  // a hardware-info file
constexpr size_t kHwInfoBufferSize = 5120;
constexpr size_t kPanelRecordSize = 40;
constexpr size_t kLedMapSize = 200;

class HwInfoParser {
public:
    explicit HwInfoParser(Report& report) : m_report(report) {}

    static int line_type(const char* text);
    // panel: 40 bytes, led: 200 bytes.
    bool parse_file(uint8_t* panel, uint8_t* led, const std::string& path);
    bool parse_text(uint8_t* panel, uint8_t* led, const std::string& text);

private:
    bool parse_lines(uint8_t* panel, uint8_t* led);
    bool fill_panel(uint8_t* panel);
    bool fill_led(uint8_t* led);

    Report& m_report;
    std::vector<std::string> m_lines;
    size_t m_pos = 0;
};

}  // namespace tessel
