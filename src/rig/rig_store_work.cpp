// What the store's thread does for each request and for the watched key.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/filelock.h"
#include "platform/platform.h"
#include "rig/rig_format.h"
#include "rig/rig_store_internal.h"

namespace {

constexpr int kLockWaitMs = 2000;
constexpr int kDecodeReads = 3;
constexpr uint32_t kRereadMs = 200;
constexpr size_t kDamageMessageMax = 119;

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

const char* name_or_none(const char* file_name) {
  return file_name[0] ? file_name : "(no file name)";
}

// The rig's file name and full path; false (message set) when the key has none.
bool rig_paths(RigStore* s, const char* key, char* name, char* path, size_t path_size, char* msg,
               size_t msg_size) {
  if (rig_file_name(key, name) != 0 || path_join(path, path_size, s->folder, name) < 0) {
    snprintf(msg, msg_size, "the rig has no file name");
    return false;
  }
  return true;
}

struct Held {
  FsysFile lock = FSYS_NO_FILE;
  ~Held() { filelock_release(lock); }
};

bool take_lock(RigStore* s, const char* name, Held* held, char* msg, size_t msg_size) {
  char lock_path[PATH_UTF8_MAX + 1];
  unsigned long e = 0;
  int r = rig_lock_path(s, name, lock_path, sizeof lock_path) == 0
              ? filelock_take(lock_path, kLockWaitMs, &held->lock, &e)
              : -2;
  if (r == 0) return true;
  snprintf(msg, msg_size, "%s",
           r == -1 ? "the rig file is locked by another app" : "can't take the rig file's lock");
  return false;
}

bool make_folder(RigStore* s, char* msg, size_t msg_size) {
  unsigned long e = rig_make_folder(s->folder);
  if (e == 0) return true;
  char text[64];
  rig_error_text(e, text, sizeof text);
  snprintf(msg, msg_size, "can't create the rigs folder: %s", text);
  return false;
}

void stamp_doc(RigStore* s, RigDoc* doc, const char* key, int64_t disk_rev) {
  copy_text(doc->key, sizeof doc->key, key);
  doc->version = RIG_FORMAT_VERSION;
  doc->read_only = false;
  int64_t top = doc->rev > disk_rev ? doc->rev : disk_rev;
  doc->rev = top < 0 ? 1 : top + 1;
  copy_text(doc->writer_app, sizeof doc->writer_app, s->app_name);
  copy_text(doc->writer_platform, sizeof doc->writer_platform, "linux");
  copy_text(doc->writer_version, sizeof doc->writer_version, s->app_version);
  copy_text(doc->writer_instance, sizeof doc->writer_instance, s->instance);
  doc->writer_at = rig_now();
}

RigWatch* watch_entry(RigStore* s, const char* key) {
  RigWatch* oldest = &s->watches[0];
  for (RigWatch& w : s->watches) {
    if (w.in_use && strcmp(w.key, key) == 0) {
      w.used = ++s->watch_uses;
      return &w;
    }
    if (!w.in_use || (oldest->in_use && w.used < oldest->used)) oldest = &w;
  }
  memset(oldest, 0, sizeof *oldest);
  oldest->in_use = true;
  oldest->used = ++s->watch_uses;
  copy_text(oldest->key, sizeof oldest->key, key);
  return oldest;
}

void watch_saw(RigStore* s, const char* key, const char* path, const RigDoc* doc) {
  RigWatch* w = watch_entry(s, key);
  w->known = true;
  w->rev = doc->rev;
  copy_text(w->instance, sizeof w->instance, doc->writer_instance);
  w->last_ok = file_stamp(path, &w->stamp) == 0;
  w->bad_logged = false;
}

bool decodes(int code) {
  return code == RIG_DECODE_OK || code == RIG_DECODE_REPAIRED || code == RIG_DECODE_READ_ONLY;
}

// Reads and decodes once. RIG_READ_* of the read; *code the decode (or UNREADABLE for a file
// over the size limit, which counts as one that doesn't decode).
int read_and_decode(const char* path, RigDoc* doc, int* code, char* msg, size_t msg_size) {
  char* text = nullptr;
  size_t length = 0;
  int r = rig_read_file(path, &text, &length, msg, msg_size);
  *code = RIG_DECODE_UNREADABLE;
  if (r == RIG_READ_OK) {
    *code = rig_decode(text, length, doc, msg, msg_size);
    free(text);
  }
  return r;
}

// A new rig for a key with no template: the API and the name as the key holds them.
RigDoc* doc_for_key(RigStore* s, const char* key) {
  RigDoc* doc = rig_doc_new();
  if (!doc) return nullptr;
  char api[RIG_API_BYTES] = "";
  const char* colon = strchr(key, ':');
  const char* name = key;
  if (colon) {
    snprintf(api, sizeof api, "%.*s", (int)(colon - key), key);
    name = colon + 1;
  }
  rig_doc_init_for_device(doc, key, api, name, 1, nullptr, 0, s->app_name, rig_now());
  return doc;
}

// Writes the template as a new rig file (the lock held). 0, or -1 with the message.
int create_file(RigStore* s, RigRequest* r, const char* name, const char* path, RigDoc** out,
                char* msg, size_t msg_size) {
  RigDoc* doc = nullptr;
  if (r->doc) {
    doc = r->doc;
    r->doc = nullptr;
  } else {
    doc = doc_for_key(s, r->key);
  }
  if (!doc) {
    snprintf(msg, msg_size, "out of memory");
    return -1;
  }
  stamp_doc(s, doc, r->key, -1);
  if (rig_write_file(s, path, doc, msg, msg_size) != 0) {
    rig_doc_free(doc);
    return -1;
  }
  rig_store_logf(s, "rig: created %s", name);
  *out = doc;
  return 0;
}

void finish_result(RigResult* out, int kind, const RigRequest* r, int code, RigDoc* doc,
                   const char* msg) {
  out->kind = kind;
  out->id = r->ids[0];
  copy_text(out->key, sizeof out->key, r->key);
  out->code = code;
  out->doc = doc;
  if (doc) {
    out->rev = doc->rev;
    copy_text(out->writer_app, sizeof out->writer_app, doc->writer_app);
  }
  copy_text(out->message, sizeof out->message, msg);
}

}  // namespace

void rig_run_load(RigStore* s, RigRequest* r, RigResult* out) {
  char name[RIG_FILE_NAME_BYTES] = "", path[PATH_UTF8_MAX + 1] = "";
  char msg[RIG_MESSAGE_BYTES] = "";
  RigDoc* doc = rig_doc_new();
  int kind = RIG_RESULT_LOAD_FAILED, code = RIG_DECODE_UNREADABLE;
  bool ok = false;
  if (!doc) {
    snprintf(msg, sizeof msg, "out of memory");
  } else if (rig_paths(s, r->key, name, path, sizeof path, msg, sizeof msg)) {
    // Without the lock first: a sibling mid-replace shows a whole old or whole new file, and
    // one that doesn't decode is most often being rewritten by hand; give it a moment.
    int got = RIG_READ_MISSING;
    for (int i = 0; i < kDecodeReads; i++) {
      got = read_and_decode(path, doc, &code, msg, sizeof msg);
      if (got == RIG_READ_FAILED || got == RIG_READ_NO_MEMORY || got == RIG_READ_MISSING) break;
      if (decodes(code) || code == RIG_DECODE_NO_MEMORY) break;
      if (i + 1 < kDecodeReads) {
        if (i == 0) rig_store_logf(s, "rig: %s doesn't decode (%s) - reading it again", name, msg);
        platform_sleep_ms(kRereadMs);
      }
    }
    if (got == RIG_READ_FAILED || got == RIG_READ_NO_MEMORY) {
      // The message says why.
    } else if (got != RIG_READ_MISSING && code == RIG_DECODE_NO_MEMORY) {
      snprintf(msg, sizeof msg, "out of memory");
    } else if (got != RIG_READ_MISSING && decodes(code)) {
      ok = true;
      kind = RIG_RESULT_LOADED;
    } else {
      // The lock file lives in the folder, so the folder comes first.
      Held held;
      if (make_folder(s, msg, sizeof msg) && take_lock(s, name, &held, msg, sizeof msg)) {
        got = read_and_decode(path, doc, &code, msg, sizeof msg);
        if (got == RIG_READ_MISSING) {
          rig_doc_free(doc);
          doc = nullptr;
          if (create_file(s, r, name, path, &doc, msg, sizeof msg) == 0) {
            ok = true;
            kind = RIG_RESULT_LOADED;
            code = RIG_DECODE_OK;
          }
        } else if (got == RIG_READ_FAILED || got == RIG_READ_NO_MEMORY) {
        } else if (code == RIG_DECODE_NO_MEMORY) {
          snprintf(msg, sizeof msg, "out of memory");
        } else if (decodes(code)) {
          ok = true;
          kind = RIG_RESULT_LOADED;
        } else {
          char aside[PATH_UTF8_MAX + 1], why[RIG_MESSAGE_BYTES];
          copy_text(why, sizeof why, msg);
          if (rig_set_aside(s, path, aside, sizeof aside, msg, sizeof msg) == 0) {
            rig_store_logf(s, "rig: %s was damaged (%s) - kept it as %s, starting fresh", name, why,
                           aside);
            rig_doc_free(doc);
            doc = nullptr;
            if (create_file(s, r, name, path, &doc, msg, sizeof msg) == 0) {
              ok = true;
              kind = RIG_RESULT_LOADED_AFTER_DAMAGE;
              code = RIG_DECODE_OK;
              copy_text(msg, sizeof msg, why);
            }
          }
        }
      }
    }
  }
  if (ok) {
    copy_text(doc->key, sizeof doc->key, r->key);
    rig_store_mark_read_only(s, r->key, doc->read_only);
    watch_saw(s, r->key, path, doc);
    if (code == RIG_DECODE_READ_ONLY)
      rig_store_logf(s, "rig: %s was made by a newer app - read only", name_or_none(name));
    finish_result(out, kind, r, code, doc, msg);
    return;
  }
  rig_doc_free(doc);
  if (!msg[0]) copy_text(msg, sizeof msg, "can't load the rig");
  rig_store_logf(s, "rig: couldn't load %s - %s", name_or_none(name), msg);
  finish_result(out, RIG_RESULT_LOAD_FAILED, r, code, nullptr, msg);
}

void rig_run_save(RigStore* s, RigRequest* r, RigResult* out) {
  char name[RIG_FILE_NAME_BYTES] = "", path[PATH_UTF8_MAX + 1] = "";
  char msg[RIG_MESSAGE_BYTES] = "";
  RigDoc* ours = r->doc;
  int code = -1;
  RigDoc* written = nullptr;
  if (!ours || ours->read_only || rig_store_key_read_only(s, r->key)) {
    code = RIG_DECODE_READ_ONLY;
    snprintf(msg, sizeof msg, "read only - a newer app made this file");
  } else if (rig_paths(s, r->key, name, path, sizeof path, msg, sizeof msg)) {
    Held held;
    if (make_folder(s, msg, sizeof msg) && take_lock(s, name, &held, msg, sizeof msg)) {
      double now = rig_now();
      for (int sc = 0; sc < RIG_SCENES; sc++) {
        bool touched = r->changes.scene[sc] != 0;
        for (int c = 0; c < RIG_MAX_CHANNELS && !touched; c++) touched = r->changes.channel[sc][c];
        if (!touched) continue;
        ours->scenes[sc].updated_at = now;
        copy_text(ours->scenes[sc].author, sizeof ours->scenes[sc].author, s->app_name);
      }
      RigDoc* disk = rig_doc_new();
      int dcode = RIG_DECODE_UNREADABLE;
      char dmsg[RIG_MESSAGE_BYTES] = "";
      int got = disk ? read_and_decode(path, disk, &dcode, dmsg, sizeof dmsg) : RIG_READ_NO_MEMORY;
      if (!disk) {
        snprintf(msg, sizeof msg, "out of memory");
      } else if (got == RIG_READ_MISSING) {
        stamp_doc(s, ours, r->key, -1);
        if (rig_write_file(s, path, ours, msg, sizeof msg) == 0) written = ours;
      } else if (got == RIG_READ_FAILED || got == RIG_READ_NO_MEMORY) {
        copy_text(msg, sizeof msg, dmsg);
      } else if (dcode == RIG_DECODE_NO_MEMORY) {
        snprintf(msg, sizeof msg, "out of memory");
      } else if (dcode == RIG_DECODE_READ_ONLY) {
        rig_store_mark_read_only(s, r->key, true);
        code = RIG_DECODE_READ_ONLY;
        snprintf(msg, sizeof msg, "read only - a newer app made this file");
      } else if (!decodes(dcode)) {
        char why[kDamageMessageMax + 1];
        copy_text(why, sizeof why, dmsg);
        char line[sizeof why + 64];
        snprintf(line, sizeof line, "the rig file on disk is damaged (%s) - left as it is", why);
        copy_text(msg, sizeof msg, line);
      } else {
        rig_merge_changes(disk, ours, &r->changes);
        int64_t disk_rev = disk->rev;
        // Stamped from our rev and the disk's: the larger one moves up by one.
        disk->rev = ours->rev;
        stamp_doc(s, disk, r->key, disk_rev);
        if (rig_write_file(s, path, disk, msg, sizeof msg) == 0) written = disk;
      }
      if (written == ours) r->doc = nullptr;
      if (written != disk) rig_doc_free(disk);
    }
  }
  if (written) {
    watch_saw(s, r->key, path, written);
    finish_result(out, RIG_RESULT_SAVED, r, 0, written, "");
    return;
  }
  if (!msg[0]) copy_text(msg, sizeof msg, "can't save the rig");
  rig_store_logf(s, "rig: couldn't save %s - %s", name_or_none(name), msg);
  finish_result(out, RIG_RESULT_SAVE_FAILED, r, code, nullptr, msg);
}

void rig_watch_check(RigStore* s) {
  const char* key = s->watched;
  if (!key[0]) return;
  RigWatch* w = nullptr;
  for (RigWatch& e : s->watches)
    if (e.in_use && strcmp(e.key, key) == 0) w = &e;
  if (!w || !w->known) return;
  char name[RIG_FILE_NAME_BYTES], path[PATH_UTF8_MAX + 1], msg[RIG_MESSAGE_BYTES];
  if (!rig_paths(s, key, name, path, sizeof path, msg, sizeof msg)) return;
  FileStamp stamp;
  if (file_stamp(path, &stamp) != 0) {
    w->last_ok = false;
    return;
  }
  // A replaced file always has a new inode, so an equal stamp is the same file at a notice
  // too; notices come for every file in the folder, our lock and temporary files as well.
  if (w->last_ok && file_stamp_equal(&stamp, &w->stamp)) return;
  if (!stamp.exists) {
    w->stamp = stamp;
    w->last_ok = true;
    return;
  }
  RigDoc* doc = rig_doc_new();
  if (!doc) {
    w->last_ok = false;
    return;
  }
  int code = RIG_DECODE_UNREADABLE;
  int got = read_and_decode(path, doc, &code, msg, sizeof msg);
  if (got != RIG_READ_OK && got != RIG_READ_TOO_BIG) {
    w->last_ok = false;
    rig_doc_free(doc);
    return;
  }
  if (!decodes(code)) {
    if (!w->bad_logged)
      rig_store_logf(
          s, "rig: ignored a change to %s that doesn't decode (%s) - waiting for the next one",
          name, msg);
    w->bad_logged = true;
    w->last_ok = false;
    rig_doc_free(doc);
    return;
  }
  w->stamp = stamp;
  w->last_ok = true;
  w->bad_logged = false;
  rig_store_mark_read_only(s, key, doc->read_only);
  bool ours = strcmp(doc->writer_instance, s->instance) == 0;
  bool seen = doc->rev == w->rev && strcmp(doc->writer_instance, w->instance) == 0;
  w->rev = doc->rev;
  copy_text(w->instance, sizeof w->instance, doc->writer_instance);
  if (ours || seen) {
    rig_doc_free(doc);
    return;
  }
  RigResult res = {};
  res.kind = RIG_RESULT_CHANGED_ON_DISK;
  copy_text(res.key, sizeof res.key, key);
  res.code = code;
  res.rev = doc->rev;
  copy_text(res.writer_app, sizeof res.writer_app, doc->writer_app);
  if (code == RIG_DECODE_REPAIRED) copy_text(res.message, sizeof res.message, msg);
  copy_text(doc->key, sizeof doc->key, key);
  res.doc = doc;
  std::lock_guard<std::mutex> g(s->mu);
  s->results.push_back(res);
}
