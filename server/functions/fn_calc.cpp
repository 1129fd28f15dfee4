// calc: arithmetic on numbers and workspace variables.
//
//   expr    := term (('+' | '-') term)*
//   term    := unary (('*' | '/') unary)*
//   unary   := ('+' | '-') unary | power
//   power   := primary ('^' unary)?        right-associative, binds tighter than unary minus
//   primary := number | name | '(' expr ')'
#include "functions/support.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace veldra::engine {
namespace {

using namespace support;

class Parser {
public:
    // Without a workspace the text is only checked, so that a syntax error
    // anywhere wins over an unknown variable.
    Parser(const std::string& text, const Workspace* ws) : s_(text), ws_(ws) {}

    double run() {
        const double v = expr();
        skipSpace();
        if (pos_ < s_.size()) syntaxError();
        return v;
    }

private:
    void skipSpace() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            ++pos_;
    }
    bool accept(char c) {
        skipSpace();
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    // Where in characters, not bytes: the text may hold non-ASCII characters.
    std::size_t column() const {
        std::size_t col = 1;
        for (std::size_t i = 0; i < pos_ && i < s_.size(); ++i)
            if ((static_cast<unsigned char>(s_[i]) & 0xC0) != 0x80) ++col;
        return col;
    }

    [[noreturn]] void syntaxError() const {
        std::string what;
        if (pos_ >= s_.size()) {
            what = "unexpected end of expression";
        } else {
            std::size_t len = 1;
            while (pos_ + len < s_.size() && (static_cast<unsigned char>(s_[pos_ + len]) & 0xC0) == 0x80) ++len;
            what = "unexpected '" + s_.substr(pos_, len) + "'";
        }
        throw SyntaxFailure("veldra:calc:syntax",
                            "Syntax error in '" + s_ + "' at position " + std::to_string(column()) + ": " + what + ".");
    }

    double expr() {
        double v = term();
        for (;;) {
            if (accept('+')) v += term();
            else if (accept('-')) v -= term();
            else return v;
        }
    }

    double term() {
        double v = unary();
        for (;;) {
            if (accept('*')) v *= unary();
            else if (accept('/')) v /= unary();
            else return v;
        }
    }

    // Bounds the recursion: text can nest deeper than the stack would allow.
    struct Depth {
        explicit Depth(Parser& p) : p_(p) {
            if (++p_.depth_ > kMaxDepth)
                throw SyntaxFailure("veldra:calc:tooDeep", "The expression is nested too deeply.");
        }
        ~Depth() { --p_.depth_; }
        Parser& p_;
    };
    static constexpr int kMaxDepth = 500;

    double unary() {
        Depth guard(*this);
        if (accept('-')) return -unary();
        if (accept('+')) return unary();
        return power();
    }

    double power() {
        const double base = primary();
        if (accept('^')) return std::pow(base, unary());
        return base;
    }

    static bool isDigit(char c) { return c >= '0' && c <= '9'; }
    static bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

    double primary() {
        skipSpace();
        if (pos_ >= s_.size()) syntaxError();
        const char c = s_[pos_];
        if (accept('(')) {
            const double v = expr();
            if (!accept(')')) syntaxError();
            return v;
        }
        if (isDigit(c) || c == '.') return number();
        if (isLetter(c)) return variable();
        syntaxError();
    }

    double number() {
        const std::size_t start = pos_;
        std::size_t p = pos_;
        bool digits = false;
        while (p < s_.size() && isDigit(s_[p])) ++p, digits = true;
        if (p < s_.size() && s_[p] == '.') {
            ++p;
            while (p < s_.size() && isDigit(s_[p])) ++p, digits = true;
        }
        if (!digits) syntaxError();  // a lone '.'
        if (p < s_.size() && (s_[p] == 'e' || s_[p] == 'E')) {
            std::size_t q = p + 1;
            if (q < s_.size() && (s_[q] == '+' || s_[q] == '-')) ++q;
            if (q >= s_.size() || !isDigit(s_[q])) {
                pos_ = q;
                syntaxError();
            }
            while (q < s_.size() && isDigit(s_[q])) ++q;
            p = q;
        }
        pos_ = p;
        double v = 0;
        // from_chars ignores the locale; overflow reads as infinity.
        const auto r = std::from_chars(s_.data() + start, s_.data() + p, v);
        if (r.ec == std::errc::result_out_of_range) {
            const std::string t = s_.substr(start, p - start);
            v = std::strtod(t.c_str(), nullptr);  // inf or 0, whichever it is
        }
        return v;
    }

    double variable() {
        const std::size_t start = pos_;
        while (pos_ < s_.size() && (isLetter(s_[pos_]) || isDigit(s_[pos_]) || s_[pos_] == '_')) ++pos_;
        if (!ws_) return 0;
        const std::string name = s_.substr(start, pos_ - start);
        Array value = ws_->fetch(name);
        if (!value) fail("calc", "unknownVariable", "Unknown variable '" + name + "'.");
        double v = 0;
        if (!realScalarValue(value.get(), &v))
            fail("calc", "notScalar", "The variable '" + name + "' is no real numeric scalar.");
        return v;
    }

    const std::string& s_;
    const Workspace* ws_;
    std::size_t pos_ = 0;
    int depth_ = 0;
};

Results fn_calc(CallContext& ctx, int, const Args& args) {
    requireArgCount("calc", args, 1, 1);
    const std::string text = textArg("calc", args, 0);
    Parser(text, nullptr).run();
    Results out;
    out.push_back(scalarDouble(Parser(text, &ctx.workspace()).run()));
    return out;
}

}  // namespace

VELDRA_ENGINE_FUNCTION(calc, 1, fn_calc);

}  // namespace veldra::engine
