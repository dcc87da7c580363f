// TEngineDoor: the tests' one door to an engine's parts. An engine made as a TEngineDoor shows
// its option values, file set, run state and counters, generic options and read guard, and
// offers the options layer's operations as members, so a test can set a job up step by step
// and look at what each step did. Set-up failures are also kept in LastErrorText, as a test
// reads them after a call that returned false.
#pragma once

#include <string>
#include <vector>

#include "FFmpeg.h"
#include "FileSetup.h"
#include "OptionDispatch.h"
#include "OptionParsing.h"

class TEngineDoor : public TCustomFFmpeg {
 public:
  using TCustomFFmpeg::Files;
  using TCustomFFmpeg::Options;
  using TCustomFFmpeg::ReadGuard;
  using TCustomFFmpeg::State;
  using TCustomFFmpeg::Stats;
  using TSide = TOptionDispatch::TSide;
  static constexpr TSide sdTop = TOptionDispatch::sdTop;
  static constexpr TSide sdBottom = TOptionDispatch::sdBottom;
  static constexpr TSide sdLeft = TOptionDispatch::sdLeft;
  static constexpr TSide sdRight = TOptionDispatch::sdRight;

  // The generic options' parts.
  std::vector<std::string>& OptionNames = Generic.OptionNames;
  std::array<CodecContextPtr, kCodecTypeCount>& CodecDefaults = Generic.CodecDefaults;
  FormatContextPtr& FormatDefaults = Generic.FormatDefaults;
  SwsPtr& ScalerDefaults = Generic.ScalerDefaults;
  std::vector<std::pair<std::string, std::string>>& MuxerOptions = Generic.MuxerOptions;

  std::string LastErrorText;  // the last set-up failure's text

  // Opens an input; a failure is kept in LastErrorText and raised on.
  void OpenInputFile(const std::string& file_name, AVIOContext* io = nullptr) {
    try {
      TCustomFFmpeg::OpenInputFile(file_name, io);
    } catch (const std::exception& e) {
      LastErrorText = e.what();
      throw;
    }
  }
  // Prepares an output; false with LastErrorText set on failure.
  bool OpenOutputFile(const std::string& file_name) {
    try {
      TCustomFFmpeg::OpenOutputFile(file_name);
    } catch (const std::exception& e) {
      LastErrorText = e.what();
      return false;
    }
    return true;
  }

  TOptionDispatch Dispatcher() { return TOptionDispatch(*this); }
  void Dispatch(const std::string& name, const std::string& value) {
    Dispatcher().Dispatch(name, value);
  }
  void ApplyOptionLines(const std::string& lines) { Dispatcher().ApplyOptionLines(lines); }
  bool SetGenericOption(const std::string& name, const std::string& value) {
    return Dispatcher().SetGenericOption(name, value);
  }
  bool SetGenericOptionInt(const std::string& name, int value) {
    return Dispatcher().SetGenericOptionInt(name, value);
  }
  void ApplyGenericOptions(void* target, const void* source, int flags) {
    Generic.ApplyTo(target, source, flags,
                    [this](int level, const std::string& msg) { Log(level, msg); });
  }
  void TargetPreset(const std::string& type, const std::string& norm,
                    const std::string& default_norm) {
    Dispatcher().TargetPreset(type, norm, default_norm);
  }
  void SetOutputFormat(const std::string& name) { Dispatcher().SetOutputFormat(name); }
  void ApplyInputOptions(const std::string&, const TInputOptions& options) {
    ::ApplyInputOptions(*this, options);
  }
  void ApplyOutputOptions(const std::string&, const TOutputOptions& options) {
    ::ApplyOutputOptions(*this, options);
  }
  void WaitWhilePaused() { State.WaitWhilePaused(); }
  static std::string CodecAlias(const std::string& name) { return file_setup::CodecAlias(name); }
};
