#pragma once
// The shape of one SQL text: its literals replaced by parameters, so that one
// compiled statement serves every text of that shape.
//
// Only literals whose binding cannot change what the statement does are
// replaced: a quoted text literal (bound as text) and a bare decimal integer
// that fits in 64 bits (bound as an integer, with its sign where a '-' before
// it can only be a sign, so that -5 and 5 share a shape). Every other literal
// (floats, hex, blobs, integers beyond 64 bits) stays in the shape as
// written, and so do literals whose text matters to the statement itself:
// the result columns of a SELECT (they name its columns), ORDER BY / GROUP BY
// terms (an integer there is a column's position) and RETURNING.
//
// Whatever the scan cannot follow with certainty is declined rather than
// guessed: subqueries and compounds (a second SELECT, or VALUES outside an
// INSERT), IS [NOT] DISTINCT FROM, unbalanced parentheses.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace FX {

struct SqlLiteral {
    // Where the literal stands in the text, [from, to), its sign or quotes
    // included.
    size_t from = 0;
    size_t to = 0;
    bool isText = false;
    // isText: whether the content holds doubled quotes; only then is it
    // copied into `unquoted`, with each made single
    bool doubledQuotes = false;
    std::string unquoted;
    // otherwise
    long long number = 0;

    // isText: the content as bound, valid while the text and this literal live.
    const char* TextData(const char* sql) const { return doubledQuotes ? unquoted.data() : sql + from + 1; }
    size_t TextSize() const { return doubledQuotes ? unquoted.size() : to - from - 2; }
};

// Shapes one SELECT, INSERT, REPLACE, UPDATE or DELETE statement. False when
// the text is anything else or cannot be shaped safely (several statements,
// parameters of its own, an unterminated quote, any of the above); it then
// runs as it stands.
bool ShapeSql(const char* sql, std::string& shape, std::vector<SqlLiteral>& literals);

// The texts one thread shaped last, so that a text differing from one of
// them only in the values of its literals is shaped by one comparison
// instead of a scan. A text matches when it equals the earlier text outside
// that text's literals and holds, where each stood, a literal of the same
// kind (a quoted text; digits, behind a '-' where the earlier had its sign).
// The scan decides each token from the text before it and the token itself,
// and no literal's value changes a decision after it; so a matching text
// gets the earlier text's shape and literals, exactly as ShapeSql gives
// them. Anything else is shaped by ShapeSql and remembered.
class SqlShapeMemo {
public:
    // As ShapeSql.
    bool Shape(const char* sql, std::string& shape, std::vector<SqlLiteral>& literals);

private:
    struct Template {
        std::string text;
        std::string shape;
        std::vector<SqlLiteral> literals;
        uint64_t lastUse = 0;
        // The template matched after this one the last time: a caller runs
        // its texts in the same order again and again, so it is tried first.
        size_t next = 0;
    };
    static bool Match(const Template& known, const char* sql, size_t length, std::vector<SqlLiteral>& literals);
    // The template matched, or the one made for the text.
    void Used(size_t k);
    void Remember(const char* sql, size_t length, const std::string& shape, const std::vector<SqlLiteral>& literals);

    std::vector<Template> templates;
    size_t last = 0;
    uint64_t uses = 0;
};

}  // namespace FX
