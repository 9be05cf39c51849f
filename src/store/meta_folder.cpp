// A sketch folder's meta.json: loading it in step with the folder's name and tape.f32, and
// saving it through a temporary file.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fsys.h"
#include "store/tapefile.h"
#include "store/files.h"
#include "store/json.h"
#include "base/log.h"
#include "store/meta.h"
#include "store/meta_internal.h"

namespace {

// The folder's last path component (trailing separators ignored) as a UUID.
bool folder_uuid(const char* folder, Uuid* out) {
  size_t end = strlen(folder);
  while (end > 0 && fsys_is_separator(folder[end - 1])) end--;
  size_t start = end;
  while (start > 0 && !fsys_is_separator(folder[start - 1])) start--;
  return uuid_parse_n(folder + start, end - start, out);
}

void put_message(char* message, size_t size, const char* text) {
  meta_copy_text(message, size, text);
}

}  // namespace

MetaStatus meta_load_folder(const char* folder, SketchMeta* meta, bool* dirty, char* message,
                            size_t messageSize) {
  bool changed = false;
  if (dirty) *dirty = false;
  if (message && messageSize) message[0] = 0;
  if (!meta) {
    put_message(message, messageSize, "no sketch to read into");
    return META_UNREADABLE;
  }
  char path[PATH_UTF8_MAX + 1];
  if (!folder || !*folder || path_join(path, sizeof path, folder, "meta.json") < 0) {
    meta_parse(nullptr, 0, meta, nullptr, 0);  // leaves meta filled with the defaults
    put_message(message, messageSize, "no meta.json");
    return META_MISSING;
  }
  if (!path_exists(path) || path_is_dir(path)) {
    meta_parse(nullptr, 0, meta, nullptr, 0);
    put_message(message, messageSize, "no meta.json");
    return META_MISSING;
  }
  // Refused before reading: a huge file would hold the scan (and the open) for many seconds.
  const int64_t bytes = file_size(path);
  if (bytes > META_JSON_MAX_BYTES) {
    log_line("meta: %s is %lld bytes - too large to read", path, (long long)bytes);
    meta_parse(nullptr, 0, meta, nullptr, 0);
    char text[96];
    snprintf(text, sizeof text, "meta.json is too large (%lld MB)", (long long)(bytes / 1000000));
    put_message(message, messageSize, text);
    return META_UNREADABLE;
  }
  size_t size = 0;
  char* text = file_read_all_max(path, (size_t)META_JSON_MAX_BYTES, &size);
  if (!text) {
    meta_parse(nullptr, 0, meta, nullptr, 0);
    put_message(message, messageSize, "couldn't read meta.json");
    return META_UNREADABLE;
  }
  bool idFromFile = false;
  MetaStatus status = meta_parse_ex(text, size, meta, message, messageSize, &idFromFile);
  free(text);
  if (status == META_UNREADABLE) return status;
  if (status == META_REPAIRED) changed = true;

  // The id: a folder named by the sketch's id agrees; a file's own id stands over a differently
  // named folder; a minted one gives way to the folder's name, or to an id derived from the path
  // so that the same folder keeps the same id from load to load.
  Uuid named;
  bool folderIsUuid = folder_uuid(folder, &named);
  if (!(folderIsUuid && uuid_equal(&named, &meta->uuid)) && !idFromFile) {
    if (folderIsUuid)
      meta->uuid = named;
    else
      uuid_from_path(folder, &meta->uuid);
    uuid_format(&meta->uuid, meta->id);
    changed = true;
  }

  // tape.f32's size has the last word on the length (and on the channels of an old mono file
  // that has been rewritten as stereo).
  char tapePath[PATH_UTF8_MAX + 1];
  int64_t tapeBytes =
      path_join(tapePath, sizeof tapePath, folder, "tape.f32") < 0 ? -1 : file_size(tapePath);
  if (tapeBytes > 0) {
    int64_t frames;
    if (meta->channels > 1) {
      frames = tapeBytes / TAPE_FILE_FRAME_BYTES;
    } else if (meta->lengthSamples > 0 && tapeBytes % 8 == 0 &&
               tapeBytes / TAPE_FILE_FRAME_BYTES == meta->lengthSamples) {
      log_line(
          "jobs: %s - tape.f32 is already stereo, meta.json still said mono; reading it as "
          "stereo",
          folder);
      meta->channels = 2;
      frames = 0;
      changed = true;
    } else {
      frames = tapeBytes / 4;
    }
    if (frames > 0 && frames != meta->lengthSamples) {
      meta->lengthSamples = frames;
      changed = true;
    }
  }
  // A rate no recording has would be resampled into something enormous on open. A sketch
  // without audio has nothing to resample and keeps whatever rate it says.
  if (meta->lengthSamples > 0 && !meta_rate_usable(meta->sampleRate)) {
    log_line("meta: %s has audio at %g Hz - not a recording's rate", folder, meta->sampleRate);
    char text[96];
    snprintf(text, sizeof text, "sampleRate %g Hz is outside %.0f..%.0f", meta->sampleRate,
             META_RATE_MIN, META_RATE_MAX);
    put_message(message, messageSize, text);
    return META_UNREADABLE;
  }
  if (dirty) *dirty = changed;
  return status;
}

int meta_save_folder(const char* folder, const SketchMeta* meta) {
  if (!folder || !*folder || !meta) return -1;
  size_t hint = 1024;
  for (int32_t i = 0; i < meta->layerCount; i++) {
    const Layer* l = meta->layers[i];
    if (!l) continue;
    hint += l->strokesText ? strlen(l->strokesText) : (size_t)l->strokeCount * 26;
    hint += layer_spectral(l) ? 4808 : 200;
    if (l->extras) hint += strlen(l->extras);
  }
  if (meta->waveformSnapshots) hint += strlen(meta->waveformSnapshots);
  if (meta->legacyLayers) hint += strlen(meta->legacyLayers);
  if (meta->extras) hint += strlen(meta->extras);
  hint += (size_t)(meta->waveformCount > 0 ? meta->waveformCount : 0) * 16;

  JsonWriter w;
  if (jw_init(&w, hint) != 0 || meta_serialise(meta, &w) != 0) {
    log_line("meta: out of memory writing the meta.json of %s", folder);
    jw_free(&w);
    return -1;
  }
  char path[PATH_UTF8_MAX + 1];
  int rc = -1;
  if (fsys_make_folders(folder) != 0) {
    log_line("meta: couldn't make the folder %s", folder);
  } else if (path_join(path, sizeof path, folder, "meta.json") < 0) {
    log_line("meta: the path of %s's meta.json is too long", folder);
  } else {
    rc = file_write_atomic(path, w.data, w.length);
  }
  jw_free(&w);
  return rc;
}
