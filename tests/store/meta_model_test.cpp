// The sketch model in memory: defaults, layers shared by reference, clones under allocation
// failure, stroke normalisation and upgrade, rescaling and the summary waveform.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "store/meta.h"
#include "store/meta_test_util.h"

using namespace meta_test;

TEST(MetaModel, NewSketchDefaults) {
  SketchMeta m;
  for (double rate : {0.0, -5.0, (double)NAN}) {
    meta_new(&m, rate);
    EXPECT_EQ(m.sampleRate, 48000.0);
    meta_free(&m);
  }
  meta_new(&m, 44100);
  EXPECT_EQ(m.sampleRate, 44100.0);
  EXPECT_EQ(m.channels, 2);
  EXPECT_STREQ(m.space, "dry");
  EXPECT_STREQ(m.vibe, "kelp");
  EXPECT_STREQ(m.name, "");
  EXPECT_EQ(m.id, uuid_text(m.uuid));
  EXPECT_NEAR(m.createdAt, clock_now(), 5.0);
  EXPECT_TRUE(meta_is_empty(&m));
  m.lengthSamples = 88200;
  EXPECT_DOUBLE_EQ(meta_duration(&m), 2.0);
  m.sampleRate = 0;  // a broken rate never divides by zero
  EXPECT_DOUBLE_EQ(meta_duration(&m), 88200.0);
  meta_free(&m);
  EXPECT_EQ(m.layers, nullptr);
}

TEST(MetaModel, NullArgumentsAreHarmless) {
  meta_free(nullptr);
  meta_clear_audio(nullptr);
  EXPECT_EQ(meta_clone(nullptr), nullptr);
  char buf[64];
  EXPECT_EQ(meta_title(nullptr, buf, sizeof buf), 9);
  EXPECT_STREQ(buf, "Recording");
  EXPECT_EQ(meta_parse("{}", 2, nullptr, buf, sizeof buf), META_UNREADABLE);
  // A layer handed to a missing sketch is still released, never leaked.
  Layer* l = layer_of(0, 10, {1});
  EXPECT_EQ(meta_add_layer(nullptr, layer_retain(l)), -1);
  EXPECT_EQ(l->refs.load(), 1);
  layer_release(l);
}

TEST(MetaModel, LayersAreSharedByReference) {
  SketchMeta m;
  meta_new(&m, 0);
  std::vector<Layer*> made;
  for (int i = 0; i < 20; i++) {
    Layer* l = layer_of(i * 100, 100, {0.5f});
    made.push_back(l);
    ASSERT_EQ(meta_add_layer(&m, layer_retain(l)), 0);
    if (i == 0) {
      EXPECT_EQ(m.layerCapacity, 8);
    }
    if (i == 8) {
      EXPECT_EQ(m.layerCapacity, 16);
    }
  }
  EXPECT_EQ(m.layerCapacity, 32);
  m.extras = strdup(R"("x":1)");
  m.legacyLayers = strdup("[1]");
  m.hasLegacyLayers = true;
  m.waveformSnapshots = strdup("[[1]]");
  m.waveform = (float*)malloc(2 * sizeof(float));
  m.waveform[0] = 0.25f;
  m.waveform[1] = 0.5f;
  m.waveformCount = 2;

  SketchMeta* c = meta_clone(&m);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->layerCount, 20);
  EXPECT_EQ(c->layerCapacity, 20);  // exactly count entries
  for (int i = 0; i < 20; i++) {
    EXPECT_EQ(c->layers[i], made[i]);
    EXPECT_EQ(made[i]->refs.load(), 3);  // ours, the original's, the clone's
  }
  EXPECT_NE(c->extras, m.extras);
  EXPECT_EQ(serialise(c), serialise(&m));

  // Replacing in the clone leaves the original alone.
  Layer* fresh = layer_of(5, 5, {1});
  EXPECT_EQ(meta_replace_layer(c, 3, fresh), 0);
  EXPECT_EQ(made[3]->refs.load(), 2);
  EXPECT_EQ(m.layers[3], made[3]);
  // Out of range releases the newcomer.
  Layer* stray = layer_of(0, 1, {});
  layer_retain(stray);
  EXPECT_EQ(meta_replace_layer(c, 20, stray), -1);
  EXPECT_EQ(stray->refs.load(), 1);
  layer_release(stray);

  meta_clear_audio(c);
  EXPECT_EQ(c->layerCount, 0);
  EXPECT_EQ(c->waveform, nullptr);
  EXPECT_EQ(c->waveformSnapshots, nullptr);
  EXPECT_STREQ(c->legacyLayers, "[1]");
  EXPECT_STREQ(c->extras, R"("x":1)");
  EXPECT_EQ(made[0]->refs.load(), 2);
  meta_destroy(c);
  meta_free(&m);
  for (Layer* l : made) {
    EXPECT_EQ(l->refs.load(), 1);
    layer_release(l);
  }
}

TEST(MetaModel, CloneUnderAllocationFailureTakesNothing) {
  Parsed p(sketch_json(R"("x":[1],"layers":[2],"waveformSnapshots":[[3]],"waveform":[0.5],)"
                       R"("layerSnapshots":[)" +
                       layer_json() + "," + layer_json() + "]"));
  ASSERT_EQ(p.status, META_OK) << p.message;
  std::string want = serialise(&p.m);
  int failures = 0;
  for (int64_t after = 0; after < 50; after++) {
    meta_debug_fail_allocations(after);
    SketchMeta* c = meta_clone(&p.m);
    meta_debug_fail_allocations(-1);
    for (int i = 0; i < p.m.layerCount; i++) EXPECT_EQ(p.m.layers[i]->refs.load(), c ? 2 : 1);
    if (!c) {
      failures++;
      continue;
    }
    EXPECT_EQ(serialise(c), want);
    meta_destroy(c);
    break;
  }
  EXPECT_GE(failures, 5);  // struct, layers, waveform and three texts each failed once
}

TEST(MetaModel, AddLayerOutOfMemoryLosesOnlyThatTake) {
  SketchMeta m;
  meta_new(&m, 0);
  Layer* l = layer_of(0, 10, {1});
  layer_retain(l);
  int64_t mark = log_mark();
  meta_debug_fail_allocations(0);
  EXPECT_EQ(meta_add_layer(&m, l), -1);
  meta_debug_fail_allocations(-1);
  EXPECT_EQ(l->refs.load(), 1);
  EXPECT_EQ(m.layerCount, 0);
  EXPECT_EQ(log_hits(mark, "kelp_model: out of memory adding layer 0 - the take's drawing is lost"),
            1);
  layer_release(l);
  meta_free(&m);
}

TEST(MetaModel, LayerFromTakeNormalisesByThePeak) {
  LayerTemplate t = tmpl(10, 1000);
  t.hasExplicitY = true;
  t.explicitY = 0.3;
  t.bornAt = 7;
  std::vector<float> levels = {0.5f, NAN, -1.0f, 0.25f, INFINITY, 0.0f};
  Layer* l = layer_from_take(&t, levels.data(), (int32_t)levels.size());
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->refs.load(), 1);
  EXPECT_TRUE(l->hasPeak);
  EXPECT_EQ(l->peak, 0.5f);
  std::vector<float> want = {1, 0, 0, 0.5f, 0, 0};
  ASSERT_EQ(l->strokeCount, 6);
  for (int i = 0; i < 6; i++) EXPECT_EQ(l->strokes[i], want[i]) << i;
  EXPECT_EQ(l->startSample, 10);
  EXPECT_EQ(l->bornAt, 7);
  EXPECT_TRUE(l->hasExplicitY);

  // Silence: a present peak of 0 and all-zero strokes.
  std::vector<float> quiet = {0, 0, -0.5f};
  Layer* s = layer_from_take(&t, quiet.data(), 3);
  EXPECT_TRUE(s->hasPeak);
  EXPECT_EQ(s->peak, 0.0f);
  EXPECT_EQ(s->strokes[2], 0.0f);

  // layer_with_strokes renormalises on a copy; without levels the peak goes.
  std::vector<float> louder = {2, 1};
  Layer* w = layer_with_strokes(l, louder.data(), 2);
  EXPECT_EQ(w->peak, 2.0f);
  EXPECT_EQ(w->strokes[1], 0.5f);
  EXPECT_EQ(w->startSample, 10);
  EXPECT_EQ(l->strokeCount, 6);  // the original is untouched
  Layer* none = layer_with_strokes(l, nullptr, 0);
  EXPECT_FALSE(none->hasPeak);
  EXPECT_EQ(none->strokeCount, 0);
  for (Layer* x : {l, s, w, none}) layer_release(x);
}

TEST(MetaModel, LayerCopyKeepsStrokeTextOnlyForTheSameStrokes) {
  Parsed p(sketch_json(R"("layerSnapshots":[{"startSample":0,"lengthSamples":10,)"
                       R"("sampleRate":48000,"createdAt":1,"peak":0.5,"mood":"x",)"
                       R"("strokes":[{"amplitude":0.5,"t":0},{"amplitude":1,"t":1}]}])"));
  ASSERT_EQ(p.status, META_OK) << p.message;
  const Layer* src = p.m.layers[0];
  ASSERT_NE(src->strokesText, nullptr);
  Layer* same = layer_copy(src, 2);
  EXPECT_STREQ(same->strokesText, src->strokesText);
  EXPECT_STREQ(same->extras, R"("mood":"x")");
  Layer* longer = layer_copy(src, 4);
  EXPECT_EQ(longer->strokesText, nullptr);
  EXPECT_EQ(longer->strokes[1], 1.0f);
  EXPECT_EQ(longer->strokes[3], 0.0f);
  Layer* rebuilt = layer_with_strokes(src, src->strokes, 2);
  EXPECT_EQ(rebuilt->strokesText, nullptr);
  for (Layer* x : {same, longer, rebuilt}) layer_release(x);
}

TEST(MetaModel, SpectralAttachesOnceAcrossThreads) {
  for (int round = 0; round < 20; round++) {
    Layer* l = layer_of(0, 10, {1});
    std::atomic<int> wins{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
      threads.emplace_back([l, t, &wins] {
        std::vector<float> v(LAYER_SPECTRAL_VALUES, (float)t);
        if (layer_attach_spectral(l, v.data())) wins++;
      });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wins.load(), 1);
    const float* s = layer_spectral(l);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s[0], s[LAYER_SPECTRAL_VALUES - 1]);  // one whole record, not a mix
    layer_release(l);
  }
}

TEST(MetaModel, UpgradeRenormalisesOnlyLegacyLayers) {
  SketchMeta m;
  meta_new(&m, 0);
  m.lengthSamples = 100;
  meta_add_layer(&m, layer_of(0, 10, {0.2f, 0.4f, -0.1f}, false));  // legacy: upgraded
  meta_add_layer(&m, layer_of(0, 10, {0.2f, 0.4f}, true));          // has a peak
  meta_add_layer(&m, layer_of(0, 10, {0.9995f, 0.5f}, false));      // already full scale
  meta_add_layer(&m, layer_of(0, 10, {0, 0}, false));               // silent
  meta_add_layer(&m, layer_of(0, 10, {}, false));                   // no strokes
  Layer* before = m.layers[0];
  layer_retain(before);
  EXPECT_EQ(meta_upgrade_strokes(&m), 1);
  EXPECT_NE(m.layers[0], before);
  EXPECT_EQ(before->refs.load(), 1);  // the old one was released by the sketch
  EXPECT_FLOAT_EQ(m.layers[0]->strokes[0], 0.5f);
  EXPECT_FLOAT_EQ(m.layers[0]->strokes[1], 1.0f);
  EXPECT_EQ(m.layers[0]->strokes[2], 0.0f);
  EXPECT_FALSE(m.layers[0]->hasPeak);
  EXPECT_FLOAT_EQ(m.layers[1]->strokes[1], 0.4f);
  EXPECT_EQ(meta_upgrade_strokes(&m), 0);  // idempotent
  layer_release(before);
  meta_free(&m);
}

TEST(MetaModel, RescaleRoundsHalfAwayFromZero) {
  Parsed p(sketch_json(R"("sampleRate":44100,"lengthSamples":88200,"layerSnapshots":[)"
                       R"({"startSample":44100,"lengthSamples":22050,"sampleRate":44100,)"
                       R"("createdAt":1,"strokes":[{"amplitude":1,"k":1}],"z":0},)"
                       R"({"startSample":3,"lengthSamples":5,"sampleRate":44100,"createdAt":1,)"
                       R"("strokes":[]}])"));
  ASSERT_EQ(p.status, META_OK) << p.message;
  EXPECT_EQ(meta_rescale(&p.m, 48000, 96000), 0);
  EXPECT_EQ(p.m.sampleRate, 48000);
  EXPECT_EQ(p.m.lengthSamples, 96000);
  EXPECT_EQ(p.m.layers[0]->startSample, 48000);
  EXPECT_EQ(p.m.layers[0]->lengthSamples, 24000);
  EXPECT_EQ(p.m.layers[0]->sampleRate, 48000);
  EXPECT_NE(p.m.layers[0]->strokesText, nullptr);  // strokes, their text and extras travel
  EXPECT_STREQ(p.m.layers[0]->extras, R"("z":0)");

  EXPECT_EQ(meta_rescale(&p.m, 24000, 48000), 0);
  EXPECT_EQ(p.m.layers[1]->startSample, 2);    // 3 * 0.5 = 1.5 -> 2
  EXPECT_EQ(p.m.layers[1]->lengthSamples, 3);  // 2.5 -> 3

  meta_rescale(&p.m, 0, 5);  // no rate: nothing at all
  EXPECT_EQ(p.m.lengthSamples, 48000);
  p.m.sampleRate = 0;  // unknown old rate: positions stay
  meta_rescale(&p.m, 44100, 7);
  EXPECT_EQ(p.m.layers[1]->startSample, 2);
  EXPECT_EQ(p.m.sampleRate, 44100);
  EXPECT_EQ(p.m.lengthSamples, 7);
}

TEST(MetaModel, SummaryWaveformFollowsTheLayers) {
  SketchMeta m;
  meta_new(&m, 0);
  m.lengthSamples = 9600;
  meta_add_layer(&m, layer_of(0, 9600, {1, 0}));
  EXPECT_TRUE(meta_refresh_waveform(&m));
  ASSERT_EQ(m.waveformCount, 96);
  for (int i = 0; i < 96; i++) EXPECT_EQ(m.waveform[i], i < 48 ? 1.0f : 0.0f) << i;

  // A quiet take in the second half adds to, never lowers, a column.
  meta_add_layer(&m, layer_of(4800, 4800, {0.25f}));
  meta_refresh_waveform(&m);
  EXPECT_EQ(m.waveform[10], 1.0f);
  EXPECT_EQ(m.waveform[50], 0.25f);
  EXPECT_EQ(m.waveform[95], 0.25f);

  // The writer uses the same values.
  Parsed back(serialise(&m));
  ASSERT_EQ(back.m.waveformCount, 96);
  EXPECT_EQ(memcmp(back.m.waveform, m.waveform, 96 * sizeof(float)), 0);

  m.lengthSamples = 0;
  EXPECT_FALSE(meta_refresh_waveform(&m));
  EXPECT_EQ(m.waveform, nullptr);
  meta_free(&m);
}
