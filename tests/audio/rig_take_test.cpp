// The rig in a real take: the controller and its mixer in the engine on a private JACK server
// (dummy backend, 8 capture inputs), a tone on every input, the core recording. What the tape
// holds shows how scene switches and mutes sound.
#include <algorithm>
#include <cmath>
#include <vector>

#include "audio_harness.h"
#include "base/clock.h"
#include "core/core.h"
#include "core/tape.h"
#include "rig/rig_controller.h"
#include "support/jack_server.h"
#include "support/tmpdir.h"

namespace {

constexpr int kWindow = 48;  // 1 ms: 2.4 periods of the 2400 Hz tone

class RigTakeTest : public ::testing::Test {
 protected:
  TmpDir dir{"rigtake"};
  JackServer* server = nullptr;
  Core* core = nullptr;
  RigController* ctl = nullptr;
  AudioEngine* engine = nullptr;
  JackTool* tone = nullptr;
  std::vector<CoreEvent> events;
  uint32_t seen = 0;  // the binding generation bound last

  void SetUp() override {
    server = jack_server_start();
    ASSERT_NE(server, nullptr) << "jackd (package jackd2) must be installed and startable";
    core = core_new();
    RigControllerConfig cfg = {};
    cfg.app_name = "kelp";
    cfg.folder = dir.path.c_str();
    cfg.no_watch = true;
    ctl = rig_controller_new(&cfg);
    ASSERT_TRUE(core && ctl);
    engine = audio_engine_create(core, rig_controller_mixer(ctl));
    ASSERT_NE(engine, nullptr);
  }

  void TearDown() override {
    jack_tool_stop(tone);
    audio_engine_destroy(engine);
    rig_controller_free(ctl);
    core_free(core);
    jack_server_stop(server);
  }

  // The UI thread's part for ms: bind when the engine's binding changed, then frame.
  void ui(int ms) {
    uint64_t end = platform_tick_ms() + (uint64_t)ms;
    do {
      if (audio_engine_binding_generation(engine) != seen) {
        StreamBinding b;
        audio_engine_lock_rig(engine);
        seen = audio_engine_binding(engine, &b);
        rig_controller_bind(ctl, &b);
        audio_engine_unlock_rig(engine);
      }
      AudioStatus s;
      audio_engine_status(engine, &s);
      rig_controller_set_stream_running(ctl, s.state == AUDIO_RUNNING);
      rig_controller_frame(ctl, clock_monotonic(), NAN);
      CoreEvent e;
      while (core_pop_event(core, &e)) events.push_back(e);
      platform_sleep_ms(5);
    } while (platform_tick_ms() < end);
  }

  const CoreEvent* event(int32_t kind) {
    for (const CoreEvent& e : events)
      if (e.kind == kind) return &e;
    return nullptr;
  }

  void command(uint32_t kind, int64_t b = 0, Tape* main = nullptr, Tape* capture = nullptr) {
    CoreCommand c = {};
    c.kind = kind;
    c.b = b;
    c.tape = main;
    c.tape2 = capture;
    ASSERT_TRUE(core_push_command(core, &c));
  }
};

size_t longest_zero_run(const std::vector<float>& s, size_t from, size_t to) {
  size_t best = 0, run = 0;
  for (size_t i = from; i < to; i++) {
    run = std::fabs(s[i]) < 1e-7f ? run + 1 : 0;
    best = std::max(best, run);
  }
  return best;
}

TEST_F(RigTakeTest, SceneSwitchCrossfadesIn20msWithoutAGapAndAMuteSilencesItsInput) {
  AudioEngineConfig cfg = audio_config("system", 256, 0);
  AudioStatus s;
  ASSERT_TRUE(audio_wait_command(engine, audio_engine_open(engine, &cfg), 10000, &s));
  ASSERT_EQ(s.state, AUDIO_RUNNING) << s.message;
  ASSERT_EQ(s.inputs, 8);
  for (int i = 0; i < 400 && !rig_controller_doc(ctl); i++) ui(5);
  ASSERT_NE(rig_controller_doc(ctl), nullptr);
  tone = jack_tool_start(jack_tool_path("jack_tone"),
                         {"--freq", "2400", "--level", "0.25", "--to", "PortAudio", "--ports", "8"},
                         5000);
  ASSERT_NE(tone, nullptr);

  // Scene 2 is scene 1 with inputs 1-2 at half gain; scene 1 plays again while the take starts.
  rig_select_scene(ctl, 1);
  rig_set_gain(ctl, 0, 0.5f);
  rig_select_scene(ctl, 0);
  Tape* main = tape_new(48000, 1.0, 0);
  Tape* capture = tape_new(48000, 1.0, 0);
  ASSERT_TRUE(main && capture);
  command(CMD_ATTACH, 0, main, capture);
  command(CMD_RECORD, 1);
  for (int i = 0; i < 200 && !event(EV_TAKE_STARTED); i++) ui(5);
  ASSERT_NE(event(EV_TAKE_STARTED), nullptr);

  ui(500);
  rig_select_scene(ctl, 1);
  ui(400);
  // Only input 3 plays, then it is muted too.
  rig_set_muted(ctl, 2, false);
  rig_set_muted(ctl, 0, true);
  ui(300);
  rig_set_muted(ctl, 2, true);
  ui(300);
  command(CMD_RECORD_STOP);
  for (int i = 0; i < 200 && !event(EV_TAKE_ENDED); i++) ui(5);
  const CoreEvent* ended = event(EV_TAKE_ENDED);
  ASSERT_NE(ended, nullptr);
  ASSERT_GT(ended->segment_length, 48000);

  std::vector<float> left((size_t)ended->segment_length), right(left.size());
  tape_read_planar(main, ended->segment_start, ended->segment_length, tape_length(main),
                   left.data(), right.data());
  std::vector<float> peaks;  // of each 1 ms window of the left side
  for (size_t i = 0; i + kWindow <= left.size(); i += kWindow)
    peaks.push_back(tape_span_peak(left.data() + i, kWindow));
  // The loud part and the half-gain part, each well away from its edges.
  auto level_near = [&](size_t from_ms, size_t to_ms) {
    std::vector<float> v(peaks.begin() + (long)from_ms, peaks.begin() + (long)to_ms);
    std::nth_element(v.begin(), v.begin() + (long)v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  // Where the level falls: the first window well below the full level after 200 ms.
  const float full = level_near(200, 400);
  size_t fall = 200;
  while (fall < peaks.size() && peaks[fall] > full * 0.97f) fall++;
  ASSERT_LT(fall + 300, peaks.size());
  const float half = level_near(fall + 100, fall + 300);
  EXPECT_NEAR(half / full, 0.5f, 0.03f);
  size_t settled = fall;
  while (settled < peaks.size() && peaks[settled] > half * 1.03f) settled++;
  printf("measured: full %.4f, half %.4f, the switch took %zu ms between the 3%% marks\n", full,
         half, settled - fall);
  // A linear 20 ms ramp from full to half: about 18-19 ms between the 3% marks, on 1 ms windows.
  EXPECT_GE(settled - fall, 15u);
  EXPECT_LE(settled - fall, 22u);
  // No gap around the switch. (Only there: on a machine loaded enough to make the tone source
  // miss a cycle of its own, its silence would show anywhere else too.)
  EXPECT_LT(longest_zero_run(left, 48 * (fall - 50), (fall + 100) * 48), 3u);
  EXPECT_LT(longest_zero_run(right, 48 * (fall - 50), (fall + 100) * 48), 3u);

  // Input 3 alone (centred, unity) plays at the full level, then its mute silences the take.
  size_t alone = settled + 50;
  while (alone < peaks.size() && peaks[alone] < half * 1.5f) alone++;
  ASSERT_LT(alone + 200, peaks.size());
  EXPECT_NEAR(level_near(alone + 50, alone + 200) / full, 1.0f, 0.05f);
  size_t muted = alone + 50;
  while (muted < peaks.size() && peaks[muted] > full * 0.5f) muted++;
  ASSERT_LT(muted + 200, peaks.size());
  EXPECT_LT(*std::max_element(peaks.begin() + (long)muted + 30, peaks.begin() + (long)muted + 200),
            full * 1e-3f);
  // The core frees the tapes it holds.
}

}  // namespace
