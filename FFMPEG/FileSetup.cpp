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
  for (int i = 0; i < engine.OutputFileCount; ++i)
    if (engine.OutputFiles[i].get() == oc) return i;
  return engine.OutputFileCount;
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
  InputFormat = nullptr;
  OutputFormat = nullptr;
  VideoChannel = 0;
  RateEmu = 0;
  VideoCodecName.clear();
  AudioCodecName.clear();
  SubtitleCodecName.clear();
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
  if (InputFileCount >= kMaxFiles) {
    LastErrorText = FormatWithFileName("%s: too many input files", file_name) + " (at most " +
                    std::to_string(kMaxFiles) + ")";
    return false;
  }

  AVCodecID video_id, audio_id, subtitle_id;
  const AVCodec *video_codec, *audio_codec, *subtitle_codec;
  if (!FindCodec(VideoCodecName, AVMEDIA_TYPE_VIDEO, false, video_id, &video_codec) ||
      !FindCodec(AudioCodecName, AVMEDIA_TYPE_AUDIO, false, audio_id, &audio_codec) ||
      !FindCodec(SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, false, subtitle_id, &subtitle_codec))
    return false;
  if (PgmYuvHack) {
    video_id = AV_CODEC_ID_PGMYUV;
    video_codec = avcodec_find_decoder(video_id);
  }

  // A forced input format may name a capture device; anything else must be a regular file.
  if (!InputFormat) {
    if (std::string why = NotARegularFileText(file_name); !why.empty()) {
      LastErrorText = why;
      return false;
    }
  }

  InputFormatPtr ic;
  int64_t script_duration_us = AV_NOPTS_VALUE;
  const AVIOInterruptCB interrupt = InputInterruptCallback();
  ReadGuard.Begin(nullptr);
  if (IsAvsScript(file_name) && !InputFormat && !io) {
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
    if (InputFormat) {
      av_dict_set_int(&params.raw, "sample_rate", AudioSampleRate, 0);
      av_dict_set_int(&params.raw, "channels", AudioChannels, 0);
      if (FrameRate.num > 0 && FrameRate.den > 0) {
        const std::string rate =
            std::to_string(FrameRate.num) + "/" + std::to_string(FrameRate.den);
        av_dict_set(&params.raw, "framerate", rate.c_str(), 0);
      }
      const int width = FrameWidth + PadLeft + PadRight;
      const int height = FrameHeight + PadTop + PadBottom;
      if (width > 0 && height > 0) {
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        av_dict_set(&params.raw, "video_size", size.c_str(), 0);
      }
      if (FramePixFmt != AV_PIX_FMT_NONE)
        av_dict_set(&params.raw, "pixel_format", av_get_pix_fmt_name(FramePixFmt), 0);
      if (VideoChannel != 0) av_dict_set_int(&params.raw, "channel", VideoChannel, 0);
      if (!VideoStandard.empty()) av_dict_set(&params.raw, "standard", VideoStandard.c_str(), 0);
    }
    if (LoopInput) av_dict_set_int(&params.raw, "loop", 1, 0);

    if (io) raw->pb = io;  // the caller's bytes; the library leaves such a context open

    // Opening and probing together may read at most ReadGuard.Limit bytes.
    ReadGuard.Begin(raw);
    // On failure the library frees the context.
    const int ret = avformat_open_input(&raw, file_name.c_str(), InputFormat, &params.raw);
    if (ret < 0) {
      ReadGuard.End();
      LastErrorText = ReadStopText(file_name);
      if (LastErrorText.empty()) LastErrorText = OpenErrorText(ret, file_name);
      return false;
    }
    ic.reset(raw);
  }

  if (ProgramId != 0) {
    for (unsigned i = 0; i < ic->nb_programs; ++i)
      if (ic->programs[i]->id != ProgramId) ic->programs[i]->discard = AVDISCARD_ALL;
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
  if (ret < 0 && Verbosity >= 0) {
    LastErrorText = FormatWithFileName("%s: could not find codec parameters", file_name);
    return false;
  }
  if (ic->nb_streams > static_cast<unsigned>(kMaxStreamsPerFile)) {
    LastErrorText = FormatWithFileName("%s: too many streams", file_name) + " (" +
                    std::to_string(ic->nb_streams) + ", at most " +
                    std::to_string(kMaxStreamsPerFile) + ")";
    return false;
  }

  int64_t timestamp = StartTimeUs;
  if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
  if (StartTimeUs != 0) {
    // A failed seek leaves the file at its start; the transcode loop drops what lies before
    // the start time anyway.
    av_seek_frame(ic.get(), -1, timestamp, AVSEEK_FLAG_BACKWARD);
    StartTimeUs = 0;
  }

  const bool rmvb = LowerExtension(file_name).rfind(".rmvb", 0) == 0;
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    AVStream* st = ic->streams[i];
    AVCodecParameters* par = st->codecpar;
    if (par->codec_type < AVMEDIA_TYPE_UNKNOWN || par->codec_type >= AVMEDIA_TYPE_NB)
      throw FFMpegException("invalid codec_type");
    switch (par->codec_type) {
      case AVMEDIA_TYPE_VIDEO: {
        FrameHeight = par->height;
        FrameWidth = par->width;
        AVRational sar = av_guess_sample_aspect_ratio(ic.get(), st, nullptr);
        double aspect = 0;
        if (sar.num > 0 && sar.den > 0 && par->height > 0)
          aspect = av_q2d(sar) * par->width / par->height;
        if (!(aspect > 0) && par->height > 0)
          aspect = static_cast<double>(par->width) / par->height;
        if (SwapsAxes(OrientationOf(st))) {
          // The pictures are turned upright when decoded: outputs start from that size.
          std::swap(FrameWidth, FrameHeight);
          if (aspect > 0) aspect = 1.0 / aspect;
        }
        FrameAspectRatio = static_cast<float>(aspect);
        if (par->format == AV_PIX_FMT_NONE && rmvb) par->format = AV_PIX_FMT_YUV420P;
        FramePixFmt = static_cast<AVPixelFormat>(par->format);
        FrameRate = st->r_frame_rate;
        if (VideoDisable)
          st->discard = AVDISCARD_ALL;
        else if (VideoDiscard != 0)
          st->discard = static_cast<AVDiscard>(VideoDiscard);
        break;
      }
      case AVMEDIA_TYPE_AUDIO:
        AudioChannels = par->ch_layout.nb_channels;
        AudioSampleRate = par->sample_rate;
        if (AudioDisable) st->discard = AVDISCARD_ALL;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        if (SubtitleDisable) st->discard = AVDISCARD_ALL;
        break;
      default:
        break;
    }
  }

  int64_t duration_us = ic->duration;
  if (duration_us == AV_NOPTS_VALUE) duration_us = script_duration_us;
  if (duration_us != AV_NOPTS_VALUE && duration_us / 1000 > TotalDurationMs)
    TotalDurationMs = static_cast<int>(std::min<int64_t>(duration_us / 1000, INT_MAX));

  const int index = InputFileCount;
  InputTsOffset[index] = CopyTs ? InputTsOffsetOpt : InputTsOffsetOpt - timestamp;
  InputRateEmu[index] = RateEmu != 0;
  if (Verbosity >= 0) av_dump_format(ic.get(), index, file_name.c_str(), 0);
  InputFiles[index] = std::move(ic);
  InputFileCount = index + 1;
  return true;
}

bool TCustomFFmpeg::OpenOutputFile(const std::string& file_name) {
  auto fail = [this]() {
    InputFormat = nullptr;
    OutputFormat = nullptr;
    return false;
  };
  if (OutputFileCount >= kMaxFiles) {
    LastErrorText = FormatWithFileName("%s: too many output files", file_name) + " (at most " +
                    std::to_string(kMaxFiles) + ")";
    return fail();
  }
  if (!OutputFormat) {
    OutputFormat = av_guess_format(nullptr, file_name.c_str(), nullptr);
    if (!OutputFormat) {
      LastErrorText = "Unable to find a suitable output format for '" + file_name + "'";
      return fail();
    }
  }
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, OutputFormat, nullptr, file_name.c_str()) < 0 || !raw) {
    LastErrorText = OpenErrorText(AVERROR(ENOMEM), file_name);
    return fail();
  }
  OutputFormatPtr oc(raw);
  const AVOutputFormat* format = oc->oformat;

  bool use_video =
      format->video_codec != AV_CODEC_ID_NONE || VideoStreamCopy || !VideoCodecName.empty();
  bool use_audio =
      format->audio_codec != AV_CODEC_ID_NONE || AudioStreamCopy || !AudioCodecName.empty();
  // A subtitle stream only when one is asked for: the format's default subtitle codec alone
  // (mov_text for MP4, ass for Matroska) cannot take bitmap subtitles and would fail the run.
  bool use_subtitle = SubtitleStreamCopy || !SubtitleCodecName.empty();

  if (InputFileCount > 0) {
    bool has_video = false, has_audio = false, has_subtitle = false;
    for (int f = 0; f < InputFileCount; ++f) {
      const AVFormatContext* ic = InputFiles[f].get();
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
    if (use_audio && !has_audio && !AudioDisable && (VideoDisable || !has_video)) {
      LastErrorText = "The source has no sound to convert";
      return fail();
    }
    use_video = use_video && has_video;
    use_audio = use_audio && has_audio;
    use_subtitle = use_subtitle && has_subtitle;
  }
  if (VideoDisable) use_video = false;
  if (AudioDisable) use_audio = false;
  if (SubtitleDisable) use_subtitle = false;
  const AVFormatContext* first_input = InputFileCount > 0 ? InputFiles[0].get() : nullptr;
  // A song keeps its cover picture in the audio formats that can store one.
  const bool use_cover = use_audio && !use_video && StoresCoverPicture(format) &&
                         CoverPictureStream(first_input) != nullptr;

  const int index = OutputFileCount;
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
  SetTag(&oc->metadata, "title", Title);
  SetTag(&oc->metadata, "artist", Author);
  SetTag(&oc->metadata, "copyright", Copyright);
  SetTag(&oc->metadata, "comment", Comment);
  SetTag(&oc->metadata, "album", Album);
  SetTag(&oc->metadata, "genre", Genre.substr(0, 31));
  if (Year > 0) av_dict_set_int(&oc->metadata, "date", Year, 0);
  if (Track > 0) av_dict_set_int(&oc->metadata, "track", Track, 0);
  if (RecTimestamp > 0) {
    const std::time_t seconds = static_cast<std::time_t>(RecTimestamp / 1000000);
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
  OutputFiles[index] = std::move(oc);
  OutputFileCount = index + 1;

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
    OutputPaths[index] = file_name;
  }

  registered->max_delay = static_cast<int>(MuxMaxDelay * 1000000);
  // Muxers with such options (MPEG program streams; GIF) take them; others ignore them.
  ApplyMuxerSettings(registered);
  if (registered->priv_data) {
    av_opt_set_int(registered->priv_data, "preload", static_cast<int64_t>(MuxPreload * 1000000), 0);
    if (std::string_view(format->name) == "gif")
      av_opt_set_int(registered->priv_data, "loop", LoopOutput, 0);
    for (const auto& [name, value] : MuxerOptions)
      av_opt_set(registered->priv_data, name.c_str(), value.c_str(), 0);
  }
  ApplyGenericOptions(registered, FormatDefaults.get(), AV_OPT_FLAG_ENCODING_PARAM);
  InputFormat = nullptr;
  OutputFormat = nullptr;
  return true;
}

bool TCustomFFmpeg::IsOpenInput(const std::string& file_name) const {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::exists(file_name, ec)) return false;
  for (int i = 0; i < InputFileCount; ++i) {
    const AVFormatContext* ic = InputFiles[i].get();
    if (!ic || !ic->url) continue;
    if (fs::equivalent(file_name, ic->url, ec) && !ec) return true;
  }
  return false;
}

void TCustomFFmpeg::DropOutputCodecs(int file_index) {
  if (file_index < 0 || file_index >= kMaxFiles) return;
  for (auto& codec : OutputCodecs[file_index]) codec.reset();
  OutputStreamCopy[file_index].fill(false);
  for (auto& chain : BitstreamFilters[file_index]) chain.reset();
}

void TCustomFFmpeg::TakeBitstreamFilters(std::string& chain_text, int file_index, int stream) {
  if (chain_text.empty()) return;
  const std::string text = std::move(chain_text);
  chain_text.clear();
  AVBSFContext* bsf = nullptr;
  const int ret = av_bsf_list_parse_str(text.c_str(), &bsf);
  if (ret < 0) throw FFMpegException("Unknown bitstream filter " + text);
  BitstreamFilters[file_index][stream].reset(bsf);
}

void TCustomFFmpeg::NewVideoStream(AVFormatContext* oc) {
  const int file_index = OutputIndexOf(*this, oc);
  AVStream* st = AddStream(oc, file_index);
  if (!st) {
    VideoCodecName.clear();
    throw FFMpegException("Could not alloc stream");
  }
  const int stream = st->index;
  // Whatever happens below, the per-stream options are used up by this stream.
  struct ClearVideoOptions {
    TCustomFFmpeg& e;
    ~ClearVideoOptions() {
      e.VideoDisable = 0;
      e.VideoCodecName.clear();
      e.VideoStreamCopy = 0;
    }
  } clear_options{*this};

  TakeBitstreamFilters(VideoBitstreamFilters, file_index, stream);

  AVCodecID codec_id = AV_CODEC_ID_NONE;
  const AVCodec* codec = nullptr;
  if (!VideoStreamCopy) {
    if (!VideoCodecName.empty()) {
      if (!FindCodec(VideoCodecName, AVMEDIA_TYPE_VIDEO, true, codec_id, &codec))
        throw FFMpegException(LastErrorText);
    } else {
      codec_id = av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_VIDEO);
      codec = avcodec_find_encoder(codec_id);
    }
  }
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) throw FFMpegException("Could not alloc stream");
  ctx->codec_type = AVMEDIA_TYPE_VIDEO;
  ctx->thread_count = ThreadCount;
  if (VideoCodecTag) ctx->codec_tag = VideoCodecTag;

  const bool global_header = (VideoGlobalHeader & 1) ||
                             (VideoGlobalHeader == 0 && (oc->oformat->flags & AVFMT_GLOBALHEADER));
  if (global_header) {
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (auto& defaults = CodecDefaults[AVMEDIA_TYPE_VIDEO])
      defaults->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (VideoGlobalHeader & 2) {
    ctx->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    if (auto& defaults = CodecDefaults[AVMEDIA_TYPE_VIDEO])
      defaults->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
  }

  if (VideoStreamCopy) {
    OutputStreamCopy[file_index][stream] = true;
  } else {
    AVRational rate = (FrameRate.num > 0 && FrameRate.den > 0) ? FrameRate : AVRational{25, 1};
    ctx->codec_id = codec_id;
    ApplyGenericOptions(ctx.get(), CodecDefaults[AVMEDIA_TYPE_VIDEO].get(),
                        AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
    if (codec && codec->supported_framerates)
      rate = codec->supported_framerates[av_find_nearest_q_idx(rate, codec->supported_framerates)];
    rate = StandardFrameRate(codec_id, rate);
    ctx->time_base = av_inv_q(rate);
    ctx->framerate = rate;

    ctx->width = FrameWidth + PadLeft + PadRight;
    ctx->height = FrameHeight + PadTop + PadBottom;
    if (ctx->width > 0 && FrameAspectRatio > 0) {
      const double r = static_cast<double>(ctx->height) * FrameAspectRatio / ctx->width;
      ctx->sample_aspect_ratio = av_d2q(r, 255);
    } else {
      ctx->sample_aspect_ratio = AVRational{0, 1};
    }
    st->sample_aspect_ratio = ctx->sample_aspect_ratio;

    ctx->pix_fmt = FramePixFmt;
    if (codec && codec->pix_fmts && !PixelFormatAllowed(codec, FramePixFmt))
      ctx->pix_fmt = codec->pix_fmts[0];

    if (IntraOnly) ctx->gop_size = 0;
    if (VideoQScale != 0 || SameQuality) {
      ctx->flags |= AV_CODEC_FLAG_QSCALE;
      ctx->global_quality = static_cast<int>(FF_QP2LAMBDA * VideoQScale);
    }
    if (IntraMatrix.size() == 64) ctx->intra_matrix = CodecMatrix(IntraMatrix);
    if (InterMatrix.size() == 64) ctx->inter_matrix = CodecMatrix(InterMatrix);
    ctx->thread_count = ThreadCount;

    if (!VideoRcOverride.empty()) {
      std::vector<RcOverride> entries;
      if (!ParseRcOverride(VideoRcOverride, entries))
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
    ctx->intra_dc_precision = IntraDcPrecision - 8;
    if (DoPsnr) ctx->flags |= AV_CODEC_FLAG_PSNR;
    if (DoPass == 1) ctx->flags |= AV_CODEC_FLAG_PASS1;
    if (DoPass == 2) ctx->flags |= AV_CODEC_FLAG_PASS2;
    ApplyDeviceVideoSettings(Device, ctx.get(), codec);
    ApplyContainerVideoTag(oc->oformat, ctx.get(), codec);
  }

  st->time_base = ctx->time_base;
  if (avcodec_parameters_from_context(st->codecpar, ctx.get()) < 0)
    throw FFMpegException("Could not alloc stream");
  OutputCodecs[file_index][stream] = std::move(ctx);
}

void TCustomFFmpeg::NewAudioStream(AVFormatContext* oc) {
  const int file_index = OutputIndexOf(*this, oc);
  AVStream* st = AddStream(oc, file_index);
  if (!st) {
    AudioCodecName.clear();
    AudioLanguage.clear();
    throw FFMpegException("Could not alloc stream");
  }
  const int stream = st->index;
  struct ClearAudioOptions {
    TCustomFFmpeg& e;
    ~ClearAudioOptions() {
      e.AudioDisable = 0;
      e.AudioCodecName.clear();
      e.AudioStreamCopy = 0;
      e.AudioLanguage.clear();
    }
  } clear_options{*this};

  TakeBitstreamFilters(AudioBitstreamFilters, file_index, stream);

  AVCodecID codec_id = AV_CODEC_ID_NONE;
  const AVCodec* codec = nullptr;
  if (!AudioStreamCopy) {
    codec_id = av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_AUDIO);
    codec = avcodec_find_encoder(codec_id);
    if (!AudioCodecName.empty() &&
        !FindCodec(AudioCodecName, AVMEDIA_TYPE_AUDIO, true, codec_id, &codec))
      throw FFMpegException(LastErrorText);
  }
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) throw FFMpegException("Could not alloc stream");
  ctx->codec_type = AVMEDIA_TYPE_AUDIO;
  ctx->thread_count = ThreadCount;
  if (AudioCodecTag) ctx->codec_tag = AudioCodecTag;
  if (oc->oformat->flags & AVFMT_GLOBALHEADER) {
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (auto& defaults = CodecDefaults[AVMEDIA_TYPE_AUDIO])
      defaults->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }

  if (AudioStreamCopy) {
    OutputStreamCopy[file_index][stream] = true;
  } else {
    ctx->codec_id = codec_id;
    ApplyGenericOptions(ctx.get(), CodecDefaults[AVMEDIA_TYPE_AUDIO].get(),
                        AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM);
    if (AudioQScale > -99999.0f) {
      ctx->flags |= AV_CODEC_FLAG_QSCALE;
      ctx->global_quality = static_cast<int>(FF_QP2LAMBDA * AudioQScale);
    }
  }
  av_channel_layout_uninit(&ctx->ch_layout);
  av_channel_layout_default(&ctx->ch_layout, std::max(AudioChannels, 1));
  ctx->sample_rate = AudioSampleRate;
  if (AudioSampleRate > 0) ctx->time_base = AVRational{1, AudioSampleRate};
  if (!AudioStreamCopy) ApplyDeviceAudioSettings(Device, ctx.get());
  if (!AudioStreamCopy && ctx->codec_id == AV_CODEC_ID_AMR_NB && !codec)
    AmrNbEncoder::ConfigureContext(ctx.get());

  if (!AudioLanguage.empty())
    av_dict_set(&st->metadata, "language", AudioLanguage.substr(0, 3).c_str(), 0);

  st->time_base = ctx->time_base;
  if (avcodec_parameters_from_context(st->codecpar, ctx.get()) < 0)
    throw FFMpegException("Could not alloc stream");
  OutputCodecs[file_index][stream] = std::move(ctx);
}

void TCustomFFmpeg::NewSubtitleStream(AVFormatContext* oc) {
  const int file_index = OutputIndexOf(*this, oc);
  AVStream* st = AddStream(oc, file_index);
  if (!st) {
    SubtitleCodecName.clear();
    SubtitleLanguage.clear();
    throw FFMpegException("Could not alloc stream");
  }
  const int stream = st->index;
  struct ClearSubtitleOptions {
    TCustomFFmpeg& e;
    ~ClearSubtitleOptions() {
      e.SubtitleDisable = 0;
      e.SubtitleCodecName.clear();
      e.SubtitleStreamCopy = 0;
      e.SubtitleLanguage.clear();
    }
  } clear_options{*this};

  TakeBitstreamFilters(SubtitleBitstreamFilters, file_index, stream);

  AVCodecID codec_id = AV_CODEC_ID_NONE;
  const AVCodec* codec = nullptr;
  if (!SubtitleStreamCopy &&
      !FindCodec(SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, true, codec_id, &codec))
    throw FFMpegException(LastErrorText);
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) throw FFMpegException("Could not alloc stream");
  ctx->codec_type = AVMEDIA_TYPE_SUBTITLE;
  if (SubtitleStreamCopy) {
    OutputStreamCopy[file_index][stream] = true;
  } else {
    ctx->codec_id = codec_id;
    // Generic options reach subtitle encoders the same way as video and audio encoders.
    ApplyGenericOptions(ctx.get(), CodecDefaults[AVMEDIA_TYPE_SUBTITLE].get(),
                        AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_SUBTITLE_PARAM);
  }
  if (!SubtitleLanguage.empty())
    av_dict_set(&st->metadata, "language", SubtitleLanguage.substr(0, 3).c_str(), 0);

  if (avcodec_parameters_from_context(st->codecpar, ctx.get()) < 0)
    throw FFMpegException("Could not alloc stream");
  OutputCodecs[file_index][stream] = std::move(ctx);
}
