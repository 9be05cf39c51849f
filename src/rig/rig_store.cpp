// The rig store's requests, results and thread. File work lives in rig_store_work.cpp and
// rig_store_files.cpp.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "base/log.h"
#include "platform/platform.h"
#include "rig/rig_store_internal.h"

namespace {

constexpr uint32_t kFailedWaitMs = 50;

// Cut to fit, never inside a character.
void copy_text(char* dst, size_t size, const char* src) {
  size_t n = src ? strlen(src) : 0;
  if (n >= size) {
    n = size - 1;
    while (n > 0 && ((unsigned char)src[n] & 0xC0) == 0x80) n--;
  }
  if (n) memcpy(dst, src, n);
  dst[n] = 0;
}

void request_free(RigRequest* r) {
  if (!r) return;
  rig_doc_free(r->doc);
  delete r;
}

double system_clock(void*) {
  return clock_monotonic();
}

// Seeds the rig's generator once per process from the system's, else from what differs
// between runs and processes.
void seed_random() {
  uint64_t seed = 0;
  if (platform_random(&seed, sizeof seed) != 0) {
    uint64_t wall = (uint64_t)std::chrono::system_clock::now().time_since_epoch().count();
    seed = (uint64_t)(platform_seconds() * 1e9) ^ ((uint64_t)getpid() << 32) ^ wall;
  }
  rig_random_seed(seed);
}

void store_free(RigStore* s) {
  for (RigRequest* r : s->requests) request_free(r);
  for (RigResult& r : s->results) rig_result_clear(&r);
  request_free(s->running);
  folder_watch_free(s->watch);
  free(s->enc);
  delete s;
}

// Posts the result of a request, one for each id it served: every caller waiting on an id
// hears of it.
void post_results(RigStore* s, RigRequest* r, RigResult* res) {
  std::lock_guard<std::mutex> g(s->mu);
  s->results.push_back(*res);
  for (int i = 1; i < r->id_count; i++) {
    RigResult extra = *res;
    extra.id = r->ids[i];
    extra.doc = nullptr;
    if (res->doc) {
      extra.doc = rig_doc_new();
      if (extra.doc && rig_doc_copy(extra.doc, res->doc) != 0) {
        rig_doc_free(extra.doc);
        extra.doc = nullptr;
      }
    }
    s->results.push_back(extra);
  }
}

void run_thread(RigStore* s) {
  unsigned long e = rig_make_folder(s->folder);
  if (e) {
    rig_store_logf(
        s, "rig: can't create the rigs folder %s - rigs stay in memory until it can be made",
        s->folder);
  } else {
    rig_remove_strays(s);
  }
  double deadline = rig_store_clock(s) + s->poll_ms / 1000.0;
  for (;;) {
    RigRequest* r = nullptr;
    {
      std::lock_guard<std::mutex> g(s->mu);
      if (!s->requests.empty()) {
        r = s->requests.front();
        s->requests.pop_front();
        s->running = r;
      } else if (s->quit) {
        break;
      }
      if (s->watch_changes != s->watched_changes) {
        copy_text(s->watched, sizeof s->watched, s->watch_key);
        s->watched_changes = s->watch_changes;
      }
    }
    if (r) {
      double start = rig_store_clock(s);
      RigResult res = {};
      if (r->kind == RIG_REQUEST_LOAD) {
        rig_run_load(s, r, &res);
      } else {
        rig_run_save(s, r, &res);
      }
      res.ms = (rig_store_clock(s) - start) * 1000.0;
      post_results(s, r, &res);
      std::lock_guard<std::mutex> g(s->mu);
      s->running = nullptr;
      request_free(r);
      if (s->requests.empty()) s->idle.notify_all();
      continue;
    }
    if (!s->no_watch && !folder_watch_armed(s->watch)) folder_watch_arm(s->watch, s->folder);
    double left = deadline - rig_store_clock(s);
    int ms = left <= 0 ? 0 : (int)(left * 1000.0) + 1;
    int got = folder_watch_wait(s->watch, ms, &e);
    if (got < 0) {
      folder_watch_disarm(s->watch);
      platform_sleep_ms(kFailedWaitMs);
    } else if (got & FOLDER_WATCH_CHANGED) {
      rig_watch_check(s);
    }
    if (rig_store_clock(s) >= deadline) {
      rig_watch_check(s);
      deadline = rig_store_clock(s) + s->poll_ms / 1000.0;
    }
  }
  folder_watch_disarm(s->watch);
  std::unique_lock<std::mutex> g(s->mu);
  s->ended = true;
  if (s->detached) {
    g.unlock();
    store_free(s);
    return;
  }
  s->ended_cv.notify_all();
  s->idle.notify_all();
}

uint32_t take_id(RigStore* s) {
  uint32_t id = s->next_id++;
  if (id == 0) id = s->next_id++;
  return id;
}

}  // namespace

void rig_store_logf(RigStore* s, const char* fmt, ...) {
  char line[1200];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (s->log) {
    s->log(s->log_user, line);
  } else {
    log_line("%s", line);
  }
}

double rig_store_clock(RigStore* s) {
  return s->clock(s->clock_user);
}

bool rig_store_key_read_only(RigStore* s, const char* key) {
  std::lock_guard<std::mutex> g(s->mu);
  for (int i = 0; i < s->read_only_count; i++)
    if (strcmp(s->read_only_keys[i], key) == 0) return true;
  return false;
}

void rig_store_mark_read_only(RigStore* s, const char* key, bool read_only) {
  std::lock_guard<std::mutex> g(s->mu);
  int at = -1;
  for (int i = 0; i < s->read_only_count; i++)
    if (strcmp(s->read_only_keys[i], key) == 0) at = i;
  if (!read_only) {
    if (at < 0) return;
    memmove(s->read_only_keys[at], s->read_only_keys[at + 1],
            (size_t)(s->read_only_count - at - 1) * RIG_KEY_BYTES);
    s->read_only_count--;
    return;
  }
  if (at >= 0) return;
  if (s->read_only_count == RIG_READ_ONLY_KEYS) {
    memmove(s->read_only_keys[0], s->read_only_keys[1], (RIG_READ_ONLY_KEYS - 1) * RIG_KEY_BYTES);
    s->read_only_count--;
  }
  copy_text(s->read_only_keys[s->read_only_count++], RIG_KEY_BYTES, key);
}

void rig_result_clear(RigResult* r) {
  if (!r) return;
  rig_doc_free(r->doc);
  memset(r, 0, sizeof *r);
}

RigStore* rig_store_new(const RigStoreConfig* config) {
  RigStoreConfig none = {};
  const RigStoreConfig* c = config ? config : &none;
  RigStore* s = new (std::nothrow) RigStore();
  if (!s) {
    log_line("rig: can't start the rig store: out of memory");
    return nullptr;
  }
  s->log = c->log;
  s->log_user = c->log_user;
  s->clock = c->clock ? c->clock : system_clock;
  s->clock_user = c->clock_user;
  s->poll_ms = c->poll_ms > 0 ? c->poll_ms : 1000;
  s->no_watch = c->no_watch;
  copy_text(s->app_name, sizeof s->app_name, c->app_name && c->app_name[0] ? c->app_name : "app");
  copy_text(s->app_version, sizeof s->app_version, c->app_version);
  if (c->folder && c->folder[0]) {
    copy_text(s->folder, sizeof s->folder, c->folder);
    size_t n = strlen(s->folder);
    while (n > 1 && s->folder[n - 1] == '/') s->folder[--n] = 0;
  } else if (rig_default_folder(s->folder, sizeof s->folder) != 0) {
    copy_text(s->folder, sizeof s->folder, "rigs");
  }
  seed_random();
  rig_instance_id(s->instance);
  s->next_id = 1;
  s->enc = (char*)malloc(RIG_ENCODE_FIRST);
  s->enc_cap = s->enc ? RIG_ENCODE_FIRST : 0;
  unsigned long e = 0;
  s->watch = folder_watch_new(&e);
  if (!s->watch || !s->enc) {
    rig_store_logf(s, "rig: can't start the rig store (error %lu)", e);
    store_free(s);
    return nullptr;
  }
  s->thread = std::thread(run_thread, s);
  return s;
}

uint32_t rig_store_load(RigStore* s, const char* key, const RigDoc* templ) {
  if (!s || !key || !key[0]) return 0;
  RigRequest* r = new (std::nothrow) RigRequest();
  if (!r) return 0;
  r->kind = RIG_REQUEST_LOAD;
  copy_text(r->key, sizeof r->key, key);
  if (templ) {
    r->doc = rig_doc_new();
    if (!r->doc || rig_doc_copy(r->doc, templ) != 0) {
      request_free(r);
      return 0;
    }
  }
  r->posted = rig_store_clock(s);
  std::lock_guard<std::mutex> g(s->mu);
  r->ids[0] = take_id(s);
  r->id_count = 1;
  s->requests.push_back(r);
  folder_watch_wake(s->watch);
  return r->ids[0];
}

uint32_t rig_store_save(RigStore* s, const RigDoc* doc, const RigChanges* changes) {
  if (!s || !doc || doc->read_only || !doc->key[0] || rig_store_key_read_only(s, doc->key))
    return 0;
  RigDoc* copy = rig_doc_new();
  if (!copy || rig_doc_copy(copy, doc) != 0) {
    rig_doc_free(copy);
    return 0;
  }
  RigChanges none;
  rig_changes_clear(&none);
  if (!changes) changes = &none;
  std::lock_guard<std::mutex> g(s->mu);
  for (RigRequest* q : s->requests) {
    if (q->kind != RIG_REQUEST_SAVE || strcmp(q->key, doc->key) != 0 || q->id_count >= RIG_MAX_IDS)
      continue;
    rig_doc_free(q->doc);
    q->doc = copy;
    rig_changes_or(&q->changes, changes);
    uint32_t id = take_id(s);
    q->ids[q->id_count++] = id;
    return id;
  }
  RigRequest* r = new (std::nothrow) RigRequest();
  if (!r) {
    rig_doc_free(copy);
    return 0;
  }
  r->kind = RIG_REQUEST_SAVE;
  copy_text(r->key, sizeof r->key, doc->key);
  r->doc = copy;
  r->changes = *changes;
  r->posted = rig_store_clock(s);
  r->ids[0] = take_id(s);
  r->id_count = 1;
  s->requests.push_back(r);
  folder_watch_wake(s->watch);
  return r->ids[0];
}

void rig_store_watch(RigStore* s, const char* key) {
  if (!s) return;
  std::lock_guard<std::mutex> g(s->mu);
  copy_text(s->watch_key, sizeof s->watch_key, key);
  s->watch_changes++;
}

bool rig_store_next_result(RigStore* s, RigResult* out) {
  if (!s || !out) return false;
  std::lock_guard<std::mutex> g(s->mu);
  if (s->results.empty()) return false;
  *out = s->results.front();
  s->results.pop_front();
  return true;
}

bool rig_store_busy(RigStore* s, double* seconds) {
  if (seconds) *seconds = 0;
  if (!s) return false;
  double now = rig_store_clock(s);
  std::lock_guard<std::mutex> g(s->mu);
  const RigRequest* oldest = s->running            ? s->running
                             : s->requests.empty() ? nullptr
                                                   : s->requests.front();
  if (!oldest) return false;
  if (seconds) *seconds = now - oldest->posted;
  return true;
}

bool rig_store_flush(RigStore* s, int ms) {
  if (!s) return true;
  std::unique_lock<std::mutex> g(s->mu);
  return s->idle.wait_for(g, std::chrono::milliseconds(ms < 0 ? 0 : ms),
                          [s] { return (s->requests.empty() && !s->running) || s->ended; });
}

void rig_store_close(RigStore* s, int ms) {
  if (!s) return;
  std::unique_lock<std::mutex> g(s->mu);
  s->quit = true;
  folder_watch_wake(s->watch);
  bool ended =
      s->ended_cv.wait_for(g, std::chrono::milliseconds(ms < 0 ? 0 : ms), [s] { return s->ended; });
  if (ended) {
    g.unlock();
    s->thread.join();
    store_free(s);
    return;
  }
  // Still writing: the thread finishes the queue and frees the store itself, maybe right
  // after the unlock, so the line goes out first.
  rig_store_logf(s, "rig: still writing at close - the store finishes in the background");
  s->detached = true;
  s->thread.detach();
}

const char* rig_store_instance(const RigStore* s) {
  return s ? s->instance : "";
}

const char* rig_store_folder(const RigStore* s) {
  return s ? s->folder : "";
}

int rig_store_path(const RigStore* s, const char* key, char* out, size_t size) {
  if (!out || size == 0) return -1;
  out[0] = 0;
  char name[RIG_FILE_NAME_BYTES];
  if (!s || !key || rig_file_name(key, name) != 0) return -1;
  if (path_join(out, size, s->folder, name) < 0) {
    out[0] = 0;
    return -1;
  }
  return 0;
}
