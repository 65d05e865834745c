#include "platform/SqlShape.h"

#include <cstdint>
#include <cstring>
#include <strings.h>

namespace FX {

namespace {

// SQLite takes every byte above 0x7f as part of an identifier.
bool IsIdentifierStart(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80; }
bool IsIdentifierChar(unsigned char c) { return IsIdentifierStart(c) || (c >= '0' && c <= '9') || c == '$'; }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

bool Is(const char* word, size_t length, const char* keyword) {
    return strlen(keyword) == length && strncasecmp(word, keyword, length) == 0;
}

// End of a comment starting at i, or i when none starts there.
size_t SkipComment(const char* s, size_t i, size_t n) {
    if (i + 1 < n && s[i] == '-' && s[i + 1] == '-') {
        while (i < n && s[i] != '\n') ++i;
        return i < n ? i + 1 : n;
    }
    if (i + 1 < n && s[i] == '/' && s[i + 1] == '*') {
        const char* end = strstr(s + i + 2, "*/");
        return end != nullptr ? static_cast<size_t>(end - s) + 2 : n;
    }
    return i;
}

// End of the quoted run opened by s[i] and closed by `close` (doubled inside),
// or 0 when it is not closed.
size_t SkipQuoted(const char* s, size_t i, size_t n, char close) {
    for (++i; i < n; ++i) {
        if (s[i] != close) continue;
        if (close != ']' && i + 1 < n && s[i + 1] == close) {
            ++i;
            continue;
        }
        return i + 1;
    }
    return 0;
}

// End of a numeric literal that is not a plain decimal integer: digits, a
// fraction, an exponent, and whatever identifier characters follow (hex, or
// a malformed token SQLite will refuse as it stands).
size_t SkipNumber(const char* s, size_t i, size_t n) {
    while (i < n && IsDigit(s[i])) ++i;
    if (i < n && s[i] == '.') {
        ++i;
        while (i < n && IsDigit(s[i])) ++i;
    }
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < n && (s[j] == '+' || s[j] == '-')) ++j;
        if (j < n && IsDigit(s[j])) {
            i = j;
            while (i < n && IsDigit(s[i])) ++i;
        }
    }
    while (i < n && IsIdentifierChar(s[i])) ++i;
    return i;
}

bool ParseInt64(const char* s, size_t length, long long& value) {
    uint64_t v = 0;
    for (size_t k = 0; k < length; ++k) {
        uint64_t digit = static_cast<uint64_t>(s[k] - '0');
        if (v > (static_cast<uint64_t>(INT64_MAX) - digit) / 10) return false;
        v = v * 10 + digit;
    }
    value = static_cast<long long>(v);
    return true;
}

// Reserved words after which a '-' can only be a sign: none of them ends an
// operand, and none can stand for a name.
bool SignMayFollow(const char* word, size_t length) {
    static const char* const kWords[] = {"AND", "OR", "NOT", "WHERE", "WHEN", "THEN", "ELSE", "BETWEEN", "LIMIT", "IS"};
    for (const char* keyword : kWords)
        if (Is(word, length, keyword)) return true;
    return false;
}

// The content of a quoted text, each doubled quote made one.
void Unquote(const char* content, size_t length, std::string& out) {
    out.clear();
    for (size_t k = 0; k < length; ++k) {
        out += content[k];
        if (content[k] == '\'' && k + 1 < length) ++k;
    }
}

// One pass over a statement's text, one token at a time: the text goes into
// the shape, each literal it may replace made "?". Each token method reads
// the token at `i` and moves past it; false declines the text.
class ShapeScanner {
public:
    ShapeScanner(const char* sql, std::string& shape, std::vector<SqlLiteral>& literals)
        : sql(sql), n(strlen(sql)), shape(shape), literals(literals) {
        shape.clear();
        shape.reserve(n);
    }

    bool AtEnd() const { return i == n; }
    unsigned char Peek() const { return At(i); }
    bool AtNumber() const { return IsDigit(At(i)) || (At(i) == '.' && i + 1 < n && IsDigit(At(i + 1))); }

    bool SkipBlank();
    bool BeginToken();
    bool TextLiteral();
    bool QuotedName();
    bool Word();
    bool Number();
    bool Punctuation();
    bool Finish();

private:
    static constexpr size_t none = static_cast<size_t>(-1);

    unsigned char At(size_t k) const { return static_cast<unsigned char>(sql[k]); }
    SqlLiteral& Replace(size_t from, size_t to, bool isText);
    bool StatementKind(const char* word, size_t length);
    bool Clause(const char* word, size_t length);

    const char* const sql;
    const size_t n;
    std::string& shape;
    std::vector<SqlLiteral>& literals;
    size_t used = 0;            // literals filled so far
    size_t copied = 0;          // the text up to here is in the shape
    size_t i = 0;               // where the next token or blank starts

    bool first = true;          // the first word names the kind of statement
    bool insert = false;        // INSERT or REPLACE: VALUES is its own list
    bool select = false;        // a SELECT before its FROM: literals name columns
    size_t orderingAt = none;   // the depth of the ORDER BY / GROUP BY terms
    bool returning = false;     // RETURNING names its columns too
    bool ended = false;         // past the statement's semicolon
    bool afterDistinct = false; // the previous word was DISTINCT
    bool signMayFollow = false; // a '-' here would be a sign, not a subtraction
    size_t sign = none;         // where the sign of the next token stands
    size_t depth = 0;           // parentheses open

    // Of the token at hand, taken from what the previous one left:
    bool replace = false;       // a literal here becomes "?"
    size_t signAt = none;       // where its sign stands
    bool wasDistinct = false;   // it follows DISTINCT
};

// Moves past a comment or a space; false when a token starts here.
bool ShapeScanner::SkipBlank() {
    const size_t end = SkipComment(sql, i, n);
    if (end == i && !IsSpace(At(i))) return false;
    i = end != i ? end : i + 1;
    return true;
}

// False when the token follows the statement's end.
bool ShapeScanner::BeginToken() {
    if (ended) return false;  // a second statement
    replace = !select && orderingAt == none && !returning;
    signAt = sign;
    sign = none;
    wasDistinct = afterDistinct;
    afterDistinct = false;
    return true;
}

// The literal at [from, to) made "?" in the shape.
SqlLiteral& ShapeScanner::Replace(size_t from, size_t to, bool isText) {
    if (used == literals.size()) literals.emplace_back();
    SqlLiteral& literal = literals[used++];
    literal.from = from;
    literal.to = to;
    literal.isText = isText;
    shape.append(sql + copied, from - copied);
    shape += '?';
    copied = to;
    return literal;
}

bool ShapeScanner::TextLiteral() {
    const size_t end = SkipQuoted(sql, i, n, '\'');
    if (end == 0 || first) return false;
    if (replace) {
        SqlLiteral& literal = Replace(i, end, true);
        literal.doubledQuotes = memchr(sql + i + 1, '\'', end - i - 2) != nullptr;
        if (literal.doubledQuotes) Unquote(sql + i + 1, end - i - 2, literal.unquoted);
        // "?5" would read as a numbered parameter
        if (end < n && IsIdentifierChar(At(end))) return false;
    }
    signMayFollow = false;
    i = end;
    return true;
}

bool ShapeScanner::QuotedName() {
    const char open = sql[i];
    const size_t end = SkipQuoted(sql, i, n, open == '[' ? ']' : open);
    if (end == 0 || first) return false;
    signMayFollow = false;
    i = end;
    return true;
}

bool ShapeScanner::Word() {
    size_t end = i;
    while (end < n && IsIdentifierChar(At(end))) ++end;
    const char* word = sql + i;
    const size_t length = end - i;
    signMayFollow = false;
    if (length == 1 && (word[0] == 'x' || word[0] == 'X') && end < n && sql[end] == '\'') {  // a blob literal
        end = SkipQuoted(sql, end, n, '\'');
        if (end == 0) return false;
    } else if (first) {
        if (!StatementKind(word, length)) return false;
    } else if (!Clause(word, length)) {
        return false;
    }
    if (SignMayFollow(word, length)) signMayFollow = true;
    i = end;
    return true;
}

bool ShapeScanner::StatementKind(const char* word, size_t length) {
    if (Is(word, length, "SELECT")) {
        select = true;
    } else if (Is(word, length, "INSERT") || Is(word, length, "REPLACE")) {
        insert = true;
    } else if (!Is(word, length, "UPDATE") && !Is(word, length, "DELETE")) {
        return false;
    }
    first = false;
    return true;
}

// A word after the first: the clause it opens or closes.
bool ShapeScanner::Clause(const char* word, size_t length) {
    if (Is(word, length, "SELECT") || (!insert && Is(word, length, "VALUES"))) {
        // A subquery or a compound: its select lists name columns and
        // its ordering terms may be positions at any depth.
        return false;
    } else if (Is(word, length, "FROM")) {
        if (wasDistinct) return false;  // IS [NOT] DISTINCT FROM, not a FROM clause
        if (depth == 0) select = false;
    } else if (Is(word, length, "DISTINCT")) {
        afterDistinct = true;
    } else if (Is(word, length, "ORDER") || Is(word, length, "GROUP")) {
        if (orderingAt == none) orderingAt = depth;
    } else if (Is(word, length, "LIMIT") || Is(word, length, "HAVING") || Is(word, length, "WINDOW")) {
        if (orderingAt == depth) orderingAt = none;
    } else if (Is(word, length, "RETURNING")) {
        returning = true;
    }
    return true;
}

bool ShapeScanner::Number() {
    if (first) return false;
    size_t end = i;
    while (end < n && IsDigit(At(end))) ++end;
    long long value = 0;
    const bool plain = sql[i] != '.' && (end == n || (sql[end] != '.' && !IsIdentifierChar(At(end))));
    if (plain && replace && ParseInt64(sql + i, end - i, value)) {
        SqlLiteral& literal = Replace(signAt != none ? signAt : i, end, false);
        literal.doubledQuotes = false;
        // A sign is part of the value: -5 and 5 share one shape.
        literal.number = signAt != none ? -value : value;
    } else if (!plain) {
        end = SkipNumber(sql, i, n);
    }
    signMayFollow = false;
    i = end;
    return true;
}

bool ShapeScanner::Punctuation() {
    if (first) return false;
    const unsigned char c = At(i);
    switch (c) {
        case '?':
        case ':':
        case '@':
        case '$':
        case '#':
            return false;  // parameters of the text's own
        case '(':
            ++depth;
            break;
        case ')':
            if (depth == 0) return false;
            --depth;
            if (orderingAt != none && depth < orderingAt) orderingAt = none;
            break;
        case ';':
            ended = true;
            break;
        case '-':
            if (signMayFollow) sign = i;
            break;
        default:
            break;
    }
    // After an operator or an opening, a '-' is a sign; after ')' it subtracts.
    signMayFollow = c != ')';
    ++i;
    return true;
}

bool ShapeScanner::Finish() {
    if (first) return false;
    shape.append(sql + copied, n - copied);
    literals.resize(used);
    return true;
}

// Templates kept per thread: more than the shapes of the texts one request
// runs.
const size_t kTemplates = 16;

}  // namespace

bool ShapeSql(const char* sql, std::string& shape, std::vector<SqlLiteral>& literals) {
    ShapeScanner scan(sql, shape, literals);
    while (!scan.AtEnd()) {
        if (scan.SkipBlank()) continue;
        if (!scan.BeginToken()) return false;
        const unsigned char c = scan.Peek();
        bool read;
        if (c == '\'')
            read = scan.TextLiteral();
        else if (c == '"' || c == '`' || c == '[')
            read = scan.QuotedName();
        else if (IsIdentifierStart(c))
            read = scan.Word();
        else if (scan.AtNumber())
            read = scan.Number();
        else
            read = scan.Punctuation();
        if (!read) return false;
    }
    return scan.Finish();
}

bool SqlShapeMemo::Match(const Template& known, const char* sql, size_t length, std::vector<SqlLiteral>& literals) {
    const char* const text = known.text.data();
    size_t at = 0;      // in sql
    size_t copied = 0;  // in the known text
    // Most texts that do not match differ before their first literal.
    const size_t head = known.literals.empty() ? known.text.size() : known.literals.front().from;
    if (length < head || memcmp(sql, text, head) != 0) return false;
    literals.resize(known.literals.size());
    for (size_t k = 0; k < known.literals.size(); ++k) {
        const SqlLiteral& was = known.literals[k];
        const size_t fixed = was.from - copied;
        if (length - at < fixed || memcmp(sql + at, text + copied, fixed) != 0) return false;
        at += fixed;
        SqlLiteral& literal = literals[k];
        literal.from = at;
        literal.isText = was.isText;
        if (was.isText) {
            const size_t end = at < length && sql[at] == '\'' ? SkipQuoted(sql, at, length, '\'') : 0;
            if (end == 0) return false;
            literal.doubledQuotes = memchr(sql + at + 1, '\'', end - at - 2) != nullptr;
            if (literal.doubledQuotes) Unquote(sql + at + 1, end - at - 2, literal.unquoted);
            at = end;
        } else {
            const bool negative = text[was.from] == '-';
            if (negative && (at == length || sql[at++] != '-')) return false;
            size_t end = at;
            while (end < length && IsDigit(static_cast<unsigned char>(sql[end]))) ++end;
            long long value = 0;
            if (end == at || !ParseInt64(sql + at, end - at, value)) return false;
            literal.doubledQuotes = false;
            literal.number = negative ? -value : value;
            at = end;
        }
        literal.to = at;
        copied = was.to;
    }
    const size_t rest = known.text.size() - copied;
    return length - at == rest && memcmp(sql + at, text + copied, rest) == 0;
}

void SqlShapeMemo::Used(size_t k) {
    if (last < templates.size()) templates[last].next = k;
    last = k;
    templates[k].lastUse = ++uses;
}

void SqlShapeMemo::Remember(const char* sql, size_t length, const std::string& shape,
                            const std::vector<SqlLiteral>& literals) {
    for (const SqlLiteral& literal : literals) {
        // A sign apart from its digits is not matched: shaped by the scan each time.
        if (!literal.isText && sql[literal.from] == '-' &&
            !IsDigit(static_cast<unsigned char>(sql[literal.from + 1])))
            return;
    }
    // A new one, or the least recently used one with its storage reused.
    size_t k = templates.size();
    if (k < kTemplates) {
        templates.emplace_back();
    } else {
        k = 0;
        for (size_t j = 1; j < templates.size(); ++j)
            if (templates[j].lastUse < templates[k].lastUse) k = j;
    }
    Template& fresh = templates[k];
    fresh.text.assign(sql, length);
    fresh.shape = shape;
    fresh.literals.resize(literals.size());
    for (size_t j = 0; j < literals.size(); ++j) {
        fresh.literals[j].from = literals[j].from;
        fresh.literals[j].to = literals[j].to;
        fresh.literals[j].isText = literals[j].isText;
    }
    fresh.next = k;
    Used(k);
}

bool SqlShapeMemo::Shape(const char* sql, std::string& shape, std::vector<SqlLiteral>& literals) {
    // The text ends where the scan and SQLite end it.
    const size_t length = strlen(sql);
    const size_t expected = last < templates.size() ? templates[last].next : 0;
    for (size_t j = 0; j < templates.size(); ++j) {
        // the expected one first, then the others in place order
        const size_t k = j == 0 ? expected : (j <= expected ? j - 1 : j);
        if (!Match(templates[k], sql, length, literals)) continue;
        Used(k);
        shape = templates[k].shape;
        return true;
    }
    if (!ShapeSql(sql, shape, literals)) return false;
    Remember(sql, length, shape, literals);
    return true;
}

}  // namespace FX
