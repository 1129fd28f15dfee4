// Text and containers: upper, lower, strip, split, join, format, to_text,
// to_number; fields, get_field, set_field, has_field.
#include "numerics/common.hpp"
#include "numerics/unicode_case.hpp"

#include <fl/i18n/convert.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace veldra::engine {
namespace {

using namespace num;
using support::ordinal;

// ---- case and whitespace -----------------------------------------------------------

bool isSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f' || c == 0xA0;
}

// Applies f to a char array (any shape) or to every text of a cell array.
template <class F>
Array mapText(const char* fn, const qxArray* a, F&& f) {
    if (qxGetClassID(a) == qxCHAR_CLASS) return f(a);
    if (qxGetClassID(a) == qxCELL_CLASS) {
        const std::vector<qxSize> dims = matrix::get_dimensions(a);
        Array out = support::checked(qxCreateCellArray(dims.size(), dims.data()));
        for (qxSize i = 0; i < qxGetNumberOfElements(a); ++i) {
            const qxArray* m = qxGetCell(a, i);
            if (!m || qxGetClassID(m) != qxCHAR_CLASS)
                fail(fn, "wrongClass", std::string(fn) + " takes text or a cell array of texts.");
            qxSetCell(out.get(), i, f(m).release());
        }
        return out;
    }
    fail(fn, "wrongClass",
         std::string(fn) + " takes text or a cell array of texts, not " + support::className(qxGetClassID(a)) + ".");
}

// Maps each row of a char array of any shape (the elements along the second
// dimension) in full.  Where the mapping changes the length of some rows
// ('ß' -> "SS"), the array widens to the longest row and shorter rows end in
// spaces, as char matrices do.
Results changeCase(const char* fn, const Args& args, fl::ustring (*conv)(const char16_t*, std::size_t)) {
    support::requireArgCount(fn, args, 1, 1);
    return support::one(mapText(fn, args[0], [&](const qxArray* t) {
        std::vector<qxSize> dims = matrix::get_dimensions(t);
        const qxSize total = qxGetNumberOfElements(t);
        if (total == 0) return support::checked(qxCreateCharArray(dims.size(), dims.data()));
        const qxSize m = dims[0], n = dims[1], pages = total / (m * n);
        const qxChar* s = static_cast<const qxChar*>(qxGetData(t));
        std::vector<fl::ustring> rows(m * pages);
        std::size_t width = 0;
        fl::ustring row(n, u' ');
        for (qxSize k = 0; k < pages; ++k)
            for (qxSize i = 0; i < m; ++i) {
                for (qxSize j = 0; j < n; ++j) row[j] = s[k * m * n + j * m + i];
                rows[k * m + i] = conv(row.data(), row.size());
                width = std::max(width, rows[k * m + i].size());
            }
        dims[1] = width;
        Array out = support::checked(qxCreateCharArray(dims.size(), dims.data()));
        qxChar* d = static_cast<qxChar*>(qxGetData(out.get()));
        for (qxSize k = 0; k < pages; ++k)
            for (qxSize i = 0; i < m; ++i) {
                const fl::ustring& r = rows[k * m + i];
                for (qxSize j = 0; j < width; ++j) d[k * m * width + j * m + i] = j < r.size() ? r[j] : u' ';
            }
        return out;
    }));
}

Results fn_upper(CallContext&, int, const Args& args) {
    return changeCase("upper", args, unicase::upper);
}
Results fn_lower(CallContext&, int, const Args& args) {
    return changeCase("lower", args, unicase::lower);
}

Results fn_strip(CallContext&, int, const Args& args) {
    support::requireArgCount("strip", args, 1, 1);
    return support::one(mapText("strip", args[0], [](const qxArray* t) {
        if (!isText(t)) fail("strip", "wrongClass", "strip takes text (char rows).");
        const fl::ustring s = matrix::get_ustring(t);
        std::size_t b = 0, e = s.size();
        while (b < e && isSpace(s[b])) ++b;
        while (e > b && isSpace(s[e - 1])) --e;
        return matrix::create(s.substr(b, e - b));
    }));
}

// ---- split and join --------------------------------------------------------------

Array cellRow(const std::vector<fl::ustring>& parts) {
    Array out = support::checked(qxCreateCellMatrix(1, parts.size()));
    for (std::size_t i = 0; i < parts.size(); ++i) qxSetCell(out.get(), i, matrix::create(parts[i]).release());
    return out;
}

fl::ustring textArgU(const char* fn, const Args& args, std::size_t i) {
    if (!isText(args.at(i)))
        fail(fn, "wrongClass", "The " + ordinal(i) + " argument of " + fn + " must be text (a char row).");
    return matrix::get_ustring(args[i]);
}

// split(text): at runs of whitespace; split(text, delimiter): at every
// occurrence, keeping empty parts.
Results fn_split(CallContext&, int, const Args& args) {
    support::requireArgCount("split", args, 1, 2);
    const fl::ustring s = textArgU("split", args, 0);
    std::vector<fl::ustring> parts;
    if (args.size() == 1) {
        std::size_t i = 0;
        while (i < s.size()) {
            while (i < s.size() && isSpace(s[i])) ++i;
            const std::size_t b = i;
            while (i < s.size() && !isSpace(s[i])) ++i;
            if (i > b) parts.push_back(s.substr(b, i - b));
        }
    } else {
        const fl::ustring d = textArgU("split", args, 1);
        if (d.empty()) fail("split", "emptyDelimiter", "The delimiter of split must not be empty.");
        std::size_t b = 0;
        for (;;) {
            const std::size_t at = s.find(d, b);
            if (at == fl::ustring::npos) break;
            parts.push_back(s.substr(b, at - b));
            b = at + d.size();
        }
        parts.push_back(s.substr(b));
    }
    return support::one(cellRow(parts));
}

Results fn_join(CallContext&, int, const Args& args) {
    support::requireArgCount("join", args, 1, 2);
    const qxArray* c = args[0];
    if (qxGetClassID(c) != qxCELL_CLASS)
        fail("join", "wrongClass", "The 1st argument of join must be a cell array of texts.");
    const fl::ustring d = args.size() > 1 ? textArgU("join", args, 1) : fl::ustring(u" ");
    fl::ustring out;
    for (qxSize i = 0; i < qxGetNumberOfElements(c); ++i) {
        const qxArray* m = qxGetCell(c, i);
        if (!m || !isText(m)) fail("join", "wrongClass", "join takes a cell array of texts (char rows).");
        if (i) out += d;
        out += matrix::get_ustring(m);
    }
    return support::one(matrix::create(out));
}

// ---- numbers as text -------------------------------------------------------------

// The shortest text that reads back as the same double, in the style of
// printf's %g with just as many significant digits as that takes.
std::string shortest(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "Inf" : "-Inf";
    if (v == 0) return "0";
    char buf[64];
    // Whole numbers print in full ("30", not "3e+01") while exact.
    if (v == std::floor(v) && std::fabs(v) < 1e15) {
        const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
        return std::string(buf, r.ptr);
    }
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const std::string scientific(buf, r.ptr);
    // %g's choice: scientific when the exponent is below -4 or not below the
    // number of significant digits.
    const std::size_t e = scientific.find('e');
    int digits = 0;
    for (std::size_t i = 0; i < e; ++i) digits += scientific[i] >= '0' && scientific[i] <= '9';
    const int exponent = std::atoi(scientific.c_str() + e + 1);
    if (exponent < -4 || exponent >= digits) return scientific;
    r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    return std::string(buf, r.ptr);
}

std::string withPrecision(double v, int digits) {
    if (digits <= 0) return shortest(v);
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "Inf" : "-Inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    return buf;
}

// One conversion of format: its directive ("%-8.3f") and its letter.
std::string formatOne(const std::string& directive, char conv, const double* num, const std::string* str) {
    char buf[512];
    std::string s = directive;
    if (str) {
        // Text for a number conversion prints as text.
        if (conv == 's' || conv == 'c' || !num) {
            s.back() = 's';
            std::snprintf(buf, sizeof buf, s.c_str(), str->c_str());
            if (static_cast<std::size_t>(std::snprintf(nullptr, 0, s.c_str(), str->c_str())) >= sizeof buf) {
                std::string big(std::snprintf(nullptr, 0, s.c_str(), str->c_str()) + 1, '\0');
                std::snprintf(big.data(), big.size(), s.c_str(), str->c_str());
                big.pop_back();
                return big;
            }
            return buf;
        }
    }
    const double v = *num;
    switch (conv) {
    case 'd':
    case 'i':
    case 'u':
        if (v != std::floor(v) || !std::isfinite(v) || std::fabs(v) >= 9.2e18) {
            // Not an integer: print it as %e would, like the integer
            // conversions of other numeric environments.
            if (!std::isfinite(v)) {
                s.back() = 's';
                const std::string t = shortest(v);
                std::snprintf(buf, sizeof buf, s.c_str(), t.c_str());
                return buf;
            }
            s.back() = 'e';
            std::snprintf(buf, sizeof buf, s.c_str(), v);
            return buf;
        }
        s.back() = 'd';
        s.insert(s.size() - 1, "ll");
        std::snprintf(buf, sizeof buf, s.c_str(), static_cast<long long>(v));
        return buf;
    case 'x':
    case 'X':
    case 'o':
        if (v >= 0 && v == std::floor(v) && v < 1.8e19) {
            s.insert(s.size() - 1, "ll");
            std::snprintf(buf, sizeof buf, s.c_str(), static_cast<unsigned long long>(v));
            return buf;
        }
        s.back() = 'e';
        std::snprintf(buf, sizeof buf, s.c_str(), v);
        return buf;
    case 'c': {
        // Code units outside UTF-16 print as the replacement character.
        const bool unit = v >= 0 && v <= 0xFFFF && v == std::floor(v);
        const fl::ustring u(1, unit ? static_cast<char16_t>(v) : char16_t(0xFFFD));
        s.back() = 's';
        std::snprintf(buf, sizeof buf, s.c_str(), fl::i18n::to_string(u).c_str());
        return buf;
    }
    case 's': {
        s.back() = 's';
        const std::string t = shortest(v);
        std::snprintf(buf, sizeof buf, s.c_str(), t.c_str());
        return buf;
    }
    default:  // f F e E g G
        if (!std::isfinite(v)) {
            s.back() = 's';
            const std::size_t dot = s.find('.');
            if (dot != std::string::npos) s.erase(dot, s.size() - 1 - dot);
            const std::string t = shortest(v);
            std::snprintf(buf, sizeof buf, s.c_str(), t.c_str());
            return buf;
        }
        std::snprintf(buf, sizeof buf, s.c_str(), v);
        return buf;
    }
}

// A value the format consumes: a number or a whole text.
struct Item {
    bool isText;
    double num;
    std::string text;
};

Results fn_format(CallContext&, int, const Args& args) {
    support::requireArgCount("format", args, 1, -1);
    const std::string fmt = support::textArg("format", args, 0);
    std::vector<Item> items;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const qxArray* a = args[i];
        if (qxGetClassID(a) == qxCHAR_CLASS) {
            items.push_back({true, 0, matrix::get_string(a)});
            continue;
        }
        const Values v = read("format", args, i);
        if (v.complex()) fail("format", "wrongClass", "format does not take complex numbers.");
        for (qxSize k = 0; k < v.n; ++k) items.push_back({false, v.re[k], {}});
    }

    std::string out;
    std::size_t next = 0;
    for (;;) {
        const std::size_t before = next;
        bool stop = false;
        for (std::size_t p = 0; p < fmt.size() && !stop;) {
            if (fmt[p] != '%') {
                out += fmt[p++];
                continue;
            }
            if (p + 1 < fmt.size() && fmt[p + 1] == '%') {
                out += '%';
                p += 2;
                continue;
            }
            std::size_t q = p + 1;
            while (q < fmt.size() && std::strchr("-+ #0", fmt[q])) ++q;
            while (q < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[q]))) ++q;
            if (q < fmt.size() && fmt[q] == '.') {
                ++q;
                while (q < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[q]))) ++q;
            }
            if (q >= fmt.size() || !std::strchr("diufFeEgGxXocs", fmt[q]))
                throw SyntaxFailure("veldra:format:badFormat",
                                    "Invalid conversion '" + fmt.substr(p, q - p + 1) + "' in the format of format.");
            if (q - p > 20) throw SyntaxFailure("veldra:format:badFormat", "A conversion of format is too long.");
            const std::string directive = fmt.substr(p, q - p + 1);
            if (next >= items.size()) {
                stop = true;  // the text up to the first unfilled conversion
                break;
            }
            const Item& it = items[next++];
            out += formatOne(directive, fmt[q], it.isText ? nullptr : &it.num, it.isText ? &it.text : nullptr);
            p = q + 1;
        }
        // The format repeats while values remain and it consumed some.
        if (next >= items.size() || next == before) break;
    }
    return support::one(support::text(out));
}

// The text of a number: shortest round-trip form, or `digits` significant digits.
std::string numberText(double re, const double* im, int digits) {
    std::string s = withPrecision(re, digits);
    if (im) {
        const std::string i = withPrecision(std::fabs(*im), digits);
        s += (*im < 0 || (*im == 0 && std::signbit(*im)) ? "-" : "+") + i + "i";
    }
    return s;
}

Results fn_to_text(CallContext&, int, const Args& args) {
    support::requireArgCount("to_text", args, 1, 2);
    if (qxGetClassID(args[0]) == qxCHAR_CLASS) return support::one(support::sharedCopy(args[0]));
    const Values v = read("to_text", args, 0);
    int digits = 0;
    if (args.size() > 1) {
        const qxSize d = support::countArg("to_text", args, 1);
        if (d < 1 || d > 17) fail("to_text", "badPrecision", "The precision of to_text must be 1 to 17 digits.");
        digits = static_cast<int>(d);
    }
    if (v.dims.size() > 2) fail("to_text", "notMatrix", "to_text takes scalars, vectors and matrices.");
    const qxSize m = v.dims[0], n = v.dims[1];
    // Rows of right-aligned columns, two spaces apart; several rows make a
    // char matrix.
    std::vector<std::string> cells(v.n);
    std::vector<std::size_t> width(n, 0);
    for (qxSize j = 0; j < n; ++j)
        for (qxSize i = 0; i < m; ++i) {
            const qxSize k = j * m + i;
            cells[k] = numberText(v.re[k], v.im ? &v.im[k] : nullptr, digits);
            width[j] = std::max(width[j], cells[k].size());
        }
    std::vector<std::string> rows(m);
    for (qxSize i = 0; i < m; ++i)
        for (qxSize j = 0; j < n; ++j) {
            const std::string& c = cells[j * m + i];
            if (j) rows[i] += "  ";
            rows[i] += std::string(width[j] - c.size(), ' ') + c;
        }
    if (m == 1) return support::one(support::text(rows[0]));
    if (m == 0 || n == 0) return support::one(support::text(""));
    const qxSize len = rows[0].size();  // ASCII only, all rows equally wide
    const qxSize dims[2] = {m, len};
    Array out = support::checked(qxCreateCharArray(2, dims));
    qxChar* d = static_cast<qxChar*>(qxGetData(out.get()));
    for (qxSize i = 0; i < m; ++i)
        for (qxSize j = 0; j < len; ++j) d[j * m + i] = static_cast<qxChar>(rows[i][j]);
    return support::one(std::move(out));
}

// A number in text: decimal, Inf, NaN; NaN for anything else.
double parseNumber(std::string s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    s = s.substr(b, e - b);
    if (s.empty()) return std::nan("");
    bool neg = false;
    std::string body = s;
    if (body[0] == '+' || body[0] == '-') {
        neg = body[0] == '-';
        body = body.substr(1);
    }
    std::string lower;
    for (char c : body) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "inf" || lower == "infinity") return neg ? -INFINITY : INFINITY;
    if (lower == "nan") return std::nan("");
    if (body.empty() || body[0] == '+' || body[0] == '-') return std::nan("");
    double v = 0;
    const auto r = std::from_chars(body.data(), body.data() + body.size(), v);
    if (r.ptr != body.data() + body.size()) return std::nan("");
    if (r.ec == std::errc::result_out_of_range) v = std::strtod(body.c_str(), nullptr);
    else if (r.ec != std::errc()) return std::nan("");
    return neg ? -v : v;
}

Results fn_to_number(CallContext&, int, const Args& args) {
    support::requireArgCount("to_number", args, 1, 1);
    const qxArray* a = args[0];
    if (isText(a)) return support::one(support::scalarDouble(parseNumber(matrix::get_string(a))));
    if (qxGetClassID(a) == qxCELL_CLASS) {
        const std::vector<qxSize> dims = matrix::get_dimensions(a);
        std::vector<double> v(qxGetNumberOfElements(a));
        for (qxSize i = 0; i < v.size(); ++i) {
            const qxArray* m = qxGetCell(a, i);
            v[i] = m && isText(m) ? parseNumber(matrix::get_string(m)) : std::nan("");
        }
        return support::one(fromDoubles(dims, qxDOUBLE_CLASS, v.data(), nullptr));
    }
    fail("to_number", "wrongClass", "to_number takes text or a cell array of texts.");
}

// ---- struct fields ---------------------------------------------------------------

const qxArray* structArg(const char* fn, const Args& args) {
    if (qxGetClassID(args[0]) != qxSTRUCT_CLASS)
        fail(fn, "wrongClass",
             std::string("The 1st argument of ") + fn + " must be a struct, not " +
                 support::className(qxGetClassID(args[0])) + ".");
    return args[0];
}

const qxArray* scalarStructArg(const char* fn, const Args& args) {
    const qxArray* s = structArg(fn, args);
    if (qxGetNumberOfElements(s) != 1)
        fail(fn, "notScalar", std::string(fn) + " takes a single struct (1-by-1), not a struct array.");
    return s;
}

Results fn_fields(CallContext&, int, const Args& args) {
    support::requireArgCount("fields", args, 1, 1);
    const qxArray* s = structArg("fields", args);
    const int n = qxGetNumberOfFields(s);
    Array out = support::checked(qxCreateCellMatrix(n, 1));
    for (int f = 0; f < n; ++f) qxSetCell(out.get(), f, support::text(qxGetFieldNameByNumber(s, f)).release());
    return support::one(std::move(out));
}

Results fn_get_field(CallContext&, int, const Args& args) {
    support::requireArgCount("get_field", args, 2, 2);
    const qxArray* s = scalarStructArg("get_field", args);
    const std::string name = support::textArg("get_field", args, 1);
    const int f = qxGetFieldNumber(s, name.c_str());
    if (f < 0) fail("get_field", "noSuchField", "The struct has no field '" + name + "'.");
    const qxArray* v = qxGetFieldByNumber(s, 0, f);
    if (!v) return support::one(create({0, 0}, qxDOUBLE_CLASS, false));
    return support::one(support::sharedCopy(v));
}

Results fn_set_field(CallContext&, int, const Args& args) {
    support::requireArgCount("set_field", args, 3, 3);
    scalarStructArg("set_field", args);
    const std::string name = support::textArg("set_field", args, 1);
    if (!qxIsValidVariableName(name.c_str()))
        fail("set_field", "badName", "'" + name + "' is no valid field name (a letter, then letters, digits or '_').");
    Array out = support::sharedCopy(args[0]);
    int f = qxGetFieldNumber(out.get(), name.c_str());
    if (f < 0) f = qxAddField(out.get(), name.c_str());
    if (f < 0 || !qxSetFieldByNumber(out.get(), 0, f, support::sharedCopy(args[2]).release())) throw std::bad_alloc();
    return support::one(std::move(out));
}

Results fn_has_field(CallContext&, int, const Args& args) {
    support::requireArgCount("has_field", args, 2, 2);
    const qxArray* s = args[0];
    const bool isStruct = qxGetClassID(s) == qxSTRUCT_CLASS;
    auto has = [&](const qxArray* nameArr) {
        return isStruct && isText(nameArr) && qxGetFieldNumber(s, matrix::get_string(nameArr).c_str()) >= 0;
    };
    const qxArray* names = args[1];
    if (qxGetClassID(names) == qxCELL_CLASS) {
        const std::vector<qxSize> dims = matrix::get_dimensions(names);
        Array out = create(dims, qxLOGICAL_CLASS, false);
        qxLogical* o = static_cast<qxLogical*>(qxGetData(out.get()));
        for (qxSize i = 0; i < qxGetNumberOfElements(names); ++i) {
            const qxArray* m = qxGetCell(names, i);
            o[i] = m && has(m);
        }
        return support::one(std::move(out));
    }
    if (!isText(names))
        fail("has_field", "wrongClass", "The 2nd argument of has_field must be a field name or a cell array of names.");
    return support::one(support::scalarLogical(has(names)));
}

}  // namespace

VELDRA_ENGINE_FUNCTION(upper, 1, fn_upper);
VELDRA_ENGINE_FUNCTION(lower, 1, fn_lower);
VELDRA_ENGINE_FUNCTION(strip, 1, fn_strip);
VELDRA_ENGINE_FUNCTION(split, 1, fn_split);
VELDRA_ENGINE_FUNCTION(join, 1, fn_join);
VELDRA_ENGINE_FUNCTION(format, 1, fn_format);
VELDRA_ENGINE_FUNCTION(to_text, 1, fn_to_text);
VELDRA_ENGINE_FUNCTION(to_number, 1, fn_to_number);
VELDRA_ENGINE_FUNCTION(fields, 1, fn_fields);
VELDRA_ENGINE_FUNCTION(get_field, 1, fn_get_field);
VELDRA_ENGINE_FUNCTION(set_field, 1, fn_set_field);
VELDRA_ENGINE_FUNCTION(has_field, 1, fn_has_field);

}  // namespace veldra::engine
