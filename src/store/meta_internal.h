// Helpers shared by the sketch model's files.
#pragma once
#include <cstddef>
#include <cstdint>

#include "store/meta.h"

// Allocation for the model (routed through one place so tests can make it fail).
void* meta_malloc(size_t size);
void* meta_calloc(size_t count, size_t size);
void* meta_realloc(void* p, size_t size);
char* meta_strdup(const char* s);

// Cuts s (terminated, valid UTF-8) to at most max bytes at a character boundary; the new length.
size_t meta_utf8_cut(char* s, size_t max);
// Copies text into out (size bytes) cut at a character boundary; the copied length.
size_t meta_copy_text(char* out, size_t size, const char* text);
// An empty layer (refs 1), zeroed.
Layer* meta_layer_alloc();
// Shallow fields of src into a fresh layer (refs 1) with strokeCount strokes copied or zeroed;
// keepText copies strokesText. Extras and spectral are copied. Null on failure.
Layer* meta_layer_clone(const Layer* src, int32_t strokeCount, bool keepText);
// Seconds since 2001 to Unix seconds; false when not showable as a date (non-finite, before
// 1970, after 3000-01-01).
bool meta_unix_time(double createdAt, int64_t* unixSeconds);
// The 96-point summary of the layers over lengthSamples (zeros when none contributes); true
// when a layer contributed.
bool meta_compute_waveform(const SketchMeta* meta, float out[META_WAVEFORM_POINTS]);
// meta_parse that also tells whether the id came from the file (a string that is a UUID).
MetaStatus meta_parse_ex(const char* text, size_t length, SketchMeta* meta, char* message,
                         size_t messageSize, bool* idFromFile);
