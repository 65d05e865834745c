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
#include <string>
#include <vector>

namespace FX {

struct SqlLiteral {
    bool isText = false;
    // isText: the literal's content, its doubled quotes made single
    std::string text;
    // otherwise
    long long number = 0;
};

// Shapes one SELECT, INSERT, REPLACE, UPDATE or DELETE statement. False when
// the text is anything else or cannot be shaped safely (several statements,
// parameters of its own, an unterminated quote, any of the above); it then
// runs as it stands.
bool ShapeSql(const char* sql, std::string& shape, std::vector<SqlLiteral>& literals);

}  // namespace FX
