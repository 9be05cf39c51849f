// Pieces shared by sky.cpp (state and motion) and sky_objects.cpp (the far objects' painting).
#pragma once
#include <cstdint>

#include "ui/sky.h"

// One paint call's settings: pan (c, d = 0.5 - view centre), phase, scale and eased lean.
struct SkyFrame {
  DrawRect rect;
  float c, d;
  double phase;
  float k;
  float lx, ly;
  DrawColour theme;
};

float sky_u(uint32_t seed);                   // uniform 0..1 from the hash
uint32_t sky_seed(int i, uint32_t offset);    // i * golden ratio + a per-property offset
float sky_clamp(float v, float lo, float hi);
float sky_scale(float w, float h);            // k
double sky_phase(double clock);               // clock mod one day; 0 when frozen
float sky_noise1(float x, uint32_t seed);     // smooth 1-D value noise, -1..1
void sky_rock_colours(float depth, DrawColour* light, DrawColour* dark);
uint32_t sky_rock_shape_seed(const SkyRock& rock, int i);

void sky_paint_galaxies(Painter* p, const SkyFrame& f);
void sky_paint_stars(const Sky* sky, Painter* p, const SkyFrame& f);
void sky_paint_bodies(Painter* p, const SkyFrame& f);
void sky_paint_ships(Painter* p, const SkyFrame& f);
void sky_paint_rocks(const Sky* sky, Painter* p, const SkyFrame& f, double clock);
void sky_paint_meteors(const Sky* sky, Painter* p, const SkyFrame& f);
