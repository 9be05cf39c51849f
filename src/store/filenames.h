// Names of the WAV files made from a sketch's title: the side-car inside the sketch folder
// (letters, digits and marks only, at most 40 user-perceived characters) and the export (the title
// with the characters Windows forbids turned into '-'). Both are valid UTF-8 and never a device
// name.
#pragma once
#include <cstddef>
#include <cstdint>

// The side-car name of title ("recording.wav" when nothing usable is left), cut to fit size.
// 0, or the size needed when not even the shortest usable name fits (buffer set to "").
int sidecar_wav_name(const char* title, char* buffer, size_t size);

// The export name of title ("sketch" when empty), " loop" added before ".wav" for a loop export.
// 0, or the size needed when not even one character of the title fits (buffer set to "").
int export_wav_name(const char* title, bool loop, char* buffer, size_t size);

// CON, PRN, AUX, NUL, COM1-9 or LPT1-9 in any letter case, trailing spaces and dots ignored.
bool is_reserved_device_name(const char* text, size_t length);

// How a code point fares in a side-car name.
enum FilenameCharClass { FILENAME_REPLACE = 0, FILENAME_KEEP = 1, FILENAME_MARK = 2 };
// ICU's general category when the library is there, else the built-in table.
int filename_char_class(uint32_t cp);
// The built-in table: a short list of combining-mark blocks, and the system's alphanumeric test
// below U+10000.
int filename_char_class_builtin(uint32_t cp);
// True when ICU classifies code points (and filename_force_builtin is off).
bool filename_have_icu();
// Makes filename_char_class use the built-in table, as on a system without ICU (for tests).
void filename_force_builtin(bool on);
