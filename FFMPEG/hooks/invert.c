/* Frame-hook module that inverts the picture: every sample of every plane becomes 255 - value
 * (8-bit planar and packed formats). Optional words: "luma" inverts only the first plane. */
#include <stdlib.h>
#include <string.h>

#include "quorvin_framehook.h"

typedef struct InvertContext {
  int luma_only;
  int frames;
} InvertContext;

int Configure(void** ctxp, int argc, char* argv[]) {
  InvertContext* ctx = calloc(1, sizeof(InvertContext));
  if (!ctx) return -1;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "luma") == 0) {
      ctx->luma_only = 1;
    } else {
      free(ctx);
      return -1; /* unknown word: refuse the configuration */
    }
  }
  *ctxp = ctx;
  return 0;
}

/* Plane heights and byte widths of the pixel formats the engine hands to hooks: YUV420P (0),
 * BGR24 (3) and anything else treated as a single packed plane of width bytes per row. */
void Process(void* opaque, QuorvinHookPicture* picture, int pix_fmt, int width, int height,
             int64_t pts_us) {
  (void)pts_us;
  InvertContext* ctx = opaque;
  int planes = (pix_fmt == 0 && !(ctx && ctx->luma_only)) ? 3 : 1;
  for (int p = 0; p < planes; ++p) {
    int rows = p == 0 ? height : (height + 1) / 2;
    int bytes = p == 0 ? (pix_fmt == 3 ? width * 3 : width) : (width + 1) / 2;
    for (int y = 0; y < rows; ++y) {
      unsigned char* row = picture->data[p] + (long)y * picture->linesize[p];
      for (int x = 0; x < bytes; ++x) row[x] = (unsigned char)(255 - row[x]);
    }
  }
  if (ctx) ctx->frames++;
}

void Release(void* opaque) {
  free(opaque);
}
