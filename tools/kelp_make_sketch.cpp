// kelp_make_sketch: writes a sketch folder with many takes into a library, for pictures and
// benchmarks that need a busy sketch without recording it by hand.
//
//   kelp_make_sketch LIBRARY [--takes N] [--seconds S] [--length L] [--loop IN OUT]
//                    [--zoom Z] [--name NAME]
//
// N takes (default 20) of S seconds each (default 4) spread over a tape of L seconds (default
// 60), overlapping so they stack in lanes, with levels that swell and fade like sung phrases.
// The tape is silent: the takes' drawings are what matter. The folder is LIBRARY/<id>; the
// sketch's id goes to standard output. Exit 0, or 1 with a line on standard error.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/clock.h"
#include "core/analysis.h"
#include "platform/fsys.h"
#include "store/files.h"
#include "store/meta.h"

namespace {

constexpr double kRate = 48000.0;

float level_at(int take, int i, int count) {
  // A phrase: rises, wavers and falls, louder for some takes than others.
  const double u = (double)i / std::max(count - 1, 1);
  const double swell = std::sin(M_PI * u);
  const double waver = 0.65 + 0.35 * std::sin(i * 0.37 + take * 1.7) * std::sin(i * 0.071 + take);
  const double loud = 0.45 + 0.55 * std::fabs(std::sin(take * 0.9 + 0.4));
  return (float)std::fmin(1.0, std::fmax(0.0, swell * waver * loud));
}

int fail(const char* what) {
  fprintf(stderr, "kelp_make_sketch: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return fail("usage: kelp_make_sketch LIBRARY [--takes N] [--seconds S] ...");
  const char* library = argv[1];
  int takes = 20;
  double seconds = 4, length = 60, loop_in = 0, loop_out = 0, zoom = 0;
  const char* name = "";
  for (int i = 2; i < argc; i++) {
    auto next = [&](void) -> const char* { return i + 1 < argc ? argv[++i] : "0"; };
    if (!strcmp(argv[i], "--takes")) takes = atoi(next());
    else if (!strcmp(argv[i], "--seconds")) seconds = atof(next());
    else if (!strcmp(argv[i], "--length")) length = atof(next());
    else if (!strcmp(argv[i], "--loop")) { loop_in = atof(next()); loop_out = atof(next()); }
    else if (!strcmp(argv[i], "--zoom")) zoom = atof(next());
    else if (!strcmp(argv[i], "--name")) name = next();
    else return fail("unknown option");
  }
  if (takes < 0 || takes > 10000 || !(seconds > 0) || !(length >= seconds))
    return fail("takes 0..10000, seconds above 0, length at least seconds");

  SketchMeta meta;
  meta_new(&meta, kRate);
  snprintf(meta.name, sizeof meta.name, "%s", name);
  const int64_t frames = (int64_t)(length * kRate);
  meta.lengthSamples = frames;
  if (loop_out > loop_in) {
    meta.loopStart = loop_in;
    meta.loopEnd = loop_out;
    meta.loopActive = true;
  }
  if (zoom >= 1) {
    meta.hasViewZoom = true;
    meta.viewZoom = zoom;
  }
  const double created = clock_now() - 3600;
  for (int t = 0; t < takes; t++) {
    // Starts walk across the tape with a stride that makes neighbours overlap.
    const double span = length - seconds;
    const double start = takes > 1 ? std::fmod(t * 0.618034 * span, span + 1e-9) : 0;
    const int64_t len = (int64_t)(seconds * kRate);
    const int count = (int)std::ceil((double)len / (kRate / ANALYSIS_HOPS_PER_SECOND));
    std::vector<float> levels((size_t)count);
    for (int i = 0; i < count; i++) levels[(size_t)i] = level_at(t, i, count);
    LayerTemplate tmpl{};
    tmpl.startSample = (int64_t)(start * kRate);
    tmpl.lengthSamples = len;
    tmpl.sampleRate = kRate;
    tmpl.createdAt = created + t;
    Layer* layer = layer_from_take(&tmpl, levels.data(), count);
    if (!layer || meta_add_layer(&meta, layer) != 0) return fail("out of memory");
  }
  meta_refresh_waveform(&meta);

  char folder[4096], tape[4200];
  snprintf(folder, sizeof folder, "%s/%s", library, meta.id);
  if (fsys_make_folders(folder) != 0) return fail("can't make the sketch's folder");
  if (meta_save_folder(folder, &meta) != 0) return fail("can't write meta.json");
  // A silent stereo tape of the sketch's length.
  snprintf(tape, sizeof tape, "%s/tape.f32", folder);
  FILE* f = fopen(tape, "wb");
  if (!f) return fail("can't write tape.f32");
  std::vector<float> zeros(2 * 48000, 0.0f);
  for (int64_t left = frames; left > 0; left -= 48000) {
    const size_t n = (size_t)std::min<int64_t>(left, 48000);
    if (fwrite(zeros.data(), sizeof(float) * 2, n, f) != n) {
      fclose(f);
      return fail("can't write tape.f32");
    }
  }
  if (fclose(f) != 0) return fail("can't write tape.f32");
  printf("%s\n", meta.id);
  meta_free(&meta);
  return 0;
}
