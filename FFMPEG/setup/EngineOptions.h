// TEngineOptions: every option value of one conversion job, each with its default written once,
// here. The option parser and the file set-up write them before the job is launched; the
// transcoder reads them through a const reference, so a run cannot change them. A reset is the
// assignment of a fresh value.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

#include "DeviceLimits.h"
#include "HookTimeRange.h"

struct TEngineOptions {
  // The comment names the option that sets a field where it is not obvious.
  const AVInputFormat* InputFormat = nullptr;    // forced input container ("f" before "i")
  const AVOutputFormat* OutputFormat = nullptr;  // forced output container
  int FrameWidth = 0;                            // "s"
  int FrameHeight = 0;
  float FrameAspectRatio = 0;                   // "aspect"
  AVPixelFormat FramePixFmt = AV_PIX_FMT_NONE;  // "pix_fmt"
  int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
  std::array<int, 3> PadColor{16, 128, 128};  // Y, U, V ("padcolor")
  int CropTop = 0, CropBottom = 0, CropLeft = 0, CropRight = 0;
  // Frame limits by codec type: video, audio, data, subtitle ("vframes", "aframes", "dframes").
  std::array<int, 4> MaxFrames{INT_MAX, INT_MAX, INT_MAX, INT_MAX};
  AVRational FrameRate{0, 0};  // "r"
  float VideoQScale = 0;       // "qscale"
  // Constant quality on the encoder's own scale ("crf"); -1: none, the bit rate rules.
  float VideoConstantQuality = -1;
  std::vector<uint16_t> IntraMatrix;  // 64 coefficients, empty = none ("intra_matrix")
  std::vector<uint16_t> InterMatrix;  // "inter_matrix"
  std::string VideoRcOverride;        // "rc_override"
  int VideoDisable = 0;               // "vn"
  int VideoDiscard = 0;               // "vdt"
  std::string VideoCodecName;         // "vcodec"
  unsigned VideoCodecTag = 0;         // "vtag"
  int SameQuality = 0;                // "sameq"
  int DoDeinterlace = 0;              // "deinterlace"
  int TopFieldFirst = -1;             // "top"; -1 = from the input picture
  int MeThreshold = 0;
  int IntraDcPrecision = 8;  // "dc"
  int LoopInput = 0;
  int LoopOutput = -1;
  int QpHist = 0;
  int IntraOnly = 0;                    // "intra"
  int AudioSampleRate = 44100;          // "ar"
  float AudioQScale = -99999.0f;        // "aq"; -99999 = not set
  int AudioDisable = 0;                 // "an"
  int AudioChannels = 2;                // "ac"
  std::string AudioCodecName;           // "acodec"
  unsigned AudioCodecTag = 0;           // "atag"
  std::string AudioLanguage;            // "alang"
  int SubtitleDisable = 0;              // "sn"
  std::string SubtitleCodecName;        // "scodec"
  std::string SubtitleLanguage;         // "slang"
  float MuxPreload = 0.5f;              // seconds ("muxpreload")
  float MuxMaxDelay = 0.7f;             // seconds ("muxdelay")
  int64_t RecordingTimeUs = INT64_MAX;  // output duration limit ("t")
  int64_t StartTimeUs = 0;              // start offset ("ss")
  int64_t RecTimestamp = 0;             // "timestamp", microseconds since 1970
  int64_t InputTsOffsetOpt = 0;         // offset for the next input file ("itsoffset")
  std::string Title, Author, Copyright, Comment, Genre, Album;  // tags for outputs
  int Year = 0, Track = 0;                                      // tags when above 0
  TDeviceTarget Device = TDeviceTarget::kNone;  // "device": the player outputs are made for
  int DoHexDump = 0, DoPktDump = 0, DoPsnr = 0;
  // "check_output": 1 reads every finished output back before it gets its final name (every
  // packet decoded, streams, durations, the device's limits); a failed read fails the run.
  // Video encoders then also give their squared errors, for the check's PSNR.
  int CheckOutput = 0;
  int DoPass = 0;  // 1 = first pass, 2 = second
  std::string PassLogFileName;
  int AudioStreamCopy = 0, VideoStreamCopy = 0, SubtitleStreamCopy = 0;  // codec "copy"
  int VideoSyncMethod = -1;                                              // "vsync"
  int AudioSyncMethod = 0;                                               // "async"
  float AudioDriftThreshold = 0.1f;  // seconds ("adrift_threshold")
  bool CopyTs = false;               // "copyts"
  int Shortest = 0;
  int VideoGlobalHeader = 0;   // "vglobal"
  std::string VStatsFileName;  // "vstats" / "vstats_file"
  int ProgramId = 0;           // "programid"
  int RateEmu = 0;             // "re"
  int VideoChannel = 0;
  std::string VideoStandard;  // "tvstd"
  int AudioVolume = 256;      // "vol"; 256 = unchanged
  int Verbosity = 1;
  int ThreadCount = 1;  // "threads"; 0 = the libraries choose (one thread per core)
  // "serial_stages": 1 runs every stage of a conversion (reading, decoding, the picture and
  // sound paths, writing) on the job's own thread instead of one thread each; the output is
  // the same, only slower. For debugging.
  int SerialStages = 0;
  int InputSync = 0;  // "isync"
  int PgmYuvHack = 0;
  uint64_t LimitFileSize = 0;       // bytes ("fs"), 0 = no limit
  float DtsDeltaThreshold = 10.0f;  // seconds ("dts_delta_threshold")

  AVPixelFormat HookPixelFormat = AV_PIX_FMT_BGR24;  // format of the custom-hook bitmap
  // Microsecond ranges of the source in which the hooks run; one empty range = everywhere.
  std::vector<THookTimeRange> HookTimeRanges{THookTimeRange{}};
  int HookTimeRangeCount = 0;

  int TotalDurationMs = -1;             // expected output duration, -1 unknown
  int64_t ProgressIntervalUs = 500000;  // least wall-clock time between progress reports
  // Whether an output may replace a file that exists under its final name when the run ends.
  bool ReplaceExistingOutput = true;
  // Largest size a finished output may have, in bytes; 0: no limit. A larger one fails the run.
  int64_t OutputSizeLimit = 0;
};
