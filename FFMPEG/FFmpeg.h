// TCustomFFmpeg: one conversion job's engine. It carries everything the option parser and the
// file set-up prepare for a run (opened inputs, prepared outputs, stream maps, option values with
// fixed defaults), the run's counters, working buffers, frame-hook state, run-state flags and the
// callbacks through which the job reports to the job component.
//
// Threads: option fields are written by the thread that prepares the job, before it is launched,
// and afterwards only by the job's own thread. The run-state flags are atomics because the
// component's thread reads them and sets AbortRequested / the pause flag while the job runs.
// Every codec open and close of every engine in the process happens under CodecLock.
#pragma once

#include <array>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "AVPtr.h"
#include "DeviceLimits.h"
#include "FFmpegException.h"
#include "FrameHook.h"
#include "OptionParsing.h"  // THookTimeRange: microsecond range in which frame hooks run
#include "OptionRecords.h"
#include "ReadGuard.h"

// Limits of the engine's tables.
inline constexpr int kMaxFiles = 20;           // input files, and output files
inline constexpr int kMaxStreamMaps = 20;      // "map"
inline constexpr int kMaxMetaDataMaps = 20;    // "map_meta_data"
inline constexpr int kMaxStreamsPerFile = 20;  // cells of the per-file, per-stream tables
inline constexpr int kCodecTypeCount = 5;      // video, audio, data, subtitle, attachment

// Log levels of the job component, in this order (ordinal values 0 to 4).
enum TLogLevel { llQuiet, llError, llInfo, llDebug, llAll };

// Decision of the before-hook callback for the current picture.
enum THookAction { haContinue, haIgnore, haStop };

struct StreamMapEntry {
  int FileIndex = 0;
  int StreamIndex = 0;
  int SyncFileIndex = 0;
  int SyncStreamIndex = 0;
};

struct MetaDataMapEntry {
  int OutFile = 0;
  int InFile = 0;
};

// The picture handed to the custom hook: packed 24-bit BGR (AV_PIX_FMT_BGR24), Stride bytes per
// row. Data points into the engine's RgbBuffer and is valid only during the callback.
struct THookBitmap {
  int Width = 0;
  int Height = 0;
  int Stride = 0;
  uint8_t* Data = nullptr;
};

// Working buffers of the audio and subtitle paths. Each engine has its own, so several jobs can
// run at once; each is sized on first use and then reused for the rest of the run.
struct TWorkBuffers {
  std::vector<uint8_t> AudioSamples;       // 262,144 bytes
  std::vector<uint8_t> AudioEncodeOut;     // 524,288 bytes
  std::vector<uint8_t> Silence;            // grows as needed
  std::vector<uint8_t> DecodedAudio;       // at least 192,000 bytes
  std::vector<uint8_t> SubtitleEncodeOut;  // 65,536 bytes
  std::array<int64_t, 52> QpHistogram{};   // "qphist" counters
};

// The stream model of one run; defined by the transcode driver.
struct InputStreamState;
struct OutputStreamState;

// Callbacks to the job component. Levels are the engine's scale: -1 exception messages,
// 0 error, 1 information, 2 debug.
using TEngineLogCallback = std::function<void(int level, const std::string& msg)>;
using TEngineProgressCallback =
    std::function<void(int frame_number, int fps, int current_duration_ms, float quality,
                       float bit_rate, int64_t current_size, int total_output_duration_ms)>;
// Called once when the job has ended; Finished, ExceptionRaised and ErrorMessage tell how.
using TEngineTerminateCallback = std::function<void()>;
// hook_action comes in with the previous picture's decision.
using TEngineBeforeHookCallback = std::function<void(int64_t pts_us, THookAction& hook_action)>;
// update is true on entry (copy the bitmap back into the picture); stop_hook false on entry.
using TEngineCustomHookCallback = std::function<void(
    THookBitmap& bitmap, int frame_number, int64_t pts_us, bool& update, bool& stop_hook)>;

class TCustomFFmpeg {
 public:
  TCustomFFmpeg();
  TCustomFFmpeg(const TCustomFFmpeg&) = delete;
  TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;
  // Requests abort, waits for the job's thread to end (see WaitForThreadEnd), frees the files.
  virtual ~TCustomFFmpeg();

  // ---- State (engine-state) ----------------------------------------------------------------

  // Sets every option field to its default, zeroes InputTsScale and the counters and leaves one
  // empty hook time range. Does not touch the library objects or the run state.
  void SetOptionDefaults();
  // Releases everything of the job's files (see FFmpeg.cpp for the order). An output file that
  // exists with 0 bytes is deleted. Does nothing while the libraries are not loaded; safe to run
  // more than once.
  void FreeFileSet();
  // FreeFileSet, SetOptionDefaults, clears the run state and makes the generic-option defaults
  // objects. Does nothing while the libraries are not loaded.
  void ResetEngine();
  // Sets Verbosity and the libraries' log level (engine scale -1..3).
  void SetVerbosity(int verbosity);

  // Sets AbortRequested and wakes a paused job so that it can see it.
  void RequestAbort();
  // Pauses (true) or resumes (false) the job at its next WaitWhilePaused.
  void RequestPause(bool paused);
  bool PauseRequested() const { return Paused.load(); }
  // Called by the transcode loop once per pass: returns at once unless paused; otherwise blocks
  // until resumed or aborted.
  void WaitWhilePaused();

  // Logs through the log callback when one is set and the level passes Verbosity (level -1,
  // exception messages, always passes).
  void Log(int level, const std::string& msg);

  // Interrupt callback for input format contexts: blocked reads end once abort is requested,
  // and a probe or a packet read ends once it has read more than ReadGuard.Limit bytes (see
  // ReadGuard.h). Not for outputs: their trailers must still be written after a stop request.
  AVIOInterruptCB InputInterruptCallback();
  // The inputs' interrupt state. Its StopCount may point at a count of stop requests of the
  // caller that also ends reads (the job component's Stop, while it sets the job up).
  TReadGuard ReadGuard;

  // One lock for the whole process, held around every codec open and close of every engine.
  static std::recursive_mutex CodecLock;

  // ---- Options (engine-state): the option table, generic options, presets, records ----------

  // Applies one option; an unknown name changes nothing. Failures raise FFMpegException.
  void Dispatch(const std::string& name, const std::string& value);
  // Applies option lines "name=value" (one per line) in order through Dispatch; the first
  // failing option ends the application, and options before it stay applied.
  void ApplyOptionLines(const std::string& lines);
  // For every generic option set so far: copies its value from source to target (both are
  // AVClass-based library objects) when all bits of flags are among the option's flags.
  void ApplyGenericOptions(void* target, const void* source, int flags);
  // Stores a generic option (one the library knows by name) in the defaults objects; false
  // when no library object accepts the name with that value.
  bool SetGenericOption(const std::string& name, const std::string& value);
  bool SetGenericOptionInt(const std::string& name, int value);
  // Target presets: type "vcd", "svcd", "dvd", "dv" or "dv50"; norm "pal", "ntsc", "film" or
  // anything else for "find it from the frame rate or the inputs, else default_norm".
  void TargetPreset(const std::string& type, const std::string& norm,
                    const std::string& default_norm);

  // Typed setters, each equal to the option of the same name.
  void SetInputFormat(const std::string& name);   // forced input format
  void SetOutputFormat(const std::string& name);  // forced output format
  void SetFrameRate(const std::string& text);     // "r"
  void SetFrameSize(const std::string& text);     // "s"
  void SetAspect(const std::string& text);        // "aspect"
  enum TSide { sdTop, sdBottom, sdLeft, sdRight };
  void SetCrop(TSide side, int pixels);  // "croptop", ...; negative does nothing
  void SetPad(TSide side, int pixels);   // "padtop", ...; negative does nothing
  void SetPadColor(uint32_t bgr);        // 0x00BBGGRR
  // Codec name ("vcodec", "acodec", "scodec") for a video, audio or subtitle stream.
  void SetCodecName(AVMediaType type, const std::string& name);
  void SetCodecTag(AVMediaType type, const std::string& four_chars);  // "vtag", "atag"
  void SetDevice(const std::string& name);                            // "device"
  void SetQScale(float qscale);                                       // "qscale"
  // Recording time limit in milliseconds; also the job's TotalDurationMs. <= 0 does nothing.
  void SetRecordingTimeMs(int64_t duration_ms);

  // Apply a job's records to the engine in their fixed order (before opening the file). The
  // hook callbacks of the output record are connected by the job component.
  void ApplyInputOptions(const std::string& file_name, const TInputOptions& options);
  void ApplyOutputOptions(const std::string& file_name, const TOutputOptions& options);
  // "newvideo", "newaudio", "newsubtitle": a stream made from the current options on the last
  // output file.
  void NewStreamOnLastOutput(AVMediaType type);

  // ---- File set-up (engine-setup) -----------------------------------------------------------

  // Opens an input file with the options given so far, takes its picture and sound parameters
  // into the option fields and registers it. On failure LastErrorText holds the reason and an
  // FFMpegException with that text is raised. An input named "*.avs" is a script (AvsInput.h).
  // The per-input options (InputFormat, the codec names, VideoChannel, RateEmu) are cleared
  // either way. With IO the bytes come from that I/O context instead of the file, and FILE_NAME
  // only names the input (in messages and for a format guess); the caller frees IO after the
  // files were freed. Opening and probing may read at most ReadGuard.Limit bytes.
  void OpenInputFile(const std::string& file_name, AVIOContext* io = nullptr);
  // Prepares an output file: its streams from the option fields (codec contexts in
  // OutputCodecs), its tags, and the file opened for writing. False with LastErrorText set on
  // failure; from the point the file is registered a failed output stays in OutputFiles.
  bool OpenOutputFile(const std::string& file_name);
  // Add one stream to OC (a registered output or the one OpenOutputFile is preparing) and
  // clear the per-stream options; failures raise FFMpegException.
  void NewVideoStream(AVFormatContext* oc);
  void NewAudioStream(AVFormatContext* oc);
  void NewSubtitleStream(AVFormatContext* oc);
  // A stream-copy stream that takes the first input's cover picture (audio outputs).
  void NewCoverStream(AVFormatContext* oc);
  // Looks up the encoder (ENCODER true) or decoder NAME of the codec TYPE. An empty name gives
  // AV_CODEC_ID_NONE and success. False with LastErrorText "Unknown encoder 'x'" or "Invalid
  // encoder type 'x'" (or "decoder"). Legacy encoder names are mapped (CodecAlias); the AMR-NB
  // names give AV_CODEC_ID_AMR_NB with the library's encoder, or none when the engine's own
  // encoder is to be used (AmrNbEncoder.h).
  bool FindCodec(const std::string& name, AVMediaType type, bool encoder, AVCodecID& id,
                 const AVCodec** codec = nullptr);
  // The encoder name today's libraries use for a legacy name ("libfaac" -> "aac").
  static std::string CodecAlias(const std::string& name);

 private:
  bool TryOpenInputFile(const std::string& file_name, AVIOContext* io);
  // Why the input's last read step was ended by ReadGuard, or "" when it was not.
  std::string ReadStopText(const std::string& file_name) const;
  void ClearInputFileOptions();
  void DropOutputCodecs(int file_index);
  bool IsOpenInput(const std::string& file_name) const;
  void TakeBitstreamFilters(std::string& chain_text, int file_index, int stream);

 public:
  // ---- Output files ---------------------------------------------------------------------------
  //
  // An output file is created only when its run starts, under a hidden temporary name beside
  // the final one (PartFileName), and takes its final name only when the run has ended well or
  // has been stopped and its file finalised. A run that fails removes its unfinished file, and
  // a killed process leaves at most the temporary files of its running jobs, which no naming
  // rule counts as outputs.

  // The temporary name of FINAL_PATH: ".NAME.quorvin-part" in the same folder (attempt 0), or
  // ".NAME.ATTEMPT.quorvin-part" when that name is in use.
  static std::string PartFileName(const std::string& final_path, int attempt = 0);
  // Why no output can be created at FILE_NAME, without creating anything: the folder is
  // missing, is no folder or takes no files, or the name is a folder. Empty when it can.
  static std::string OutputPlaceError(const std::string& file_name);
  // Creates the file of every output prepared by OpenOutputFile under its temporary name and
  // opens it for writing. Failures raise FFMpegException with the system's reason.
  void OpenOutputFilesForWriting();
  // Closes every output created by OpenOutputFilesForWriting, checks that all of it was
  // written, and gives it its final name (replacing a file of that name only when
  // ReplaceExistingOutput is set, and never one this job reads). Failures raise
  // FFMpegException; FreeFileSet then removes the unfinished file.
  void CommitOutputFiles();

  // Final name of each output prepared by OpenOutputFile; empty for outputs that write no file
  // or that were opened by the caller.
  std::array<std::string, kMaxFiles> OutputPaths;
  // Temporary name of each output while its run writes it.
  std::array<std::string, kMaxFiles> OutputPartPaths;
  // Whether an output may replace a file that exists under its final name when the run ends.
  bool ReplaceExistingOutput = true;

  // ---- Transcode (engine-core) --------------------------------------------------------------

  // Runs the conversion of InputFiles into OutputFiles with StreamMaps; failures raise
  // FFMpegException. Sets Finished := !AbortRequested when its loop ends normally.
  void Transcode();

  // ---- Job operations (jobs) ----------------------------------------------------------------

  // ---- Fields -------------------------------------------------------------------------------

  // Files. Outputs are prepared by OpenOutputFile and written by Transcode.
  std::array<InputFormatPtr, kMaxFiles> InputFiles;
  std::array<int64_t, kMaxFiles> InputTsOffset{};  // microseconds ("itsoffset")
  // Per input file and stream ("itsscale"); 0 means no scaling.
  std::array<std::array<double, kMaxStreamsPerFile>, kMaxFiles> InputTsScale{};
  int InputFileCount = 0;
  std::array<OutputFormatPtr, kMaxFiles> OutputFiles;
  int OutputFileCount = 0;
  // Codec context of every output stream, [output file][stream]: file set-up creates and
  // configures it (not opened; for stream copy it carries only the codec type), Transcode opens
  // it. The library's streams have no codec context of their own any more.
  std::array<std::array<CodecContextPtr, kMaxStreamsPerFile>, kMaxFiles> OutputCodecs;
  // Streams copied without re-encoding (codec "copy"), [output file][stream].
  std::array<std::array<bool, kMaxStreamsPerFile>, kMaxFiles> OutputStreamCopy{};
  // Rate emulation ("re") of each input file, as it was when the file was opened.
  std::array<bool, kMaxFiles> InputRateEmu{};
  std::array<StreamMapEntry, kMaxStreamMaps> StreamMaps{};
  int StreamMapCount = 0;
  std::array<MetaDataMapEntry, kMaxMetaDataMaps> MetaDataMaps{};
  int MetaDataMapCount = 0;

  // Option fields; the comment names the option that sets each one where it is not obvious.
  const AVInputFormat* InputFormat = nullptr;    // forced input container ("f" before "i")
  const AVOutputFormat* OutputFormat = nullptr;  // forced output container
  int FrameWidth = 0;                            // "s"
  int FrameHeight = 0;
  float FrameAspectRatio = 0;                   // "aspect"
  AVPixelFormat FramePixFmt = AV_PIX_FMT_NONE;  // "pix_fmt"
  AVSampleFormat AudioSampleFmt = AV_SAMPLE_FMT_NONE;
  int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
  std::array<int, 3> PadColor{16, 128, 128};  // Y, U, V ("padcolor")
  int CropTop = 0, CropBottom = 0, CropLeft = 0, CropRight = 0;
  // Frame limits by codec type: video, audio, data, subtitle ("vframes", "aframes", "dframes").
  std::array<int, 4> MaxFrames{INT_MAX, INT_MAX, INT_MAX, INT_MAX};
  AVRational FrameRate{0, 0};         // "r"
  float VideoQScale = 0;              // "qscale"
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
  int DoBenchmark = 0, DoHexDump = 0, DoPktDump = 0, DoPsnr = 0;
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
  FilePtr VStatsFile;
  int ProgramId = 0;  // "programid"
  int RateEmu = 0;    // "re"
  int VideoChannel = 0;
  std::string VideoStandard;  // "tvstd"
  int AudioVolume = 256;      // "vol"; 256 = unchanged
  bool UsingFrameHook = false;
  int Verbosity = 1;
  int ThreadCount = 1;  // "threads"; 0 = the libraries choose (one thread per core)
  int64_t VideoBytes = 0, AudioBytes = 0, ExtraBytes = 0;
  int FramesDuplicated = 0, FramesDropped = 0;
  int InputSync = 0;  // "isync"
  int PgmYuvHack = 0;
  uint64_t LimitFileSize = 0;       // bytes ("fs"), 0 = no limit
  float DtsDeltaThreshold = 10.0f;  // seconds ("dts_delta_threshold")
  int SwsFlags = SWS_BICUBIC;       // re-read from ScalerDefaults at set-up

  // Generic options: names set so far, in order; their values live in the defaults objects.
  std::vector<std::string> OptionNames;
  std::array<CodecContextPtr, kCodecTypeCount> CodecDefaults;  // indexed by AVMediaType
  FormatContextPtr FormatDefaults;
  SwsPtr ScalerDefaults;
  // Generic options that only a muxer's own option set knows (e.g. "muxrate", "movflags"),
  // name -> value; pass them to avformat_write_header, which ignores those the muxer lacks.
  std::vector<std::pair<std::string, std::string>> MuxerOptions;

  int64_t TimerStart = 0;  // wall clock (microseconds) when the main loop started

  // Bitstream filter chains ("vbsf", "absf", "sbsf") for the next stream, as filter texts joined
  // by ','; file set-up turns them into the per-stream chains below.
  std::string VideoBitstreamFilters, AudioBitstreamFilters, SubtitleBitstreamFilters;
  std::array<std::array<BsfPtr, kMaxStreamsPerFile>, kMaxFiles> BitstreamFilters;

  int BitBufferSize = 262144;  // raised at set-up for large pictures
  std::vector<uint8_t> BitBuffer;
  TWorkBuffers WorkBuffers;

  // Streams whose encoder / decoder is open, newest first; the run's clean-up closes what is
  // still listed when a run ends by an exception.
  std::list<OutputStreamState*> OpenEncoders;
  std::list<InputStreamState*> OpenDecoders;

  // Set while a worker thread runs this job (by whoever starts the thread; cleared as the last
  // thing the thread does with the job). The destructor waits for it to clear.
  std::atomic<bool> ThreadActive{false};

  // Frame hooks and the custom hook.
  TFrameHookChain FrameHooks;                        // modules loaded by "vhook"
  std::vector<uint8_t> HookBuffer;                   // picture copy for deinterlacing and hooks
  AVPixelFormat HookPixelFormat = AV_PIX_FMT_BGR24;  // format of the custom-hook bitmap
  std::unique_ptr<THookBitmap> HookBitmap;
  std::vector<uint8_t> RgbBuffer;  // RGB picture for the custom hook
  SwsPtr ToRgbContext, FromRgbContext;
  int HookFrameCounter = 0;
  THookAction HookAction = haContinue;
  std::vector<THookTimeRange> HookTimeRanges{THookTimeRange{}};
  int HookTimeRangeIndex = 0;
  int HookTimeRangeCount = 0;

  // Run state, read by the component's thread while the job runs.
  std::atomic<bool> Running{false};
  std::atomic<bool> AbortRequested{false};
  std::atomic<bool> Finished{false};
  std::atomic<bool> Terminated{false};
  std::atomic<bool> ExceptionRaised{false};
  std::string ErrorMessage;   // message of the exception that ended the job
  int TotalDurationMs = -1;   // expected output duration, -1 unknown
  std::string LastErrorText;  // last file set-up failure
  // A finished run's note for the user, empty when there is none: for example that the source
  // ended well before its known duration ("the source ended at 3.1 s of 10 s"). Written by the
  // job's thread before its terminate notice; read by the terminate handler.
  std::string RunWarning;
  int64_t ProgressIntervalUs = 500000;

  TEngineLogCallback OnLog;
  TEngineProgressCallback OnProgress;
  TEngineTerminateCallback OnTerminate;
  TEngineBeforeHookCallback OnBeforeHook;
  TEngineCustomHookCallback OnCustomHook;

 protected:
  // Waits while ThreadActive is set: ten polls of 100 ms, then, if the thread still runs, on
  // until it ends (freeing the files under a running thread would corrupt it). A derived class
  // that owns the thread object calls this first in its own destructor.
  void WaitForThreadEnd();

 private:
  // Pause flag; PauseMutex guards the wait on PauseWake (the flag itself is atomic).
  std::atomic<bool> Paused{false};
  std::mutex PauseMutex;
  std::condition_variable PauseWake;
};
