// tape.f32, the raw tape of a sketch: no header, frames of two little-endian floats (left,
// right), or one float per frame in a legacy mono file. Moved in 1 MiB blocks straight between
// the file and the tape's chunks. Everything here runs on job threads.
#pragma once
#include <cstdint>

struct Tape;
struct JobProgress;

// Frames moved per block (1 MiB of stereo), and the points of a summary waveform.
constexpr int64_t TAPE_FILE_BLOCK_FRAMES = 131072;
constexpr int TAPE_WAVEFORM_POINTS = 96;
// Bytes a frame takes in the file: two floats, or one in a legacy mono file.
constexpr int64_t TAPE_FILE_FRAME_BYTES = 8;
constexpr int64_t TAPE_FILE_MONO_FRAME_BYTES = 4;

// Fills tape (empty, made by the caller at the file's rate) from path; mono reads a legacy file
// and puts every sample on both channels. progress (optional) counts bytes. peakOut (optional)
// receives the largest absolute sample read (0 on failure).
// 0, -1 (missing or unreadable, logged), -2 (the tape can't hold it) or -3 (cancelled).
int tape_load(Tape* tape, const char* path, bool mono, JobProgress* progress,
              float* peakOut = nullptr);

// Writes frames [0, frames) of tape to path through the safe writer; absent chunks are written as
// silence. peakOut (optional) receives the largest absolute sample written. progress counts
// bytes. 0, -1 (logged; any earlier file stays) or -3 (cancelled; any earlier file stays).
int tape_save(const Tape* tape, const char* path, int64_t frames, float* peakOut,
              JobProgress* progress);

// A summary of a tape file: up to 96 bucket means of each frame's louder channel, scaled so the
// largest is 1. The number of points written to out96, 0 on failure or for an empty file.
int tape_file_waveform(const char* path, bool mono, float* out96);

// Rebuilds a 16-bit WAV at destination from folder's tape.f32, learning channels and rate from
// its meta.json. 0, -1 (failure, logged), -2 (no readable meta.json or no audio) or -3.
int wav_from_tape_file(JobProgress* progress, const char* folder, const char* destination);
