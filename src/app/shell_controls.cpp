// The controls under the canvas: the strip (the whole sketch, the loop flags, the view's box) and
// the XY stick.
#include "app/shell_internal.h"

void shell_controls_start(Shell* sh) {
  (void)sh;
}

void shell_controls_stop(Shell* sh) {
  (void)sh;
}

void shell_controls_draw(Shell* sh) {
  (void)sh;
}
