// What the JSON reader and writer share behind json.h.
#pragma once
#include <cstddef>

// Caches above this many bytes are freed rather than kept for the thread's next document.
enum : size_t { JSON_CACHE_MAX_BYTES = (size_t)64 << 20 };

// Frees the calling thread's cached writer buffer.
void json_writer_cache_release();
