// Bar codes: the next code of a run, the start code, scanned codes and the
// code file.
//
// Generated codes are decimal or hexadecimal numbers written with leading
// zeros to the page's width. Decimal codes carry from right to left across
// groups of eight digits, hexadecimal codes across the 16-digit low part, so
// a code of any width counts on without ever wrapping: a result that no longer
// fits the width is refused and the current code stays.
#pragma once

#include "StampaPlatform.h"

#include <string>
#include <vector>

namespace stampa {

struct CodeResult {
    bool ok = false;
    std::string code;  // the new code when ok
    std::string message;  // why not, for the operator
};

// The code after `code`: `step` (1 to 4) more, in `base`, padded on the left
// with '0' to `width` characters (0: the code's own length). Hexadecimal
// results are lower case. A code that is not a number in its base, or a
// result longer than the width ("The length of bar code is over %d"), fails.
CodeResult next_code(const std::string& code, int width, int step, Base base);

// The start code fixed by "OK": padded on the left with '0' to the width;
// longer than the width fails with "The number of bar code over %d!!".
CodeResult pad_start_code(const std::string& start, int width);

// A scanned code against [Stampa] "LenSN " and "NumSys": an empty text when
// it is accepted, else the message (with its line feeds) to print and show.
std::string check_scanned_code(const std::string& text, int len_sn, const std::string& num_sys);

// Scan input on Alder, Cedar and Dogwood checks every scan against "LenSN "
// (a length above 0) and "NumSys" of corvane.ini: an empty text when both
// are set, else the message that names what is missing, for the run not to
// begin. (A "NumSys" outside A-D is set: every scan is refused with the
// configuration message.)
std::string scan_keys_check(int len_sn, const std::string& num_sys);

// The code file: one code per line; a first line containing "BoxID" is a
// heading. Line ends (LF or CR LF) and trailing blanks are dropped, empty
// lines skipped. False with "can not find code file!!" when it cannot be read.
bool read_code_file(const std::string& path, std::vector<std::string>* codes, std::string* message);

// Characters of a UTF-8 text.
size_t char_count(const std::string& s);

// The characters of a code that are burnt: the whole code in File input,
// else its first `width` characters (0: the whole code).
std::string burnt_part(const std::string& code, int width, InputType input);

// The code as the box holds it, in the box's code page ([STB] CodePage of
// corvane.ini). False with a message when a character does not fit.
bool to_box_code(const std::string& code, std::string* bytes, std::string* message);

}  // namespace stampa
