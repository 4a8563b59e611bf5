// A valid ZIP container around parts taken from fuzz input, so that mutated
// XML reaches the reader past the container's checksums.
//
// The input is a list of parts separated by NUL bytes; a part is its name, a
// line feed, then its content (no line feed: all name). Each becomes a
// stored entry with its CRC-32 computed.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzzzip {

using Part = std::pair<std::string, std::string>;  // name, content

inline std::vector<Part> split_parts(const uint8_t* data, size_t size)
{
    std::vector<Part> parts;
    std::string_view in(reinterpret_cast<const char*>(data), size);
    while (!in.empty() && parts.size() < 64) {
        const size_t end = std::min(in.find('\0'), in.size());
        std::string_view part = in.substr(0, end);
        in.remove_prefix(std::min(end + 1, in.size()));
        const size_t nl = std::min(part.find('\n'), part.size());
        parts.emplace_back(std::string(part.substr(0, nl)), std::string(part.substr(std::min(nl + 1, part.size()))));
    }
    return parts;
}

inline std::string join_parts(const std::vector<Part>& parts)
{
    std::string out;
    for (const Part& p : parts) {
        if (!out.empty())
            out += '\0';
        out += p.first + "\n" + p.second;
    }
    return out;
}

inline void put16(std::vector<uint8_t>& v, uint32_t x)
{
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
inline void put32(std::vector<uint8_t>& v, uint32_t x)
{
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

// The container: local headers and data, the central directory, its end.
inline std::vector<uint8_t> build_zip(const std::vector<Part>& parts)
{
    std::vector<uint8_t> zip, dir;
    for (const Part& p : parts) {
        const auto* bytes = reinterpret_cast<const Bytef*>(p.second.data());
        const uint32_t crc = uint32_t(crc32(0L, bytes, uInt(p.second.size())));
        const uint32_t size = uint32_t(p.second.size()), offset = uint32_t(zip.size());
        for (std::vector<uint8_t>* v : {&zip, &dir}) {
            const bool central = v == &dir;
            put32(*v, central ? 0x02014b50 : 0x04034b50);
            if (central)
                put16(*v, 20);  // made by
            put16(*v, 20);  // needed to extract
            put16(*v, 0);  // flags
            put16(*v, 0);  // stored
            put32(*v, 0);  // time and date
            put32(*v, crc);
            put32(*v, size);
            put32(*v, size);
            put16(*v, uint32_t(p.first.size()));
            put16(*v, 0);  // extra field
            if (central) {
                put16(*v, 0);  // comment
                put16(*v, 0);  // disk
                put16(*v, 0);  // internal attributes
                put32(*v, 0);  // external attributes
                put32(*v, offset);
            }
            v->insert(v->end(), p.first.begin(), p.first.end());
        }
        zip.insert(zip.end(), p.second.begin(), p.second.end());
    }
    const uint32_t dir_offset = uint32_t(zip.size()), dir_size = uint32_t(dir.size());
    zip.insert(zip.end(), dir.begin(), dir.end());
    put32(zip, 0x06054b50);
    put16(zip, 0);
    put16(zip, 0);
    put16(zip, uint32_t(parts.size()));
    put16(zip, uint32_t(parts.size()));
    put32(zip, dir_size);
    put32(zip, dir_offset);
    put16(zip, 0);
    return zip;
}

// A small workbook's parts: two sheets, shared texts, cells of every kind.
inline std::vector<Part> sample_workbook(const std::string& sheet1)
{
    return {
        {"xl/workbook.xml",
         "<workbook xmlns:r=\"r\"><sheets><sheet name=\"Keys\" sheetId=\"1\" r:id=\"rId1\"/>"
         "<sheet name=\"Two\" sheetId=\"2\" r:id=\"rId2\"/></sheets></workbook>"},
        {"xl/_rels/workbook.xml.rels",
         "<Relationships><Relationship Id=\"rId1\" Target=\"worksheets/sheet1.xml\"/>"
         "<Relationship Id=\"rId2\" Target=\"/xl/worksheets/b.xml\"/></Relationships>"},
        {"xl/sharedStrings.xml", "<sst count=\"3\"><si><t>Name</t></si><si><t>POWER</t></si>"
                                 "<si><r><t>ME</t></r><r><t>NU</t></r></si></sst>"},
        {"xl/worksheets/sheet1.xml", sheet1},
        {"xl/worksheets/b.xml", "<worksheet><sheetData><row r=\"3\"><c r=\"AB3\" t=\"b\"><v>1</v></c>"
                                "<c r=\"AC3\" t=\"e\"><v>#DIV/0!</v></c></row></sheetData></worksheet>"},
    };
}

}  // namespace fuzzzip
