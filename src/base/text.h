// Bounded UTF-8 text: cuts that never leave half a character, the bounded copies, and the one
// test of what a valid sequence is.
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

// Length of the valid UTF-8 sequence at s (1-4; a zero byte counts as one), or 0 when the bytes
// there do not start one (bad lead byte, bad or missing continuation, overlong form, surrogate,
// above U+10FFFF). available: bytes readable from s. bad (may be null) gets the length of the
// maximal invalid prefix that one U+FFFD stands for.
int text_utf8_sequence(const char* s, size_t available, size_t* bad = nullptr);
// Fresh terminated copy (malloc) of length bytes of s with every byte that does not start a valid
// sequence replaced by U+FFFD. outLength and replaced (either may be null) receive the copy's
// length and whether anything was replaced. Null when memory runs out.
char* text_utf8_repair(const char* s, size_t length, size_t* outLength, bool* replaced);
// Copies src (n bytes, or up to its zero byte when n is SIZE_MAX; a zero byte always ends it)
// into a fixed field of dst_size bytes as valid UTF-8: each maximal invalid part becomes U+FFFD,
// the text is cut at a character boundary and zero-filled after its terminator. Returns the
// length written; cut / replaced report what happened (either may be null).
size_t text_copy_valid(char* dst, size_t dst_size, const char* src, size_t n, bool* cut,
                       bool* replaced);
