#include "FileSetup.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string_view>

#include "AmrNbEncoder.h"
#include "AvsInput.h"
#include "FFmpegException.h"
#include "LocalInput.h"
#include "OpenErrors.h"
#include "Orientation.h"
#include "OutputFiles.h"
#include "SourceTags.h"
#include "SourceTimeline.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace {

std::string LowerExtension(const std::string& file_name) {
  const auto slash = file_name.find_last_of('/');
  const auto dot = file_name.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string ext = file_name.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

// Index of OC among the registered outputs, or the index it will get when it is the output
// being prepared by OpenOutputFile (streams are built before the file is registered).
int OutputIndexOf(const TFileSet& files, const AVFormatContext* oc) {
  for (int i = 0; i < files.OutputFileCount; ++i)
    if (files.OutputFiles[i].get() == oc) return i;
  return files.OutputFileCount;
}

// Parses "start,end,q/start,end,q/..." (three integers per entry).
bool ParseRcOverride(const std::string& text, std::vector<RcOverride>& entries) {
  size_t pos = 0;
  while (pos <= text.size()) {
    const auto slash = text.find('/', pos);
    const std::string entry =
        text.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    long values[3];
    const char* p = entry.c_str();
    for (int k = 0; k < 3; ++k) {
      char* end = nullptr;
      errno = 0;
      values[k] = std::strtol(p, &end, 10);
      if (end == p || errno != 0 || values[k] < INT_MIN || values[k] > INT_MAX) return false;
      p = end;
      if (k < 2) {
        if (*p != ',') return false;
        ++p;
      }
    }
    if (*p != '\0') return false;
    RcOverride o{};
    o.start_frame = static_cast<int>(values[0]);
    o.end_frame = static_cast<int>(values[1]);
    if (values[2] > 0) {
      o.qscale = static_cast<int>(values[2]);
      o.quality_factor = 1.0f;
    } else {
      o.qscale = 0;
      o.quality_factor = static_cast<float>(-values[2]) / 100.0f;
    }
    entries.push_back(o);
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  return true;
}

// The pixel formats an encoder is used with. libx264 lists high-bit-depth and 4:2:2/4:4:4
// formats; a player of the target devices decodes only 8-bit 4:2:0, so the engine keeps x264
// to that unless the input already is one of its 4:2:0 forms.
bool PixelFormatAllowed(const AVCodec* codec, AVPixelFormat fmt) {
  if (!codec->pix_fmts) return true;
  bool listed = false;
  for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
    if (*p == fmt) listed = true;
  if (!listed) return false;
  if (std::string_view(codec->name) == "libx264")
    return fmt == AV_PIX_FMT_YUV420P || fmt == AV_PIX_FMT_YUVJ420P;
  return true;
}

// A copy of a 64-entry quantisation matrix in memory the codec context frees with av_free.
uint16_t* CodecMatrix(const std::vector<uint16_t>& matrix) {
  auto* copy = static_cast<uint16_t*>(av_malloc_array(matrix.size(), sizeof(uint16_t)));
  if (!copy) throw FFMpegException("Could not alloc stream");
  std::copy(matrix.begin(), matrix.end(), copy);
  return copy;
}

void SetTag(AVDictionary** metadata, const char* key, const std::string& value) {
  if (value.empty()) return;
  const int ret = av_dict_set(metadata, key, value.c_str(), 0);
  if (ret < 0) throw FFMpegException::FromLibrary(std::string("Could not set the tag ") + key, ret);
}

// The kinds of media the job's inputs hold.
struct SourceKinds {
  bool Video = false, Audio = false, Subtitle = false;
};

SourceKinds KindsOfInputs(const TFileSet& files) {
  SourceKinds kinds;
  for (int f = 0; f < files.InputFileCount; ++f) {
    const AVFormatContext* ic = files.InputFiles[f].get();
    if (!ic) continue;
    for (unsigned s = 0; s < ic->nb_streams; ++s) {
      switch (ic->streams[s]->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
          // An attached cover picture is not a picture sequence to convert.
          if (!IsAttachedPicture(ic->streams[s])) kinds.Video = true;
          break;
        case AVMEDIA_TYPE_AUDIO:
          kinds.Audio = true;
          break;
        case AVMEDIA_TYPE_SUBTITLE:
          kinds.Subtitle = true;
          break;
        case AVMEDIA_TYPE_UNKNOWN:
        case AVMEDIA_TYPE_DATA:
        case AVMEDIA_TYPE_ATTACHMENT:
          break;
        default:
          throw FFMpegException(
              "check_audio_video_sub_inputs fail: invalid codec_type of input file");
      }
    }
  }
  return kinds;
}

}  // namespace

std::string file_setup::CodecAlias(const std::string& name) {
  // Encoders of older library builds that today's build offers under another name.
  if (name == "libfaac") return "aac";
  return name;
}

void file_setup::LookUpCodec(const std::string& name, AVMediaType type, bool encoder, AVCodecID& id,
                             const AVCodec** codec_out) {
  id = AV_CODEC_ID_NONE;
  if (codec_out) *codec_out = nullptr;
  if (name.empty()) return;
  const std::string kind = encoder ? "encoder" : "decoder";
  const std::string wrong_type = "Invalid " + kind + " type '" + name + "'";
  if (encoder && AmrNbEncoder::IsAmrNbName(name)) {
    // The library's AMR-NB encoder when the build has one, else the engine's own (no AVCodec).
    if (type != AVMEDIA_TYPE_AUDIO) throw FFMpegException(wrong_type);
    id = AV_CODEC_ID_AMR_NB;
    if (codec_out) *codec_out = AmrNbEncoder::FindLibraryEncoder();
    return;
  }
  const std::string real = encoder ? CodecAlias(name) : name;
  const AVCodec* codec = encoder ? avcodec_find_encoder_by_name(real.c_str())
                                 : avcodec_find_decoder_by_name(real.c_str());
  if (!codec) throw FFMpegException("Unknown " + kind + " '" + name + "'");
  if (codec->type != type) throw FFMpegException(wrong_type);
  id = codec->id;
  if (codec_out) *codec_out = codec;
}

// ---- Input files ------------------------------------------------------------------------------

namespace {

// The decoders an input is opened with: those the options name, else the library's choice.
struct InputDecoders {
  AVCodecID Video = AV_CODEC_ID_NONE, Audio = AV_CODEC_ID_NONE, Subtitle = AV_CODEC_ID_NONE;
  const AVCodec *VideoCodec = nullptr, *AudioCodec = nullptr, *SubtitleCodec = nullptr;
};

// Opens and registers one input file; every step throws FFMpegException with the text the
// caller reports.
class InputSetUp {
 public:
  InputSetUp(const TSetupContext& engine, const std::string& file_name, AVIOContext* io)
      : e_(engine), opt_(engine.Options), name_(file_name), io_(io) {}

  void Run();

 private:
  InputDecoders FindDecoders() const;
  void Open(const InputDecoders& decoders);
  void OpenScript();
  void OpenMedia(const InputDecoders& decoders);
  AVDictionary* DemuxerParameters() const;
  void Probe();
  int64_t SeekToStart();
  void TakeStreamParameters();
  void TakeVideoParameters(AVStream* st, bool rmvb);
  void DiscardPictures(AVStream* st) const;
  void Register(int64_t start_us);
  std::string ReadStopText() const { return ::ReadStopText(e_.ReadGuard, name_); }

  const TSetupContext& e_;
  TEngineOptions& opt_;
  const std::string& name_;
  AVIOContext* io_;
  InputFormatPtr ic_;
  int64_t script_duration_us_ = AV_NOPTS_VALUE;
};

void InputSetUp::Run() {
  if (e_.Files.InputFileCount >= kMaxFiles)
    throw FFMpegException(FormatWithFileName("%s: too many input files", name_) + " (at most " +
                              std::to_string(kMaxFiles) + ")",
                          0, name_);
  const InputDecoders decoders = FindDecoders();
  e_.ReadGuard.ClearRefusal();
  // A forced input format may name a capture device; anything else must be a regular file.
  if (!opt_.InputFormat) {
    if (std::string why = NotARegularFileText(name_); !why.empty())
      throw FFMpegException(why, 0, name_);
  }
  Open(decoders);
  Probe();
  const int64_t start_us = SeekToStart();
  TakeStreamParameters();
  Register(start_us);
}

InputDecoders InputSetUp::FindDecoders() const {
  InputDecoders d;
  file_setup::LookUpCodec(opt_.VideoCodecName, AVMEDIA_TYPE_VIDEO, false, d.Video, &d.VideoCodec);
  file_setup::LookUpCodec(opt_.AudioCodecName, AVMEDIA_TYPE_AUDIO, false, d.Audio, &d.AudioCodec);
  file_setup::LookUpCodec(opt_.SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, false, d.Subtitle,
                          &d.SubtitleCodec);
  if (opt_.PgmYuvHack) {
    d.Video = AV_CODEC_ID_PGMYUV;
    d.VideoCodec = avcodec_find_decoder(d.Video);
  }
  return d;
}

void InputSetUp::Open(const InputDecoders& decoders) {
  e_.ReadGuard.Begin(nullptr);
  if (IsAvsScript(name_) && !opt_.InputFormat && !io_)
    OpenScript();
  else
    OpenMedia(decoders);
  if (opt_.ProgramId != 0) {
    for (unsigned i = 0; i < ic_->nb_programs; ++i)
      if (ic_->programs[i]->id != opt_.ProgramId) ic_->programs[i]->discard = AVDISCARD_ALL;
  }
}

void InputSetUp::OpenScript() {
  AvsScript script;
  int ret = ReadAvsScript(name_, script);
  if (ret < 0) throw FFMpegException(OpenErrorText(ret, name_), ret, name_);
  const AVIOInterruptCB interrupt = e_.InputInterrupt;
  AvsInput avs;
  std::string why;
  ret = OpenAvsInput(script, &interrupt, avs, why);
  if (ret < 0) throw FFMpegException(why, ret, name_);
  ic_ = std::move(avs.context);
  script_duration_us_ = avs.source_duration_us;
}

void InputSetUp::OpenMedia(const InputDecoders& decoders) {
  DictionaryHolder params;
  params.raw = DemuxerParameters();
  FormatContextPtr context(avformat_alloc_context());
  if (!context)
    throw FFMpegException(OpenErrorText(AVERROR(ENOMEM), name_), AVERROR(ENOMEM), name_);
  context->interrupt_callback = e_.InputInterrupt;
  context->video_codec_id = decoders.Video;
  context->audio_codec_id = decoders.Audio;
  context->subtitle_codec_id = decoders.Subtitle;
  context->video_codec = decoders.VideoCodec;
  context->audio_codec = decoders.AudioCodec;
  context->subtitle_codec = decoders.SubtitleCodec;
  e_.ApplyGenericOptions(context.get(), e_.Generic.FormatDefaults.get(),
                         AV_OPT_FLAG_DECODING_PARAM);
  if (io_) context->pb = io_;  // the caller's bytes; the library leaves such a context open
  // Devices and other inputs without a file are opened by their own rules; files by these.
  const bool reads_files = !opt_.InputFormat || !(opt_.InputFormat->flags & AVFMT_NOFILE);
  if (reads_files) {
    if (const int ret = ApplyLocalInputRules(context.get(), name_); ret < 0)
      throw FFMpegException(OpenErrorText(ret, name_), ret, name_);
  }
  const std::string url = reads_files && !io_ ? LocalFileUrl(name_) : name_;

  // Opening and probing together may read at most ReadGuard.Limit bytes.
  e_.ReadGuard.Begin(context.get());
  // The open takes the context, and frees it on failure.
  AVFormatContext* raw = context.release();
  const int ret = avformat_open_input(&raw, url.c_str(), opt_.InputFormat, &params.raw);
  if (ret < 0) {
    e_.ReadGuard.End();
    std::string why = ReadStopText();
    if (why.empty()) why = LocalInputRefusalText(ret, name_, e_.ReadGuard);
    if (why.empty()) why = OpenErrorText(ret, name_);
    throw FFMpegException(why, ret, name_);
  }
  ic_.reset(raw);
}

// Parameters for inputs that carry none themselves (raw pictures and sound, capture devices);
// demuxers that do not know an option leave it unused.
AVDictionary* InputSetUp::DemuxerParameters() const {
  DictionaryHolder params;
  auto set = [&](const char* key, const std::string& value) {
    const int ret = av_dict_set(&params.raw, key, value.c_str(), 0);
    if (ret < 0) throw FFMpegException(OpenErrorText(ret, name_), ret, name_);
  };
  if (opt_.InputFormat) {
    set("sample_rate", std::to_string(opt_.AudioSampleRate));
    set("channels", std::to_string(opt_.AudioChannels));
    if (opt_.FrameRate.num > 0 && opt_.FrameRate.den > 0)
      set("framerate",
          std::to_string(opt_.FrameRate.num) + "/" + std::to_string(opt_.FrameRate.den));
    const int width = opt_.FrameWidth + opt_.PadLeft + opt_.PadRight;
    const int height = opt_.FrameHeight + opt_.PadTop + opt_.PadBottom;
    if (width > 0 && height > 0)
      set("video_size", std::to_string(width) + "x" + std::to_string(height));
    if (opt_.FramePixFmt != AV_PIX_FMT_NONE)
      if (const char* name = av_get_pix_fmt_name(opt_.FramePixFmt)) set("pixel_format", name);
    if (opt_.VideoChannel != 0) set("channel", std::to_string(opt_.VideoChannel));
    if (!opt_.VideoStandard.empty()) set("standard", opt_.VideoStandard);
  }
  if (opt_.LoopInput) set("loop", "1");
  AVDictionary* result = params.raw;
  params.raw = nullptr;
  return result;
}

void InputSetUp::Probe() {
  // The probe opens decoders, but the library guards those opens itself; the codec lock would
  // only make every other job's codec set-up wait for a slow probe.
  const int ret = avformat_find_stream_info(ic_.get(), nullptr);
  e_.ReadGuard.End();
  // The library takes an interrupted probe for the end of the file: ask the guard.
  if (std::string why = ReadStopText(); !why.empty()) throw FFMpegException(why, ret, name_);
  if (ret < 0 && opt_.Verbosity >= 0)
    throw FFMpegException(FormatWithFileName("%s: could not find codec parameters", name_), ret,
                          name_);
  if (ic_->nb_streams > static_cast<unsigned>(kMaxStreamsPerFile))
    throw FFMpegException(FormatWithFileName("%s: too many streams", name_) + " (" +
                              std::to_string(ic_->nb_streams) + ", at most " +
                              std::to_string(kMaxStreamsPerFile) + ")",
                          0, name_);
}

// Seeks to the start time ("ss") and returns the time the input's offset is counted from: the
// start of the file's sound and pictures, so that a cue, data or subtitle stream that begins
// earlier does not put a gap before them.
int64_t InputSetUp::SeekToStart() {
  int64_t timestamp = opt_.StartTimeUs;
  if (const int64_t start = MediaSpanOf(ic_.get()).StartUs; start != AV_NOPTS_VALUE)
    timestamp += start;
  if (opt_.StartTimeUs != 0) {
    // A failed seek leaves the file at its start; the transcode loop drops what lies before
    // the start time anyway.
    const int ret = av_seek_frame(ic_.get(), -1, timestamp, AVSEEK_FLAG_BACKWARD);
    if (ret < 0)
      e_.Log(1, WithLibraryText(FormatWithFileName("%s: could not seek to the start time", name_),
                                ret));
    opt_.StartTimeUs = 0;
  }
  return timestamp;
}

void InputSetUp::TakeStreamParameters() {
  const bool rmvb = LowerExtension(name_).rfind(".rmvb", 0) == 0;
  for (unsigned i = 0; i < ic_->nb_streams; ++i) {
    AVStream* st = ic_->streams[i];
    AVCodecParameters* par = st->codecpar;
    if (par->codec_type < AVMEDIA_TYPE_UNKNOWN || par->codec_type >= AVMEDIA_TYPE_NB)
      throw FFMpegException("invalid codec_type", 0, name_);
    switch (par->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        // A cover picture is no picture sequence: the video's size, shape and rate come from
        // the file's real pictures, whichever order the streams are in.
        if (IsAttachedPicture(st))
          DiscardPictures(st);
        else
          TakeVideoParameters(st, rmvb);
        break;
      case AVMEDIA_TYPE_AUDIO:
        opt_.AudioChannels = par->ch_layout.nb_channels;
        opt_.AudioSampleRate = par->sample_rate;
        if (opt_.AudioDisable) st->discard = AVDISCARD_ALL;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        if (opt_.SubtitleDisable) st->discard = AVDISCARD_ALL;
        break;
      default:
        break;
    }
  }
}

void InputSetUp::TakeVideoParameters(AVStream* st, bool rmvb) {
  AVCodecParameters* par = st->codecpar;
  opt_.FrameHeight = par->height;
  opt_.FrameWidth = par->width;
  AVRational sar = av_guess_sample_aspect_ratio(ic_.get(), st, nullptr);
  double aspect = 0;
  if (sar.num > 0 && sar.den > 0 && par->height > 0)
    aspect = av_q2d(sar) * par->width / par->height;
  if (!(aspect > 0) && par->height > 0) aspect = static_cast<double>(par->width) / par->height;
  if (SwapsAxes(OrientationOf(st))) {
    // The pictures are turned upright when decoded: outputs start from that size.
    std::swap(opt_.FrameWidth, opt_.FrameHeight);
    if (aspect > 0) aspect = 1.0 / aspect;
  }
  opt_.FrameAspectRatio = static_cast<float>(aspect);
  if (par->format == AV_PIX_FMT_NONE && rmvb) par->format = AV_PIX_FMT_YUV420P;
  opt_.FramePixFmt = static_cast<AVPixelFormat>(par->format);
  opt_.FrameRate = st->r_frame_rate;
  DiscardPictures(st);
}

void InputSetUp::DiscardPictures(AVStream* st) const {
  if (opt_.VideoDisable)
    st->discard = AVDISCARD_ALL;
  else if (opt_.VideoDiscard != 0)
    st->discard = static_cast<AVDiscard>(opt_.VideoDiscard);
}

void InputSetUp::Register(int64_t start_us) {
  int64_t duration_us = MediaSpanOf(ic_.get()).DurationUs;
  if (duration_us == AV_NOPTS_VALUE) duration_us = script_duration_us_;
  if (duration_us != AV_NOPTS_VALUE && duration_us / 1000 > opt_.TotalDurationMs)
    opt_.TotalDurationMs = static_cast<int>(std::min<int64_t>(duration_us / 1000, INT_MAX));

  TFileSet& files = e_.Files;
  const int index = files.InputFileCount;
  files.InputTsOffset[index] =
      opt_.CopyTs ? opt_.InputTsOffsetOpt : opt_.InputTsOffsetOpt - start_us;
  files.InputRateEmu[index] = opt_.RateEmu != 0;
  if (opt_.Verbosity >= 0) av_dump_format(ic_.get(), index, name_.c_str(), 0);
  files.InputFiles[index] = std::move(ic_);
  files.InputFileCount = index + 1;
}

}  // namespace

void file_setup::OpenInput(const TSetupContext& engine, const std::string& file_name,
                           AVIOContext* io) {
  // The per-input options are used up by this input whether it opens or not.
  struct ClearInputOptions {
    TEngineOptions& o;
    ~ClearInputOptions() {
      o.InputFormat = nullptr;
      o.OutputFormat = nullptr;
      o.VideoChannel = 0;
      o.RateEmu = 0;
      o.VideoCodecName.clear();
      o.AudioCodecName.clear();
      o.SubtitleCodecName.clear();
    }
  } clear{engine.Options};
  InputSetUp(engine, file_name, io).Run();
}

// ---- Output files -----------------------------------------------------------------------------

namespace {

// Which streams an output gets.
struct WantedStreams {
  bool Video = false, Audio = false, Subtitle = false, Cover = false;
};

// Prepares and registers one output file; every step throws FFMpegException with the text the
// caller reports.
class OutputSetUp {
 public:
  OutputSetUp(const TSetupContext& engine, const std::string& file_name)
      : e_(engine), opt_(engine.Options), name_(file_name) {}

  void Run();

 private:
  OutputFormatPtr CreateContext();
  WantedStreams ChooseStreams(const AVOutputFormat* format) const;
  void BuildStreams(AVFormatContext* oc, const WantedStreams& wanted, int index);
  void SetTags(AVFormatContext* oc) const;
  void CheckFileName(const AVFormatContext* oc, int index) const;
  void ApplyMuxerOptions(AVFormatContext* oc);
  void SetMuxerOption(AVFormatContext* oc, const std::string& name, const std::string& value) const;
  bool IsOpenInput() const;

  const TSetupContext& e_;
  TEngineOptions& opt_;
  const std::string& name_;
};

void OutputSetUp::Run() {
  TFileSet& files = e_.Files;
  if (files.OutputFileCount >= kMaxFiles)
    throw FFMpegException(FormatWithFileName("%s: too many output files", name_) + " (at most " +
                              std::to_string(kMaxFiles) + ")",
                          0, name_);
  OutputFormatPtr oc = CreateContext();
  const WantedStreams wanted = ChooseStreams(oc->oformat);
  const int index = files.OutputFileCount;
  BuildStreams(oc.get(), wanted, index);
  SetTags(oc.get());
  // What the source says about itself goes along unless the job gave its own tags.
  const AVFormatContext* first_input =
      files.InputFileCount > 0 ? files.InputFiles[0].get() : nullptr;
  CopySourceTags(first_input, oc.get(), wanted.Video);

  // From here on the output is registered even when a later step fails; the caller removes
  // the whole job then.
  AVFormatContext* registered = oc.get();
  files.OutputFiles[index] = std::move(oc);
  files.OutputFileCount = index + 1;
  CheckFileName(registered, index);
  ApplyMuxerOptions(registered);
}

OutputFormatPtr OutputSetUp::CreateContext() {
  if (!opt_.OutputFormat) {
    opt_.OutputFormat = av_guess_format(nullptr, name_.c_str(), nullptr);
    if (!opt_.OutputFormat)
      throw FFMpegException("Unable to find a suitable output format for '" + name_ + "'", 0,
                            name_);
    opt_.OutputFormat = ProgramStreamFormat(opt_.OutputFormat, opt_.VideoCodecName);
  }
  AVFormatContext* raw = nullptr;
  const int ret = avformat_alloc_output_context2(&raw, opt_.OutputFormat, nullptr, name_.c_str());
  if (ret < 0 || !raw)
    throw FFMpegException(OpenErrorText(AVERROR(ENOMEM), name_), ret < 0 ? ret : AVERROR(ENOMEM),
                          name_);
  return OutputFormatPtr(raw);
}

WantedStreams OutputSetUp::ChooseStreams(const AVOutputFormat* format) const {
  WantedStreams wanted;
  wanted.Video = format->video_codec != AV_CODEC_ID_NONE || opt_.VideoStreamCopy ||
                 !opt_.VideoCodecName.empty();
  wanted.Audio = format->audio_codec != AV_CODEC_ID_NONE || opt_.AudioStreamCopy ||
                 !opt_.AudioCodecName.empty();
  // A subtitle stream only when one is asked for: the format's default subtitle codec alone
  // (mov_text for MP4, ass for Matroska) cannot take bitmap subtitles and would fail the run.
  wanted.Subtitle = opt_.SubtitleStreamCopy || !opt_.SubtitleCodecName.empty();

  const TFileSet& files = e_.Files;
  if (files.InputFileCount > 0) {
    const SourceKinds source = KindsOfInputs(files);
    // An audio output from a source without sound would be an empty file.
    if (wanted.Audio && !source.Audio && !opt_.AudioDisable && (opt_.VideoDisable || !source.Video))
      throw FFMpegException("The source has no sound to convert", 0, name_);
    wanted.Video = wanted.Video && source.Video;
    wanted.Audio = wanted.Audio && source.Audio;
    wanted.Subtitle = wanted.Subtitle && source.Subtitle;
  }
  if (opt_.VideoDisable) wanted.Video = false;
  if (opt_.AudioDisable) wanted.Audio = false;
  if (opt_.SubtitleDisable) wanted.Subtitle = false;
  const AVFormatContext* first_input =
      files.InputFileCount > 0 ? files.InputFiles[0].get() : nullptr;
  // A song keeps its cover picture in the audio formats that can store one.
  const bool keeps_cover = wanted.Audio && !wanted.Video && StoresCoverPicture(format);
  wanted.Cover = keeps_cover && CoverPictureStream(first_input) != nullptr;
  if (keeps_cover && !wanted.Cover && HasUnusableCoverPicture(first_input))
    e_.Log(0, FormatWithFileName("%s: the source's cover picture is empty or unreadable and is "
                                 "left out",
                                 name_));
  return wanted;
}

// Builds each wanted stream; a failure drops the codecs built so far for this output and names
// the step that failed.
void OutputSetUp::BuildStreams(AVFormatContext* oc, const WantedStreams& wanted, int index) {
  auto build = [&](bool want, void (*add)(const TSetupContext&, AVFormatContext*),
                   const char* step) {
    if (!want) return;
    try {
      add(e_, oc);
    } catch (const FFMpegException& e) {
      if (index < kMaxFiles) {
        for (auto& codec : e_.Files.OutputCodecs[index]) codec.reset();
        e_.Files.OutputStreamCopy[index].fill(false);
      }
      throw FFMpegException(std::string(step) + " fail: " + e.what(), e.LibraryError(), name_);
    }
  };
  build(wanted.Video, &file_setup::AddVideoStream, "new_video_stream");
  build(wanted.Audio, &file_setup::AddAudioStream, "new_audio_stream");
  build(wanted.Subtitle, &file_setup::AddSubtitleStream, "new_subtitle_stream");
  build(wanted.Cover, &file_setup::AddCoverStream, "new_video_stream");
}

void OutputSetUp::SetTags(AVFormatContext* oc) const {
  SetTag(&oc->metadata, "title", opt_.Title);
  SetTag(&oc->metadata, "artist", opt_.Author);
  SetTag(&oc->metadata, "copyright", opt_.Copyright);
  SetTag(&oc->metadata, "comment", opt_.Comment);
  SetTag(&oc->metadata, "album", opt_.Album);
  SetTag(&oc->metadata, "genre", opt_.Genre.substr(0, 31));
  if (opt_.Year > 0) SetTag(&oc->metadata, "date", std::to_string(opt_.Year));
  if (opt_.Track > 0) SetTag(&oc->metadata, "track", std::to_string(opt_.Track));
  if (opt_.RecTimestamp > 0) {
    const std::time_t seconds = static_cast<std::time_t>(opt_.RecTimestamp / 1000000);
    std::tm utc{};
    if (gmtime_r(&seconds, &utc)) {
      char text[64];
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &utc);
      SetTag(&oc->metadata, "creation_time", text);
    }
  }
}

void OutputSetUp::CheckFileName(const AVFormatContext* oc, int index) const {
  const AVOutputFormat* format = oc->oformat;
  if ((format->flags & AVFMT_NEEDNUMBER) && av_filename_number_test(oc->url ? oc->url : "") == 0)
    throw FFMpegException(ImageNumberErrorText(oc->url ? oc->url : name_), 0, name_);
  if (format->flags & AVFMT_NOFILE) return;
  // The file itself is created when the run starts (OpenOutputFilesForWriting); here only what
  // can be told without creating anything is checked.
  if (IsOpenInput())
    throw FFMpegException("Could not open '" + name_ + "' (it is an input file of this job)", 0,
                          name_);
  if (std::string why = OutputPlaceError(name_); !why.empty())
    throw FFMpegException("Could not open '" + name_ + "' (" + why + ")", 0, name_);
  e_.Files.OutputPaths[index] = name_;
}

void OutputSetUp::ApplyMuxerOptions(AVFormatContext* oc) {
  oc->max_delay = static_cast<int>(opt_.MuxMaxDelay * 1000000);
  // Muxers with such options (MPEG program streams; GIF) take them; others ignore them.
  ApplyMuxerSettings(oc);
  if (oc->priv_data) {
    SetMuxerOption(oc, "preload", std::to_string(static_cast<int64_t>(opt_.MuxPreload * 1000000)));
    if (std::string_view(oc->oformat->name) == "gif")
      SetMuxerOption(oc, "loop", std::to_string(opt_.LoopOutput));
    for (const auto& [name, value] : e_.Generic.MuxerOptions) SetMuxerOption(oc, name, value);
  }
  e_.ApplyGenericOptions(oc, e_.Generic.FormatDefaults.get(), AV_OPT_FLAG_ENCODING_PARAM);
}

// Options go to every output, and most muxers lack most of them: only a value the muxer has an
// option for but refuses is worth a line in the log.
void OutputSetUp::SetMuxerOption(AVFormatContext* oc, const std::string& name,
                                 const std::string& value) const {
  const int ret = av_opt_set(oc->priv_data, name.c_str(), value.c_str(), 0);
  if (ret < 0 && ret != AVERROR_OPTION_NOT_FOUND)
    e_.Log(0, WithLibraryText(FormatWithFileName("%s: output option ", name_) + name + "=" + value +
                                  " not taken",
                              ret));
}

bool OutputSetUp::IsOpenInput() const {
  // Every file the inputs read counts: the inputs themselves and the files they name.
  struct stat st;
  if (stat(name_.c_str(), &st) != 0) return false;
  const TFileId id{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  for (const TFileId& read : e_.Files.ReadFiles)
    if (read == id) return true;
  return false;
}

}  // namespace

void file_setup::PrepareOutput(const TSetupContext& engine, const std::string& file_name) {
  // The forced formats belong to this output only, whether it is prepared or not.
  struct ClearFormats {
    TEngineOptions& o;
    ~ClearFormats() {
      o.InputFormat = nullptr;
      o.OutputFormat = nullptr;
    }
  } clear{engine.Options};
  OutputSetUp(engine, file_name).Run();
}

// ---- Output streams ---------------------------------------------------------------------------

namespace {

// Adds a stream to OC (output FILE_INDEX), checking the per-file table limits of the engine.
AVStream* AddStream(AVFormatContext* oc, int file_index) {
  if (file_index >= kMaxFiles || oc->nb_streams >= static_cast<unsigned>(kMaxStreamsPerFile))
    throw FFMpegException("Could not alloc stream");
  AVStream* st = avformat_new_stream(oc, nullptr);
  if (!st) throw FFMpegException("Could not alloc stream");
  return st;
}

CodecContextPtr NewCodecContext(const AVCodec* codec, AVMediaType type) {
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) throw FFMpegException("Could not alloc stream");
  ctx->codec_type = type;
  return ctx;
}

// Sets the global-header flags on CTX and on the type's generic-option defaults, from which
// generic options are copied later.
void SetCodecFlags(AVCodecContext* ctx, AVCodecContext* defaults, int flags, int flags2) {
  ctx->flags |= flags;
  ctx->flags2 |= flags2;
  if (defaults) {
    defaults->flags |= flags;
    defaults->flags2 |= flags2;
  }
}

// One output stream while it is built. Adding the stream is the first step; the per-stream
// options of its media type (codec name, "copy", disable, language) are used up by it whether it
// is built or fails. When the stream cannot even be added, only the names are cleared.
class StreamBuild {
 public:
  StreamBuild(const TSetupContext& engine, AVFormatContext* oc, AVMediaType type)
      : files_(engine.Files),
        disable_(type == AVMEDIA_TYPE_VIDEO   ? engine.Options.VideoDisable
                 : type == AVMEDIA_TYPE_AUDIO ? engine.Options.AudioDisable
                                              : engine.Options.SubtitleDisable),
        copy_(type == AVMEDIA_TYPE_VIDEO   ? engine.Options.VideoStreamCopy
              : type == AVMEDIA_TYPE_AUDIO ? engine.Options.AudioStreamCopy
                                           : engine.Options.SubtitleStreamCopy),
        codec_name_(type == AVMEDIA_TYPE_VIDEO   ? engine.Options.VideoCodecName
                    : type == AVMEDIA_TYPE_AUDIO ? engine.Options.AudioCodecName
                                                 : engine.Options.SubtitleCodecName),
        language_(type == AVMEDIA_TYPE_VIDEO   ? nullptr
                  : type == AVMEDIA_TYPE_AUDIO ? &engine.Options.AudioLanguage
                                               : &engine.Options.SubtitleLanguage),
        file_index_(OutputIndexOf(files_, oc)) {
    try {
      stream_ = AddStream(oc, file_index_);
    } catch (const FFMpegException&) {
      ClearNames();
      throw;
    }
  }
  StreamBuild(const StreamBuild&) = delete;
  StreamBuild& operator=(const StreamBuild&) = delete;
  ~StreamBuild() {
    disable_ = copy_ = 0;
    ClearNames();
  }

  bool Copy() const { return copy_ != 0; }
  const std::string& CodecName() const { return codec_name_; }
  AVStream* Stream() const { return stream_; }

  // Takes CTX as the stream's codec context; the stream's parameters come from it.
  void Store(CodecContextPtr ctx) {
    if (Copy()) files_.OutputStreamCopy[file_index_][stream_->index] = true;
    if (language_ && !language_->empty())
      SetTag(&stream_->metadata, "language", language_->substr(0, 3));
    const int ret = avcodec_parameters_from_context(stream_->codecpar, ctx.get());
    if (ret < 0) throw FFMpegException("Could not alloc stream", ret);
    files_.OutputCodecs[file_index_][stream_->index] = std::move(ctx);
  }

  AVCodecID CodecId = AV_CODEC_ID_NONE;
  const AVCodec* Codec = nullptr;  // null for stream copy and the engine's own AMR-NB encoder

 private:
  void ClearNames() {
    codec_name_.clear();
    if (language_) language_->clear();
  }

  TFileSet& files_;
  int& disable_;
  int& copy_;
  std::string& codec_name_;
  std::string* language_;
  int file_index_;
  AVStream* stream_ = nullptr;
};

// Whether CODEC hands its pictures' squared errors out with its packets when asked to. x264,
// x265 and Xvid measure them only for their own log, and the measuring costs them up to a
// quarter of their time, so the output check does not ask them.
bool GivesPictureErrors(const AVCodec* codec) {
  if (!codec) return false;
  const std::string_view name = codec->name;
  return name != "libx264" && name != "libx265" && name != "libxvid";
}

// The video encoder settings taken from the options; CODEC may be null (no encoder known).
class VideoEncoderSettings {
 public:
  VideoEncoderSettings(const TSetupContext& engine, AVCodecContext* ctx, const AVCodec* codec)
      : e_(engine), opt_(engine.Options), ctx_(ctx), codec_(codec) {}

  void Apply(const AVFormatContext* oc, AVStream* st, AVCodecID codec_id) {
    ctx_->codec_id = codec_id;
    e_.ApplyGenericOptions(ctx_, e_.Generic.CodecDefaults[AVMEDIA_TYPE_VIDEO].get(),
                           AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
    SetRate(codec_id);
    SetPicture(st);
    SetQuality();
    SetRateControl();
    SetConstantQuality(ctx_, codec_, opt_.VideoConstantQuality);
    ApplyDeviceVideoSettings(opt_.Device, ctx_, codec_);
    ApplyContainerVideoTag(oc->oformat, ctx_, codec_);
    ApplyContainerPictureOrder(oc->oformat, ctx_);
  }

 private:
  void SetRate(AVCodecID codec_id) {
    AVRational rate =
        (opt_.FrameRate.num > 0 && opt_.FrameRate.den > 0) ? opt_.FrameRate : AVRational{25, 1};
    if (codec_ && codec_->supported_framerates)
      rate =
          codec_->supported_framerates[av_find_nearest_q_idx(rate, codec_->supported_framerates)];
    rate = StandardFrameRate(codec_id, rate);
    ctx_->time_base = av_inv_q(rate);
    ctx_->framerate = rate;
  }

  void SetPicture(AVStream* st) {
    ctx_->width = opt_.FrameWidth + opt_.PadLeft + opt_.PadRight;
    ctx_->height = opt_.FrameHeight + opt_.PadTop + opt_.PadBottom;
    if (ctx_->width > 0 && opt_.FrameAspectRatio > 0) {
      const double r = static_cast<double>(ctx_->height) * opt_.FrameAspectRatio / ctx_->width;
      ctx_->sample_aspect_ratio = av_d2q(r, 255);
    } else {
      ctx_->sample_aspect_ratio = AVRational{0, 1};
    }
    st->sample_aspect_ratio = ctx_->sample_aspect_ratio;
    ctx_->pix_fmt = opt_.FramePixFmt;
    if (codec_ && codec_->pix_fmts && !PixelFormatAllowed(codec_, opt_.FramePixFmt))
      ctx_->pix_fmt = codec_->pix_fmts[0];
  }

  void SetQuality() {
    if (opt_.IntraOnly) ctx_->gop_size = 0;
    if (opt_.VideoQScale != 0 || opt_.SameQuality) {
      ctx_->flags |= AV_CODEC_FLAG_QSCALE;
      ctx_->global_quality = static_cast<int>(FF_QP2LAMBDA * opt_.VideoQScale);
    }
    if (opt_.IntraMatrix.size() == 64) ctx_->intra_matrix = CodecMatrix(opt_.IntraMatrix);
    if (opt_.InterMatrix.size() == 64) ctx_->inter_matrix = CodecMatrix(opt_.InterMatrix);
    ctx_->thread_count = opt_.ThreadCount;
    ctx_->intra_dc_precision = opt_.IntraDcPrecision - 8;
    if (opt_.DoPsnr || (opt_.CheckOutput && GivesPictureErrors(codec_)))
      ctx_->flags |= AV_CODEC_FLAG_PSNR;
    if (opt_.DoPass == 1) ctx_->flags |= AV_CODEC_FLAG_PASS1;
    if (opt_.DoPass == 2) ctx_->flags |= AV_CODEC_FLAG_PASS2;
    // x264 keeps its statistics in files of its own, by default in the working folder.
    if (opt_.DoPass != 0 && codec_ && std::string_view(codec_->name) == "libx264" &&
        ctx_->priv_data)
      av_opt_set(ctx_->priv_data, "stats", X264StatsFileName(opt_.PassLogFileName).c_str(), 0);
  }

  void SetRateControl() {
    if (!opt_.VideoRcOverride.empty()) {
      std::vector<RcOverride> entries;
      if (!ParseRcOverride(opt_.VideoRcOverride, entries))
        throw FFMpegException("error parsing rc_override");
      // The codec context frees the list with av_free.
      auto* list = static_cast<RcOverride*>(av_malloc_array(entries.size(), sizeof(RcOverride)));
      if (!list) throw FFMpegException("Could not alloc stream");
      std::copy(entries.begin(), entries.end(), list);
      ctx_->rc_override = list;
      ctx_->rc_override_count = static_cast<int>(entries.size());
    }
    if (ctx_->rc_initial_buffer_occupancy == 0)
      ctx_->rc_initial_buffer_occupancy = ctx_->rc_buffer_size * 3 / 4;
  }

  const TSetupContext& e_;
  const TEngineOptions& opt_;
  AVCodecContext* ctx_;
  const AVCodec* codec_;
};

}  // namespace

void file_setup::AddVideoStream(const TSetupContext& e, AVFormatContext* oc) {
  StreamBuild build(e, oc, AVMEDIA_TYPE_VIDEO);
  if (!build.Copy()) {
    if (!build.CodecName().empty()) {
      file_setup::LookUpCodec(build.CodecName(), AVMEDIA_TYPE_VIDEO, true, build.CodecId,
                              &build.Codec);
    } else {
      build.CodecId = av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_VIDEO);
      build.Codec = avcodec_find_encoder(build.CodecId);
    }
  }
  CodecContextPtr ctx = NewCodecContext(build.Codec, AVMEDIA_TYPE_VIDEO);
  ctx->thread_count = e.Options.ThreadCount;
  if (e.Options.VideoCodecTag) ctx->codec_tag = e.Options.VideoCodecTag;
  AVCodecContext* defaults = e.Generic.CodecDefaults[AVMEDIA_TYPE_VIDEO].get();
  const int global_header = e.Options.VideoGlobalHeader;
  if ((global_header & 1) || (global_header == 0 && (oc->oformat->flags & AVFMT_GLOBALHEADER)))
    SetCodecFlags(ctx.get(), defaults, AV_CODEC_FLAG_GLOBAL_HEADER, 0);
  if (global_header & 2) SetCodecFlags(ctx.get(), defaults, 0, AV_CODEC_FLAG2_LOCAL_HEADER);
  if (!build.Copy())
    VideoEncoderSettings(e, ctx.get(), build.Codec).Apply(oc, build.Stream(), build.CodecId);
  build.Stream()->time_base = ctx->time_base;
  build.Store(std::move(ctx));
}

void file_setup::AddAudioStream(const TSetupContext& e, AVFormatContext* oc) {
  StreamBuild build(e, oc, AVMEDIA_TYPE_AUDIO);
  if (!build.Copy()) {
    build.CodecId = av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_AUDIO);
    build.Codec = avcodec_find_encoder(build.CodecId);
    if (!build.CodecName().empty())
      file_setup::LookUpCodec(build.CodecName(), AVMEDIA_TYPE_AUDIO, true, build.CodecId,
                              &build.Codec);
  }
  CodecContextPtr ctx = NewCodecContext(build.Codec, AVMEDIA_TYPE_AUDIO);
  ctx->thread_count = e.Options.ThreadCount;
  if (e.Options.AudioCodecTag) ctx->codec_tag = e.Options.AudioCodecTag;
  if (oc->oformat->flags & AVFMT_GLOBALHEADER)
    SetCodecFlags(ctx.get(), e.Generic.CodecDefaults[AVMEDIA_TYPE_AUDIO].get(),
                  AV_CODEC_FLAG_GLOBAL_HEADER, 0);
  if (!build.Copy()) {
    ctx->codec_id = build.CodecId;
    e.ApplyGenericOptions(ctx.get(), e.Generic.CodecDefaults[AVMEDIA_TYPE_AUDIO].get(),
                          AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM);
    if (e.Options.AudioQScale > -99999.0f) {
      ctx->flags |= AV_CODEC_FLAG_QSCALE;
      ctx->global_quality = static_cast<int>(FF_QP2LAMBDA * e.Options.AudioQScale);
    }
  }
  av_channel_layout_uninit(&ctx->ch_layout);
  av_channel_layout_default(&ctx->ch_layout, std::max(e.Options.AudioChannels, 1));
  ctx->sample_rate = e.Options.AudioSampleRate;
  if (e.Options.AudioSampleRate > 0) ctx->time_base = AVRational{1, e.Options.AudioSampleRate};
  if (!build.Copy()) {
    ApplyDeviceAudioSettings(e.Options.Device, ctx.get());
    if (ctx->codec_id == AV_CODEC_ID_AMR_NB && !build.Codec)
      AmrNbEncoder::ConfigureContext(ctx.get());
  }
  build.Stream()->time_base = ctx->time_base;
  build.Store(std::move(ctx));
}

void file_setup::AddSubtitleStream(const TSetupContext& e, AVFormatContext* oc) {
  StreamBuild build(e, oc, AVMEDIA_TYPE_SUBTITLE);
  if (!build.Copy())
    file_setup::LookUpCodec(build.CodecName(), AVMEDIA_TYPE_SUBTITLE, true, build.CodecId,
                            &build.Codec);
  CodecContextPtr ctx = NewCodecContext(build.Codec, AVMEDIA_TYPE_SUBTITLE);
  if (!build.Copy()) {
    ctx->codec_id = build.CodecId;
    // Generic options reach subtitle encoders the same way as video and audio encoders.
    e.ApplyGenericOptions(ctx.get(), e.Generic.CodecDefaults[AVMEDIA_TYPE_SUBTITLE].get(),
                          AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_SUBTITLE_PARAM);
  }
  build.Store(std::move(ctx));
}

void file_setup::AddCoverStream(const TSetupContext& e, AVFormatContext* oc) {
  const int file_index = e.Files.OutputFileCount;
  AVStream* st = AddStream(oc, file_index);
  CodecContextPtr ctx = NewCodecContext(nullptr, AVMEDIA_TYPE_VIDEO);
  // Marks the stream as the cover, so the run maps it to the source's cover picture.
  st->disposition = AV_DISPOSITION_ATTACHED_PIC;
  st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  e.Files.OutputStreamCopy[file_index][st->index] = true;
  e.Files.OutputCodecs[file_index][st->index] = std::move(ctx);
}
