#include "Redirect.h"

std::vector<std::string> CRedirect::SplitCommandLine(const std::string& line)
{
    std::vector<std::string> words;
    std::string cur;
    bool in_word = false;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\\') {
            // Backslashes are literal unless they precede a quote.
            size_t n = 0;
            while (i + n < line.size() && line[i + n] == '\\')
                ++n;
            if (i + n < line.size() && line[i + n] == '"') {
                cur.append(n / 2, '\\');
                if (n % 2) {
                    cur += '"';
                    i += n;  // the escaped quote
                } else {
                    i += n - 1;  // the quote is handled next turn
                }
            } else {
                cur.append(n, '\\');
                i += n - 1;
            }
            in_word = true;
            continue;
        }
        if (c == '"') {
            quoted = !quoted;
            in_word = true;
            continue;
        }
        if (!quoted && (c == ' ' || c == '\t')) {
            if (in_word) {
                words.push_back(cur);
                cur.clear();
                in_word = false;
            }
            continue;
        }
        cur += c;
        in_word = true;
    }
    if (in_word)
        words.push_back(cur);
    return words;
}
