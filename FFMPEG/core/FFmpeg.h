// TCustomFFmpeg: one conversion job's engine, composed of value parts:
// - Options (EngineOptions.h): what the option parser and the file set-up decide; read-only
//   during a run.
// - Files (FileSet.h): the opened inputs, prepared outputs and stream maps.
// - State and Stats (RunState.h): the run's flags and pause wait, and what the run counts.
// - the generic-option store (library objects that hold options the library knows by name), the
//   read guard of the inputs and the callbacks through which the job reports to the component.
//
// Threads: options and files are written by the thread that prepares the job, before it is
// launched, and afterwards only by the job's own thread. The run-state flags are atomics because
// the component's thread reads them and sets AbortRequested / the pause flag while the job runs.
// Every codec open and close of every engine in the process happens under CodecLock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "AVPtr.h"
#include "EngineOptions.h"
#include "EngineTypes.h"
#include "FFmpegException.h"
#include "FileSet.h"
#include "FileSetup.h"
#include "OptionRecords.h"
#include "ReadGuard.h"
#include "RunContext.h"
#include "RunState.h"

class TCustomFFmpeg {
 public:
  TCustomFFmpeg();
  TCustomFFmpeg(const TCustomFFmpeg&) = delete;
  TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;
  // Requests abort and frees the files. A job run on a thread is owned by that thread until its
  // run has ended (see Job.h), so no run is under way here.
  virtual ~TCustomFFmpeg();

  TEngineOptions Options;
  TFileSet Files;
  TRunState State;
  TRunStats Stats;

  // ---- State ------------------------------------------------------------------------------

  // Releases the job's files (TFileSet::Release), the generic-option store and the run's
  // working objects; the options and the run's counters stay. Does nothing while the
  // libraries are not loaded; safe to run more than once.
  void FreeFileSet();
  // FreeFileSet, then fresh options, run state and counters, and new generic-option defaults
  // objects. Does nothing while the libraries are not loaded.
  void ResetEngine();
  // Sets Verbosity (engine scale -1..3): the level of the job's own messages and of the library
  // lines its set-up and run log. The libraries' process-wide level is left alone, so one job's
  // verbosity never changes what another job shows.
  void SetVerbosity(int verbosity);

  void RequestAbort() { State.RequestAbort(); }
  void RequestPause(bool paused) { State.RequestPause(paused); }
  bool PauseRequested() const { return State.PauseRequested(); }
  // Called by the transcode loop once per pass: returns at once unless paused; otherwise blocks
  // until resumed or aborted.
  void WaitWhilePaused() { State.WaitWhilePaused(); }

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

  // ---- File set-up (FileSetup.h) ------------------------------------------------------------

  // Opens and registers an input file (file_setup::OpenInput). On failure LastErrorText holds
  // the reason and the FFMpegException with that text is raised on.
  void OpenInputFile(const std::string& file_name, AVIOContext* io = nullptr);
  // Prepares an output file (file_setup::PrepareOutput). False with LastErrorText set on
  // failure.
  bool OpenOutputFile(const std::string& file_name);
  // Add one stream to OC from the options given so far; failures raise FFMpegException.
  void NewVideoStream(AVFormatContext* oc) { file_setup::AddVideoStream(*this, oc); }
  void NewAudioStream(AVFormatContext* oc) { file_setup::AddAudioStream(*this, oc); }
  void NewSubtitleStream(AVFormatContext* oc) { file_setup::AddSubtitleStream(*this, oc); }
  void NewCoverStream(AVFormatContext* oc) { file_setup::AddCoverStream(*this, oc); }
  // Looks up a codec by name (file_setup::LookUpCodec); false with LastErrorText set when
  // there is none of that name and type.
  bool FindCodec(const std::string& name, AVMediaType type, bool encoder, AVCodecID& id,
                 const AVCodec** codec = nullptr);
  static std::string CodecAlias(const std::string& name) { return file_setup::CodecAlias(name); }

  // ---- Transcode (engine-core) --------------------------------------------------------------

  // Runs the conversion of the file set's inputs into its outputs: creates the output files
  // under their temporary names (OutputFiles.h), runs the transcoder and gives the outputs
  // their final names. Failures raise FFMpegException. Sets Finished := !AbortRequested when
  // the transcoder's loop ends normally.
  void Transcode();
  // Runs BODY, the work of one stage thread of this job's conversion. A job component makes
  // the thread its job's (the libraries' lines logged on it are the job's lines). Stage
  // threads inherit the priority of the thread that starts them.
  virtual void RunStageThread(const std::function<void()>& body) { body(); }

  // ---- Generic-option store ------------------------------------------------------------

  // Generic options: names set so far, in order; their values live in the defaults objects.
  std::vector<std::string> OptionNames;
  std::array<CodecContextPtr, kCodecTypeCount> CodecDefaults;  // indexed by AVMediaType
  FormatContextPtr FormatDefaults;
  SwsPtr ScalerDefaults;
  // Generic options that only a muxer's own option set knows (e.g. "muxrate", "movflags"),
  // name -> value; pass them to avformat_write_header, which ignores those the muxer lacks.
  std::vector<std::pair<std::string, std::string>> MuxerOptions;

  std::string LastErrorText;  // last file set-up failure

  TEngineLogCallback OnLog;
  TEngineProgressCallback OnProgress;
  TEngineTerminateCallback OnTerminate;
  TEngineBeforeHookCallback OnBeforeHook;
  TEngineCustomHookCallback OnCustomHook;
};
