#pragma once
// The Unicode case tables of upper and lower, generated from Python's own
// str.upper and str.lower by scripts/gen_case_tables.py (case_tables.cpp).
#include <cstddef>

namespace veldra::engine::unicase {

// A code point and what it becomes: one to three code points, 0-padded.
struct CaseMapping {
    char32_t from;
    char32_t to[3];
};

// Code points first to last, both included.
struct CodeRange {
    char32_t first;
    char32_t last;
};

// Each table is sorted by code point.
extern const char kUnicodeVersion[];
extern const CaseMapping kUpper[];
extern const std::size_t kUpperCount;
extern const CaseMapping kLower[];
extern const std::size_t kLowerCount;
extern const CodeRange kCaseIgnorable[];
extern const std::size_t kCaseIgnorableCount;
extern const CodeRange kCased[];
extern const std::size_t kCasedCount;

}  // namespace veldra::engine::unicase
