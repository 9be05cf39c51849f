// Stand-in for the advertiser until it lands: nothing is advertised; the stream id is kept.
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "net/advert.h"

Advert* advert_start(const AdvertInfo*) {
  return nullptr;
}
void advert_stop(Advert*) {}
bool advert_advertised(const Advert*) {
  return false;
}

static bool read_id(const char* path, char sid[9]) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  char line[16] = {0};
  size_t n = fread(line, 1, 8, f);
  fclose(f);
  if (n != 8) return false;
  for (int i = 0; i < 8; i++) {
    if (!((line[i] >= '0' && line[i] <= '9') || (line[i] >= 'a' && line[i] <= 'f'))) return false;
  }
  memcpy(sid, line, 8);
  sid[8] = 0;
  return true;
}

int advert_stream_id(const char* folder, const char* app, char sid[9]) {
  char path[1100];
  if (folder && *folder) {
    snprintf(path, sizeof path, "%s/stream.%s.sid", folder, app ? app : "");
    if (read_id(path, sid)) return 0;
  }
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint32_t x = (uint32_t)getpid() * 0x9E3779B1u ^ (uint32_t)ts.tv_nsec ^ (uint32_t)ts.tv_sec;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  snprintf(sid, 9, "%08x", x);
  if (!folder || !*folder) return -1;
  FILE* f = fopen(path, "wb");
  if (!f) return -1;
  bool ok = fprintf(f, "%s\n", sid) == 9;
  return (fclose(f) == 0 && ok) ? 1 : -1;
}

void advert_instance_name(const char* an, const char* dev, char* out, size_t size) {
  snprintf(out, size, "%s \xc2\xb7 %s", an ? an : "", dev ? dev : "");
}
