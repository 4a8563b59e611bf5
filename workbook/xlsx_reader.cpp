// Office Open XML (.xlsx) reader: the zip container through libzip; the
// workbook part and its relationships through tinyxml2 (they are small and
// bounded); the shared strings and the sheets through expat, as a stream
// inflated piece by piece, so that memory follows the cells a sheet really
// holds and every cap is checked while the part is read. Formulas give their
// stored results.
#include "Workbook.h"

#include "Text.h"

#include <expat.h>
#include <tinyxml2.h>
#include <zip.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>

namespace wb {

namespace {

const zip_uint64_t kMaxPart = 256u << 20;  // largest part we inflate
const zip_uint64_t kMaxSmallPart = 16u << 20;  // workbook part and relationships
const size_t kMaxValue = 1u << 20;  // one cell value or shared string

struct ZipCloser {
    void operator()(zip_t* z) const { zip_discard(z); }
};

bool fail(std::string* error, const std::string& text)
{
    if (error && !text.empty())
        *error = text;
    return false;
}

enum class PartResult { Ok, Missing, Damaged, TooLarge, Stopped };

// Inflates the part piece by piece into `feed` (which returns false to stop).
PartResult stream_part(zip_t* z, const std::string& name, zip_uint64_t cap,
                       const std::function<bool(const char*, size_t)>& feed)
{
    zip_int64_t idx = zip_name_locate(z, name.c_str(), ZIP_FL_NOCASE);
    if (idx < 0)
        return PartResult::Missing;
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(z, (zip_uint64_t)idx, 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE))
        return PartResult::Damaged;
    if (st.size > cap)
        return PartResult::TooLarge;
    zip_file_t* f = zip_fopen_index(z, (zip_uint64_t)idx, 0);
    if (!f)
        return PartResult::Damaged;
    static thread_local char buf[1 << 16];
    zip_uint64_t total = 0;
    PartResult r = PartResult::Ok;
    for (;;) {
        zip_int64_t got = zip_fread(f, buf, sizeof buf);
        if (got < 0) {
            r = PartResult::Damaged;
            break;
        }
        if (got == 0)
            break;
        total += (zip_uint64_t)got;
        if (total > cap) {
            r = PartResult::TooLarge;
            break;
        }
        if (!feed(buf, (size_t)got)) {
            r = PartResult::Stopped;
            break;
        }
    }
    zip_fclose(f);
    if (r == PartResult::Ok && total != st.size)
        r = PartResult::Damaged;
    return r;
}

// The whole part as one text (for the small parts).
PartResult read_part(zip_t* z, const std::string& name, std::string* out)
{
    out->clear();
    return stream_part(z, name, kMaxSmallPart, [&](const char* p, size_t n) {
        out->append(p, n);
        return true;
    });
}

// Element name without a namespace prefix ("x:c" -> "c").
const char* local(const char* n)
{
    const char* colon = std::strrchr(n, ':');
    return colon ? colon + 1 : n;
}

bool is(const tinyxml2::XMLElement* e, const char* name) { return std::strcmp(local(e->Name()), name) == 0; }

const tinyxml2::XMLElement* child(const tinyxml2::XMLElement* e, const char* name)
{
    for (auto* c = e ? e->FirstChildElement() : nullptr; c; c = c->NextSiblingElement())
        if (is(c, name))
            return c;
    return nullptr;
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
                kv::append_utf8(out, (char32_t)std::strtoul(s.substr(i + 2, 4).c_str(), nullptr, 16));
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
    if (ref[i] != '\0' || letters == 0 || digits == 0 || c == 0 || r == 0 || c > Limits::kMaxCols ||
        r > Limits::kMaxRows)
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

const char* attr(const XML_Char** atts, const char* name)
{
    for (size_t i = 0; atts[i]; i += 2)
        if (std::strcmp(local(atts[i]), name) == 0)
            return atts[i + 1];
    return nullptr;
}

// An expat parser for one part, with the handlers of a Reader (below). A
// document type declaration is refused: no spreadsheet part has one, and
// entity tricks start there.
template <typename Reader>
class StreamParser {
public:
    explicit StreamParser(Reader* reader) : parser_(XML_ParserCreate(nullptr)), reader_(reader)
    {
        XML_SetUserData(parser_, this);
        XML_SetElementHandler(parser_, &StreamParser::start, &StreamParser::end);
        XML_SetCharacterDataHandler(parser_, &StreamParser::chars);
        XML_SetStartDoctypeDeclHandler(parser_, &StreamParser::doctype);
    }
    ~StreamParser() { XML_ParserFree(parser_); }
    StreamParser(const StreamParser&) = delete;
    StreamParser& operator=(const StreamParser&) = delete;

    bool feed(const char* p, size_t n, bool last)
    {
        if (!parser_ || reader_->failed())
            return false;
        if (XML_Parse(parser_, p, (int)n, last ? 1 : 0) == XML_STATUS_ERROR) {
            if (!reader_->failed())
                reader_->fail_damaged();
            return false;
        }
        return !reader_->failed();
    }
    void stop() { XML_StopParser(parser_, XML_FALSE); }

private:
    static void start(void* ud, const XML_Char* name, const XML_Char** atts)
    {
        auto* self = static_cast<StreamParser*>(ud);
        if (!self->reader_->start(local(name), atts))
            self->stop();
    }
    static void end(void* ud, const XML_Char* name)
    {
        auto* self = static_cast<StreamParser*>(ud);
        if (!self->reader_->end(local(name)))
            self->stop();
    }
    static void chars(void* ud, const XML_Char* s, int len)
    {
        auto* self = static_cast<StreamParser*>(ud);
        if (!self->reader_->chars(s, (size_t)len))
            self->stop();
    }
    static void doctype(void* ud, const XML_Char*, const XML_Char*, const XML_Char*, int)
    {
        auto* self = static_cast<StreamParser*>(ud);
        self->reader_->fail_damaged();
        self->stop();
    }

    XML_Parser parser_;
    Reader* reader_;
};

// Text runs of a shared string or an inline string: <t> directly or inside
// rich-text runs <r>; phonetic runs <rPh> are left out.
class TextCollector {
public:
    void start(const char* name)
    {
        if (std::strcmp(name, "rPh") == 0)
            ++phonetic_;
        else if (std::strcmp(name, "t") == 0 && phonetic_ == 0)
            in_t_ = true;
    }
    void end(const char* name)
    {
        if (std::strcmp(name, "rPh") == 0 && phonetic_ > 0)
            --phonetic_;
        else if (std::strcmp(name, "t") == 0)
            in_t_ = false;
    }
    // False when the text grows beyond one value's cap.
    bool chars(const char* s, size_t n)
    {
        if (!in_t_)
            return true;
        text_.append(s, n);
        return text_.size() <= kMaxValue;
    }
    std::string take()
    {
        std::string t = unescape_ooxml(text_);
        text_.clear();
        in_t_ = false;
        phonetic_ = 0;
        return t;
    }

private:
    std::string text_;
    bool in_t_ = false;
    int phonetic_ = 0;
};

class SharedStringsReader {
public:
    SharedStringsReader(std::vector<std::string_view>* out, TextStore* store, Budget* budget, std::string* error)
        : out_(out), store_(store), budget_(budget), error_(error)
    {}

    bool start(const char* name, const XML_Char**)
    {
        if (std::strcmp(name, "si") == 0) {
            in_si_ = true;
            text_.take();
        } else if (in_si_) {
            text_.start(name);
        }
        return true;
    }
    bool end(const char* name)
    {
        if (std::strcmp(name, "si") != 0) {
            if (in_si_)
                text_.end(name);
            return true;
        }
        in_si_ = false;
        if (out_->size() >= Limits::kMaxSharedStrings)
            return fail_too_large("more than " + std::to_string(Limits::kMaxSharedStrings) + " shared strings");
        std::string t = text_.take();
        if (!budget_->add_text(t.size())) {
            failed_ = true;
            return false;
        }
        out_->push_back(store_->emplace_back(std::move(t)));
        return true;
    }
    bool chars(const char* s, size_t n)
    {
        if (in_si_ && !text_.chars(s, n))
            return fail_too_large("a shared string longer than " + std::to_string(kMaxValue) + " bytes");
        return true;
    }
    bool failed() const { return failed_; }
    void fail_damaged()
    {
        failed_ = true;
        fail(error_, "the shared texts of the .xlsx file are damaged");
    }

private:
    bool fail_too_large(const std::string& what)
    {
        failed_ = true;
        return fail(error_, "workbook too large: " + what);
    }

    std::vector<std::string_view>* out_;
    TextStore* store_;
    Budget* budget_;
    std::string* error_;
    TextCollector text_;
    bool in_si_ = false;
    bool failed_ = false;
};

// The cells of one worksheet part, as they stream by.
class SheetReader {
public:
    SheetReader(const std::vector<std::string_view>& shared, Sheet* sheet, Budget* budget, std::string* error)
        : shared_(shared), sheet_(sheet), budget_(budget), error_(error)
    {}

    bool start(const char* name, const XML_Char** atts)
    {
        if (!in_data_) {
            in_data_ = std::strcmp(name, "sheetData") == 0;
            return true;
        }
        if (in_cell_)
            return start_in_cell(name);
        if (std::strcmp(name, "row") == 0)
            return start_row(atts);
        if (std::strcmp(name, "c") == 0)
            return start_cell(atts);
        return true;
    }

    bool end(const char* name)
    {
        if (!in_data_)
            return true;
        if (std::strcmp(name, "sheetData") == 0) {
            in_data_ = false;
            return true;
        }
        if (!in_cell_)
            return true;
        if (std::strcmp(name, "c") == 0)
            return end_cell();
        if (in_is_) {
            if (std::strcmp(name, "is") == 0)
                in_is_ = false;
            else
                inline_.end(name);
        } else if (std::strcmp(name, "v") == 0) {
            in_v_ = false;
        }
        return true;
    }

    bool chars(const char* s, size_t n)
    {
        if (in_is_) {
            if (!inline_.chars(s, n))
                return too_large("a cell text longer than " + std::to_string(kMaxValue) + " bytes");
        } else if (in_v_) {
            value_.append(s, n);
            if (value_.size() > kMaxValue)
                return too_large("a cell value longer than " + std::to_string(kMaxValue) + " bytes");
        }
        return true;
    }

    bool failed() const { return failed_; }
    void fail_damaged() { damaged("is damaged"); }

private:
    bool damaged(const std::string& what)
    {
        failed_ = true;
        return fail(error_, "sheet \"" + sheet_->name + "\" " + what);
    }
    bool too_large(const std::string& what)
    {
        failed_ = true;
        return fail(error_, "sheet \"" + sheet_->name + "\" is too large: " + what);
    }

    bool start_row(const XML_Char** atts)
    {
        size_t r = next_row_;
        if (const char* rr = attr(atts, "r")) {
            char* end = nullptr;
            unsigned long v = std::strtoul(rr, &end, 10);
            if (*end != '\0' || v == 0)
                return damaged("has a bad row number");
            if (v > Limits::kMaxRows)
                return too_large("more than " + std::to_string(Limits::kMaxRows) + " rows");
            r = v - 1;
        }
        if (r >= Limits::kMaxRows)
            return too_large("more than " + std::to_string(Limits::kMaxRows) + " rows");
        row_ = r;
        next_row_ = r + 1;
        next_col_ = 0;
        return true;
    }

    bool start_cell(const XML_Char** atts)
    {
        in_cell_ = true;
        has_v_ = has_f_ = in_v_ = in_is_ = has_is_ = false;
        value_.clear();
        inline_.take();
        col_ = next_col_;
        if (const char* ref = attr(atts, "r")) {
            size_t cr = 0;
            if (!parse_ref(ref, &cr, &col_))
                return damaged("has a bad cell reference");
        }
        if (col_ >= Limits::kMaxCols)
            return too_large("more than " + std::to_string(Limits::kMaxCols) + " columns");
        next_col_ = col_ + 1;
        const char* t = attr(atts, "t");
        type_ = t ? t : "n";
        return true;
    }

    bool start_in_cell(const char* name)
    {
        if (in_is_) {
            inline_.start(name);
        } else if (std::strcmp(name, "v") == 0) {
            in_v_ = has_v_ = true;
        } else if (std::strcmp(name, "f") == 0) {
            has_f_ = true;
        } else if (std::strcmp(name, "is") == 0) {
            in_is_ = has_is_ = true;
        }
        return true;
    }

    bool end_cell()
    {
        in_cell_ = false;
        Cell cell;
        const std::string where = "cell " + cell_name(row_, col_);
        if (type_ == "inlineStr") {
            if (!has_is_)
                return true;
            cell.kind = CellKind::Text;
            if (!keep(inline_.take(), &cell))
                return false;
        } else if (has_f_ && (!has_v_ || (value_.empty() && type_ != "str"))) {
            return damaged("has a formula without a stored result in " + where +
                           " (the file was written without calculating it; open and save it in a spreadsheet "
                           "program)");
        } else if (!has_v_) {
            return true;  // a formatted empty cell
        } else if (type_ == "s") {
            char* end = nullptr;
            unsigned long idx = std::strtoul(value_.c_str(), &end, 10);
            if (value_.empty() || *end != '\0' || idx >= shared_.size())
                return damaged("refers to a missing shared text in " + where);
            cell.kind = CellKind::Text;
            cell.set_text_view(shared_[idx]);
        } else if (type_ == "str") {
            cell.kind = CellKind::Text;
            if (!keep(unescape_ooxml(value_), &cell))
                return false;
        } else if (type_ == "b") {
            cell.kind = CellKind::Bool;
            cell.number = value_ == "0" ? 0.0 : 1.0;
        } else if (type_ == "e") {
            cell.kind = CellKind::Error;
            if (!keep(value_, &cell))
                return false;
        } else {
            char* end = nullptr;
            double d = std::strtod(value_.c_str(), &end);
            while (end && std::isspace(static_cast<unsigned char>(*end)))
                ++end;
            if (value_.empty() || *end != '\0')
                return damaged("has a bad number in " + where);
            cell.kind = CellKind::Number;
            cell.number = d;
        }
        if (!budget_->add_cell()) {
            failed_ = true;
            return false;
        }
        cell.col = (uint16_t)col_;
        sheet_->set(row_, col_) = cell;
        return true;
    }

    bool keep(std::string text, Cell* cell)
    {
        if (!budget_->add_text(text.size())) {
            failed_ = true;
            return false;
        }
        cell->set_text_view(sheet_->keep(std::move(text)));
        return true;
    }

    const std::vector<std::string_view>& shared_;
    Sheet* sheet_;
    Budget* budget_;
    std::string* error_;
    bool failed_ = false;
    bool in_data_ = false, in_cell_ = false, in_v_ = false, in_is_ = false;
    bool has_v_ = false, has_f_ = false, has_is_ = false;
    size_t row_ = 0, col_ = 0, next_row_ = 0, next_col_ = 0;
    std::string type_, value_;
    TextCollector inline_;
};

// Streams a part through a reader; the reader's message, or one for the part.
template <typename Reader>
bool parse_part(zip_t* z, const std::string& part, Reader* reader, const std::string& what, std::string* error)
{
    StreamParser<Reader> parser(reader);
    PartResult r = stream_part(z, part, kMaxPart, [&](const char* p, size_t n) { return parser.feed(p, n, false); });
    if (r == PartResult::Ok && parser.feed(nullptr, 0, true))
        return true;
    if (reader->failed())
        return false;
    if (r == PartResult::TooLarge)
        return fail(error, what + " is too large (more than " + std::to_string(kMaxPart >> 20) + " MiB unpacked)");
    return fail(error, what + " is damaged");
}

// Relationship id -> part name.
std::map<std::string, std::string> read_relationships(zip_t* z)
{
    std::map<std::string, std::string> rels;
    std::string rxml;
    if (read_part(z, "xl/_rels/workbook.xml.rels", &rxml) != PartResult::Ok)
        return rels;
    tinyxml2::XMLDocument rdoc;
    if (rdoc.Parse(rxml.data(), rxml.size()) == tinyxml2::XML_SUCCESS && rdoc.RootElement())
        for (auto* r = rdoc.RootElement()->FirstChildElement(); r; r = r->NextSiblingElement()) {
            const char* id = r->Attribute("Id");
            const char* target = r->Attribute("Target");
            if (id && target)
                rels[id] = resolve_target(target);
        }
    return rels;
}

std::string sheet_part(const tinyxml2::XMLElement* s, const std::map<std::string, std::string>& rels, size_t ordinal)
{
    for (const auto* a = s->FirstAttribute(); a; a = a->Next())
        if (std::strcmp(local(a->Name()), "id") == 0) {
            auto it = rels.find(a->Value());
            if (it != rels.end())
                return it->second;
        }
    return "xl/worksheets/sheet" + std::to_string(ordinal) + ".xml";
}

}  // namespace

bool read_xlsx_memory(const void* data, size_t len, Workbook* out, std::string* error)
{
    if (!out)
        return fail(error, "no workbook to fill");
    Workbook result;
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

    std::string xml;
    switch (read_part(z.get(), "xl/workbook.xml", &xml)) {
    case PartResult::Ok: break;
    case PartResult::Missing: return fail(error, "not an .xlsx workbook (xl/workbook.xml missing)");
    case PartResult::TooLarge: return fail(error, "the .xlsx workbook part is too large");
    default: return fail(error, "the .xlsx workbook part is damaged");
    }
    tinyxml2::XMLDocument wbdoc;
    if (wbdoc.Parse(xml.data(), xml.size()) != tinyxml2::XML_SUCCESS || !wbdoc.RootElement())
        return fail(error, "the .xlsx workbook part is damaged");
    const std::map<std::string, std::string> rels = read_relationships(z.get());

    // Shared strings and every sheet keep their texts in one store.
    Budget budget(error);
    auto store = std::make_shared<TextStore>();
    std::vector<std::string_view> shared;
    {
        SharedStringsReader reader(&shared, store.get(), &budget, error);
        if (zip_name_locate(z.get(), "xl/sharedStrings.xml", ZIP_FL_NOCASE) >= 0 &&
            !parse_part(z.get(), "xl/sharedStrings.xml", &reader, "the shared texts of the .xlsx file", error))
            return false;
    }

    const tinyxml2::XMLElement* sheets = child(wbdoc.RootElement(), "sheets");
    size_t ordinal = 0;
    for (auto* s = sheets ? sheets->FirstChildElement() : nullptr; s; s = s->NextSiblingElement()) {
        if (!is(s, "sheet"))
            continue;
        ++ordinal;
        if (!budget.add_sheet())
            return false;
        Sheet sheet;
        sheet.texts = store;
        const char* name = s->Attribute("name");
        sheet.name = name ? name : "Sheet" + std::to_string(ordinal);
        const std::string part = sheet_part(s, rels, ordinal);
        if (zip_name_locate(z.get(), part.c_str(), ZIP_FL_NOCASE) >= 0) {
            SheetReader reader(shared, &sheet, &budget, error);
            if (!parse_part(z.get(), part, &reader, "sheet \"" + sheet.name + "\"", error))
                return false;
        }
        // A chart sheet or a missing part: no cells.
        result.sheets.push_back(std::move(sheet));
    }
    *out = std::move(result);
    return true;
}

}  // namespace wb
