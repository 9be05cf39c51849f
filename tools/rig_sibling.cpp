// Stands in for a sibling program sharing the rigs folder: its own store, app name and writer
// instance. Loads a key, applies gain edits, saves and reports on standard output:
//   rig_sibling --folder F --key K [--app NAME] [--channels N] [--gain SCENE CH VALUE]...
//               [--saves N] [--wait-file PATH] [--watch MS] [--hold-lock MS]
// Lines: "loaded KIND CODE REV", "saved REV", "save_failed CODE MESSAGE", "changed REV APP",
// "locked", "done". --saves repeats the save N times, each edit moving the gains a little;
// --wait-file waits for PATH to exist before the first edit; --watch keeps watching the key for
// MS ms after the saves; --hold-lock only holds the rig's lock file for MS ms.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/filelock.h"
#include "platform/platform.h"
#include "rig/rig_store.h"
#include "store/files.h"

namespace {

struct Gain {
  int scene, channel;
  float value;
};

bool next_result(RigStore* s, RigResult* out, int ms) {
  uint64_t end = platform_tick_ms() + (uint64_t)ms;
  while (!rig_store_next_result(s, out)) {
    if (platform_tick_ms() > end) return false;
    platform_sleep_ms(1);
  }
  return true;
}

int usage() {
  fprintf(stderr,
          "usage: rig_sibling --folder F --key K [--app NAME] [--channels N] "
          "[--gain SCENE CH VALUE]... [--saves N] [--wait-file PATH] [--watch MS] "
          "[--hold-lock MS]\n");
  return 2;
}

int hold_lock(const char* folder, const char* key, int ms) {
  char name[RIG_FILE_NAME_BYTES], path[PATH_UTF8_MAX + 1];
  if (rig_file_name(key, name) != 0) return 1;
  name[strlen(name) - 5] = 0;  // less ".json"
  snprintf(path, sizeof path, "%s/.%s.lock", folder, name);
  fsys_make_folders(folder);
  FsysFile lock;
  if (filelock_take(path, 5000, &lock, nullptr) != 0) {
    printf("lock_failed\n");
    return 1;
  }
  printf("locked\n");
  fflush(stdout);
  platform_sleep_ms((uint32_t)ms);
  filelock_release(lock);
  printf("done\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char *folder = nullptr, *key = nullptr, *app = "sibling", *wait_file = nullptr;
  int channels = 8, saves = 1, watch_ms = 0, hold_ms = -1;
  std::vector<Gain> gains;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    bool more = i + 1 < argc;
    if (!strcmp(a, "--folder") && more)
      folder = argv[++i];
    else if (!strcmp(a, "--key") && more)
      key = argv[++i];
    else if (!strcmp(a, "--app") && more)
      app = argv[++i];
    else if (!strcmp(a, "--channels") && more)
      channels = atoi(argv[++i]);
    else if (!strcmp(a, "--saves") && more)
      saves = atoi(argv[++i]);
    else if (!strcmp(a, "--wait-file") && more)
      wait_file = argv[++i];
    else if (!strcmp(a, "--watch") && more)
      watch_ms = atoi(argv[++i]);
    else if (!strcmp(a, "--hold-lock") && more)
      hold_ms = atoi(argv[++i]);
    else if (!strcmp(a, "--gain") && i + 3 < argc) {
      gains.push_back({atoi(argv[i + 1]), atoi(argv[i + 2]), (float)atof(argv[i + 3])});
      i += 3;
    } else {
      return usage();
    }
  }
  if (!folder || !key) return usage();
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (hold_ms >= 0) return hold_lock(folder, key, hold_ms);

  RigStoreConfig config = {};
  config.folder = folder;
  config.app_name = app;
  config.app_version = "1.0";
  config.poll_ms = 100;
  RigStore* store = rig_store_new(&config);
  if (!store) return 1;
  RigDoc* templ = rig_doc_new();
  const char* colon = strchr(key, ':');
  char api[RIG_API_BYTES] = "";
  if (colon) snprintf(api, sizeof api, "%.*s", (int)(colon - key), key);
  rig_doc_init_for_device(templ, key, api, colon ? colon + 1 : key, channels, nullptr, 0, app,
                          rig_now());
  rig_store_load(store, key, templ);
  rig_doc_free(templ);
  RigResult r = {};
  if (!next_result(store, &r, 10000) || !r.doc) {
    printf("load_failed %d %s\n", r.code, r.message);
    rig_store_close(store, 1000);
    return 1;
  }
  printf("loaded %d %d %lld\n", r.kind, r.code, (long long)r.rev);
  RigDoc* doc = r.doc;
  r.doc = nullptr;
  rig_store_watch(store, key);
  if (wait_file) {
    while (!path_exists(wait_file)) platform_sleep_ms(1);
  }
  int exit_code = 0;
  for (int n = 0; n < saves; n++) {
    RigChanges changes;
    rig_changes_clear(&changes);
    for (const Gain& g : gains) {
      if (g.scene < 0 || g.scene >= RIG_SCENES || g.channel < 0 || g.channel >= RIG_MAX_CHANNELS)
        continue;
      doc->scenes[g.scene].channels[g.channel].gain = g.value + 0.001f * (float)(n % 100);
      changes.channel[g.scene][g.channel] |= RIG_CH_GAIN;
      changes.any = true;
    }
    if (!rig_store_save(store, doc, &changes)) {
      printf("save_refused\n");
      exit_code = 1;
      break;
    }
    RigResult saved = {};
    while (next_result(store, &saved, 10000)) {
      if (saved.kind == RIG_RESULT_CHANGED_ON_DISK) {
        printf("changed %lld %s\n", (long long)saved.rev, saved.writer_app);
        rig_result_clear(&saved);
        continue;
      }
      break;
    }
    if (saved.kind == RIG_RESULT_SAVED && saved.doc) {
      printf("saved %lld\n", (long long)saved.rev);
      rig_doc_free(doc);
      doc = saved.doc;
      saved.doc = nullptr;
    } else {
      printf("save_failed %d %s\n", saved.code, saved.message);
      exit_code = 1;
    }
    rig_result_clear(&saved);
  }
  uint64_t end = platform_tick_ms() + (uint64_t)watch_ms;
  while (platform_tick_ms() < end) {
    RigResult c = {};
    if (rig_store_next_result(store, &c)) {
      if (c.kind == RIG_RESULT_CHANGED_ON_DISK)
        printf("changed %lld %s\n", (long long)c.rev, c.writer_app);
      rig_result_clear(&c);
    } else {
      platform_sleep_ms(2);
    }
  }
  rig_doc_free(doc);
  rig_store_flush(store, 5000);
  rig_store_close(store, 5000);
  printf("done\n");
  return exit_code;
}
