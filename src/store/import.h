// Audio import: an audio file becomes a new sketch folder in the library. The file is decoded
// in blocks (WAV by our own reader, everything else and WAVs it refuses by the platform decoder);
// each block is mixed to one channel, laid centred on both channels of a tape at the file's own
// rate and appended to tape.f32 and the side-car WAV as it comes, so the file is never held whole
// in memory beside the tape. meta.json with a 96-point waveform follows at the end.
//
// The platform decoder here is FFmpeg (libavformat + libavcodec). Unlike Media Foundation it
// needs no per-thread start-up (no COM apartment, no MFStartup), so no per-thread state is kept;
// its own logging is silenced and every failure is reported through log_line instead.
// Everything here runs on the IO job worker.
#pragma once
#include <cstddef>
#include <cstdint>

struct AudioSink;
struct DecodedAudio;
struct JobProgress;
struct Job;
struct Tape;

enum {
  IMPORT_WAVEFORM_POINTS = 96,
  IMPORT_BLOCK_FRAMES = 4096,  // frames mixed and copied into the tape per step
  IMPORT_NAME_MAX = 255,       // bytes of the sketch name taken from the file name
};

// What the user is told about a file that can't be imported.
constexpr const char* IMPORT_REFUSED = "Couldn't import that file.";
// ... and about one whose sample rate no recording has (outside META_RATE_MIN..META_RATE_MAX).
constexpr const char* IMPORT_RATE_REFUSED =
    "Couldn't import that file: its sample rate isn't a recording's.";

// True for the extensions import takes (.wav .mp3 .m4a .aac .flac .wma, any letter case),
// read after the last '.' that follows the last path separator.
bool import_extension_accepted(const char* path);

// The sketch name for a file: its name without folder and without its last extension (a name
// that is only an extension stays whole), cut to IMPORT_NAME_MAX bytes at a character boundary,
// invalid UTF-8 replaced. Returns the length written (out always terminated when size > 0).
size_t import_sketch_name(const char* path, char* out, size_t size);

// Decodes path into out (overwritten; free with decoded_audio_free). 0; -1 for file or memory
// trouble; -2 when the file can't be imported (message IMPORT_RATE_REFUSED when its rate is not
// a recording's); -3 when cancelled. message gets a short reason.
// progress (optional) counts bytes of the file and is polled for cancel.
int decode_audio_file(const char* path, DecodedAudio* out, JobProgress* progress, char* message,
                      size_t messageSize);
// decode_audio_file handing the audio to sink as it decodes, with the same checks and results. The
// sink never sees a rate no recording has.
int decode_audio_stream(const char* path, AudioSink* sink, JobProgress* progress, char* message,
                        size_t messageSize);

// The platform decoder alone (FFmpeg here), with the same results. Output is float when the
// codec gives float samples, else integer PCM of 1, 2 or 4 bytes, converted to float.
int decode_with_platform_decoder(const char* path, DecodedAudio* out, JobProgress* progress,
                                 char* message, size_t messageSize);
// The same, handing each decoded frame to sink as it comes.
int decode_stream_with_platform_decoder(const char* path, AudioSink* sink, JobProgress* progress,
                                        char* message, size_t messageSize);

// Decodes path onto a new tape (*out, free with tape_free) exactly as an import lays it, writing
// no files: the import's decode on its own. Returns as decode_audio_file.
int import_decode_to_tape(const char* path, Tape** out, JobProgress* progress, char* message,
                          size_t messageSize);

// The summary waveform of n mono values: bucket = max(1, n / 96), each of the first
// min(96, ceil(n / bucket)) buckets the mean of |m| over its frames, scaled so the largest is 1
// (left at 0 when everything is silent). sums holds per-bin sums of |m| (96 entries) as gathered
// from the mixed frames. Returns the number of points written to out96.
int import_waveform(const double* sums, int64_t frames, float* out96);

// The IMPORT_AUDIO job: job->path is the file, job->folder the library. On success meta_out,
// result_id, result_path and frames_out describe the new sketch; on failure nothing is left behind.
// Returns 0, -1 (failed, job_fail called) or -3 (cancelled).
int import_audio_job(Job* job);
