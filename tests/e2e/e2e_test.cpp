// Real takes end to end: the headless driver on a private JACK server, a known tone in its
// inputs, and the sketch folders inspected on disk afterwards with our readers, sox and ffprobe.
#include <string>
#include <vector>

#include "core/tape.h"
#include "e2e/e2e_fixture.h"
#include "store/filenames.h"
#include "store/meta.h"
#include "store/tapefile.h"
#include "store/wav.h"
#include "support/tmpfs.h"

namespace e2e {
namespace {

constexpr double kRate = 48000.0;

struct MetaHolder {
  SketchMeta m;
  bool ok;
  explicit MetaHolder(const std::string& folder) { ok = load_meta(folder, &m); }
  ~MetaHolder() { meta_free(&m); }
};

TEST_F(E2ETest, TwoSecondsOfAToneLandAsTapeWavAndMetaWithSpectralColours) {
  start_with_tone(0.5);
  ASSERT_TRUE(send("record"));
  ASSERT_TRUE(send("wait-audio 2"));
  ASSERT_TRUE(send("record"));
  ASSERT_TRUE(send("wait-idle"));
  EXPECT_EQ(quit(), 0);

  std::vector<std::string> folders = sketches();
  ASSERT_EQ(folders.size(), 1u);
  const std::string& f = folders[0];

  // The tape: 2 s and the punch-out tail (about 105 ms) of the tone on both channels.
  std::vector<float> tape = read_tape(f + "/tape.f32");
  const int64_t frames = (int64_t)tape.size() / 2;
  EXPECT_GT(frames, (int64_t)(2.1 * kRate));
  EXPECT_LT(frames, (int64_t)(2.3 * kRate));
  EXPECT_NEAR(sine_amplitude(tape, 24000, 72000, 0), 0.5, 0.02);
  EXPECT_NEAR(sine_amplitude(tape, 24000, 72000, 1), 0.5, 0.02);
  EXPECT_NEAR(rising_crossings(tape, 24000, 72000), 440, 2);

  // The side-car WAV as other programs read it.
  std::vector<std::string> wavs = files_ending(f, ".wav");
  ASSERT_EQ(wavs.size(), 1u);
  SoxInfo sox = sox_info(wavs[0]);
  EXPECT_EQ(sox.rate, kRate);
  EXPECT_EQ(sox.channels, 2);
  EXPECT_EQ(sox.frames, frames);
  EXPECT_NEAR(sox.max_amplitude, 0.5, 0.02);
  std::pair<double, int64_t> probe = ffprobe_rate_samples(wavs[0]);
  EXPECT_EQ(probe.first, kRate);
  EXPECT_EQ(probe.second, frames);

  // meta.json: one layer of one stroke per 256 frames, and its spectral map from the job.
  MetaHolder meta(f);
  ASSERT_TRUE(meta.ok);
  EXPECT_EQ(meta.m.sampleRate, kRate);
  EXPECT_EQ(meta.m.lengthSamples, frames);
  ASSERT_EQ(meta.m.layerCount, 1);
  const Layer* layer = meta.m.layers[0];
  EXPECT_GE(layer->strokeCount, 370);
  EXPECT_LE(layer->strokeCount, 400);
  EXPECT_NEAR((double)layer->strokeCount, layer->lengthSamples / 256.0, 1.0);
  EXPECT_NEAR(layer->peak, 0.5f, 0.02f);
  const float* spectral = layer_spectral(layer);
  ASSERT_NE(spectral, nullptr) << "the SPECTRAL job's colours never reached meta.json";
  int lit = 0;
  for (int i = 0; i < LAYER_SPECTRAL_VALUES; i++) lit += spectral[i] > 0.0f;
  EXPECT_GT(lit, 0);
  EXPECT_EQ(meta.m.waveformCount, META_WAVEFORM_POINTS);

  std::string text = log();
  char committed[64];
  snprintf(committed, sizeof committed, "session: committed %lld frames", (long long)frames);
  EXPECT_NE(text.find(committed), std::string::npos) << text;
  EXPECT_NE(text.find("main: everything landed in "), std::string::npos);
  EXPECT_NE(text.find("main: bye"), std::string::npos);
}

TEST_F(E2ETest, ALoopedTakeWrapsIntoLayersAndTheTapeHoldsTheOverdubbedSum) {
  // A silent first take gives the tape its first second and more; then a 375 Hz tone, a whole
  // number of cycles per loop and per 256-frame block, so every pass lands in phase on the ones
  // before it even when a loaded machine makes JACK skip a block.
  start_driver();
  ASSERT_TRUE(wait_ready());
  ASSERT_TRUE(send("record"));
  ASSERT_TRUE(send("wait-audio 1.6"));
  ASSERT_TRUE(send("record"));
  ASSERT_TRUE(send("wait-idle"));
  const int64_t first_take = atoll(status()["frames"].c_str());
  start_tone(0.25, 375.0);
  ASSERT_TRUE(send("wait-signal"));
  for (const char* c : {"locate 0", "loop in", "locate 1", "loop out", "rewind"})
    ASSERT_TRUE(send(c)) << c;
  std::map<std::string, std::string> st = status();
  EXPECT_EQ(st["loop"], "0.0000-1.0000(on)");
  ASSERT_TRUE(send("record"));
  ASSERT_TRUE(send("wait-audio 2.5"));
  ASSERT_TRUE(send("record"));
  ASSERT_TRUE(send("wait-idle"));
  EXPECT_EQ(quit(), 0);

  std::vector<std::string> folders = sketches();
  ASSERT_EQ(folders.size(), 1u);
  MetaHolder meta(folders[0]);
  ASSERT_TRUE(meta.ok);
  EXPECT_TRUE(meta.m.loopActive);
  EXPECT_DOUBLE_EQ(meta.m.loopStart, 0.0);
  EXPECT_DOUBLE_EQ(meta.m.loopEnd, 1.0);
  // The silent take, then the looped one in three segments: two whole passes and a part.
  ASSERT_EQ(meta.m.layerCount, 4);
  for (int i = 1; i <= 3; i++) {
    EXPECT_EQ(meta.m.layers[i]->startSample, 0) << i;
    EXPECT_NEAR(meta.m.layers[i]->peak, 0.25f, 0.02f) << i;
  }
  EXPECT_EQ(meta.m.layers[1]->lengthSamples, 48000);
  EXPECT_EQ(meta.m.layers[2]->lengthSamples, 48000);
  const int64_t third = meta.m.layers[3]->lengthSamples;
  ASSERT_GT(third, (int64_t)(0.3 * kRate));
  ASSERT_LT(third, (int64_t)(0.75 * kRate));

  std::vector<float> tape = read_tape(folders[0] + "/tape.f32");
  const int64_t frames = (int64_t)tape.size() / 2;
  EXPECT_EQ(meta.m.lengthSamples, frames);
  EXPECT_EQ(frames, first_take);  // the loop never ran past the first take
  ASSERT_GT(frames, 52800);
  // Three passes up to where the third segment ended, two from the end of its tail (105 ms)
  // to the loop's end, and the silent take's audio past it.
  EXPECT_NEAR(sine_amplitude(tape, 960, third - 960, 0), 0.75, 0.04);
  EXPECT_NEAR(sine_amplitude(tape, third + 6000, 47040, 0), 0.50, 0.04);
  EXPECT_NEAR(sine_amplitude(tape, third + 6000, 47040, 1), 0.50, 0.04);
  EXPECT_LT(sine_amplitude(tape, 48960, frames, 0), 0.01);
  EXPECT_NEAR(rising_crossings(tape, 960, 47040), 375 * 46080 / 48000, 2);
}

TEST_F(E2ETest, ThreeJumpsDuringOneTakeMakeFourLayers) {
  start_with_tone(0.5);
  ASSERT_TRUE(send("record"));
  for (const char* to : {"locate 0.1", "locate 0.2", "locate 0.3"}) {
    ASSERT_TRUE(send("wait-audio 0.6"));
    ASSERT_TRUE(send(to));
  }
  ASSERT_TRUE(send("wait-audio 0.6"));
  ASSERT_TRUE(send("record"));
  ASSERT_TRUE(send("wait-idle"));
  EXPECT_EQ(quit(), 0);

  std::vector<std::string> folders = sketches();
  ASSERT_EQ(folders.size(), 1u);
  MetaHolder meta(folders[0]);
  ASSERT_TRUE(meta.ok);
  ASSERT_EQ(meta.m.layerCount, 4);
  const int64_t starts[4] = {0, 4800, 9600, 14400};
  for (int i = 0; i < 4; i++) {
    const Layer* l = meta.m.layers[i];
    EXPECT_NEAR((double)l->startSample, (double)starts[i], 256.0) << i;
    EXPECT_NEAR((double)l->lengthSamples, 0.62 * kRate, 0.08 * kRate) << i;
    EXPECT_NEAR((double)l->strokeCount, l->lengthSamples / 256.0, 1.0) << i;
    EXPECT_NE(layer_spectral(l), nullptr) << i;
  }
  // The last segment ran on from 0.3 s; the tape ends with it (and its tail).
  std::vector<float> tape = read_tape(folders[0] + "/tape.f32");
  EXPECT_EQ(meta.m.lengthSamples, (int64_t)tape.size() / 2);
  EXPECT_NEAR(
      (double)meta.m.lengthSamples,
      (double)(meta.m.layers[3]->startSample + meta.m.layers[3]->lengthSamples) + 0.105 * kRate,
      0.05 * kRate);
}

TEST_F(E2ETest, QuittingWhileRecordingCommitsTheTakeBeforeExit) {
  start_with_tone(0.5);
  ASSERT_TRUE(send("record"));
  ASSERT_TRUE(send("wait-audio 1.5"));
  EXPECT_EQ(quit(), 0);

  std::string text = log();
  size_t rolling = text.find("main: a take is rolling - stopping it so it lands");
  size_t committed = text.find("session: committed ");
  size_t landed = text.find("main: everything landed in ");
  ASSERT_NE(rolling, std::string::npos) << text;
  ASSERT_NE(committed, std::string::npos) << text;
  ASSERT_NE(landed, std::string::npos) << text;
  EXPECT_LT(rolling, committed);
  EXPECT_LT(committed, landed);
  double took = number_after(text, "main: everything landed in ");
  EXPECT_GE(took, 0.0);
  EXPECT_LT(took, 5.0);
  EXPECT_EQ(text.find("main: the take's tail didn't close"), std::string::npos) << text;
  EXPECT_EQ(text.find("main: the sketch didn't finish closing"), std::string::npos) << text;

  std::vector<std::string> folders = sketches();
  ASSERT_EQ(folders.size(), 1u);
  std::vector<float> tape = read_tape(folders[0] + "/tape.f32");
  const int64_t frames = (int64_t)tape.size() / 2;
  EXPECT_GT(frames, (int64_t)(1.6 * kRate));
  EXPECT_LT(frames, (int64_t)(1.9 * kRate));
  MetaHolder meta(folders[0]);
  ASSERT_TRUE(meta.ok);
  EXPECT_EQ(meta.m.lengthSamples, frames);
  EXPECT_EQ(meta.m.layerCount, 1);
  std::vector<std::string> wavs = files_ending(folders[0], ".wav");
  ASSERT_EQ(wavs.size(), 1u);
  EXPECT_EQ(sox_info(wavs[0]).frames, frames);
}

// A 2 s sketch at 44.1 kHz made by our own writers: a 220 Hz sine at 0.4 and one layer.
std::string write_44k_sketch(const std::string& library, std::string* id) {
  const double rate = 44100.0;
  const int64_t frames = 88200;
  SketchMeta m;
  meta_new(&m, rate);
  m.lengthSamples = frames;
  *id = m.id;
  std::string folder = library + "/" + m.id;
  LayerTemplate t;
  memset(&t, 0, sizeof t);
  t.lengthSamples = frames;
  t.sampleRate = rate;
  t.createdAt = m.createdAt;
  std::vector<float> levels((size_t)(frames / 235), 0.4f);
  EXPECT_EQ(meta_add_layer(&m, layer_from_take(&t, levels.data(), (int32_t)levels.size())), 0);
  EXPECT_EQ(meta_save_folder(folder.c_str(), &m), 0);
  Tape* tape = tape_new(rate, 1.0, 0);
  EXPECT_EQ(tape_ensure(tape, frames - 1), 0);
  std::vector<float> buf((size_t)frames * 2);
  for (int64_t i = 0; i < frames; i++)
    buf[(size_t)i * 2] = buf[(size_t)i * 2 + 1] =
        0.4f * (float)std::sin(2.0 * M_PI * 220.0 * (double)i / rate);
  EXPECT_EQ(tape_write(tape, 0, buf.data(), frames), 0);
  EXPECT_EQ(tape_save(tape, (folder + "/tape.f32").c_str(), frames, nullptr, nullptr), 0);
  char title[256], wav[96];
  meta_title(&m, title, sizeof title);
  sidecar_wav_name(title, wav, sizeof wav);
  EXPECT_EQ(wav_write((folder + "/" + wav).c_str(), tape, 0, frames, 1.0f, nullptr), 0);
  tape_free(tape);
  meta_free(&m);
  return folder;
}

TEST_F(E2ETest, A44kSketchOpenedOnThe48kStreamIsResampledAndRecommitted) {
  ASSERT_EQ(fsys_make_folders(library.c_str()), 0);
  std::string id;
  std::string folder = write_44k_sketch(library, &id);
  start_driver();
  ASSERT_TRUE(wait_ready());
  ASSERT_TRUE(send("open sketch " + id));
  ASSERT_TRUE(send("wait-ready"));
  ASSERT_TRUE(send("wait-idle"));
  std::map<std::string, std::string> st = status();
  EXPECT_EQ(st["id"], id);
  EXPECT_EQ(st["rate"], "48000");
  EXPECT_EQ(st["frames"], "96000");
  EXPECT_EQ(quit(), 0);

  std::string text = log();
  EXPECT_NE(text.find("resampled to 48000 Hz on open (x1.08844)"), std::string::npos) << text;
  EXPECT_NE(text.find("session: committed 96000 frames to " + folder), std::string::npos) << text;

  MetaHolder meta(folder);
  ASSERT_TRUE(meta.ok);
  EXPECT_EQ(meta.m.sampleRate, kRate);
  EXPECT_EQ(meta.m.lengthSamples, 96000);
  ASSERT_EQ(meta.m.layerCount, 1);
  EXPECT_EQ(meta.m.layers[0]->startSample, 0);
  EXPECT_EQ(meta.m.layers[0]->lengthSamples, 96000);
  EXPECT_EQ(meta.m.layers[0]->sampleRate, kRate);

  std::vector<float> tape = read_tape(folder + "/tape.f32");
  ASSERT_EQ(tape.size(), 96000u * 2);
  // Still a 220 Hz sine at 0.4, now at 48 kHz.
  EXPECT_NEAR(rising_crossings(tape, 24000, 72000), 220, 2);
  EXPECT_NEAR(sine_amplitude(tape, 24000, 72000, 0), 0.4, 0.01);
  std::vector<std::string> wavs = files_ending(folder, ".wav");
  ASSERT_EQ(wavs.size(), 1u);
  SoxInfo sox = sox_info(wavs[0]);
  EXPECT_EQ(sox.rate, kRate);
  EXPECT_EQ(sox.frames, 96000);
}

// What a resample-on-open commit cut short between tape.f32 and meta.json leaves behind: the
// side-car and tape.f32 at 48 kHz beside the 44.1 kHz meta.json.
TEST_F(E2ETest, ATapeCommittedAt48kBesideAn44kMetaOpensAtItsTrueLengthAndPitch) {
  ASSERT_EQ(fsys_make_folders(library.c_str()), 0);
  std::string id;
  std::string folder = write_44k_sketch(library, &id);
  {
    Tape* old = tape_new(44100.0, 1.0, 0);
    ASSERT_EQ(tape_load(old, (folder + "/tape.f32").c_str(), false, nullptr), 0);
    Tape* now = tape_resample(old, kRate, nullptr);
    ASSERT_NE(now, nullptr);
    ASSERT_EQ(tape_length(now), 96000);
    std::vector<std::string> wavs = files_ending(folder, ".wav");
    ASSERT_EQ(wavs.size(), 1u);
    ASSERT_EQ(wav_write(wavs[0].c_str(), now, 0, 96000, 1.0f, nullptr), 0);
    ASSERT_EQ(tape_save(now, (folder + "/tape.f32").c_str(), 96000, nullptr, nullptr), 0);
    tape_free(old);
    tape_free(now);
  }
  start_driver();
  ASSERT_TRUE(wait_ready());
  ASSERT_TRUE(send("open sketch " + id));
  ASSERT_TRUE(send("wait-ready"));
  ASSERT_TRUE(send("wait-idle"));
  std::map<std::string, std::string> st = status();
  EXPECT_EQ(st["rate"], "48000");
  EXPECT_EQ(st["frames"], "96000");
  EXPECT_EQ(quit(), 0);
  EXPECT_NE(log().find("tape.f32 runs at 48000 Hz though meta.json says 44100 Hz"),
            std::string::npos)
      << log();

  MetaHolder meta(folder);
  ASSERT_TRUE(meta.ok);
  EXPECT_EQ(meta.m.sampleRate, kRate);
  EXPECT_EQ(meta.m.lengthSamples, 96000);
  ASSERT_EQ(meta.m.layerCount, 1);
  EXPECT_EQ(meta.m.layers[0]->lengthSamples, 96000);
  std::vector<float> tape = read_tape(folder + "/tape.f32");
  ASSERT_EQ(tape.size(), 96000u * 2);
  EXPECT_NEAR(rising_crossings(tape, 24000, 72000), 220, 2);
}

// The library on a 1 MB volume: the take can't land, so it is rescued, and the exit says so.
TEST_F(E2ETest, ATakeThatCantLandIsRescuedAndTheExitSaysSo) {
  ASSERT_EQ(fsys_make_folders(library.c_str()), 0);
  std::string why;
  if (tmpfs_mount(library, 1u << 20, &why) != 0) GTEST_SKIP() << why;
  struct Unmount {
    std::string at;
    ~Unmount() { tmpfs_unmount(at); }
  } unmount{library};
  start_with_tone(0.5);
  ASSERT_TRUE(send("record"));
  ASSERT_TRUE(send("wait-audio 4"));
  EXPECT_EQ(quit(), 3);

  std::string text = log();
  EXPECT_EQ(text.find("main: everything landed"), std::string::npos) << text;
  EXPECT_NE(text.find("main: not everything landed"), std::string::npos) << text;
  EXPECT_NE(text.find("didn't land in the library - the audio is rescued in "), std::string::npos)
      << text;
  const std::string rescued = home + "/.local/share/kelp/rescued";
  std::vector<std::string> found = list_dir(rescued);
  ASSERT_EQ(found.size(), 1u) << text;
  const std::string folder = rescued + "/" + found[0];
  EXPECT_NE(found[0].find(" rescued "), std::string::npos) << found[0];
  std::vector<std::string> wavs = files_ending(folder, ".wav");
  ASSERT_EQ(wavs.size(), 1u);
  SoxInfo sox = sox_info(wavs[0]);
  EXPECT_GT(sox.frames, (int64_t)(3.7 * kRate));
  EXPECT_LT(sox.frames, (int64_t)(4.5 * kRate));
  EXPECT_GT(sox.max_amplitude, 0.3);
  MetaHolder meta(folder);
  ASSERT_TRUE(meta.ok);
  EXPECT_EQ(meta.m.layerCount, 1);
  EXPECT_EQ(meta.m.lengthSamples, sox.frames);
  EXPECT_EQ((int64_t)read_tape(folder + "/tape.f32").size(), sox.frames * 2);
  // The library still holds the sketch as it was before the take, under another id.
  std::vector<std::string> kept = sketches();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].find(meta.m.id), std::string::npos);
}

// A sine file made by the ffmpeg command line; the encoder follows from the extension.
bool ffmpeg_tone(const std::string& path, int freq, int rate, double seconds, const char* options) {
  char cmd[256];
  snprintf(cmd, sizeof cmd,
           "ffmpeg -v error -y -f lavfi -i sine=frequency=%d:sample_rate=%d:duration=%g %s", freq,
           rate, seconds, options);
  return run_ok(std::string(cmd) + " '" + path + "'");
}

TEST_F(E2ETest, ImportedMp3AndFlacBecomeSketchesAndAnOggIsRefused) {
  ASSERT_TRUE(run_ok("ffmpeg -version")) << "ffmpeg must be installed";
  const std::string mp3 = dir / "seagull call.mp3";
  const std::string flac = dir / "low hum.flac";
  const std::string ogg = dir / "rain.ogg";
  ASSERT_TRUE(ffmpeg_tone(mp3, 440, 44100, 1.5, "-ac 2"));
  ASSERT_TRUE(ffmpeg_tone(flac, 220, 32000, 1.25, "-ac 1"));
  ASSERT_TRUE(ffmpeg_tone(ogg, 330, 48000, 1.0, "-c:a libvorbis"));

  start_driver();
  ASSERT_TRUE(wait_ready());
  ASSERT_TRUE(send("import " + mp3));
  ASSERT_TRUE(send("import " + flac));
  ASSERT_TRUE(send("wait-idle"));
  const std::vector<std::string> before = sketches();
  ASSERT_TRUE(send("import " + ogg));
  ASSERT_TRUE(send("wait-idle"));
  EXPECT_EQ(sketches(), before);
  EXPECT_EQ(quit(), 0);

  std::string text = log();
  EXPECT_NE(text.find("toast: Couldn't import that file."), std::string::npos) << text;

  // The empty sketch made at start went at quit; the two imports stay.
  std::vector<std::string> folders = sketches();
  ASSERT_EQ(folders.size(), 2u) << text;
  struct Expect {
    const char* name;
    double rate;
    int64_t frames;
  };
  const Expect want[2] = {{"seagull call", 44100.0, 66150}, {"low hum", 32000.0, 40000}};
  for (const Expect& w : want) {
    bool found = false;
    for (const std::string& f : folders) {
      MetaHolder meta(f);
      ASSERT_TRUE(meta.ok) << f;
      if (strcmp(meta.m.name, w.name) != 0) continue;
      found = true;
      EXPECT_EQ(meta.m.sampleRate, w.rate) << w.name;
      EXPECT_EQ(meta.m.lengthSamples, w.frames) << w.name;
      EXPECT_EQ(read_tape(f + "/tape.f32").size(), (size_t)w.frames * 2) << w.name;
      // A steady tone: a full, even waveform.
      ASSERT_EQ(meta.m.waveformCount, META_WAVEFORM_POINTS) << w.name;
      float lo = 1, hi = 0;
      for (int i = 0; i < meta.m.waveformCount; i++) {
        lo = std::min(lo, meta.m.waveform[i]);
        hi = std::max(hi, meta.m.waveform[i]);
      }
      EXPECT_FLOAT_EQ(hi, 1.0f) << w.name;
      EXPECT_GT(lo, 0.9f) << w.name;
      std::vector<std::string> wavs = files_ending(f, ".wav");
      ASSERT_EQ(wavs.size(), 1u) << w.name;
      SoxInfo sox = sox_info(wavs[0]);
      EXPECT_EQ(sox.rate, w.rate) << w.name;
      EXPECT_EQ(sox.frames, w.frames) << w.name;
    }
    EXPECT_TRUE(found) << w.name;
  }
  // Nothing half-written anywhere.
  EXPECT_EQ(test_output("find '" + library + "' -name '*.tmp'"), "");
}

TEST_F(E2ETest, AScriptRecordsLoopsExportsTheLoopAndQuits) {
  const std::string script = dir / "session.txt";
  tmpdir_write(script,
               "# one take, looped, exported, then quit\n"
               "wait-ready 10\n"
               "audio retry   # does something only when the stream didn't start\n"
               "wait-ready\n"
               "wait-signal\n"
               "record\n"
               "wait-audio 1.5\n"
               "loop          # ends the take and loops what it just recorded\n"
               "wait 1\n"
               "export wav\n"
               "wait-idle\n"
               "status\n"
               "quit\n");
  start_driver(script);
  start_tone(0.5);
  int code = wait_exit();
  int errors = 0;
  bool retried = false;
  for (const std::string& line : output) {
    if (line == "error wait-ready 10: timed out")
      retried = true;
    else
      errors += line.rfind("error", 0) == 0;
  }
  EXPECT_EQ(errors, 0) << log();
  EXPECT_EQ(code, retried ? 2 : 0) << log();

  std::vector<std::string> folders = sketches();
  ASSERT_EQ(folders.size(), 1u);
  MetaHolder meta(folders[0]);
  ASSERT_TRUE(meta.ok);
  EXPECT_TRUE(meta.m.loopActive);
  EXPECT_EQ(meta.m.loopStart, 0.0);
  EXPECT_NEAR(meta.m.loopEnd, 1.55, 0.1);
  EXPECT_EQ(meta.m.layerCount, 1);
  std::vector<std::string> exported = files_ending(exports, ".wav");
  ASSERT_EQ(exported.size(), 1u) << log();
  EXPECT_NE(exported[0].find(" loop.wav"), std::string::npos) << exported[0];
  SoxInfo sox = sox_info(exported[0]);
  EXPECT_EQ(sox.rate, kRate);
  EXPECT_NEAR((double)sox.frames, meta.m.loopEnd * kRate, 1.0);
  EXPECT_NEAR(sox.max_amplitude, 0.5, 0.02);
  std::string text = log();
  EXPECT_NE(text.find("session: exported "), std::string::npos) << text;
  EXPECT_NE(text.find("main: everything landed in "), std::string::npos) << text;
}

TEST_F(E2ETest, TheDriverRefusesUnknownCommandsAndQuitsWhenItsInputEnds) {
  start_driver();
  ASSERT_TRUE(wait_ready());
  EXPECT_FALSE(send("fly away", true));
  EXPECT_FALSE(send("locate soon", true));
  EXPECT_TRUE(send("locate 0"));
  close(in_fd);  // the end of the script
  in_fd = -1;
  EXPECT_EQ(wait_exit(), 2);  // orderly, but two commands failed
  std::string text = log();
  EXPECT_NE(text.find("headless: fly away failed - unknown command"), std::string::npos) << text;
  EXPECT_NE(text.find("headless: the script ended - quitting"), std::string::npos) << text;
  EXPECT_NE(text.find("main: bye"), std::string::npos) << text;
  // The untouched sketch made at start doesn't outlive the run.
  EXPECT_TRUE(sketches().empty());
}

}  // namespace
}  // namespace e2e
