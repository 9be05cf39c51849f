// The platform decoder on this system: FFmpeg's demuxers and audio decoders, each decoded frame
// handed to a sink as it comes.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/fsys.h"
#include "store/files.h"
#include "store/import.h"
#include "base/log.h"
#include "store/meta.h"
#include "base/progress.h"
#include "store/wav.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/samplefmt.h>
}

namespace {

// Only the containers the accepted extensions stand for. FFmpeg would otherwise probe a file
// against hundreds of demuxers, some of which open further files or URLs named inside it.
constexpr const char* kFormats = "wav,w64,mp3,flac,mov,aac,asf";

void say(char* message, size_t size, const char* text) {
  if (message && size) snprintf(message, size, "%s", text);
}

unsigned long hr(int err) {
  return (unsigned long)(uint32_t)err;
}

void quiet_ffmpeg() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// One decoded frame's layout, in the terms of the float-or-PCM rule.
struct PcmLayout {
  int channels;
  int rate;
  int bytes;  // per sample
  int32_t kind;
  bool planar;
  unsigned block_align() const { return (unsigned)(channels * bytes); }
};

// 0, or -2 (logged) for a layout import can't take.
int layout_of(const char* path, const AVFrame* f, PcmLayout* out) {
  AVSampleFormat fmt = (AVSampleFormat)f->format;
  int ch = f->ch_layout.nb_channels;
  int bytes = fmt >= 0 ? av_get_bytes_per_sample(fmt) : 0;
  if (ch <= 0 || f->sample_rate <= 0 || bytes <= 0) {
    log_line("decode: %s won't decode to PCM (0x%08lX)", path, hr(AVERROR(EINVAL)));
    return -2;
  }
  AVSampleFormat packed = av_get_packed_sample_fmt(fmt);
  bool isFloat = packed == AV_SAMPLE_FMT_FLT || packed == AV_SAMPLE_FMT_DBL;
  bool usable = isFloat ? (bytes == 4 || bytes == 8)
                        : (packed == AV_SAMPLE_FMT_U8 || packed == AV_SAMPLE_FMT_S16 ||
                           packed == AV_SAMPLE_FMT_S32);
  if (!usable) {
    log_line("decode: %s decodes to an unusable sample size (%u bytes)", path, (unsigned)bytes);
    return -2;
  }
  const int32_t kind = isFloat                       ? (bytes == 4 ? AUDIO_F32 : AUDIO_F64)
                       : packed == AV_SAMPLE_FMT_U8  ? AUDIO_U8
                       : packed == AV_SAMPLE_FMT_S16 ? AUDIO_S16
                                                     : AUDIO_S32;
  *out = PcmLayout{ch, f->sample_rate, bytes, kind, av_sample_fmt_is_planar(fmt) != 0};
  return 0;
}

struct Decoder {
  const char* path = nullptr;
  AVFormatContext* fc = nullptr;
  AVCodecContext* cc = nullptr;
  AVPacket* pkt = nullptr;
  AVFrame* frame = nullptr;
  int stream = -1;
  double duration = 0;  // seconds, 0 when unknown
  AVRational timeBase{0, 1};
  int64_t size = 0;
  JobProgress* progress = nullptr;

  AudioSink* sink = nullptr;
  int sinkRc = 0;  // what the sink stopped the decode with

  bool have_layout = false;
  PcmLayout layout{};
  int64_t frames = 0;
  int corrupt = 0;  // packets the codec refused, skipped

  ~Decoder() {
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&cc);
    avformat_close_input(&fc);
  }
};

// The frames to expect, from the announced length, with room for a codec's padding; 0 unknown.
int64_t expected_frames(const Decoder* d) {
  if (!(d->duration > 0) || d->layout.rate <= 0) return 0;
  double want = 8192.0 + d->duration * d->layout.rate;
  return want < 1e15 ? (int64_t)want : 0;
}

enum Step { STEP_OK = 0, STEP_NOMEM = -1, STEP_FAIL = -2, STEP_RATE = -4, STEP_SINK = -5 };

// Takes every frame the codec has ready to the sink. STEP_OK, STEP_FAIL or STEP_RATE (logged), or
// STEP_SINK (the sink stopped it: sinkRc).
int drain(Decoder* d) {
  for (;;) {
    int rc = avcodec_receive_frame(d->cc, d->frame);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return STEP_OK;
    if (rc == AVERROR_INVALIDDATA) {
      d->corrupt++;  // as for a refused packet: skipped, the next one goes on
      return STEP_OK;
    }
    if (rc < 0) {
      log_line("decode: %s failed mid-stream at %lld frames (0x%08lX)", d->path,
               (long long)d->frames, hr(rc));
      return STEP_FAIL;
    }
    PcmLayout l;
    if (layout_of(d->path, d->frame, &l) != 0) {
      av_frame_unref(d->frame);
      return STEP_FAIL;
    }
    if (!d->have_layout) {
      d->layout = l;
      d->have_layout = true;
      // A rate no recording has would be resampled into gigabytes on open.
      if (!meta_rate_usable((double)l.rate)) {
        log_line("decode: %s is at %d Hz - not a recording's rate", d->path, l.rate);
        av_frame_unref(d->frame);
        return STEP_RATE;
      }
      d->sinkRc = d->sink->start(d->sink, l.channels, (double)l.rate, expected_frames(d));
      if (d->sinkRc != 0) {
        av_frame_unref(d->frame);
        return STEP_SINK;
      }
    } else if (l.channels != d->layout.channels || l.rate != d->layout.rate ||
               l.block_align() != d->layout.block_align()) {
      log_line("decode: %s changes format mid-stream - not supported", d->path);
      av_frame_unref(d->frame);
      return STEP_FAIL;
    } else {
      d->layout = l;  // same size, maybe another encoding: convert by what this frame holds
    }
    int n = d->frame->nb_samples;
    if (n > 0) {
      AudioBlock b{d->frame->extended_data, n, d->layout.channels, d->layout.kind,
                   d->layout.planar};
      d->sinkRc = d->sink->block(d->sink, &b);
      if (d->sinkRc != 0) {
        av_frame_unref(d->frame);
        return STEP_SINK;
      }
      d->frames += n;
    }
    if (d->progress && d->duration > 0 && d->frame->pts != AV_NOPTS_VALUE) {
      double t = (double)d->frame->pts * av_q2d(d->timeBase) / d->duration;
      t = std::clamp(t, 0.0, 1.0);
      d->progress->done.store((int64_t)(d->size * t), std::memory_order_relaxed);
    }
    av_frame_unref(d->frame);
  }
}

// Opens the file and its first audio stream's decoder. 0, -1 (out of memory) or -2 (logged).
int open_decoder(Decoder* d) {
  d->fc = avformat_alloc_context();
  if (!d->fc) return -1;
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, "protocol_whitelist", "file", 0);
  av_dict_set(&opts, "format_whitelist", kFormats, 0);
  // "file:" keeps a name such as "a:b.mp3" from being read as a protocol.
  std::string url = std::string("file:") + d->path;
  int rc = avformat_open_input(&d->fc, url.c_str(), nullptr, &opts);
  av_dict_free(&opts);
  if (rc < 0) {
    log_line("decode: no reader for %s (0x%08lX)", d->path, hr(rc));
    return -2;  // avformat_open_input freed the context
  }
  rc = avformat_find_stream_info(d->fc, nullptr);
  if (rc < 0) {
    log_line("decode: no reader for %s (0x%08lX)", d->path, hr(rc));
    return -2;
  }
  for (unsigned i = 0; i < d->fc->nb_streams; i++) {
    AVStream* s = d->fc->streams[i];
    if (d->stream < 0 && s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      d->stream = (int)i;
    } else {
      s->discard = AVDISCARD_ALL;
    }
  }
  if (d->stream < 0) {
    log_line("decode: %s has no audio stream (0x%08lX)", d->path, hr(AVERROR_STREAM_NOT_FOUND));
    return -2;
  }
  AVStream* s = d->fc->streams[d->stream];
  const AVCodec* codec = avcodec_find_decoder(s->codecpar->codec_id);
  d->cc = codec ? avcodec_alloc_context3(codec) : nullptr;
  rc = !codec   ? AVERROR_DECODER_NOT_FOUND
       : !d->cc ? AVERROR(ENOMEM)
                : avcodec_parameters_to_context(d->cc, s->codecpar);
  if (rc >= 0) {
    d->cc->request_sample_fmt = AV_SAMPLE_FMT_FLT;  // float first; integer PCM is taken too
    d->cc->pkt_timebase = s->time_base;
    rc = avcodec_open2(d->cc, codec, nullptr);
  }
  if (rc < 0) {
    log_line("decode: %s won't decode to PCM (0x%08lX)", d->path, hr(rc));
    return -2;
  }
  d->timeBase = s->time_base;
  if (s->duration > 0 && s->duration != AV_NOPTS_VALUE) {
    d->duration = (double)s->duration * av_q2d(s->time_base);
  } else if (d->fc->duration > 0 && d->fc->duration != AV_NOPTS_VALUE) {
    d->duration = (double)d->fc->duration / AV_TIME_BASE;
  }
  if (!std::isfinite(d->duration)) d->duration = 0;
  d->pkt = av_packet_alloc();
  d->frame = av_frame_alloc();
  return d->pkt && d->frame ? 0 : -1;
}

}  // namespace

int decode_stream_with_platform_decoder(const char* path, AudioSink* sink, JobProgress* progress,
                                        char* message, size_t messageSize) {
  if (!path || !*path || !sink) {
    say(message, messageSize, "file not found");
    return -1;
  }
  int64_t size = file_size(path);
  if (size < 0) {
    say(message, messageSize, "file not found");
    return -1;
  }
  // A pipe or device named like audio would hold the IO worker in open() for good.
  FsysInfo info;
  if (fsys_info(path, &info) != 0 || info.target_kind != FSYS_FILE) {
    log_line("decode: %s isn't a regular file", path);
    say(message, messageSize, IMPORT_REFUSED);
    return -2;
  }
  if (strlen(path) > PATH_UTF8_MAX) {
    say(message, messageSize, "path too long");
    return -1;
  }
  quiet_ffmpeg();
  job_progress_set(progress, 0, size);

  Decoder d;
  d.path = path;
  d.size = size;
  d.progress = progress;
  d.sink = sink;
  sink->reason[0] = 0;
  int rc = open_decoder(&d);
  if (rc == -1) {
    log_line("decode: out of memory opening %s", path);
    say(message, messageSize, "out of memory");
    return -1;
  }
  if (rc != 0) {
    say(message, messageSize, IMPORT_REFUSED);
    return -2;
  }
  // A rate no recording has would be resampled into gigabytes on open: refused before decoding
  // when the header tells it, else once the frames have.
  if (d.cc->sample_rate > 0 && !meta_rate_usable((double)d.cc->sample_rate)) {
    log_line("decode: %s is at %d Hz - not a recording's rate", path, d.cc->sample_rate);
    say(message, messageSize, IMPORT_RATE_REFUSED);
    return -2;
  }

  int step = STEP_OK;
  bool ended = false;
  while (step == STEP_OK && !ended) {
    if (job_progress_cancelled(progress)) return -3;
    int r = av_read_frame(d.fc, d.pkt);
    if (r == AVERROR_EOF) {
      ended = true;
      r = avcodec_send_packet(d.cc, nullptr);  // flush what the codec holds back
      if (r < 0 && r != AVERROR_EOF) {
        log_line("decode: %s failed mid-stream at %lld frames (0x%08lX)", path, (long long)d.frames,
                 hr(r));
        step = STEP_FAIL;
        break;
      }
    } else if (r < 0) {
      log_line("decode: %s failed mid-stream at %lld frames (0x%08lX)", path, (long long)d.frames,
               hr(r));
      step = STEP_FAIL;
      break;
    } else if (d.pkt->stream_index != d.stream) {
      av_packet_unref(d.pkt);
      continue;
    } else {
      if (d.duration <= 0 && progress) {
        int64_t pos = d.fc->pb ? avio_tell(d.fc->pb) : 0;
        progress->done.store(std::clamp<int64_t>(pos, 0, size), std::memory_order_relaxed);
      }
      r = avcodec_send_packet(d.cc, d.pkt);
      if (r == AVERROR(EAGAIN)) {
        // The codec is full: take its frames, then hand the packet over again.
        step = drain(&d);
        if (step == STEP_OK) r = avcodec_send_packet(d.cc, d.pkt);
      }
      av_packet_unref(d.pkt);
      if (step != STEP_OK) break;
      // A damaged packet in a long file costs a few milliseconds, not the import: the codec
      // resynchronises on the next one, as players do.
      if (r == AVERROR_INVALIDDATA) {
        d.corrupt++;
      } else if (r < 0) {
        log_line("decode: %s failed mid-stream at %lld frames (0x%08lX)", path, (long long)d.frames,
                 hr(r));
        step = r == AVERROR(ENOMEM) ? STEP_NOMEM : STEP_FAIL;
        break;
      }
    }
    step = drain(&d);
  }

  if (step == STEP_SINK) {
    say(message, messageSize, sink->reason);
    return d.sinkRc == -2 || d.sinkRc == -3 ? d.sinkRc : -1;
  }
  if (step == STEP_NOMEM) {
    log_line("decode: out of memory decoding %s at %lld frames", path, (long long)d.frames);
    say(message, messageSize, "out of memory");
    return -1;
  }
  if (step == STEP_RATE) {
    say(message, messageSize, IMPORT_RATE_REFUSED);
    return -2;
  }
  if (step != STEP_OK) {
    say(message, messageSize, IMPORT_REFUSED);
    return -2;
  }
  if (progress) progress->done.store(size, std::memory_order_relaxed);
  if (d.frames <= 0) {
    log_line("decode: %s decoded to nothing", path);
    say(message, messageSize, IMPORT_REFUSED);
    return -2;
  }
  if (d.corrupt > 0)
    log_line("decode: %s had %d damaged packet%s - skipped", path, d.corrupt,
             d.corrupt == 1 ? "" : "s");
  say(message, messageSize, "");
  return 0;
}

int decode_with_platform_decoder(const char* path, DecodedAudio* out, JobProgress* progress,
                                 char* message, size_t messageSize) {
  if (!out) {
    say(message, messageSize, "file not found");
    return -1;
  }
  AudioCollector c;
  audio_collector_init(&c, out, path);
  int rc = decode_stream_with_platform_decoder(path, &c.sink, progress, message, messageSize);
  if (rc != 0) decoded_audio_free(out);
  return rc;
}
