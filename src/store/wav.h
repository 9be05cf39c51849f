// WAV files: the writer of side-cars and exports (always 16-bit stereo PCM with a 44-byte header)
// and the reader used for previews and imports (RIFF, RF64 and BW64; 8/16/24/32-bit integer and
// 32/64-bit float; plain or extensible format chunks). Both run on job threads.
#pragma once
#include <cstddef>
#include <cstdint>

struct Tape;
struct JobProgress;

// Most frames one 16-bit stereo WAV holds, so that both 32-bit sizes in its header still fit.
constexpr int64_t WAV_MAX_FRAMES = 1073741814;
constexpr int WAV_HEADER_BYTES = 44;
constexpr int64_t WAV_FRAME_BYTES = 4;  // two 16-bit samples
constexpr int64_t WAV_WRITE_BLOCK_FRAMES = 65536;
constexpr int64_t WAV_READ_BLOCK_BYTES = 1 << 20;

// Audio decoded into memory. samples holds frames * channels interleaved floats, allocated with
// malloc (decoders may realloc it) and owned by the record: release it with decoded_audio_free.
struct DecodedAudio {
  int32_t channels;
  double rate;
  int64_t frames;
  float* samples;
};
void decoded_audio_free(DecodedAudio* audio);

// Writes frames [startFrame, endFrame) of tape (clipped to the tape, cut at WAV_MAX_FRAMES) as a
// 16-bit stereo WAV through the safe writer, each sample scaled by gain. progress (optional)
// counts frames. 0, -1 (logged; any earlier file stays) or -3 (cancelled; nothing is left).
int wav_write(const char* path, const Tape* tape, int64_t startFrame, int64_t endFrame, float gain,
              JobProgress* progress);

// The rate and frame count of a WAV in the side-car format (16-bit stereo PCM, 44-byte header)
// whose size agrees with its header. 0, or -1 for a missing, short or other kind of file.
int wav_sidecar_info(const char* path, double* rate, int64_t* frames);

// Reads a whole WAV file into out (which it overwrites; free it with decoded_audio_free).
// Returns 0; -1 for file trouble (missing, unreadable, ends early, out of memory); -2 for a file
// this reader does not handle (the caller may try another decoder); -3 when cancelled. message
// receives the reason; nothing is logged here, the caller reports it with its own context.
// progress (optional) counts bytes of audio data.
int wav_read(const char* path, DecodedAudio* out, JobProgress* progress, char* message,
             size_t messageSize);
