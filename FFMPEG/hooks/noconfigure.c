/* Frame-hook module with only a Process entry point: it takes no words and changes nothing.
 * Used to check how the engine treats modules without Configure. */
#include "quorvin_framehook.h"

void Process(void* ctx, QuorvinHookPicture* picture, int pix_fmt, int width, int height,
             int64_t pts_us) {
  (void)ctx;
  (void)picture;
  (void)pix_fmt;
  (void)width;
  (void)height;
  (void)pts_us;
}
