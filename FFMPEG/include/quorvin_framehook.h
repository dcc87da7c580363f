/* Entry points of a frame-hook module: a shared object loaded at run time by the "vhook" option
 * and run on every decoded video picture of a job.
 *
 * A module exports "Process" and, optionally, "Configure" and "Release" with the signatures
 * below (plain C linkage). The engine calls, per module instance:
 *   Configure(&ctx, argc, argv)  once, with the words of the "vhook" option (argv[0] is the
 *                                module's file name); non-zero refuses the configuration.
 *   Process(ctx, picture, ...)   once per picture, in the job's thread; the module may change
 *                                the picture in place (same size and pixel format).
 *   Release(ctx)                 once at the end of the job.
 * A module without "Configure" may only be given its file name. */
#ifndef QUORVIN_FRAMEHOOK_H
#define QUORVIN_FRAMEHOOK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A picture of up to four planes, as laid out by FFmpeg for the given pixel format. */
typedef struct QuorvinHookPicture {
  uint8_t* data[4];
  int linesize[4];
} QuorvinHookPicture;

/* pix_fmt is FFmpeg's enum AVPixelFormat value; pts_us the picture time in microseconds. */
typedef int (*QuorvinHookConfigureFn)(void** ctxp, int argc, char* argv[]);
typedef void (*QuorvinHookProcessFn)(void* ctx, QuorvinHookPicture* picture, int pix_fmt, int width,
                                     int height, int64_t pts_us);
typedef void (*QuorvinHookReleaseFn)(void* ctx);

int Configure(void** ctxp, int argc, char* argv[]);
void Process(void* ctx, QuorvinHookPicture* picture, int pix_fmt, int width, int height,
             int64_t pts_us);
void Release(void* ctx);

#ifdef __cplusplus
}
#endif

#endif /* QUORVIN_FRAMEHOOK_H */
