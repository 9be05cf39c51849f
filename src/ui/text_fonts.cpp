// Families per role, glyph presence per code point, and the cache of sized faces.
#include <fontconfig/fontconfig.h>
#include <hb-ft.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/text.h"
#include "ui/text_internal.h"

namespace {

// First installed family wins; when none is, the last is asked for anyway and fontconfig
// substitutes what it has.
const char* const kMono[] = {"DejaVu Sans Mono", "Noto Sans Mono", "Liberation Mono"};
const char* const kHead[] = {"Noto Sans", "DejaVu Sans"};
const char* const kCjk[] = {"Noto Sans CJK JP", "Droid Sans Fallback"};
const char* const kSymbol[] = {"Noto Sans Symbols2", "Symbola", "DejaVu Sans"};

struct Candidates {
  const char* const* names;
  int count;
};
const Candidates kRoles[TEXT_ROLES] = {
    {kMono, 3}, {kHead, 2}, {kCjk, 2}, {kSymbol, 3}};

bool family_installed(const char* family) {
  FcPattern* pat = FcPatternCreate();
  if (!pat) return false;
  FcPatternAddString(pat, FC_FAMILY, reinterpret_cast<const FcChar8*>(family));
  FcObjectSet* os = FcObjectSetBuild(FC_FAMILY, nullptr);
  FcFontSet* set = os ? FcFontList(nullptr, pat, os) : nullptr;
  bool found = set && set->nfont > 0;
  if (set) FcFontSetDestroy(set);
  if (os) FcObjectSetDestroy(os);
  FcPatternDestroy(pat);
  return found;
}

void face_name(FcPattern* font, char* out, size_t size) {
  FcChar8* fam = nullptr;
  FcChar8* style = nullptr;
  FcPatternGetString(font, FC_FAMILY, 0, &fam);
  FcPatternGetString(font, FC_STYLE, 0, &style);
  char buf[256];
  snprintf(buf, sizeof buf, "%s%s%s", fam ? reinterpret_cast<const char*>(fam) : "?",
           style ? " " : "", style ? reinterpret_cast<const char*>(style) : "");
  text_copy(out, size, buf);
}

// The family's weight-600 upright face of normal width, when it has one.
bool find_partner(const char* family, char* name, size_t name_size, char* file, size_t file_size,
                  int* index) {
  FcPattern* pat = FcPatternCreate();
  if (!pat) return false;
  FcPatternAddString(pat, FC_FAMILY, reinterpret_cast<const FcChar8*>(family));
  FcPatternAddInteger(pat, FC_WEIGHT, FC_WEIGHT_DEMIBOLD);
  FcPatternAddInteger(pat, FC_SLANT, FC_SLANT_ROMAN);
  FcObjectSet* os = FcObjectSetBuild(FC_FAMILY, FC_STYLE, FC_FILE, FC_INDEX, FC_WIDTH, nullptr);
  FcFontSet* set = os ? FcFontList(nullptr, pat, os) : nullptr;
  bool found = false;
  for (int i = 0; set && i < set->nfont && !found; i++) {
    FcPattern* f = set->fonts[i];
    int width = FC_WIDTH_NORMAL;
    FcPatternGetInteger(f, FC_WIDTH, 0, &width);
    FcChar8* path = nullptr;
    if (width != FC_WIDTH_NORMAL || FcPatternGetString(f, FC_FILE, 0, &path) != FcResultMatch)
      continue;
    int idx = 0;
    FcPatternGetInteger(f, FC_INDEX, 0, &idx);
    face_name(f, name, name_size);
    text_copy(file, file_size, reinterpret_cast<const char*>(path));
    *index = idx;
    found = true;
  }
  if (set) FcFontSetDestroy(set);
  if (os) FcObjectSetDestroy(os);
  FcPatternDestroy(pat);
  return found;
}

// The best face of family at an OpenType weight: its file, index and name, and (optionally) a
// copy of its character set.
bool match_face(const char* family, int weight, char* file, size_t file_size, int* index,
                char* name, size_t name_size, FcCharSet** charset) {
  FcPattern* pat = FcPatternCreate();
  if (!pat) return false;
  FcPatternAddString(pat, FC_FAMILY, reinterpret_cast<const FcChar8*>(family));
  FcPatternAddInteger(pat, FC_WEIGHT, FcWeightFromOpenType(weight));
  FcPatternAddInteger(pat, FC_SLANT, FC_SLANT_ROMAN);
  FcConfigSubstitute(nullptr, pat, FcMatchPattern);
  FcDefaultSubstitute(pat);
  FcResult res = FcResultNoMatch;
  FcPattern* font = FcFontMatch(nullptr, pat, &res);
  FcPatternDestroy(pat);
  if (!font) return false;
  FcChar8* path = nullptr;
  bool ok = FcPatternGetString(font, FC_FILE, 0, &path) == FcResultMatch;
  if (ok) {
    int idx = 0;
    FcPatternGetInteger(font, FC_INDEX, 0, &idx);
    text_copy(file, file_size, reinterpret_cast<const char*>(path));
    *index = idx;
    face_name(font, name, name_size);
    if (charset) {
      FcCharSet* cs = nullptr;
      *charset = FcPatternGetCharSet(font, FC_CHARSET, 0, &cs) == FcResultMatch && cs
                     ? FcCharSetCopy(cs)
                     : nullptr;
    }
  }
  FcPatternDestroy(font);
  return ok;
}

void font_release(TextFont* f) {
  if (f->hb) hb_font_destroy(f->hb);
  if (f->face) FT_Done_Face(f->face);
  memset(f, 0, sizeof *f);
}

}  // namespace

int text_fonts_start() {
  if (!FcInit()) {
    log_line("text: fontconfig failed to start - no text");
    return -1;
  }
  for (int r = 0; r < TEXT_ROLES; r++) {
    const Candidates& c = kRoles[r];
    const char* chosen = c.names[c.count - 1];
    for (int i = 0; i < c.count; i++) {
      if (family_installed(c.names[i])) {
        chosen = c.names[i];
        break;
      }
    }
    text_copy(g_text.family[r], TEXT_FAMILY_BYTES, chosen);
    g_text.partner[r][0] = 0;
    g_text.partner_file[r][0] = 0;
    g_text.partner_index[r] = 0;
    // Symbols stay regular, as a symbol face has no weights worth asking for.
    if (r != TEXT_SYMBOL)
      find_partner(chosen, g_text.partner[r], TEXT_FAMILY_BYTES, g_text.partner_file[r],
                   sizeof g_text.partner_file[r], &g_text.partner_index[r]);
    char file[512], name[TEXT_FAMILY_BYTES];
    int index = 0;
    FcCharSet* cs = nullptr;
    if (match_face(chosen, 400, file, sizeof file, &index, name, sizeof name, &cs))
      g_text.charset[r] = cs;
    g_text.presence[r] = static_cast<uint8_t*>(calloc(65536, 1));
  }
  const char* plus[TEXT_ROLES];
  for (int r = 0; r < TEXT_ROLES; r++) plus[r] = g_text.partner[r][0] ? " + " : "";
  log_line("text: mono '%s'%s%s  head '%s'%s%s  cjk '%s'  symbol '%s'", g_text.family[0], plus[0],
           g_text.partner[0], g_text.family[1], plus[1], g_text.partner[1], g_text.family[2],
           g_text.family[3]);
  return 0;
}

void text_fonts_stop() {
  for (TextFont& f : g_text.fonts)
    if (f.used) font_release(&f);
  for (int r = 0; r < TEXT_ROLES; r++) {
    if (g_text.charset[r]) FcCharSetDestroy(static_cast<FcCharSet*>(g_text.charset[r]));
    g_text.charset[r] = nullptr;
    free(g_text.presence[r]);
    g_text.presence[r] = nullptr;
  }
}

bool text_has_glyph(int role, uint32_t cp) {
  if (cp > 0xFFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  if (role == TEXT_MONO && cp < 127) return true;
  uint8_t* table = g_text.presence[role];
  if (table && table[cp]) return table[cp] == 1;
  FcCharSet* cs = static_cast<FcCharSet*>(g_text.charset[role]);
  bool has = cs && FcCharSetHasChar(cs, cp);
  if (table) table[cp] = has ? 1 : 2;
  return has;
}

TextFont* text_font_get(int role, int size_px, int weight) {
  TextFont* slot = nullptr;
  for (TextFont& f : g_text.fonts) {
    if (f.used && f.role == role && f.size_px == size_px && f.weight == weight) {
      f.last_use = ++g_text.font_clock;
      return &f;
    }
    if (!slot || (slot->used && (!f.used || f.last_use < slot->last_use))) slot = &f;
  }
  if (slot->used) font_release(slot);

  char file[512], name[TEXT_FAMILY_BYTES];
  int index = 0;
  bool semibold = weight >= 550 && weight <= 649;
  if (semibold && g_text.partner_file[role][0]) {
    text_copy(file, sizeof file, g_text.partner_file[role]);
    index = g_text.partner_index[role];
    text_copy(name, sizeof name, g_text.partner[role]);
  } else if (!match_face(g_text.family[role], semibold ? 400 : weight, file, sizeof file, &index,
                         name, sizeof name, nullptr)) {
    log_line("text: no face for '%s' weight %d", g_text.family[role], weight);
    return nullptr;
  }
  FT_Face face = nullptr;
  FT_Error err = FT_New_Face(g_text.ft, file, index, &face);
  if (err) {
    log_line("text: can't open '%s' (FreeType error %d)", file, err);
    return nullptr;
  }
  err = FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(size_px));
  if (err && FT_HAS_FIXED_SIZES(face) && face->num_fixed_sizes > 0) err = FT_Select_Size(face, 0);
  if (err) {
    log_line("text: '%s' has no %d px size (FreeType error %d)", name, size_px, err);
    FT_Done_Face(face);
    return nullptr;
  }
  hb_font_t* hb = hb_ft_font_create_referenced(face);
  if (!hb || hb == hb_font_get_empty()) {
    log_line("text: can't shape with '%s'", name);
    if (hb) hb_font_destroy(hb);
    FT_Done_Face(face);
    return nullptr;
  }
  slot->used = true;
  slot->role = role;
  slot->size_px = size_px;
  slot->weight = weight;
  slot->face = face;
  slot->hb = hb;
  const FT_Size_Metrics& m = face->size->metrics;
  slot->ascent = static_cast<int>(std::ceil(m.ascender / 64.0));
  slot->descent = static_cast<int>(std::ceil(-m.descender / 64.0));
  if (slot->ascent <= 0 && slot->descent <= 0) {  // a face without metrics
    slot->ascent = size_px;
    slot->descent = size_px / 4;
  }
  slot->last_use = ++g_text.font_clock;
  text_copy(slot->name, sizeof slot->name, name);
  return slot;
}

const char* text_family(int role) {
  return g_text.family[text_role_of(role)];
}

const char* text_partner(int role) {
  return g_text.partner[text_role_of(role)];
}
