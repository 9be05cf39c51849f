// Bounded UTF-8 text: cuts that never leave half a character, and the one bounded copy.
#pragma once
#include <cstddef>

// The largest length up to n at which s[0..n) ends on a whole character.
size_t text_utf8_boundary(const char* s, size_t n);
// Cuts s to at most max_bytes at a character boundary; its new length.
size_t text_utf8_cut(char* s, size_t max_bytes);
// Copies src (null: "") into dst of size bytes, ending on a whole character (also when src itself
// ends in a broken one) and zero-filled after it; dst and src may overlap. True when all of src
// fit.
bool text_copy(char* dst, size_t size, const char* src);
