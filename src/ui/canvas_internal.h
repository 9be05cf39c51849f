// Pieces shared by the canvas's files.
#pragma once
#include "ui/canvas.h"

// One frame's mapping from canvas units to the window.
struct CanvasFrame {
  DrawRect rect;
  float inset;
  float W, H;  // canvas units: the sketch's width and the canvas height
  bool tall;
  double frames;  // the sketch's width in frames
  float zoom, centre_x, centre_y;
  float screen_left;  // window x where the sketch starts at zoom 1
  float margin;
};

CanvasFrame canvas_frame(const Canvas* c, const CanvasInput* in, DrawRect rect);
// The live take's length in frames: one hop per stroke.
int64_t live_length(const CanvasInput* in);
// canvas_draw.cpp: the glow and sparks of a leaf that just sprang up.
void canvas_spawn_marks(Canvas* c, const LeafShape* leaf, const CanvasItem* item, int32_t b,
                        float zoom);
