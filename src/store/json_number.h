// Number text for the JSON reader and writer: locale-free both ways.
#pragma once
#include <cstddef>

extern const double kJsonPow10[23];  // 1e0 .. 1e22, all exact
extern const float kJsonPow10f[11];  // 1e0f .. 1e10f, all exact

// What the C locale's strtod/strtof make of a valid JSON number text.
double json_text_to_double(const char* s, size_t n);
float json_text_to_float(const char* s, size_t n);

// Shortest text that reads back to exactly v, laid out as printf's %g would; out holds 48 bytes.
size_t json_format_double(char* out, double v);
size_t json_format_float(char* out, float v);
