// Input and output file set-up: OpenInputFile opens one input with the options given so far and
// takes its picture and sound parameters into the option fields; OpenOutputFile prepares one
// output with its streams built from the option fields. Each step then clears the options that
// belong to one file only.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "AmrNbEncoder.h"
#include "AvsInput.h"
#include "FFmpeg.h"
#include "OpenErrors.h"
#include "Orientation.h"
#include "SourceTags.h"

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
int OutputIndexOf(const TCustomFFmpeg& engine, const AVFormatContext* oc) {
  for (int i = 0; i < engine.Files.OutputFileCount; ++i)
    if (engine.Files.OutputFiles[i].get() == oc) return i;
  return engine.Files.OutputFileCount;
}

// Adds a stream to OC, checking the per-file table limits of the engine.
AVStream* AddStream(AVFormatContext* oc, int file_index) {
  if (file_index >= kMaxFiles || oc->nb_streams >= static_cast<unsigned>(kMaxStreamsPerFile))
    return nullptr;
  return avformat_new_stream(oc, nullptr);
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
  if (!value.empty()) av_dict_set(metadata, key, value.c_str(), 0);
}

}  // namespace

std::string TCustomFFmpeg::CodecAlias(const std::string& name) {
  // Encoders of older library builds that today's build offers under another name.
  if (name == "libfaac") return "aac";
  return name;
}

bool TCustomFFmpeg::FindCodec(const std::string& name, AVMediaType type, bool encoder,
                              AVCodecID& id, const AVCodec** codec_out) {
  id = AV_CODEC_ID_NONE;
  if (codec_out) *codec_out = nullptr;
  if (name.empty()) return true;
  const char* kind = encoder ? "encoder" : "decoder";
  if (encoder && AmrNbEncoder::IsAmrNbName(name)) {
    // The library's AMR-NB encoder when the build has one, else the engine's own (no AVCodec).
    if (type != AVMEDIA_TYPE_AUDIO) {
      LastErrorText = std::string("Invalid ") + kind + " type '" + name + "'";
      return false;
    }
    id = AV_CODEC_ID_AMR_NB;
    if (codec_out) *codec_out = AmrNbEncoder::FindLibraryEncoder();
    return true;
  }
  const std::string real = encoder ? CodecAlias(name) : name;
  const AVCodec* codec = encoder ? avcodec_find_encoder_by_name(real.c_str())
                                 : avcodec_find_decoder_by_name(real.c_str());
  if (!codec) {
    LastErrorText = std::string("Unknown ") + kind + " '" + name + "'";
    return false;
  }
  if (codec->type != type) {
    LastErrorText = std::string("Invalid ") + kind + " type '" + name + "'";
    return false;
  }
  id = codec->id;
  if (codec_out) *codec_out = codec;
  return true;
}

void TCustomFFmpeg::ClearInputFileOptions() {
  Options.InputFormat = nullptr;
  Options.OutputFormat = nullptr;
  Options.VideoChannel = 0;
  Options.RateEmu = 0;
  Options.VideoCodecName.clear();
  Options.AudioCodecName.clear();
  Options.SubtitleCodecName.clear();
}

std::string TCustomFFmpeg::ReadStopText(const std::string& file_name) const {
  if (ReadGuard.LimitHit())
    return FormatWithFileName("%s: no media data found in the first ", file_name) +
           std::to_string(ReadGuard.Limit >> 20) + " MB (an endless or damaged input)";
  if (ReadGuard.StopRequested()) return FormatWithFileName("%s: stopped while opening", file_name);
  return {};
}

void TCustomFFmpeg::OpenInputFile(const std::string& file_name, AVIOContext* io) {
  if (!TryOpenInputFile(file_name, io)) {
    ClearInputFileOptions();
    throw FFMpegException(LastErrorText);
  }
  ClearInputFileOptions();
}

bool TCustomFFmpeg::TryOpenInputFile(const std::string& file_name, AVIOContext* io) {
  if (Files.InputFileCount >= kMaxFiles) {
    LastErrorText = FormatWithFileName("%s: too many input files", file_name) + " (at most " +
                    std::to_string(kMaxFiles) + ")";
    return false;
  }

  AVCodecID video_id, audio_id, subtitle_id;
  const AVCodec *video_codec, *audio_codec, *subtitle_codec;
  if (!FindCodec(Options.VideoCodecName, AVMEDIA_TYPE_VIDEO, false, video_id, &video_codec) ||
      !FindCodec(Options.AudioCodecName, AVMEDIA_TYPE_AUDIO, false, audio_id, &audio_codec) ||
      !FindCodec(Options.SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, false, subtitle_id,
                 &subtitle_codec))
    return false;
  if (Options.PgmYuvHack) {
    video_id = AV_CODEC_ID_PGMYUV;
    video_codec = avcodec_find_decoder(video_id);
  }

  // A forced input format may name a capture device; anything else must be a regular file.
  if (!Options.InputFormat) {
    if (std::string why = NotARegularFileText(file_name); !why.empty()) {
      LastErrorText = why;
      return false;
    }
  }

  InputFormatPtr ic;
  int64_t script_duration_us = AV_NOPTS_VALUE;
  const AVIOInterruptCB interrupt = InputInterruptCallback();
  ReadGuard.Begin(nullptr);
  if (IsAvsScript(file_name) && !Options.InputFormat && !io) {
    AvsScript script;
    int ret = ReadAvsScript(file_name, script);
    if (ret < 0) {
      LastErrorText = OpenErrorText(ret, file_name);
      return false;
    }
    AvsInput avs;
    ret = OpenAvsInput(script, &interrupt, avs, LastErrorText);
    if (ret < 0) return false;
    ic = std::move(avs.context);
    script_duration_us = avs.source_duration_us;
  } else {
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) {
      LastErrorText = OpenErrorText(AVERROR(ENOMEM), file_name);
      return false;
    }
    raw->interrupt_callback = interrupt;
    raw->video_codec_id = video_id;
    raw->audio_codec_id = audio_id;
    raw->subtitle_codec_id = subtitle_id;
    raw->video_codec = video_codec;
    raw->audio_codec = audio_codec;
    raw->subtitle_codec = subtitle_codec;
    ApplyGenericOptions(raw, FormatDefaults.get(), AV_OPT_FLAG_DECODING_PARAM);

    // Parameters for inputs that carry none themselves (raw pictures and sound, capture
    // devices); demuxers that do not know an option leave it unused.
    DictionaryHolder params;
    if (Options.InputFormat) {
      av_dict_set_int(&params.raw, "sample_rate", Options.AudioSampleRate, 0);
      av_dict_set_int(&params.raw, "channels", Options.AudioChannels, 0);
      if (Options.FrameRate.num > 0 && Options.FrameRate.den > 0) {
        const std::string rate =
            std::to_string(Options.FrameRate.num) + "/" + std::to_string(Options.FrameRate.den);
        av_dict_set(&params.raw, "framerate", rate.c_str(), 0);
      }
      const int width = Options.FrameWidth + Options.PadLeft + Options.PadRight;
      const int height = Options.FrameHeight + Options.PadTop + Options.PadBottom;
      if (width > 0 && height > 0) {
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        av_dict_set(&params.raw, "video_size", size.c_str(), 0);
      }
      if (Options.FramePixFmt != AV_PIX_FMT_NONE)
        av_dict_set(&params.raw, "pixel_format", av_get_pix_fmt_name(Options.FramePixFmt), 0);
      if (Options.VideoChannel != 0)
        av_dict_set_int(&params.raw, "channel", Options.VideoChannel, 0);
      if (!Options.VideoStandard.empty())
        av_dict_set(&params.raw, "standard", Options.VideoStandard.c_str(), 0);
    }
    if (Options.LoopInput) av_dict_set_int(&params.raw, "loop", 1, 0);

    if (io) raw->pb = io;  // the caller's bytes; the library leaves such a context open

    // Opening and probing together may read at most ReadGuard.Limit bytes.
    ReadGuard.Begin(raw);
    // On failure the library frees the context.
    const int ret = avformat_open_input(&raw, file_name.c_str(), Options.InputFormat, &params.raw);
    if (ret < 0) {
      ReadGuard.End();
      LastErrorText = ReadStopText(file_name);
      if (LastErrorText.empty()) LastErrorText = OpenErrorText(ret, file_name);
      return false;
    }
    ic.reset(raw);
  }

  if (Options.ProgramId != 0) {
    for (unsigned i = 0; i < ic->nb_programs; ++i)
      if (ic->programs[i]->id != Options.ProgramId) ic->programs[i]->discard = AVDISCARD_ALL;
  }

  int ret;
  {
    std::lock_guard<std::recursive_mutex> lock(CodecLock);
    ret = avformat_find_stream_info(ic.get(), nullptr);
  }
  ReadGuard.End();
  // The library takes an interrupted probe for the end of the file: ask the guard.
  LastErrorText = ReadStopText(file_name);
  if (!LastErrorText.empty()) return false;
  if (ret < 0 && Options.Verbosity >= 0) {
    LastErrorText = FormatWithFileName("%s: could not find codec parameters", file_name);
    return false;
  }
  if (ic->nb_streams > static_cast<unsigned>(kMaxStreamsPerFile)) {
    LastErrorText = FormatWithFileName("%s: too many streams", file_name) + " (" +
                    std::to_string(ic->nb_streams) + ", at most " +
                    std::to_string(kMaxStreamsPerFile) + ")";
    return false;
  }

  int64_t timestamp = Options.StartTimeUs;
  if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
  if (Options.StartTimeUs != 0) {
    // A failed seek leaves the file at its start; the transcode loop drops what lies before
    // the start time anyway.
    av_seek_frame(ic.get(), -1, timestamp, AVSEEK_FLAG_BACKWARD);
    Options.StartTimeUs = 0;
  }

  const bool rmvb = LowerExtension(file_name).rfind(".rmvb", 0) == 0;
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    AVStream* st = ic->streams[i];
    AVCodecParameters* par = st->codecpar;
    if (par->codec_type < AVMEDIA_TYPE_UNKNOWN || par->codec_type >= AVMEDIA_TYPE_NB)
      throw FFMpegException("invalid codec_type");
    switch (par->codec_type) {
      case AVMEDIA_TYPE_VIDEO: {
        Options.FrameHeight = par->height;
        Options.FrameWidth = par->width;
        AVRational sar = av_guess_sample_aspect_ratio(ic.get(), st, nullptr);
        double aspect = 0;
        if (sar.num > 0 && sar.den > 0 && par->height > 0)
          aspect = av_q2d(sar) * par->width / par->height;
        if (!(aspect > 0) && par->height > 0)
          aspect = static_cast<double>(par->width) / par->height;
        if (SwapsAxes(OrientationOf(st))) {
          // The pictures are turned upright when decoded: outputs start from that size.
          std::swap(Options.FrameWidth, Options.FrameHeight);
          if (aspect > 0) aspect = 1.0 / aspect;
        }
        Options.FrameAspectRatio = static_cast<float>(aspect);
        if (par->format == AV_PIX_FMT_NONE && rmvb) par->format = AV_PIX_FMT_YUV420P;
        Options.FramePixFmt = static_cast<AVPixelFormat>(par->format);
        Options.FrameRate = st->r_frame_rate;
        if (Options.VideoDisable)
          st->discard = AVDISCARD_ALL;
        else if (Options.VideoDiscard != 0)
          st->discard = static_cast<AVDiscard>(Options.VideoDiscard);
        break;
      }
      case AVMEDIA_TYPE_AUDIO:
        Options.AudioChannels = par->ch_layout.nb_channels;
        Options.AudioSampleRate = par->sample_rate;
        if (Options.AudioDisable) st->discard = AVDISCARD_ALL;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        if (Options.SubtitleDisable) st->discard = AVDISCARD_ALL;
        break;
      default:
        break;
    }
  }

  int64_t duration_us = ic->duration;
  if (duration_us == AV_NOPTS_VALUE) duration_us = script_duration_us;
  if (duration_us != AV_NOPTS_VALUE && duration_us / 1000 > Options.TotalDurationMs)
    Options.TotalDurationMs = static_cast<int>(std::min<int64_t>(duration_us / 1000, INT_MAX));

  const int index = Files.InputFileCount;
  Files.InputTsOffset[index] =
      Options.CopyTs ? Options.InputTsOffsetOpt : Options.InputTsOffsetOpt - timestamp;
  Files.InputRateEmu[index] = Options.RateEmu != 0;
  if (Options.Verbosity >= 0) av_dump_format(ic.get(), index, file_name.c_str(), 0);
  Files.InputFiles[index] = std::move(ic);
  Files.InputFileCount = index + 1;
  return true;
}

bool TCustomFFmpeg::OpenOutputFile(const std::string& file_name) {
  auto fail = [this]() {
    Options.InputFormat = nullptr;
    Options.OutputFormat = nullptr;
    return false;
  };
  if (Files.OutputFileCount >= kMaxFiles) {
    LastErrorText = FormatWithFileName("%s: too many output files", file_name) + " (at most " +
                    std::to_string(kMaxFiles) + ")";
    return fail();
  }
  if (!Options.OutputFormat) {
    Options.OutputFormat = av_guess_format(nullptr, file_name.c_str(), nullptr);
    if (!Options.OutputFormat) {
      LastErrorText = "Unable to find a suitable output format for '" + file_name + "'";
      return fail();
    }
  }
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, Options.OutputFormat, nullptr, file_name.c_str()) < 0 ||
      !raw) {
    LastErrorText = OpenErrorText(AVERROR(ENOMEM), file_name);
    return fail();
  }
  OutputFormatPtr oc(raw);
  const AVOutputFormat* format = oc->oformat;

  bool use_video = format->video_codec != AV_CODEC_ID_NONE || Options.VideoStreamCopy ||
                   !Options.VideoCodecName.empty();
  bool use_audio = format->audio_codec != AV_CODEC_ID_NONE || Options.AudioStreamCopy ||
                   !Options.AudioCodecName.empty();
  // A subtitle stream only when one is asked for: the format's default subtitle codec alone
  // (mov_text for MP4, ass for Matroska) cannot take bitmap subtitles and would fail the run.
  bool use_subtitle = Options.SubtitleStreamCopy || !Options.SubtitleCodecName.empty();

  if (Files.InputFileCount > 0) {
    bool has_video = false, has_audio = false, has_subtitle = false;
    for (int f = 0; f < Files.InputFileCount; ++f) {
      const AVFormatContext* ic = Files.InputFiles[f].get();
      if (!ic) continue;
      for (unsigned s = 0; s < ic->nb_streams; ++s) {
        switch (ic->streams[s]->codecpar->codec_type) {
          case AVMEDIA_TYPE_VIDEO:
            // An attached cover picture is not a picture sequence to convert.
            if (!(ic->streams[s]->disposition & AV_DISPOSITION_ATTACHED_PIC)) has_video = true;
            break;
          case AVMEDIA_TYPE_AUDIO:
            has_audio = true;
            break;
          case AVMEDIA_TYPE_SUBTITLE:
            has_subtitle = true;
            break;
          case AVMEDIA_TYPE_UNKNOWN:
          case AVMEDIA_TYPE_DATA:
          case AVMEDIA_TYPE_ATTACHMENT:
            break;
          default:
            LastErrorText = "check_audio_video_sub_inputs fail: invalid codec_type of input file";
            return fail();
        }
      }
    }
    // An audio output from a source without sound would be an empty file.
    if (use_audio && !has_audio && !Options.AudioDisable && (Options.VideoDisable || !has_video)) {
      LastErrorText = "The source has no sound to convert";
      return fail();
    }
    use_video = use_video && has_video;
    use_audio = use_audio && has_audio;
    use_subtitle = use_subtitle && has_subtitle;
  }
  if (Options.VideoDisable) use_video = false;
  if (Options.AudioDisable) use_audio = false;
  if (Options.SubtitleDisable) use_subtitle = false;
  const AVFormatContext* first_input =
      Files.InputFileCount > 0 ? Files.InputFiles[0].get() : nullptr;
  // A song keeps its cover picture in the audio formats that can store one.
  const bool use_cover = use_audio && !use_video && StoresCoverPicture(format) &&
                         CoverPictureStream(first_input) != nullptr;

  const int index = Files.OutputFileCount;
  // Builds one stream when wanted; a failure drops the codecs built so far for this output.
  auto build_stream = [&](bool wanted, void (TCustomFFmpeg::*build)(AVFormatContext*),
                          const char* step) {
    if (!wanted) return true;
    try {
      (this->*build)(oc.get());
    } catch (const FFMpegException& e) {
      LastErrorText = std::string(step) + " fail: " + e.what();
      DropOutputCodecs(index);
      return false;
    }
    return true;
  };
  if (!build_stream(use_video, &TCustomFFmpeg::NewVideoStream, "new_video_stream") ||
      !build_stream(use_audio, &TCustomFFmpeg::NewAudioStream, "new_audio_stream") ||
      !build_stream(use_subtitle, &TCustomFFmpeg::NewSubtitleStream, "new_subtitle_stream") ||
      !build_stream(use_cover, &TCustomFFmpeg::NewCoverStream, "new_video_stream"))
    return fail();

  // Tags.
  SetTag(&oc->metadata, "title", Options.Title);
  SetTag(&oc->metadata, "artist", Options.Author);
  SetTag(&oc->metadata, "copyright", Options.Copyright);
  SetTag(&oc->metadata, "comment", Options.Comment);
  SetTag(&oc->metadata, "album", Options.Album);
  SetTag(&oc->metadata, "genre", Options.Genre.substr(0, 31));
  if (Options.Year > 0) av_dict_set_int(&oc->metadata, "date", Options.Year, 0);
  if (Options.Track > 0) av_dict_set_int(&oc->metadata, "track", Options.Track, 0);
  if (Options.RecTimestamp > 0) {
    const std::time_t seconds = static_cast<std::time_t>(Options.RecTimestamp / 1000000);
    std::tm utc{};
    if (gmtime_r(&seconds, &utc)) {
      char text[64];
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &utc);
      av_dict_set(&oc->metadata, "creation_time", text, 0);
    }
  }

  // What the source says about itself goes along unless the job gave its own tags.
  CopySourceTags(first_input, oc.get(), use_video);

  // From here on the output is registered even when a later step fails; the caller removes
  // the whole job then.
  AVFormatContext* registered = oc.get();
  Files.OutputFiles[index] = std::move(oc);
  Files.OutputFileCount = index + 1;

  if ((format->flags & AVFMT_NEEDNUMBER) &&
      av_filename_number_test(registered->url ? registered->url : "") == 0) {
    LastErrorText = ImageNumberErrorText(registered->url ? registered->url : file_name);
    return fail();
  }
  if (!(format->flags & AVFMT_NOFILE)) {
    // The file itself is created when the run starts (OpenOutputFilesForWriting); here only
    // what can be told without creating anything is checked.
    if (IsOpenInput(file_name)) {
      LastErrorText = "Could not open '" + file_name + "' (it is an input file of this job)";
      return fail();
    }
    if (std::string why = OutputPlaceError(file_name); !why.empty()) {
      LastErrorText = "Could not open '" + file_name + "' (" + why + ")";
      return fail();
    }
    Files.OutputPaths[index] = file_name;
  }

  registered->max_delay = static_cast<int>(Options.MuxMaxDelay * 1000000);
  // Muxers with such options (MPEG program streams; GIF) take them; others ignore them.
  ApplyMuxerSettings(registered);
  if (registered->priv_data) {
    av_opt_set_int(registered->priv_data, "preload",
                   static_cast<int64_t>(Options.MuxPreload * 1000000), 0);
    if (std::string_view(format->name) == "gif")
      av_opt_set_int(registered->priv_data, "loop", Options.LoopOutput, 0);
    for (const auto& [name, value] : MuxerOptions)
      av_opt_set(registered->priv_data, name.c_str(), value.c_str(), 0);
  }
  ApplyGenericOptions(registered, FormatDefaults.get(), AV_OPT_FLAG_ENCODING_PARAM);
  Options.InputFormat = nullptr;
  Options.OutputFormat = nullptr;
  return true;
}

bool TCustomFFmpeg::IsOpenInput(const std::string& file_name) const {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::exists(file_name, ec)) return false;
  for (int i = 0; i < Files.InputFileCount; ++i) {
    const AVFormatContext* ic = Files.InputFiles[i].get();
    if (!ic || !ic->url) continue;
    if (fs::equivalent(file_name, ic->url, ec) && !ec) return true;
  }
  return false;
}

void TCustomFFmpeg::DropOutputCodecs(int file_index) {
  if (file_index < 0 || file_index >= kMaxFiles) return;
  for (auto& codec : Files.OutputCodecs[file_index]) codec.reset();
  Files.OutputStreamCopy[file_index].fill(false);
}

void TCustomFFmpeg::NewVideoStream(AVFormatContext* oc) {
  const int file_index = OutputIndexOf(*this, oc);
  AVStream* st = AddStream(oc, file_index);
  if (!st) {
    Options.VideoCodecName.clear();
    throw FFMpegException("Could not alloc stream");
  }
  const int stream = st->index;
  // Whatever happens below, the per-stream options are used up by this stream.
  struct ClearVideoOptions {
    TCustomFFmpeg& e;
    ~ClearVideoOptions() {
      e.Options.VideoDisable = 0;
      e.Options.VideoCodecName.clear();
      e.Options.VideoStreamCopy = 0;
    }
  } clear_options{*this};

  AVCodecID codec_id = AV_CODEC_ID_NONE;
  const AVCodec* codec = nullptr;
  if (!Options.VideoStreamCopy) {
    if (!Options.VideoCodecName.empty()) {
      if (!FindCodec(Options.VideoCodecName, AVMEDIA_TYPE_VIDEO, true, codec_id, &codec))
        throw FFMpegException(LastErrorText);
    } else {
      codec_id = av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_VIDEO);
      codec = avcodec_find_encoder(codec_id);
    }
  }
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) throw FFMpegException("Could not alloc stream");
  ctx->codec_type = AVMEDIA_TYPE_VIDEO;
  ctx->thread_count = Options.ThreadCount;
  if (Options.VideoCodecTag) ctx->codec_tag = Options.VideoCodecTag;

  const bool global_header =
      (Options.VideoGlobalHeader & 1) ||
      (Options.VideoGlobalHeader == 0 && (oc->oformat->flags & AVFMT_GLOBALHEADER));
  if (global_header) {
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (auto& defaults = CodecDefaults[AVMEDIA_TYPE_VIDEO])
      defaults->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (Options.VideoGlobalHeader & 2) {
    ctx->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    if (auto& defaults = CodecDefaults[AVMEDIA_TYPE_VIDEO])
      defaults->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
  }

  if (Options.VideoStreamCopy) {
    Files.OutputStreamCopy[file_index][stream] = true;
  } else {
    AVRational rate = (Options.FrameRate.num > 0 && Options.FrameRate.den > 0) ? Options.FrameRate
                                                                               : AVRational{25, 1};
    ctx->codec_id = codec_id;
    ApplyGenericOptions(ctx.get(), CodecDefaults[AVMEDIA_TYPE_VIDEO].get(),
                        AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
    if (codec && codec->supported_framerates)
      rate = codec->supported_framerates[av_find_nearest_q_idx(rate, codec->supported_framerates)];
    rate = StandardFrameRate(codec_id, rate);
    ctx->time_base = av_inv_q(rate);
    ctx->framerate = rate;

    ctx->width = Options.FrameWidth + Options.PadLeft + Options.PadRight;
    ctx->height = Options.FrameHeight + Options.PadTop + Options.PadBottom;
    if (ctx->width > 0 && Options.FrameAspectRatio > 0) {
      const double r = static_cast<double>(ctx->height) * Options.FrameAspectRatio / ctx->width;
      ctx->sample_aspect_ratio = av_d2q(r, 255);
    } else {
      ctx->sample_aspect_ratio = AVRational{0, 1};
    }
    st->sample_aspect_ratio = ctx->sample_aspect_ratio;

    ctx->pix_fmt = Options.FramePixFmt;
    if (codec && codec->pix_fmts && !PixelFormatAllowed(codec, Options.FramePixFmt))
      ctx->pix_fmt = codec->pix_fmts[0];

    if (Options.IntraOnly) ctx->gop_size = 0;
    if (Options.VideoQScale != 0 || Options.SameQuality) {
      ctx->flags |= AV_CODEC_FLAG_QSCALE;
      ctx->global_quality = static_cast<int>(FF_QP2LAMBDA * Options.VideoQScale);
    }
    if (Options.IntraMatrix.size() == 64) ctx->intra_matrix = CodecMatrix(Options.IntraMatrix);
    if (Options.InterMatrix.size() == 64) ctx->inter_matrix = CodecMatrix(Options.InterMatrix);
    ctx->thread_count = Options.ThreadCount;

    if (!Options.VideoRcOverride.empty()) {
      std::vector<RcOverride> entries;
      if (!ParseRcOverride(Options.VideoRcOverride, entries))
        throw FFMpegException("error parsing rc_override");
      // The codec context frees the list with av_free.
      auto* list = static_cast<RcOverride*>(av_malloc_array(entries.size(), sizeof(RcOverride)));
      if (!list) throw FFMpegException("Could not alloc stream");
      std::copy(entries.begin(), entries.end(), list);
      ctx->rc_override = list;
      ctx->rc_override_count = static_cast<int>(entries.size());
    }
    if (ctx->rc_initial_buffer_occupancy == 0)
      ctx->rc_initial_buffer_occupancy = ctx->rc_buffer_size * 3 / 4;
    ctx->intra_dc_precision = Options.IntraDcPrecision - 8;
    if (Options.DoPsnr) ctx->flags |= AV_CODEC_FLAG_PSNR;
    if (Options.DoPass == 1) ctx->flags |= AV_CODEC_FLAG_PASS1;
    if (Options.DoPass == 2) ctx->flags |= AV_CODEC_FLAG_PASS2;
    ApplyDeviceVideoSettings(Options.Device, ctx.get(), codec);
    ApplyContainerVideoTag(oc->oformat, ctx.get(), codec);
  }

  st->time_base = ctx->time_base;
  if (avcodec_parameters_from_context(st->codecpar, ctx.get()) < 0)
    throw FFMpegException("Could not alloc stream");
  Files.OutputCodecs[file_index][stream] = std::move(ctx);
}

void TCustomFFmpeg::NewAudioStream(AVFormatContext* oc) {
  const int file_index = OutputIndexOf(*this, oc);
  AVStream* st = AddStream(oc, file_index);
  if (!st) {
    Options.AudioCodecName.clear();
    Options.AudioLanguage.clear();
    throw FFMpegException("Could not alloc stream");
  }
  const int stream = st->index;
  struct ClearAudioOptions {
    TCustomFFmpeg& e;
    ~ClearAudioOptions() {
      e.Options.AudioDisable = 0;
      e.Options.AudioCodecName.clear();
      e.Options.AudioStreamCopy = 0;
      e.Options.AudioLanguage.clear();
    }
  } clear_options{*this};

  AVCodecID codec_id = AV_CODEC_ID_NONE;
  const AVCodec* codec = nullptr;
  if (!Options.AudioStreamCopy) {
    codec_id = av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_AUDIO);
    codec = avcodec_find_encoder(codec_id);
    if (!Options.AudioCodecName.empty() &&
        !FindCodec(Options.AudioCodecName, AVMEDIA_TYPE_AUDIO, true, codec_id, &codec))
      throw FFMpegException(LastErrorText);
  }
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) throw FFMpegException("Could not alloc stream");
  ctx->codec_type = AVMEDIA_TYPE_AUDIO;
  ctx->thread_count = Options.ThreadCount;
  if (Options.AudioCodecTag) ctx->codec_tag = Options.AudioCodecTag;
  if (oc->oformat->flags & AVFMT_GLOBALHEADER) {
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (auto& defaults = CodecDefaults[AVMEDIA_TYPE_AUDIO])
      defaults->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }

  if (Options.AudioStreamCopy) {
    Files.OutputStreamCopy[file_index][stream] = true;
  } else {
    ctx->codec_id = codec_id;
    ApplyGenericOptions(ctx.get(), CodecDefaults[AVMEDIA_TYPE_AUDIO].get(),
                        AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM);
    if (Options.AudioQScale > -99999.0f) {
      ctx->flags |= AV_CODEC_FLAG_QSCALE;
      ctx->global_quality = static_cast<int>(FF_QP2LAMBDA * Options.AudioQScale);
    }
  }
  av_channel_layout_uninit(&ctx->ch_layout);
  av_channel_layout_default(&ctx->ch_layout, std::max(Options.AudioChannels, 1));
  ctx->sample_rate = Options.AudioSampleRate;
  if (Options.AudioSampleRate > 0) ctx->time_base = AVRational{1, Options.AudioSampleRate};
  if (!Options.AudioStreamCopy) ApplyDeviceAudioSettings(Options.Device, ctx.get());
  if (!Options.AudioStreamCopy && ctx->codec_id == AV_CODEC_ID_AMR_NB && !codec)
    AmrNbEncoder::ConfigureContext(ctx.get());

  if (!Options.AudioLanguage.empty())
    av_dict_set(&st->metadata, "language", Options.AudioLanguage.substr(0, 3).c_str(), 0);

  st->time_base = ctx->time_base;
  if (avcodec_parameters_from_context(st->codecpar, ctx.get()) < 0)
    throw FFMpegException("Could not alloc stream");
  Files.OutputCodecs[file_index][stream] = std::move(ctx);
}

void TCustomFFmpeg::NewSubtitleStream(AVFormatContext* oc) {
  const int file_index = OutputIndexOf(*this, oc);
  AVStream* st = AddStream(oc, file_index);
  if (!st) {
    Options.SubtitleCodecName.clear();
    Options.SubtitleLanguage.clear();
    throw FFMpegException("Could not alloc stream");
  }
  const int stream = st->index;
  struct ClearSubtitleOptions {
    TCustomFFmpeg& e;
    ~ClearSubtitleOptions() {
      e.Options.SubtitleDisable = 0;
      e.Options.SubtitleCodecName.clear();
      e.Options.SubtitleStreamCopy = 0;
      e.Options.SubtitleLanguage.clear();
    }
  } clear_options{*this};

  AVCodecID codec_id = AV_CODEC_ID_NONE;
  const AVCodec* codec = nullptr;
  if (!Options.SubtitleStreamCopy &&
      !FindCodec(Options.SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, true, codec_id, &codec))
    throw FFMpegException(LastErrorText);
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) throw FFMpegException("Could not alloc stream");
  ctx->codec_type = AVMEDIA_TYPE_SUBTITLE;
  if (Options.SubtitleStreamCopy) {
    Files.OutputStreamCopy[file_index][stream] = true;
  } else {
    ctx->codec_id = codec_id;
    // Generic options reach subtitle encoders the same way as video and audio encoders.
    ApplyGenericOptions(ctx.get(), CodecDefaults[AVMEDIA_TYPE_SUBTITLE].get(),
                        AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_SUBTITLE_PARAM);
  }
  if (!Options.SubtitleLanguage.empty())
    av_dict_set(&st->metadata, "language", Options.SubtitleLanguage.substr(0, 3).c_str(), 0);

  if (avcodec_parameters_from_context(st->codecpar, ctx.get()) < 0)
    throw FFMpegException("Could not alloc stream");
  Files.OutputCodecs[file_index][stream] = std::move(ctx);
}
