// WAV files: the writer of side-cars and exports (always 16-bit stereo PCM with a 44-byte header)
// and the reader used for previews and imports (RIFF, RF64 and BW64; 8/16/24/32-bit integer and
// 32/64-bit float; plain or extensible format chunks). Both run on job threads. Decoders hand
// their audio on in blocks to a sink (AudioSink), here and in the platform decoder alike.
#pragma once
#include <cstddef>
#include <cstdint>

#include "store/files.h"

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

// ---- audio in blocks ----

// How a block's samples are stored: unsigned 8-bit, signed little-endian 16, 24 (3 bytes) and
// 32-bit integers, 32 and 64-bit floats.
enum AudioSampleKind : int32_t { AUDIO_U8, AUDIO_S16, AUDIO_S24, AUDIO_S32, AUDIO_F32, AUDIO_F64 };
int audio_sample_bytes(int32_t kind);

// Frames a decoder hands on: packed (planes[0] holds the channels interleaved) or planar (one
// plane per channel). Valid only during the call that receives it.
struct AudioBlock {
  const uint8_t* const* planes;
  int64_t frames;
  int32_t channels;
  int32_t kind;
  bool planar;
};

// Frames [from, from + n) of block as interleaved floats into out: integers scaled to [-1, 1)
// (divided by 2^(bits - 1), 8-bit centred on 128), floats as they are.
void audio_block_to_float(const AudioBlock* block, int64_t from, int64_t n, float* out);

// Where a decoder sends its audio. start comes once, before the first block, with the stream's
// channels, rate and the frames to expect (exact for a WAV, the header's guess otherwise, 0 when
// unknown). Both return 0 to go on, or -1, -2 or -3 to stop the decode, which then returns that
// code with reason as its message. The sink logs its own failures.
struct AudioSink {
  int (*start)(AudioSink* sink, int32_t channels, double rate, int64_t expectedFrames);
  int (*block)(AudioSink* sink, const AudioBlock* block);
  void* user;
  char reason[128];
};

// A sink that gathers the whole decode into out as interleaved floats (out is overwritten; free
// it with decoded_audio_free whatever the decode returned). path names the file in the log.
struct AudioCollector {
  AudioSink sink;
  DecodedAudio* out;
  int64_t capacity;  // frames
  const char* path;
};
void audio_collector_init(AudioCollector* collector, DecodedAudio* out, const char* path);

// Writes frames [startFrame, endFrame) of tape (clipped to the tape, cut at WAV_MAX_FRAMES) as a
// 16-bit stereo WAV through the safe writer, each sample scaled by gain. progress (optional)
// counts frames. 0, -1 (logged; any earlier file stays) or -3 (cancelled; nothing is left).
int wav_write(const char* path, const Tape* tape, int64_t startFrame, int64_t endFrame, float gain,
              JobProgress* progress);

// A side-car WAV written as its frames arrive, through the safe writer: the header's sizes are
// filled in at the end, giving the bytes wav_write gives for the same frames at gain 1.
struct WavStream {
  SafeWriter out;
  double rate;
  int64_t frames;  // written so far
  int16_t* pcm;    // WAV_WRITE_BLOCK_FRAMES stereo frames
  bool capped;     // frames past WAV_MAX_FRAMES were dropped
};
// 0, or -1 (logged). Zero-initialise first; discard or finish it whatever this returns.
int wav_stream_open(WavStream* w, const char* path, double rate);
// Appends n stereo frames (interleaved floats); those past WAV_MAX_FRAMES are dropped, as
// wav_write drops them. 0, or -1 (logged).
int wav_stream_write(WavStream* w, const float* frames, int64_t n);
// Fills in the sizes and puts the file in place. 0, or -1 (logged; nothing is left).
int wav_stream_finish(WavStream* w);
// Drops the file unless it was finished; harmless on a stream that never opened.
void wav_stream_discard(WavStream* w);

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
// wav_read handing the audio to sink in blocks of at most WAV_READ_BLOCK_BYTES instead. -2 comes
// before sink->start for a file this reader does not handle, or from the sink.
int wav_read_stream(const char* path, AudioSink* sink, JobProgress* progress, char* message,
                    size_t messageSize);
