// The library's scan, run on the IO worker: walks the library folder, reads every sketch's
// meta.json, migrates old sketches when that is safe, and builds the sorted cards that the UI
// thread merges. Also the card builders and the sort, which the UI thread uses too.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/filenames.h"
#include "platform/fsys.h"
#include "store/files.h"
#include "store/jobs.h"
#include "store/library.h"
#include "base/clock.h"
#include "base/log.h"
#include "base/text.h"
#include "store/meta.h"
#include "store/tapefile.h"
#include "store/uuid.h"

namespace {

// Seconds between 1970-01-01 and 2001-01-01.

std::atomic<int64_t> g_fail_after{-1};

char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

int compare_nocase(const char* a, const char* b) {
  for (;; a++, b++) {
    unsigned char x = (unsigned char)ascii_lower(*a);
    unsigned char y = (unsigned char)ascii_lower(*b);
    if (x != y) return x < y ? -1 : 1;
    if (!x) return 0;
  }
}

std::string lower_key(const char* s) {
  std::string k(s);
  for (char& c : k) c = ascii_lower(c);
  return k;
}

// The last component of a path (trailing separators ignored) as [start, start + length).
const char* last_component(const char* path, size_t* length) {
  size_t n = strlen(path);
  while (n > 1 && fsys_is_separator(path[n - 1])) n--;
  size_t start = n;
  while (start > 0 && !fsys_is_separator(path[start - 1])) start--;
  *length = n - start;
  return path + start;
}

bool folder_named_by_id(const LibraryCard* card) {
  size_t n = 0;
  const char* name = last_component(card->folder, &n);
  if (n != UUID_TEXT_LENGTH) return false;
  for (size_t i = 0; i < n; i++)
    if (ascii_lower(name[i]) != ascii_lower(card->id[i])) return false;
  return true;
}

// Dates that are not numbers sort as the oldest, so the order stays a strict one.
double sort_date(double createdAt) {
  return std::isfinite(createdAt) ? createdAt : -std::numeric_limits<double>::infinity();
}

void make_thumb(LayerThumb* thumb, const Layer* layer) {
  thumb->start_sample = layer->startSample;
  thumb->length_samples = layer->lengthSamples;
  thumb->has_explicit_y = layer->hasExplicitY;
  thumb->explicit_y = layer->explicitY;
  thumb->has_explicit_color = layer->hasExplicitColor;
  thumb->explicit_color = layer->explicitColor;
  // 64-bit: n + 79 must not wrap for the largest counts.
  const int64_t n = layer->strokes ? std::max<int64_t>(layer->strokeCount, 0) : 0;
  const int64_t step =
      std::max<int64_t>(1, (n + LIBRARY_THUMB_STROKES - 1) / LIBRARY_THUMB_STROKES);
  const int32_t count = (int32_t)((n + step - 1) / step);
  for (int32_t k = 0; k < count; k++) thumb->strokes[k] = layer->strokes[k * step];
  thumb->stroke_count = count;
}

}  // namespace

// ---- shared helpers ----

bool library_same_text(const char* a, const char* b) {
  if (!a || !b) return false;
  return compare_nocase(a, b) == 0;
}

bool library_copy_text(char* dst, size_t size, const char* src) {
  return text_copy(dst, size, src);
}

void* library_malloc(size_t bytes) {
  int64_t left = g_fail_after.load(std::memory_order_relaxed);
  if (left == 0) return nullptr;
  if (left > 0) g_fail_after.store(left - 1, std::memory_order_relaxed);
  return malloc(bytes ? bytes : 1);
}

void library_debug_fail_allocations(int64_t after) {
  g_fail_after.store(after, std::memory_order_relaxed);
}

// ---- cards ----

int library_card_from_meta(LibraryCard* card, const SketchMeta* meta, const char* folder) {
  if (!card) return -1;
  memset(card, 0, sizeof *card);
  if (!meta) return -1;
  card->uuid = meta->uuid;
  if (uuid_is_zero(&meta->uuid))
    library_copy_text(card->id, sizeof card->id, meta->id);
  else
    uuid_format(&meta->uuid, card->id);
  library_copy_text(card->folder, sizeof card->folder, folder);
  library_copy_text(card->name, sizeof card->name, meta->name);
  meta_title(meta, card->title, sizeof card->title);
  if (sidecar_wav_name(card->title, card->sidecar_name, sizeof card->sidecar_name) != 0)
    card->sidecar_name[0] = 0;
  card->created_at = meta->createdAt;
  card->duration = meta_duration(meta);
  card->sample_rate = meta->sampleRate;
  card->length_samples = meta->lengthSamples;
  card->channels = meta->channels;
  card->has_picked_color = meta->hasPickedColor;
  card->picked_color = meta->pickedColor;
  card->empty = meta->lengthSamples == 0;

  bool ok = true;
  if (meta->layerCount > 0 && meta->layers) {
    card->thumbs = (LayerThumb*)library_malloc(sizeof(LayerThumb) * (size_t)meta->layerCount);
    if (card->thumbs) {
      int32_t n = 0;
      for (int32_t i = 0; i < meta->layerCount; i++) {
        if (!meta->layers[i]) continue;
        memset(&card->thumbs[n], 0, sizeof card->thumbs[n]);
        make_thumb(&card->thumbs[n++], meta->layers[i]);
      }
      card->thumb_count = n;
    } else {
      ok = false;
    }
  }
  if (ok && meta->waveformCount > 0 && meta->waveform) {
    card->waveform = (float*)library_malloc(sizeof(float) * (size_t)meta->waveformCount);
    if (card->waveform) {
      memcpy(card->waveform, meta->waveform, sizeof(float) * (size_t)meta->waveformCount);
      card->waveform_count = meta->waveformCount;
    } else {
      ok = false;
    }
  }
  if (!ok) {
    // Without its drawing rather than half of it.
    free(card->thumbs);
    free(card->waveform);
    card->thumbs = nullptr;
    card->waveform = nullptr;
    card->thumb_count = card->waveform_count = 0;
    return -1;
  }
  return 0;
}

void library_card_damaged(LibraryCard* card, const char* folderPath, const char* folderName,
                          const char* reason, int64_t tapeSize) {
  if (!card) return;
  memset(card, 0, sizeof *card);
  if (!folderPath) folderPath = "";
  if (!folderName) folderName = "";
  if (!uuid_parse(folderName, &card->uuid)) uuid_from_path(folderPath, &card->uuid);
  uuid_format(&card->uuid, card->id);
  library_copy_text(card->folder, sizeof card->folder, folderPath);
  library_copy_text(card->title, sizeof card->title, folderName);
  char metaPath[PATH_JOIN_MAX + 1];
  int64_t mtime = path_join(metaPath, sizeof metaPath, folderPath, "meta.json") >= 0
                      ? file_mtime(metaPath)
                      : -1;
  card->created_at = mtime >= 0 ? (double)mtime - CLOCK_UNIX_TO_2001 : 0.0;
  card->channels = 2;
  card->empty = tapeSize <= 0;
  card->damaged = 1;
  char message[LIBRARY_MESSAGE_MAX + 512];
  snprintf(message, sizeof message, "couldn't read meta.json: %s",
           reason && reason[0] ? reason : "unknown");
  library_copy_text(card->message, sizeof card->message, message);
}

void library_card_free(LibraryCard* card) {
  if (!card) return;
  free(card->thumbs);
  free(card->waveform);
  memset(card, 0, sizeof *card);
}

void library_cards_free(LibraryCard* cards, int32_t count) {
  if (!cards) return;
  for (int32_t i = 0; i < count; i++) library_card_free(&cards[i]);
  free(cards);
}

MetaColour library_card_colour(const LibraryCard* card) {
  if (!card) return MetaColour{0, 0, 0};
  SketchMeta m{};
  m.uuid = card->uuid;
  m.hasPickedColor = card->has_picked_color;
  m.pickedColor = card->picked_color;
  return meta_colour(&m);
}

// ---- sort ----

void library_sort(LibraryCard* cards, int32_t count) {
  if (!cards || count <= 0) return;
  std::vector<int32_t> order((size_t)count);
  std::vector<uint8_t> byId((size_t)count);
  for (int32_t i = 0; i < count; i++) {
    order[(size_t)i] = i;
    byId[(size_t)i] = folder_named_by_id(&cards[i]);
  }
  std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
    const LibraryCard& x = cards[a];
    const LibraryCard& y = cards[b];
    double dx = sort_date(x.created_at), dy = sort_date(y.created_at);
    if (dx != dy) return dx > dy;
    if (byId[(size_t)a] != byId[(size_t)b]) return byId[(size_t)a] > byId[(size_t)b];
    int c = compare_nocase(x.folder, y.folder);
    if (c != 0) return c < 0;
    c = strcmp(x.folder, y.folder);
    if (c != 0) return c < 0;
    return a < b;
  });
  // Apply the order in place, one cycle at a time, through one spare card.
  std::vector<uint8_t> placed((size_t)count);
  LibraryCard spare;
  for (int32_t start = 0; start < count; start++) {
    if (placed[(size_t)start] || order[(size_t)start] == start) {
      placed[(size_t)start] = 1;
      continue;
    }
    memcpy(&spare, &cards[start], sizeof spare);
    int32_t at = start;
    for (;;) {
      int32_t from = order[(size_t)at];
      placed[(size_t)at] = 1;
      if (from == start) {
        memcpy(&cards[at], &spare, sizeof spare);
        break;
      }
      memcpy(&cards[at], &cards[from], sizeof spare);
      at = from;
    }
  }

  // Copies of a sketch's folder: the first (newest, else named by the id) stays the original.
  std::unordered_map<std::string, int32_t> seen;
  seen.reserve((size_t)count * 2);
  for (int32_t i = 0; i < count; i++) {
    LibraryCard* card = &cards[i];
    auto it = seen.find(lower_key(card->id));
    if (it == seen.end()) {
      seen.emplace(lower_key(card->id), i);
      continue;
    }
    log_line("library: %s has the same id as %s - shown read-only so the original is never touched",
             card->folder, cards[it->second].folder);
    uuid_from_path(card->folder, &card->uuid);
    uuid_format(&card->uuid, card->id);
    card->damaged = 1;
    library_copy_text(card->message, sizeof card->message,
                      "a copy of another sketch's folder (same id)");
    seen.emplace(lower_key(card->id), i);
  }
}

// ---- the scan ----

bool library_scan_folder(const char* libraryFolder, const char* folderName, const char* openId,
                         LibraryCard* card, LibraryScanCounters* counters) {
  if (!libraryFolder || !folderName || !card) return false;
  LibraryScanCounters unused{};
  if (!counters) counters = &unused;
  char path[LIBRARY_PATH_MAX + 1];
  if (path_join(path, sizeof path, libraryFolder, folderName) < 0) {
    log_line("library: %s/%s - the path is too long to list", libraryFolder, folderName);
    return false;
  }
  const bool haveOpen = openId && openId[0];
  // The open sketch is the session's: never clean or rewrite it behind its back.
  bool open = haveOpen && library_same_text(openId, folderName);
  if (!open) counters->stray += tmp_cleanup(path);

  SketchMeta meta{};
  bool dirty = false;
  char message[256] = "";
  const MetaStatus status = meta_load_folder(path, &meta, &dirty, message, sizeof message);
  char tapePath[PATH_JOIN_MAX + 1];
  const bool haveTapePath = path_join(tapePath, sizeof tapePath, path, "tape.f32") >= 0;
  const int64_t tapeSize = haveTapePath ? file_size(tapePath) : -1;

  if (status == META_MISSING) {
    meta_free(&meta);
    return false;
  }
  if (status == META_UNREADABLE) {
    log_line("library: %s is DAMAGED (%s) - shown read-only, never deleted", path, message);
    library_card_damaged(card, path, folderName, message, tapeSize);
    counters->damaged++;
    meta_free(&meta);
    return true;
  }
  if (status == META_REPAIRED)
    log_line("library: %s read with gaps (%s) - listed, not rewritten", path, message);

  if (haveOpen && library_same_text(openId, meta.id)) open = true;
  const bool legacy = meta.hasLegacyLayers && tapeSize <= 0;

  if (status == META_OK && !open && !legacy) {
    bool changed = meta_upgrade_strokes(&meta) > 0;
    if ((meta.waveformCount <= 0 || !meta.waveform) && meta.lengthSamples > 0) {
      if (meta.layerCount > 0) {
        if (meta_refresh_waveform(&meta)) changed = true;
      } else if (tapeSize > 0) {
        float points[TAPE_WAVEFORM_POINTS];
        const int n = tape_file_waveform(tapePath, meta.channels < 2, points);
        if (n > 0) {
          float* waveform = (float*)malloc(sizeof(float) * (size_t)n);
          if (waveform) {
            memcpy(waveform, points, sizeof(float) * (size_t)n);
            free(meta.waveform);
            meta.waveform = waveform;
            meta.waveformCount = n;
            changed = true;
          }
        }
      }
    }
    if (changed) {
      if (meta_save_folder(path, &meta) != 0)
        log_line("library: %s migrated in memory but meta.json didn't save", path);
      else
        counters->migrated++;
    }
  }

  if (library_card_from_meta(card, &meta, path) != 0)
    log_line("library: out of memory building the card for %s", path);
  card->legacy = legacy;
  if (legacy) counters->legacy++;
  meta_free(&meta);
  return true;
}

void library_scan_job(Job* job) {
  if (!job) return;
  const char* folder = job->folder;
  if (!folder[0] || !path_is_dir(folder)) return;

  // Folders may come and go between counting and listing; a listing that fills the room it was
  // given may have lost names off its end (an untouched sketch would then look deleted), so it
  // is taken again with more room.
  std::vector<char> names;
  int found = 0;
  for (int room = list_subfolders(folder, nullptr, 0) + 16;; room *= 2) {
    if (room < 16) {
      found = -1;
      break;
    }
    names.resize((size_t)room * LIST_FOLDER_BYTES);
    found = list_subfolders(folder, (char(*)[LIST_FOLDER_BYTES])names.data(), room);
    if (found < room) break;
  }
  if (found < 0) {
    // Listed as empty, every card would look deleted; the old list stays instead.
    log_line("library: can't list %s - keeping the list as it is", folder);
    return job_fail(job, "CAN'T READ THE LIBRARY");
  }

  // Sketch folders: those holding a meta.json; the exports folder never is one.
  std::vector<int32_t> kept;
  std::vector<int64_t> sizes;
  int64_t total = 0;
  char metaPath[PATH_JOIN_MAX + 1];
  char sub[PATH_JOIN_MAX + 1];
  for (int i = 0; i < found; i++) {
    const char* name = &names[(size_t)i * LIST_FOLDER_BYTES];
    if (compare_nocase(name, "exports") == 0) continue;
    if (path_join(sub, sizeof sub, folder, name) < 0 ||
        path_join(metaPath, sizeof metaPath, sub, "meta.json") < 0)
      continue;
    const int64_t size = file_size(metaPath);
    if (size < 0) continue;
    kept.push_back(i);
    sizes.push_back(size);
    total += size;
  }
  job_progress_phase(job, 0, 1, 1);
  job->progress.total.store(total, std::memory_order_relaxed);

  const int32_t n = (int32_t)kept.size();
  LibraryCard* cards = nullptr;
  if (n > 0) {
    cards = (LibraryCard*)library_malloc(sizeof(LibraryCard) * (size_t)n);
    if (!cards) {
      log_line("library: out of memory for %d cards - the list stays as it is", n);
      return job_fail(job, "NOT ENOUGH MEMORY");
    }
    memset(cards, 0, sizeof(LibraryCard) * (size_t)n);
  }

  LibraryScanCounters counters{};
  int32_t made = 0;
  int64_t done = 0;
  for (int32_t k = 0; k < n; k++) {
    if (job_progress_cancelled(&job->progress)) {
      library_cards_free(cards, made);
      job->result = JOB_CANCELLED;
      return;
    }
    job_set_label(job, "LOADING %d / %d", k + 1, n);
    const char* name = &names[(size_t)kept[(size_t)k] * LIST_FOLDER_BYTES];
    if (library_scan_folder(folder, name, job->sketch_id, &cards[made], &counters)) made++;
    done += sizes[(size_t)k];
    job->progress.done.store(done, std::memory_order_relaxed);
  }

  library_sort(cards, made);
  if (made == 0) {
    free(cards);
    cards = nullptr;
  }
  job->cards = cards;
  job->card_count = made;
  job->cards_free = library_cards_free;
  log_line("library: %d sketch%s in %s (%d damaged, %d legacy, %d migrated, %d stray .tmp removed)",
           made, made == 1 ? "" : "es", folder, counters.damaged, counters.legacy,
           counters.migrated, counters.stray);
}
