// Office Open XML (.xlsx) reader: the zip container through libzip, the parts
// through tinyxml2. Reads cell values only (numbers, texts, booleans, errors);
// formulas give their cached results.
#include "Workbook.h"

#include <tinyxml2.h>
#include <zip.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

namespace wb {

namespace {

const zip_uint64_t kMaxPart = 256u << 20;  // largest part we inflate
const size_t kMaxRows = 1048576;
const size_t kMaxCols = 16384;
const size_t kMaxCells = 8u << 20;  // grid cells one sheet may take up

struct ZipCloser {
    void operator()(zip_t* z) const { zip_discard(z); }
};

bool fail(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
    return false;
}

// The part's bytes; false when it is missing. *damaged is set when it exists
// but cannot be read whole.
bool read_part(zip_t* z, const std::string& name, std::string* out, bool* damaged)
{
    zip_int64_t idx = zip_name_locate(z, name.c_str(), ZIP_FL_NOCASE);
    if (idx < 0)
        return false;
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(z, (zip_uint64_t)idx, 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE) || st.size > kMaxPart) {
        *damaged = true;
        return false;
    }
    zip_file_t* f = zip_fopen_index(z, (zip_uint64_t)idx, 0);
    if (!f) {
        *damaged = true;
        return false;
    }
    out->assign((size_t)st.size, '\0');
    zip_int64_t got = st.size ? zip_fread(f, out->data(), st.size) : 0;
    zip_fclose(f);
    if (got < 0 || (zip_uint64_t)got != st.size) {
        *damaged = true;
        return false;
    }
    return true;
}

// Element name without a namespace prefix ("x:c" -> "c").
const char* local(const tinyxml2::XMLElement* e)
{
    const char* n = e->Name();
    const char* colon = std::strrchr(n, ':');
    return colon ? colon + 1 : n;
}

bool is(const tinyxml2::XMLElement* e, const char* name) { return std::strcmp(local(e), name) == 0; }

const tinyxml2::XMLElement* child(const tinyxml2::XMLElement* e, const char* name)
{
    for (auto* c = e ? e->FirstChildElement() : nullptr; c; c = c->NextSiblingElement())
        if (is(c, name))
            return c;
    return nullptr;
}

// All <t> texts below `e` (plain or rich text runs), skipping phonetic runs.
void collect_text(const tinyxml2::XMLElement* e, std::string* out)
{
    for (auto* c = e->FirstChildElement(); c; c = c->NextSiblingElement()) {
        if (is(c, "t")) {
            if (const char* t = c->GetText())
                *out += t;
        } else if (is(c, "r")) {
            collect_text(c, out);
        }
    }
}

// "_x000D_" escapes of control characters in texts.
std::string unescape_ooxml(const std::string& s)
{
    if (s.find("_x") == std::string::npos)
        return s;
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '_' && i + 6 < s.size() && s[i + 1] == 'x' && s[i + 6] == '_') {
            bool hex = true;
            for (size_t k = 2; k < 6; ++k)
                hex = hex && std::isxdigit(static_cast<unsigned char>(s[i + k]));
            if (hex) {
                unsigned v = (unsigned)std::strtoul(s.substr(i + 2, 4).c_str(), nullptr, 16);
                if (v < 0x80) {
                    out += (char)v;
                } else if (v < 0x800) {
                    out += (char)(0xC0 | (v >> 6));
                    out += (char)(0x80 | (v & 0x3F));
                } else {
                    out += (char)(0xE0 | (v >> 12));
                    out += (char)(0x80 | ((v >> 6) & 0x3F));
                    out += (char)(0x80 | (v & 0x3F));
                }
                i += 6;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

// "BC12" -> column 54 (0-based 54), row 11 (0-based). False when malformed.
bool parse_ref(const char* ref, size_t* row, size_t* col)
{
    size_t c = 0, r = 0, i = 0;
    while (ref[i] == '$')
        ++i;
    size_t letters = 0;
    while (std::isalpha(static_cast<unsigned char>(ref[i]))) {
        c = c * 26 + (size_t)(std::toupper(static_cast<unsigned char>(ref[i])) - 'A' + 1);
        ++i;
        if (++letters > 3)
            return false;
    }
    if (ref[i] == '$')
        ++i;
    size_t digits = 0;
    while (std::isdigit(static_cast<unsigned char>(ref[i]))) {
        r = r * 10 + (size_t)(ref[i] - '0');
        ++i;
        if (++digits > 7)
            return false;
    }
    if (ref[i] != '\0' || letters == 0 || digits == 0 || c == 0 || r == 0 || c > kMaxCols || r > kMaxRows)
        return false;
    *row = r - 1;
    *col = c - 1;
    return true;
}

std::string resolve_target(const std::string& target)
{
    if (!target.empty() && target[0] == '/')
        return target.substr(1);
    std::string t = target;
    std::string base = "xl/";
    while (t.compare(0, 3, "../") == 0) {
        t = t.substr(3);
        base.clear();
    }
    if (t.compare(0, 2, "./") == 0)
        t = t.substr(2);
    return base + t;
}

bool read_sheet(const std::string& xml, const std::vector<std::string>& shared, Sheet* sheet, std::string* error)
{
    tinyxml2::XMLDocument doc;
    if (doc.Parse(xml.data(), xml.size()) != tinyxml2::XML_SUCCESS || !doc.RootElement())
        return fail(error, "sheet \"" + sheet->name + "\" is damaged");
    const tinyxml2::XMLElement* data = child(doc.RootElement(), "sheetData");
    if (!data)
        return true;
    size_t next_row = 0;
    size_t cells = 0;
    for (auto* row = data->FirstChildElement(); row; row = row->NextSiblingElement()) {
        if (!is(row, "row"))
            continue;
        size_t r = next_row;
        if (const char* rr = row->Attribute("r")) {
            char* end = nullptr;
            unsigned long v = std::strtoul(rr, &end, 10);
            if (*end != '\0' || v == 0 || v > kMaxRows)
                return fail(error, "sheet \"" + sheet->name + "\" has a bad row number");
            r = v - 1;
        }
        if (r >= kMaxRows)
            return fail(error, "sheet \"" + sheet->name + "\" has too many rows");
        next_row = r + 1;
        size_t next_col = 0;
        for (auto* c = row->FirstChildElement(); c; c = c->NextSiblingElement()) {
            if (!is(c, "c"))
                continue;
            size_t cr = r, cc = next_col;
            if (const char* ref = c->Attribute("r")) {
                if (!parse_ref(ref, &cr, &cc))
                    return fail(error, "sheet \"" + sheet->name + "\" has a bad cell reference");
                if (cr != r)
                    cr = r;
            }
            if (cc >= kMaxCols)
                return fail(error, "sheet \"" + sheet->name + "\" has too many columns");
            next_col = cc + 1;
            const char* t = c->Attribute("t");
            std::string type = t ? t : "n";
            const tinyxml2::XMLElement* v = child(c, "v");
            const char* vt = v ? v->GetText() : nullptr;
            Cell cell;
            if (type == "inlineStr") {
                if (const auto* is_el = child(c, "is")) {
                    std::string s;
                    collect_text(is_el, &s);
                    cell.kind = CellKind::Text;
                    cell.text = unescape_ooxml(s);
                }
            } else if (!vt) {
                continue;
            } else if (type == "s") {
                char* end = nullptr;
                unsigned long idx = std::strtoul(vt, &end, 10);
                if (*end != '\0' || idx >= shared.size())
                    return fail(error, "sheet \"" + sheet->name + "\" refers to a missing shared text");
                cell.kind = CellKind::Text;
                cell.text = shared[idx];
            } else if (type == "str") {
                cell.kind = CellKind::Text;
                cell.text = unescape_ooxml(vt);
            } else if (type == "b") {
                cell.kind = CellKind::Bool;
                cell.number = std::strcmp(vt, "0") == 0 ? 0.0 : 1.0;
            } else if (type == "e") {
                cell.kind = CellKind::Error;
                cell.text = vt;
            } else {
                char* end = nullptr;
                double d = std::strtod(vt, &end);
                if (end == vt)
                    return fail(error, "sheet \"" + sheet->name + "\" has a bad number");
                cell.kind = CellKind::Number;
                cell.number = d;
            }
            if (cell.kind == CellKind::Empty)
                continue;
            size_t have = cr < sheet->rows.size() ? sheet->rows[cr].size() : 0;
            if (cc + 1 > have) {
                cells += cc + 1 - have;
                if (cells > kMaxCells)
                    return fail(error, "sheet \"" + sheet->name + "\" is too large");
            }
            sheet->set(cr, cc) = std::move(cell);
        }
    }
    return true;
}

}  // namespace

bool read_xlsx_memory(const void* data, size_t len, Workbook* out, std::string* error)
{
    if (!out)
        return fail(error, "no workbook to fill");
    out->sheets.clear();
    zip_error_t zerr;
    zip_error_init(&zerr);
    zip_source_t* src = zip_source_buffer_create(data, len, 0, &zerr);
    if (!src) {
        zip_error_fini(&zerr);
        return fail(error, "not a readable .xlsx file");
    }
    std::unique_ptr<zip_t, ZipCloser> z(zip_open_from_source(src, ZIP_RDONLY, &zerr));
    if (!z) {
        zip_source_free(src);
        zip_error_fini(&zerr);
        return fail(error, "not a readable .xlsx file (damaged zip container)");
    }
    zip_error_fini(&zerr);

    bool damaged = false;
    std::string xml;
    if (!read_part(z.get(), "xl/workbook.xml", &xml, &damaged))
        return fail(error, damaged ? "the .xlsx workbook part is damaged" : "not an .xlsx workbook (xl/workbook.xml missing)");
    tinyxml2::XMLDocument wbdoc;
    if (wbdoc.Parse(xml.data(), xml.size()) != tinyxml2::XML_SUCCESS || !wbdoc.RootElement())
        return fail(error, "the .xlsx workbook part is damaged");

    // Relationship id -> part name.
    std::map<std::string, std::string> rels;
    std::string rxml;
    damaged = false;
    if (read_part(z.get(), "xl/_rels/workbook.xml.rels", &rxml, &damaged)) {
        tinyxml2::XMLDocument rdoc;
        if (rdoc.Parse(rxml.data(), rxml.size()) == tinyxml2::XML_SUCCESS && rdoc.RootElement())
            for (auto* r = rdoc.RootElement()->FirstChildElement(); r; r = r->NextSiblingElement()) {
                const char* id = r->Attribute("Id");
                const char* target = r->Attribute("Target");
                if (id && target)
                    rels[id] = resolve_target(target);
            }
    }

    std::vector<std::string> shared;
    std::string sxml;
    damaged = false;
    if (read_part(z.get(), "xl/sharedStrings.xml", &sxml, &damaged)) {
        tinyxml2::XMLDocument sdoc;
        if (sdoc.Parse(sxml.data(), sxml.size()) != tinyxml2::XML_SUCCESS || !sdoc.RootElement())
            return fail(error, "the shared texts of the .xlsx file are damaged");
        for (auto* si = sdoc.RootElement()->FirstChildElement(); si; si = si->NextSiblingElement())
            if (is(si, "si")) {
                std::string s;
                collect_text(si, &s);
                shared.push_back(unescape_ooxml(s));
            }
    } else if (damaged) {
        return fail(error, "the shared texts of the .xlsx file are damaged");
    }

    const tinyxml2::XMLElement* sheets = child(wbdoc.RootElement(), "sheets");
    size_t ordinal = 0;
    for (auto* s = sheets ? sheets->FirstChildElement() : nullptr; s; s = s->NextSiblingElement()) {
        if (!is(s, "sheet"))
            continue;
        ++ordinal;
        Sheet sheet;
        const char* name = s->Attribute("name");
        sheet.name = name ? name : "Sheet" + std::to_string(ordinal);
        std::string part;
        for (const auto* a = s->FirstAttribute(); a; a = a->Next()) {
            const char* an = a->Name();
            const char* colon = std::strrchr(an, ':');
            if (colon && std::strcmp(colon + 1, "id") == 0) {
                auto it = rels.find(a->Value());
                if (it != rels.end())
                    part = it->second;
            }
        }
        if (part.empty())
            part = "xl/worksheets/sheet" + std::to_string(ordinal) + ".xml";
        std::string sheet_xml;
        damaged = false;
        if (!read_part(z.get(), part, &sheet_xml, &damaged)) {
            if (damaged)
                return fail(error, "sheet \"" + sheet.name + "\" is damaged");
            out->sheets.push_back(std::move(sheet));  // a chart sheet or a missing part: no cells
            continue;
        }
        if (!read_sheet(sheet_xml, shared, &sheet, error))
            return false;
        out->sheets.push_back(std::move(sheet));
    }
    return true;
}

}  // namespace wb
