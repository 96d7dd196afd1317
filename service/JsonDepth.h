#pragma once
// The services' JSON answers are flat objects. The parser descends into
// nested values without bounding the depth, so an answer of thousands of
// levels overruns the stack of the host's thread; such an answer is refused
// before it is parsed.

namespace tessaran {

// Deeper than any answer of the services is meant to be, far below a stack's worth.
constexpr int kMaxJsonNesting = 32;

// Whether the text's objects and arrays nest at most limit levels deep
// (brackets inside strings do not count).
inline bool JsonNestedWithin(const char* text, const char* end, int limit = kMaxJsonNesting) noexcept {
    int depth = 0;
    bool inString = false;
    for (const char* p = text; p < end; ++p) {
        if (inString) {
            if (*p == '\\' && p + 1 < end) {
                ++p;
            } else if (*p == '"') {
                inString = false;
            }
        } else if (*p == '"') {
            inString = true;
        } else if (*p == '{' || *p == '[') {
            if (++depth > limit) return false;
        } else if ((*p == '}' || *p == ']') && depth > 0) {
            --depth;
        }
    }
    return true;
}

}  // namespace tessaran
