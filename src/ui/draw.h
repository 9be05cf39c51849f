// The draw layer: everything on screen goes through this thin layer over the SDL2 renderer.
// Coordinates are points; a point becomes pixel ((x * scale_x + offset_x) * pixel scale, ...).
// Solid shapes share one white texture and are batched as indexed triangles, one
// SDL_RenderGeometry call per batch. Offscreen targets supersample and are remade after the
// graphics device was reset. UI thread only.
#pragma once
#include <cstdint>

struct SDL_Renderer;
struct SDL_Texture;
struct Painter;

struct DrawColour {
  float r, g, b, a;  // 0..1, straight (not premultiplied)
};

struct DrawPoint {
  float x, y;
};

struct DrawRect {
  float x, y, w, h;
};

// An offscreen picture: logical size in points, drawn at factor pixels per point (1..4) times the
// layer's base scale. The texture is width * factor by height * factor pixels.
struct RenderTarget {
  SDL_Texture* texture;
  int width, height;   // logical size
  int factor;          // supersample factor actually used
  int pixel_width, pixel_height;
  uint64_t generation;  // the layer generation the texture was made under
};

constexpr int DRAW_FIRST_VERTICES = 16384;
constexpr int DRAW_FIRST_INDICES = 49152;
constexpr int DRAW_MAX_TEXTURE = 16384;  // when the renderer reports no limit
constexpr int DRAW_MAX_SHADOW_BLUR = 96;

// --- Lifecycle ---------------------------------------------------------------------------------
// Makes the white texture, the premultiplied blend mode and the batches; null on any failure.
// base_scale: pixels per point of the window. Each call raises the generation. Smooth edges start
// on, additive off, no clip, identity transform, alpha 1.
Painter* draw_new(SDL_Renderer* renderer, float base_scale);
void draw_free(Painter* p);
SDL_Renderer* draw_renderer(const Painter* p);
uint64_t draw_generation(const Painter* p);
// The premultiplied blend mode (colour = src + dst * (1 - src alpha), alike for alpha), for
// textures drawn through the layer (text, targets).
// A renderer without custom blend modes (the software one) gets SDL_BLENDMODE_BLEND instead.
int draw_premultiplied_blend(const Painter* p);

// --- State -------------------------------------------------------------------------------------
void draw_set_base_scale(Painter* p, float base_scale);
void draw_set_transform(Painter* p, float offset_x, float offset_y, float scale_x, float scale_y);
void draw_reset_transform(Painter* p);
void draw_set_additive(Painter* p, bool on);  // flushes when it changes
void draw_set_clip(Painter* p, const DrawRect* clip);  // null: none; flushes when it changes
void draw_set_alpha(Painter* p, float alpha);
float draw_alpha(const Painter* p);
void draw_set_smooth(Painter* p, bool on);
float draw_pixel_scale(const Painter* p);
void draw_flush(Painter* p);
// Vertices and indices waiting in the current batch (for tests and statistics).
void draw_batch_counts(const Painter* p, int* vertices, int* indices);
// Point -> pixel with the current transform and pixel scale.
DrawPoint draw_to_pixels(const Painter* p, float x, float y);
// Packs a colour with the global alpha applied: floor(c * 255 + 0.5) clamped to 0..255.
uint32_t draw_pack(const Painter* p, DrawColour c);  // 0xAABBGGRR byte order r, g, b, a

// --- Shapes (points, after the transform) ------------------------------------------------------
void draw_rect(Painter* p, float x, float y, float w, float h, DrawColour c);
void draw_rect_gradient(Painter* p, float x, float y, float w, float h, DrawColour top,
                        DrawColour bottom);
void draw_rect_frame(Painter* p, float x, float y, float w, float h, float thickness,
                     DrawColour c);
void draw_rrect(Painter* p, DrawRect r, float radius, DrawColour c);
void draw_rrect_frame(Painter* p, DrawRect r, float radius, float thickness, DrawColour c);
void draw_disc(Painter* p, float cx, float cy, float r, DrawColour c);
// The outline straddles the circle of radius r: r - width/2 to r + width/2.
void draw_ring(Painter* p, float cx, float cy, float r, float width, DrawColour c);
void draw_polygon(Painter* p, const DrawPoint* points, int count, DrawColour c);
void draw_triangle(Painter* p, DrawPoint a, DrawPoint b, DrawPoint c, DrawColour colour);
void draw_quad(Painter* p, DrawPoint a, DrawPoint b, DrawPoint c, DrawPoint d, DrawColour colour);
// A quad with a colour per corner, blended across it (no smoothed rim: for fields of cells that
// tile, where a rim would show as seams).
void draw_quad_colours(Painter* p, const DrawPoint corners[4], const DrawColour colours[4]);
void draw_polyline(Painter* p, const DrawPoint* points, int count, float width, DrawColour c,
                   bool closed);
void draw_curve(Painter* p, DrawPoint a, DrawPoint control, DrawPoint b, int segments, float width,
                DrawColour c);
void draw_band(Painter* p, const DrawPoint* upper, const DrawPoint* lower, int count,
               DrawColour c);
void draw_regular(Painter* p, float cx, float cy, float r, int sides, float rotation,
                  DrawColour c);
// A disc split by a chord: the part below the chord (fraction 0..1 of the diameter, measured
// along the angle) in `lower`, the rest in `upper`.
void draw_split_disc(Painter* p, float cx, float cy, float r, float fraction, float angle,
                     DrawColour lower, DrawColour upper);
// An additive three-layer glow sprite around a centre.
void draw_glow(Painter* p, float cx, float cy, float r, DrawColour c);
// Soft drop shadow under a rounded rectangle; blur 0..96 pixels.
void draw_shadow(Painter* p, DrawRect r, float radius, float blur, float alpha);
// The same without its middle, for a shape drawn over it: on a software rasteriser a panel's
// shadow would otherwise fill the whole panel once more.
void draw_shadow_around(Painter* p, DrawRect r, float radius, float blur, float alpha);
// The built-in 5x7 dot font; returns the width 6c * length - c.
float draw_text_5x7(Painter* p, float x, float y, float c, DrawColour top, DrawColour bottom,
                    float flash, const char* text);
// Segments for a circle of on-screen radius r_px (8..256; 8 below one pixel).
int draw_segments(float r_px);

// Draws a whole texture (text, pictures) into rect in points, tinted by colour with the global
// alpha; the batch is flushed first so the order holds. src (pixels) may be null for all of it.
void draw_texture(Painter* p, SDL_Texture* texture, const DrawRect* src, DrawRect rect,
                  DrawColour tint);

// --- Render targets ----------------------------------------------------------------------------
// 0, or -1 when the texture can't be made (the target is left empty).
int target_ensure(Painter* p, RenderTarget* t, int width, int height, int factor);
void target_begin(Painter* p, RenderTarget* t, DrawColour clear);
void target_end(Painter* p);
void target_draw(Painter* p, const RenderTarget* t, DrawRect rect);
void target_draw_part(Painter* p, const RenderTarget* t, DrawRect source, DrawRect rect);
void target_free(RenderTarget* t);
