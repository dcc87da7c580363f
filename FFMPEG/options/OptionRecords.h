// Plain records that describe a job's input and output. The conversion queue and the profile
// translation fill them; the job component applies them to an engine as options
// (ApplyInputOptions / ApplyOutputOptions). Standard library only.
//
// Every default member initializer is the value the matching Reset function sets, so a
// value-initialised record and a reset record are the same. Fields keep the order in which the
// engine applies them. Integer fields use -1 (or another value <= 0 where noted) for "not set":
// the engine ignores them and keeps its own value.
#pragma once

#include <cstdint>
#include <string>

struct TInputOptions {
  std::string FileName;      // empty: filled with the name passed to AddInputFile
  std::string FileFormat;    // forced input format; empty means probe
  int StartTime = -1;        // milliseconds; applied as start offset when > 0
  int ProgramID = -1;        // program to select when >= 0
  std::string ExtraOptions;  // option lines "name=value", applied before the fields above

  bool operator==(const TInputOptions&) const = default;
};

struct TOutputOptions {
  std::string FileName;      // empty: filled with the output file name
  std::string Reserved;      // not read
  std::string FileFormat;    // output format; empty leaves it to the file name's extension
  int PacketSize = -1;       // generic option "packetsize" when > 0
  int MuxRate = -1;          // generic option "muxrate" when > 0
  float MuxDelay = -1.0f;    // seconds, option "muxdelay" when > 0
  float MuxPreload = -1.0f;  // seconds, option "muxpreload" when > 0

  std::string AudioCodec;          // option "acodec"
  bool DisableAudio = false;       // option "an"
  int AudioVolume = -1;            // option "vol" when >= 0 (256 = unchanged)
  int AudioChannels = -1;          // option "ac" when > 0
  int AudioSampleRate = -1;        // Hz, option "ar" when > 0
  int AudioBitrate = -1;           // bit/s, generic option "ab" when > 0
  int AudioBitrateTolerance = -1;  // generic option "abt" when > 0
  int AudioCompressionLevel = -1;  // generic option "compression_level" when >= 0
  std::string AudioLanguage;       // assigned as is (empty clears an earlier "alang")
  int AudioSyncMethod = 0;         // assigned as option "async"
  std::string AudioTag;            // option "atag"

  std::string VideoCodec;     // option "vcodec"
  bool DisableVideo = false;  // option "vn"
  std::string FrameRate;      // option "r"
  std::string FrameSize;      // option "s"
  std::string AspectRatio;    // option "aspect"
  int CropTop = -1;           // pixels; each crop and pad field applied when >= 0
  int CropBottom = -1;
  int CropLeft = -1;
  int CropRight = -1;
  int PadTop = -1;
  int PadBottom = -1;
  int PadLeft = -1;
  int PadRight = -1;
  std::int32_t PadColor = 0;       // 0x00BBGGRR, option "padcolor" (0 = black)
  int GOPSize = -1;                // generic option "gop" when > 0
  int VideoBitrate = -1;           // bit/s, generic option "vb" when > 0
  int VideoMaxRate = -1;           // bit/s, generic option "maxrate" when > 0
  int VideoMinRate = -1;           // bit/s, generic option "minrate" when > 0
  int VideoBitrateTolerance = -1;  // generic option "bt" when > 0
  int VideoBufferSize = -1;        // generic option "bufsize" when > 0
  int VideoQuality = -1;           // constant quality (the encoder's scale), option "crf" when >= 0
  int VideoSyncMethod = -1;        // assigned as option "vsync"
  std::string VideoTag;            // option "vtag"
  std::string Device;              // option "device": the player the output is made for

  bool DisableSubtitle = false;  // option "sn"
  std::string SubtitleLanguage;  // assigned as is
  bool CopyTimestamps = false;   // option "copyts"
  int Duration = -1;             // milliseconds; recording time limit when > 0
  // Bytes; when > 0 a finished output larger than this fails its run and is not kept.
  std::int64_t MaxOutputBytes = -1;
  // With MaxOutputBytes: 2 = the video is encoded in two passes, the first gathering the
  // encoder's statistics (in files beside the output, removed afterwards); else one pass.
  int VideoPasses = 0;

  // Local date-time in days since 1899-12-30: 0 = now, > 0 = this time, < 0 = not set.
  double Timestamp = -1.0;
  int Year = -1;   // year tag when > 0
  int Track = -1;  // track tag when > 0
  // Tag texts. The original fixed-width buffers held at most 511 (Genre: 31) characters; the
  // engine applies the text as given.
  std::string Title;
  std::string Author;
  std::string Copyright;
  std::string Comment;
  std::string Album;
  std::string Genre;

  int TargetType = 0;         // 1 = "vcd", 2 = "svcd", 3 = "dvd" target preset; other: none
  int TargetNorm = 0;         // 1 = "pal", 2 = "ntsc", other = "auto"
  int TargetDefaultNorm = 1;  // fallback norm for "auto": 1 = "pal", other = "ntsc"

  bool UseCustomHook = false;  // raise OnCustomHook for every video frame
  bool UseBeforeHook = false;  // (without UseCustomHook) raise OnBeforeHook per hooked frame
  std::string HookRanges;      // (without both) "start-end,..." in ms where frame hooks run
  std::string ExtraOptions;    // option lines "name=value", applied first of all

  // Option "check_output": the run reads its output back before it counts as done.
  bool CheckOutput = false;

  bool operator==(const TOutputOptions&) const = default;
};

// Sets every field to its default (see the member initializers above).
void ResetInputOptions(TInputOptions& options);
void ResetOutputOptions(TOutputOptions& options);
