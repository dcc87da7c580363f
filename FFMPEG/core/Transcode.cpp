// The transcode driver: builds the stream model, maps output streams to their sources, opens
// codecs under the process-wide codec lock, writes headers, runs the read loop until an end
// condition holds, then flushes, writes trailers and gives the final report.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "AmrNbEncoder.h"
#include "DeviceLimits.h"
#include "FFmpegException.h"
#include "OutputFiles.h"
#include "SourceTags.h"
#include "SourceTimeline.h"
#include "Transcoder.h"

namespace {

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

}  // namespace

OutputStreamState::~OutputStreamState() {
  if (PassLogFile) std::fclose(PassLogFile);
}

Transcoder::Transcoder(const TRunContext& context)
    : e_(context), opt_(context.Options), Log(context) {}

Transcoder::~Transcoder() {
  scheduler_.reset();  // stops and joins any stage thread still running
  // Decoders are opened and closed under the process-wide codec lock.
  std::lock_guard<std::recursive_mutex> lock(e_.CodecLock);
  for (auto& ist : run_.Inputs) {
    ist->Decoder = nullptr;
    ist->DecoderOwner.reset();
  }
}

void Transcoder::Run() {
  BuildInputTables();
  MapOutputStreams();
  for (auto& ost : run_.Outputs) PrepareOutputStream(*ost);
  if (opt_.Verbosity >= 0) {
    Log(1, "Stream mapping:");
    for (auto& ost : run_.Outputs) {
      const InputStreamState& src = *run_.Inputs[ost->SourceIndex];
      Log(1, "  Stream #%d.%d -> #%d.%d", src.FileIndex, src.Index, ost->FileIndex, ost->Index);
      if (ost->SyncInput != &src)
        Log(1, " [sync #%d.%d]", ost->SyncInput->FileIndex, ost->SyncInput->Index);
    }
  }
  OpenEncoders();
  AlignOutputClocks();
  OpenDecoders();
  // The output streams' parameters are known once their encoders are open.
  for (int i = 0; i < e_.Files.OutputFileCount; ++i)
    av_dump_format(e_.Files.OutputFiles[i].get(), i, e_.Files.OutputFiles[i]->url, 1);
  for (auto& ist : run_.Inputs) {
    ist->Pts = 0;
    ist->NextPts = AV_NOPTS_VALUE;
  }
  CopyMetaData();
  WriteHeaders();

  e_.Stats.TimerStart = av_gettime();
  scheduler_ = std::make_unique<StageScheduler>(e_, Log, run_);
  scheduler_->Run();
  FinishRun();
}

// Steps 1-2: one record per input file and per input stream, in file then stream order.
void Transcoder::BuildInputTables() {
  int first = 0;
  for (int f = 0; f < e_.Files.InputFileCount; ++f) {
    AVFormatContext* ic = e_.Files.InputFiles[f].get();
    InputFileState file;
    file.FirstStream = first;
    file.StreamCount = static_cast<int>(ic->nb_streams);
    first += file.StreamCount;
    run_.Files.push_back(file);
    ic->interrupt_callback = e_.InputInterrupt;
    for (unsigned s = 0; s < ic->nb_streams; ++s) {
      auto ist = std::make_unique<InputStreamState>();
      ist->FileIndex = f;
      ist->Index = static_cast<int>(s);
      ist->Stream = ic->streams[s];
      ist->RateEmu = e_.Files.InputRateEmu[f];
      if (ist->RateEmu) {
        ist->StartWallClock = av_gettime();
        ist->FrameCount = 0;
      }
      run_.Inputs.push_back(std::move(ist));
    }
  }
}

// Steps 3-4: count and check output streams and maps, then choose each output's source.
void Transcoder::MapOutputStreams() {
  int total = 0;
  for (int f = 0; f < e_.Files.OutputFileCount; ++f) {
    AVFormatContext* oc = e_.Files.OutputFiles[f].get();
    if (oc->nb_streams == 0) throw FFMpegException("Output file does not contain any stream");
    total += static_cast<int>(oc->nb_streams);
  }
  if (e_.Files.StreamMapCount > 0 && e_.Files.StreamMapCount != total)
    throw FFMpegException("Number of stream maps must match number of output streams");
  for (int i = 0; i < e_.Files.StreamMapCount; ++i) {
    const auto& m = e_.Files.StreamMaps[i];
    if (m.FileIndex < 0 || m.FileIndex >= e_.Files.InputFileCount || m.StreamIndex < 0 ||
        m.StreamIndex >= run_.Files[m.FileIndex].StreamCount)
      throw FFMpegException(
          Format("Could not find input stream #%d.%d", m.FileIndex, m.StreamIndex));
    if (m.SyncFileIndex < 0 || m.SyncFileIndex >= e_.Files.InputFileCount ||
        m.SyncStreamIndex < 0 || m.SyncStreamIndex >= run_.Files[m.SyncFileIndex].StreamCount)
      throw FFMpegException(
          Format("Could not find sync stream #%d.%d", m.SyncFileIndex, m.SyncStreamIndex));
  }

  int n = 0;
  for (int f = 0; f < e_.Files.OutputFileCount; ++f) {
    AVFormatContext* oc = e_.Files.OutputFiles[f].get();
    for (unsigned s = 0; s < oc->nb_streams; ++s, ++n) {
      auto ost = std::make_unique<OutputStreamState>();
      ost->FileIndex = f;
      ost->Index = static_cast<int>(s);
      ost->Stream = oc->streams[s];
      ost->Encoder = s < kMaxStreamsPerFile ? e_.Files.OutputCodecs[f][s].get() : nullptr;
      if (!ost->Encoder) throw FFMpegException("invalid codec_type of output stream");

      ost->TableIndex = n;
      const int source = ChooseSource(*ost, n);
      if (source < 0) {
        av_dump_format(oc, f, oc->url, 1);
        throw FFMpegException(Format("Could not find input stream matching output stream #%d.%d", f,
                                     static_cast<int>(s)));
      }
      ost->SourceIndex = source;
      run_.Inputs[source]->Discard = false;
      if (e_.Files.StreamMapCount > 0) {
        const auto& m = e_.Files.StreamMaps[n];
        ost->SyncInput =
            run_.Inputs[run_.Files[m.SyncFileIndex].FirstStream + m.SyncStreamIndex].get();
      } else {
        ost->SyncInput = run_.Inputs[source].get();
      }
      run_.Outputs.push_back(std::move(ost));
    }
  }
  // The demuxer need not hand out packets that no output takes.
  for (auto& ist : run_.Inputs)
    if (ist->Discard) ist->Stream->discard = AVDISCARD_ALL;
}

// Step 4: the input stream that feeds OST (the MAP_INDEX-th output stream), -1 when none.
int Transcoder::ChooseSource(const OutputStreamState& ost, int map_index) const {
  const AVMediaType type = ost.Encoder->codec_type;
  AVFormatContext* oc = e_.Files.OutputFiles[ost.FileIndex].get();
  if (e_.Files.StreamMapCount > 0) {
    const auto& m = e_.Files.StreamMaps[map_index];
    const int source = run_.Files[m.FileIndex].FirstStream + m.StreamIndex;
    if (run_.Inputs[source]->Stream->codecpar->codec_type != type) {
      av_dump_format(oc, ost.FileIndex, oc->url, 1);
      throw FFMpegException(Format("Codec type mismatch for mapping #%d.%d -> #%d.%d", m.FileIndex,
                                   m.StreamIndex, ost.FileIndex, ost.Index));
    }
    return source;
  }
  if (opt_.ProgramId != 0) {
    for (int fi = 0; fi < e_.Files.InputFileCount; ++fi) {
      AVFormatContext* ic = e_.Files.InputFiles[fi].get();
      for (unsigned p = 0; p < ic->nb_programs; ++p) {
        const AVProgram* prog = ic->programs[p];
        if (prog->id != opt_.ProgramId) continue;
        for (unsigned k = 0; k < prog->nb_stream_indexes; ++k) {
          const int sidx = static_cast<int>(prog->stream_index[k]);
          if (sidx >= run_.Files[fi].StreamCount) continue;
          const int idx = run_.Files[fi].FirstStream + sidx;
          if (run_.Inputs[idx]->Discard && run_.Inputs[idx]->Stream->codecpar->codec_type == type)
            return idx;
        }
      }
    }
    return -1;
  }
  // A cover picture feeds only a cover stream, and a cover stream only takes one.
  const bool cover = IsAttachedPicture(ost.Stream);
  for (size_t j = 0; j < run_.Inputs.size(); ++j) {
    if (run_.Inputs[j]->Discard && run_.Inputs[j]->Stream->codecpar->codec_type == type &&
        IsAttachedPicture(run_.Inputs[j]->Stream) == cover)
      return static_cast<int>(j);
  }
  // No free stream of this type: share one, the last of the table winning (a cover picture
  // still feeds only a cover stream).
  int source = -1;
  for (size_t j = 0; j < run_.Inputs.size(); ++j)
    if (run_.Inputs[j]->Stream->codecpar->codec_type == type &&
        IsAttachedPicture(run_.Inputs[j]->Stream) == cover)
      source = static_cast<int>(j);
  return source;
}

void Transcoder::PrepareCopy(OutputStreamState& ost, const InputStreamState& ist) {
  AVCodecContext* codec = ost.Encoder;
  const AVCodecParameters* in = ist.Stream->codecpar;
  AVFormatContext* oc = e_.Files.OutputFiles[ost.FileIndex].get();
  AVCodecParameters* par = ost.Stream->codecpar;
  if (avcodec_parameters_copy(par, in) < 0) throw FFMpegException("av_mallocz fail");
  codec->codec_id = in->codec_id;
  codec->codec_type = in->codec_type;
  // Keep the input tag unless the output format has a tag table in which it names no codec
  // while the codec itself has a tag there: then the muxer picks its own.
  par->codec_tag = 0;
  if (codec->codec_tag != 0) {
    par->codec_tag = codec->codec_tag;
  } else {
    const AVCodecTag* const* tags = oc->oformat->codec_tag;
    uint32_t own_tag = 0;
    const bool drop = tags && av_codec_get_id(tags, in->codec_tag) != in->codec_id &&
                      av_codec_get_tag2(tags, in->codec_id, &own_tag);
    if (!drop) par->codec_tag = in->codec_tag;
  }
  ost.Stream->time_base = ist.Stream->time_base;
  codec->time_base = ist.Stream->time_base;
  switch (in->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      if (opt_.AudioVolume != 256)
        throw FFMpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
      if (par->block_align == 1 &&
          (in->codec_id == AV_CODEC_ID_MP3 || in->codec_id == AV_CODEC_ID_AC3))
        par->block_align = 0;
      if (in->codec_id == AV_CODEC_ID_AC3) par->block_align = 0;
      break;
    case AVMEDIA_TYPE_VIDEO:
      if (e_.OnCustomHook)
        throw FFMpegException(
            "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
      if (e_.Stats.UsingFrameHook)
        throw FFMpegException("-vcodec copy and -vhook are incompatible (frames are not decoded)");
      ost.Stream->sample_aspect_ratio = ist.Stream->sample_aspect_ratio;
      ost.Stream->avg_frame_rate = ist.Stream->avg_frame_rate;
      ost.Stream->r_frame_rate = ist.Stream->r_frame_rate;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      break;
    default:
      throw FFMpegException("invalid codec_type of output stream");
  }
}

// Crop, pad and scale of a picture output: what it needs besides its encoder.
void Transcoder::PrepareVideoOutput(OutputStreamState& ost, const AVCodecParameters* icodec) {
  const AVCodecContext* codec = ost.Encoder;
  ost.Fit.VideoCrop = (opt_.CropLeft + opt_.CropRight + opt_.CropTop + opt_.CropBottom) != 0;
  ost.Fit.VideoPad = (opt_.PadLeft + opt_.PadRight + opt_.PadTop + opt_.PadBottom) != 0;
  ost.Fit.VideoResample = !(codec->width == icodec->width - (opt_.CropLeft + opt_.CropRight) +
                                                (opt_.PadLeft + opt_.PadRight) &&
                            codec->height == icodec->height - (opt_.CropTop + opt_.CropBottom) +
                                                 (opt_.PadTop + opt_.PadBottom) &&
                            codec->pix_fmt == icodec->format);
  if (ost.Fit.VideoCrop) {
    ost.Fit.CropTop = opt_.CropTop;
    ost.Fit.CropLeft = opt_.CropLeft;
    ost.Fit.CropBottom = opt_.CropBottom;
    ost.Fit.CropRight = opt_.CropRight;
  }
  if (ost.Fit.VideoPad) {
    ost.Fit.PadTop = opt_.PadTop;
    ost.Fit.PadBottom = opt_.PadBottom;
    ost.Fit.PadLeft = opt_.PadLeft;
    ost.Fit.PadRight = opt_.PadRight;
  }
  if (ost.Fit.VideoPad || ost.Fit.VideoResample) {
    ost.Fit.TempPicture = NewPicture(codec->pix_fmt, codec->width, codec->height);
    if (!ost.Fit.TempPicture)
      throw FFMpegException(ost.Fit.VideoResample ? "Cannot allocate temp picture, check pix fmt"
                                                  : "avpicture_alloc fail");
  }
  if (!ost.Fit.VideoResample) return;
  int64_t flags = e_.Stats.SwsFlags;
  if (e_.ScalerDefaults && av_opt_get_int(e_.ScalerDefaults, "sws_flags", 0, &flags) >= 0)
    e_.Stats.SwsFlags = static_cast<int>(flags);
  const int src_w = icodec->width - opt_.CropLeft - opt_.CropRight;
  const int src_h = icodec->height - opt_.CropTop - opt_.CropBottom;
  const int dst_w = codec->width - opt_.PadLeft - opt_.PadRight;
  const int dst_h = codec->height - opt_.PadTop - opt_.PadBottom;
  const AVPixelFormat src_fmt = static_cast<AVPixelFormat>(icodec->format);
  // A source whose picture size or format the probe could not read (a damaged or unknown
  // stream) gets its scaler from the first decoded picture instead; if none decodes, the run
  // ends with an empty video stream, which is a failure.
  if (icodec->width > 0 && icodec->height > 0 && src_fmt != AV_PIX_FMT_NONE) {
    std::string why;
    ost.Fit.ScaleContext.reset(CheckedScaler(nullptr, src_w, src_h, src_fmt, dst_w, dst_h,
                                             codec->pix_fmt, e_.Stats.SwsFlags, &why));
    if (!ost.Fit.ScaleContext) throw FFMpegException("Cannot get resampling context: " + why);
  }
  ost.Fit.ScaleSourceHeight = src_h;
}

// Step 5: per output stream, copy or encode, and what the picture path needs.
void Transcoder::PrepareOutputStream(OutputStreamState& ost) {
  InputStreamState& ist = *run_.Inputs[ost.SourceIndex];
  AVCodecContext* codec = ost.Encoder;
  const AVCodecParameters* icodec = ist.Stream->codecpar;

  const AVDictionaryEntry* lang = av_dict_get(ost.Stream->metadata, "language", nullptr, 0);
  if (!lang) {
    const AVDictionaryEntry* src = av_dict_get(ist.Stream->metadata, "language", nullptr, 0);
    if (src) {
      char three[4] = {};
      av_strlcpy(three, src->value, sizeof three);
      av_dict_set(&ost.Stream->metadata, "language", three, 0);
    }
  }
  ost.Stream->disposition = ist.Stream->disposition;

  if (e_.Files.OutputStreamCopy[ost.FileIndex][ost.Index]) {
    PrepareCopy(ost, ist);
    return;
  }

  switch (codec->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      PrepareVideoOutput(ost, icodec);
      break;
    case AVMEDIA_TYPE_AUDIO:
      ost.Sound.Fifo.reset(
          av_audio_fifo_alloc(AV_SAMPLE_FMT_S16, std::max(codec->ch_layout.nb_channels, 1), 1024));
      if (!ost.Sound.Fifo) throw FFMpegException("av_fifo_init fail");
      ost.Sound.AudioResample =
          codec->sample_rate != icodec->sample_rate || opt_.AudioSyncMethod > 1;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      break;
    default:
      throw FFMpegException("invalid codec_type of output stream");
  }
  ost.EncodingNeeded = true;
  ist.DecodingNeeded = true;
  if (codec->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)) OpenPassLog(ost);
}

// Two-pass statistics: pass 1 writes NAME-N.log, pass 2 hands its whole text to the encoder.
void Transcoder::OpenPassLog(OutputStreamState& ost) {
  std::string name =
      opt_.PassLogFileName.empty() ? std::string("ffmpeg2pass") : opt_.PassLogFileName;
  name.append("-").append(std::to_string(ost.TableIndex)).append(".log");
  if (name.size() > 1023) name.resize(1023);
  AVCodecContext* codec = ost.Encoder;
  if (codec->flags & AV_CODEC_FLAG_PASS1) {
    ost.PassLogFile = std::fopen(name.c_str(), "w");
    if (!ost.PassLogFile) throw FFMpegException("creat file fail: " + name);
    return;
  }
  std::FILE* f = std::fopen(name.c_str(), "rb");
  if (!f) throw FFMpegException("creat open fail: " + name);
  std::string text;
  char chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, got);
  std::fclose(f);
  char* buf = static_cast<char*>(av_malloc(text.size() + 1));
  if (!buf) throw FFMpegException("Could not allocate log buffer");
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = 0;
  av_freep(&codec->stats_in);
  codec->stats_in = buf;
}

namespace {

// The encoder's sample format: signed 16-bit when it takes it, else its first format.
AVSampleFormat ChooseSampleFormat(const AVCodec* codec, AVSampleFormat wanted) {
  if (!codec->sample_fmts) return wanted == AV_SAMPLE_FMT_NONE ? AV_SAMPLE_FMT_S16 : wanted;
  for (const AVSampleFormat* p = codec->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p)
    if (*p == wanted) return wanted;
  for (const AVSampleFormat* p = codec->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p)
    if (*p == AV_SAMPLE_FMT_S16) return *p;
  return codec->sample_fmts[0];
}

// True when the source sound has more than 16 bits a sample: its decoder says so, or it is
// PCM stored in wider samples (24- and 32-bit integers, floats). Lossy sources, whose decoders
// give floats of no set precision, are not counted.
bool HasWideSamples(const AVCodecParameters* par) {
  if (par->bits_per_raw_sample > 16) return true;
  const AVCodecDescriptor* desc = avcodec_descriptor_get(par->codec_id);
  const bool pcm =
      par->codec_id >= AV_CODEC_ID_FIRST_AUDIO && par->codec_id < AV_CODEC_ID_ADPCM_IMA_QT;
  if (!pcm || !desc || !(desc->props & AV_CODEC_PROP_LOSSLESS)) return false;
  return par->bits_per_coded_sample > 16 ||
         av_get_bytes_per_sample(static_cast<AVSampleFormat>(par->format)) > 2;
}

// A sample rate the encoder takes: the requested one, or its nearest listed rate.
int ChooseSampleRate(const AVCodec* codec, int wanted) {
  if (!codec->supported_samplerates) return wanted;
  int best = codec->supported_samplerates[0];
  for (const int* p = codec->supported_samplerates; *p; ++p) {
    if (*p == wanted) return wanted;
    if (std::abs(*p - wanted) < std::abs(best - wanted)) best = *p;
  }
  return best;
}

}  // namespace

// Step 9: open every encoder; the codec lock is held only around the open itself.
void Transcoder::OpenEncoders() {
  for (auto& ostp : run_.Outputs) {
    OutputStreamState& ost = *ostp;
    if (!ost.EncodingNeeded) continue;
    AVCodecContext* codec = ost.Encoder;
    if (AmrNbEncoder::UsesOwnEncoder(codec)) {
      ost.Amr = std::make_unique<AmrNbEncoder>(codec->bit_rate);
      codec->sample_fmt = AV_SAMPLE_FMT_S16;
      ost.CodecOpened = true;
    } else {
      OpenEncoder(ost);
    }
    e_.Stats.ExtraBytes += codec->extradata_size;
    if (avcodec_parameters_from_context(ost.Stream->codecpar, codec) < 0)
      throw FFMpegException("av_mallocz fail");
    ost.Stream->time_base = codec->time_base;
    if (codec->codec_type == AVMEDIA_TYPE_VIDEO) {
      ost.Stream->avg_frame_rate = codec->framerate;
      ost.Stream->sample_aspect_ratio = codec->sample_aspect_ratio;
      ost.Fit.EncodeFrame.reset(av_frame_alloc());
      if (!ost.Fit.EncodeFrame) throw FFMpegException("av_mallocz fail");
    } else if (codec->codec_type == AVMEDIA_TYPE_AUDIO) {
      SetUpAudioOutput(ost);
    }
  }
}

// A file's pictures go out on a grid of whole picture durations, so its first picture lands on
// the grid point nearest to its time: when the picture starts part of a picture duration away
// from a grid point (a video that starts 46 ms after its sound), all pictures would be that far
// off their sound. The file's output clock is moved by that part instead, for its pictures and
// its sound alike: the sound then starts a little later (silence or a later start time), or
// its first moments before the clock's start are cut. Only files whose sound is encoded
// (a copied stream keeps its own times) and jobs that start at the beginning are moved.
void Transcoder::AlignOutputClocks() {
  if (opt_.StartTimeUs != 0) return;
  for (int f = 0; f < e_.Files.OutputFileCount; ++f) {
    const OutputStreamState* video = nullptr;
    bool sound = false, copied = false;
    for (const auto& ost : run_.Outputs) {
      if (ost->FileIndex != f) continue;
      const AVMediaType type = ost->Encoder->codec_type;
      if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) continue;
      if (!ost->EncodingNeeded) copied = true;
      if (type == AVMEDIA_TYPE_AUDIO) sound = true;
      if (type == AVMEDIA_TYPE_VIDEO && ost->EncodingNeeded && !video) video = ost.get();
    }
    if (!video || !sound || copied) continue;
    const InputStreamState& ist = *video->SyncInput;
    const double picture_s = av_q2d(video->Encoder->time_base);
    if (ist.Stream->start_time == AV_NOPTS_VALUE || !(picture_s > 0)) continue;
    const int64_t start_us =
        av_rescale_q(ist.Stream->start_time, ist.Stream->time_base, AV_TIME_BASE_Q) +
        e_.Files.InputTsOffset[ist.FileIndex];
    const double start = static_cast<double>(start_us) / 1000000.0;
    const double off_grid = start - std::round(start / picture_s) * picture_s;
    const int64_t shift_us = std::llround(off_grid * 1000000.0);
    for (auto& ost : run_.Outputs)
      if (ost->FileIndex == f) ost->ClockShiftUs = shift_us;
    if (shift_us != 0 && opt_.Verbosity > 1)
      Log(1, "output #%d: clock moved by %" PRId64 " us to its first picture", f, shift_us);
  }
}

// The library encoder of OST, with the sample format, rate and layout it takes.
void Transcoder::OpenEncoder(OutputStreamState& ost) {
  AVCodecContext* codec = ost.Encoder;
  const AVCodec* enc = codec->codec ? codec->codec : avcodec_find_encoder(codec->codec_id);
  if (!enc || !av_codec_is_encoder(enc))
    throw FFMpegException(
        Format("Unsupported codec for output stream #%d.%d", ost.FileIndex, ost.Index));
  if (codec->codec_type == AVMEDIA_TYPE_AUDIO) {
    // The source's rate is taken over when no rate was asked for; a source whose rate the
    // probe could not read leaves none.
    if (codec->sample_rate <= 0)
      throw FFMpegException(
          Format("Unsupported sample rate %d for output stream #%d.%d (the source's is unknown)",
                 codec->sample_rate, ost.FileIndex, ost.Index));
    // FLAC keeps a source's 24 bits: its sound path then carries 32-bit samples, of which
    // the encoder keeps the upper 24. Every other output stays on the 16-bit path.
    const AVCodecParameters* in = run_.Inputs[ost.SourceIndex]->Stream->codecpar;
    const bool wide = enc->id == AV_CODEC_ID_FLAC && HasWideSamples(in);
    if (wide) {
      codec->sample_fmt = AV_SAMPLE_FMT_S32;
      codec->bits_per_raw_sample = 24;
    }
    codec->sample_fmt = ChooseSampleFormat(enc, codec->sample_fmt);
    if (wide && codec->sample_fmt == AV_SAMPLE_FMT_S32) {
      ost.Sound.SampleFormat = AV_SAMPLE_FMT_S32;
      ost.Sound.SampleBytes = 4;
    }
    codec->sample_rate = ChooseSampleRate(enc, codec->sample_rate);
    if (codec->ch_layout.nb_channels <= 0 || codec->ch_layout.order != AV_CHANNEL_ORDER_NATIVE) {
      const int n = codec->ch_layout.nb_channels > 0 ? codec->ch_layout.nb_channels : 2;
      av_channel_layout_uninit(&codec->ch_layout);
      av_channel_layout_default(&codec->ch_layout, n);
    }
    codec->time_base = AVRational{1, codec->sample_rate};
  }
  if (codec->codec_type == AVMEDIA_TYPE_VIDEO && codec->framerate.num == 0 &&
      codec->time_base.num > 0)
    codec->framerate = av_inv_q(codec->time_base);
  if (opt_.ThreadCount != 1 &&
      (codec->codec_type == AVMEDIA_TYPE_VIDEO || codec->codec_type == AVMEDIA_TYPE_AUDIO))
    codec->thread_count = opt_.ThreadCount;
  // The parameters, named in a failure (a damaged source can hand over any of them); taken
  // now, since a failed open resets some of them.
  std::string params;
  if (codec->codec_type == AVMEDIA_TYPE_AUDIO)
    params = Format(" (%s, %d channels at %d Hz)", enc->name, codec->ch_layout.nb_channels,
                    codec->sample_rate);
  else if (codec->codec_type == AVMEDIA_TYPE_VIDEO)
    params = Format(" (%s, %dx%d)", enc->name, codec->width, codec->height);
  int ret;
  {
    std::lock_guard<std::recursive_mutex> lock(e_.CodecLock);
    ret = avcodec_open2(codec, enc, nullptr);
  }
  if (ret < 0)
    throw FFMpegException(WithLibraryText(Format("Error while opening codec for output stream "
                                                 "#%d.%d - maybe incorrect parameters such as "
                                                 "bit_rate, rate, width or height",
                                                 ost.FileIndex, ost.Index),
                                          ret) +
                              params,
                          ret);
  DeclareXvidLevel(codec);
  ost.CodecOpened = true;
}

// What a sound output needs besides its encoder: the frame it fills, the FIFO of samples at
// the encoder's channel count, and whether the resampler and the start alignment are needed.
void Transcoder::SetUpAudioOutput(OutputStreamState& ost) {
  const AVCodecContext* codec = ost.Encoder;
  ost.Sound.AudioFrame.reset(av_frame_alloc());
  if (!ost.Sound.AudioFrame) throw FFMpegException("av_mallocz fail");
  // Channel conversion needs the resampler even when the rates match.
  const AVCodecParameters* in = run_.Inputs[ost.SourceIndex]->Stream->codecpar;
  if (in->ch_layout.nb_channels != codec->ch_layout.nb_channels) ost.Sound.AudioResample = true;
  if (codec->sample_rate != in->sample_rate) ost.Sound.AudioResample = true;
  ost.Sound.AlignAudioStart = opt_.AudioSyncMethod == 0 &&
                              KeepsNoStreamStartTimes(e_.Files.OutputFiles[ost.FileIndex]->oformat);
  ost.Sound.Fifo.reset(
      av_audio_fifo_alloc(ost.Sound.SampleFormat, codec->ch_layout.nb_channels, 1024));
  if (!ost.Sound.Fifo) throw FFMpegException("av_fifo_init fail");
}

// Step 10: open the decoder of every input stream that feeds an encoder.
void Transcoder::OpenDecoders() {
  for (auto& istp : run_.Inputs) {
    InputStreamState& ist = *istp;
    if (!ist.DecodingNeeded) continue;
    const AVCodecParameters* par = ist.Stream->codecpar;
    const AVCodec* dec = avcodec_find_decoder(par->codec_id);
    if (!dec) {
      char tag[AV_FOURCC_MAX_STRING_SIZE] = {};
      av_fourcc_make_string(tag, par->codec_tag);
      throw FFMpegException(Format("Unsupported codec (id=%d, tag %s) for input stream #%d.%d",
                                   static_cast<int>(par->codec_id), tag, ist.FileIndex, ist.Index));
    }
    ist.DecoderOwner.reset(avcodec_alloc_context3(dec));
    if (!ist.DecoderOwner || avcodec_parameters_to_context(ist.DecoderOwner.get(), par) < 0)
      throw FFMpegException("av_mallocz fail");
    AVCodecContext* ctx = ist.DecoderOwner.get();
    ctx->pkt_timebase = ist.Stream->time_base;
    ctx->thread_count = opt_.ThreadCount;
    const int type_flag = par->codec_type == AVMEDIA_TYPE_VIDEO   ? AV_OPT_FLAG_VIDEO_PARAM
                          : par->codec_type == AVMEDIA_TYPE_AUDIO ? AV_OPT_FLAG_AUDIO_PARAM
                                                                  : AV_OPT_FLAG_SUBTITLE_PARAM;
    if (par->codec_type >= 0 && par->codec_type < kCodecTypeCount &&
        e_.CodecDefaults[par->codec_type])
      e_.ApplyGenericOptions(ctx, e_.CodecDefaults[par->codec_type].get(),
                             AV_OPT_FLAG_DECODING_PARAM | type_flag);
    int ret;
    {
      std::lock_guard<std::recursive_mutex> lock(e_.CodecLock);
      ret = avcodec_open2(ctx, dec, nullptr);
    }
    if (ret < 0)
      throw FFMpegException::FromLibrary(
          Format("Error while opening codec for input stream #%d.%d", ist.FileIndex, ist.Index),
          ret);
    ist.Decoder = ctx;
    ist.Frame.reset(av_frame_alloc());
    if (!ist.Frame) throw FFMpegException("av_mallocz fail");
    if (const TOrientation o = OrientationOf(ist.Stream); o != TOrientation::kUpright)
      ist.Upright = std::make_unique<TUprightStep>(o);
  }
}

// Step 12: meta-data maps copy the tags of an input file into an output file.
void Transcoder::CopyMetaData() {
  static const char* const kTags[] = {"title", "artist", "author", "copyright", "comment",
                                      "album", "date",   "year",   "track",     "genre"};
  for (int i = 0; i < e_.Files.MetaDataMapCount; ++i) {
    const auto& m = e_.Files.MetaDataMaps[i];
    if (m.OutFile < 0 || m.OutFile >= e_.Files.OutputFileCount)
      throw FFMpegException(Format("Invalid output file index %d map_meta_data(%d,%d)", m.OutFile,
                                   m.OutFile, m.InFile));
    if (m.InFile < 0 || m.InFile >= e_.Files.InputFileCount)
      throw FFMpegException(Format("Invalid input file index %d map_meta_data(%d,%d)", m.InFile,
                                   m.OutFile, m.InFile));
    AVFormatContext* in = e_.Files.InputFiles[m.InFile].get();
    AVFormatContext* out = e_.Files.OutputFiles[m.OutFile].get();
    for (const char* key : kTags) {
      const AVDictionaryEntry* t = av_dict_get(in->metadata, key, nullptr, 0);
      if (t) av_dict_set(&out->metadata, key, t->value, 0);
    }
  }
}

// Step 13: headers.
void Transcoder::WriteHeaders() {
  bool all_rtp = e_.Files.OutputFileCount > 0;
  for (int i = 0; i < e_.Files.OutputFileCount; ++i) {
    AVFormatContext* oc = e_.Files.OutputFiles[i].get();
    const int ret = avformat_write_header(oc, nullptr);
    if (ret < 0)
      throw FFMpegException::FromLibrary(Format("Could not write header for output file #%d", i),
                                         ret);
    if (std::strcmp(oc->oformat->name, "rtp") != 0) all_rtp = false;
  }
  if (all_rtp && e_.HasLog) {
    std::vector<AVFormatContext*> list;
    for (int i = 0; i < e_.Files.OutputFileCount; ++i)
      list.push_back(e_.Files.OutputFiles[i].get());
    char sdp[2048];
    if (av_sdp_create(list.data(), static_cast<int>(list.size()), sdp, sizeof sdp) >= 0)
      Log(1, "SDP: %s", sdp);
  }
}

namespace {

// Seconds with one decimal, without a trailing ".0" ("3.1", "10").
std::string Seconds(int64_t us) {
  std::string text = Format("%.1f", static_cast<double>(us) / 1000000.0);
  if (text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0) text.resize(text.size() - 2);
  return text;
}

// The duration IC's headers promise, in microseconds (0 when unknown): that of its sound and
// pictures (see MediaSpanOf), unless it is only guessed from the bit rate, or the picture count
// of a video stream's header at its frame rate when that is longer. An AVI cut short has lost its
// index: the library takes the duration of what is left, while its header still counts every
// picture.
int64_t PromisedDuration(const AVFormatContext* ic) {
  int64_t known_us = 0;
  const int64_t media_us = MediaSpanOf(ic).DurationUs;
  if (media_us != AV_NOPTS_VALUE && media_us > 0 &&
      ic->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE)
    known_us = media_us;
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVStream* st = ic->streams[i];
    const AVRational rate = st->avg_frame_rate;
    if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO || st->nb_frames <= 0 || rate.num <= 0 ||
        rate.den <= 0 || (st->disposition & AV_DISPOSITION_ATTACHED_PIC))
      continue;
    known_us = std::max(known_us, av_rescale_q(st->nb_frames, av_inv_q(rate), AV_TIME_BASE_Q));
  }
  return known_us;
}

}  // namespace

// Steps 19-23: trailers, final report, close codecs (the stages have flushed the decoders and
// encoders).
void Transcoder::FinishRun() {
  e_.Stats.FramesDropped = 0;
  e_.Stats.FramesDuplicated = 0;
  for (const auto& ost : run_.Outputs) {
    e_.Stats.FramesDropped += ost->FramesDropped;
    e_.Stats.FramesDuplicated += ost->FramesDuplicated;
  }
  for (int i = 0; i < e_.Files.OutputFileCount; ++i) {
    AVFormatContext* oc = e_.Files.OutputFiles[i].get();
    const int ret = av_write_trailer(oc);
    if (ret < 0)
      throw FFMpegException(OutputWriteErrorText(e_.Files, i, "av_write_trailer()", ret), ret);
    // The writer keeps its last bytes buffered and remembers a failed write (a full disk, a
    // removed folder on some file systems) in the context: a file is finished only when
    // every byte reached the system.
    if (oc->pb) {
      avio_flush(oc->pb);
      if (oc->pb->error < 0)
        throw FFMpegException(
            OutputWriteErrorText(e_.Files, i, Format("Could not write output file #%d", i),
                                 oc->pb->error),
            oc->pb->error);
    }
    DeclareH263Level(oc);
  }
  scheduler_->Mux().PrintReport(true);
  CloseCodecs();
  const bool stopped = e_.State.AbortRequested.load();
  if (!stopped) {
    CheckOutputsHoldMedia();
    NoteShortSource();
    NoteUndecodedPictures();
    NoteTimelineJumps();
    if (opt_.CheckOutput) PlanOutputChecks();
  }
  e_.State.Finished = !stopped;
}

// What each output file of a finished run should hold when it is read back: its streams as
// the muxer took them, each with the length the run converted of its source, and the PSNR
// its first picture encoder measured.
void Transcoder::PlanOutputChecks() {
  e_.Stats.CheckPlans.clear();
  for (int i = 0; i < e_.Files.OutputFileCount; ++i) {
    const AVFormatContext* oc = e_.Files.OutputFiles[i].get();
    if (e_.Files.OutputPartPaths[i].empty() || !oc) continue;  // no file of our own to read
    TOutputExpectation plan;
    plan.Path = e_.Files.OutputPartPaths[i];
    plan.Device = opt_.Device;
    plan.Streams.resize(oc->nb_streams);
    for (unsigned k = 0; k < oc->nb_streams; ++k) {
      plan.Streams[k].Type = oc->streams[k]->codecpar->codec_type;
      plan.Streams[k].AttachedPicture = oc->streams[k]->disposition & AV_DISPOSITION_ATTACHED_PIC;
    }
    for (const auto& ostp : run_.Outputs) {
      const OutputStreamState& ost = *ostp;
      if (ost.FileIndex != i || ost.Index < 0 || static_cast<unsigned>(ost.Index) >= oc->nb_streams)
        continue;
      plan.Streams[static_cast<size_t>(ost.Index)].DurationUs = ConvertedLengthUs(ost);
      if (plan.PsnrDb < 0 && ost.EncodingNeeded && ost.Encoder->codec_type == AVMEDIA_TYPE_VIDEO)
        plan.PsnrDb = scheduler_->Mux().EncodedPsnr(ost.TableIndex);
    }
    e_.Stats.CheckPlans.push_back(std::move(plan));
  }
}

// How long OST's part of the output should last, from the output's start: its source stream's
// end (or the source's, where the stream states none; no further than the reader got, as a
// source cut short is noted by itself) less the media's start and the job's start offset,
// within the job's duration limit. 0 (not compared) where it cannot be known: no duration, or
// options that end streams early or repeat them (frame limits, "shortest", a size limit,
// looping).
int64_t Transcoder::ConvertedLengthUs(const OutputStreamState& ost) const {
  const AVMediaType type = ost.Encoder->codec_type;
  if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO) return 0;
  if (opt_.MaxFrames[type] != INT_MAX || opt_.Shortest || opt_.LimitFileSize > 0 ||
      opt_.LoopInput || opt_.LoopOutput >= 0)
    return 0;
  const InputStreamState& ist = *run_.Inputs[ost.SourceIndex];
  const AVFormatContext* ic = e_.Files.InputFiles[ist.FileIndex].get();
  const AVStream* st = ic->streams[ist.Index];
  // A file that states no start (WAV) starts at 0.
  const TMediaSpan span = MediaSpanOf(ic);
  const int64_t start = span.StartUs != AV_NOPTS_VALUE ? span.StartUs : 0;
  int64_t end = AV_NOPTS_VALUE;
  if (st->duration > 0 && st->duration != AV_NOPTS_VALUE)
    end = (st->start_time != AV_NOPTS_VALUE
               ? av_rescale_q(st->start_time, st->time_base, AV_TIME_BASE_Q)
               : start) +
          av_rescale_q(st->duration, st->time_base, AV_TIME_BASE_Q);
  else if (span.DurationUs != AV_NOPTS_VALUE && span.DurationUs > 0)
    end = start + span.DurationUs;
  if (end == AV_NOPTS_VALUE) return 0;
  const InputFileState& file = run_.Files[static_cast<size_t>(ist.FileIndex)];
  if (file.EofReached && file.ReachedUs != AV_NOPTS_VALUE)
    end = std::min(end, (ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0) + file.ReachedUs);
  int64_t length = end - start - opt_.StartTimeUs;
  if (opt_.RecordingTimeUs != std::numeric_limits<int64_t>::max())
    length = std::min(length, opt_.RecordingTimeUs);
  return std::max<int64_t>(length, 0);
}

// A finished run must have given every picture and sound stream of its outputs something; a
// stream left empty means its source could not be decoded (damaged data, too little memory)
// and the file is not the conversion it claims to be.
void Transcoder::CheckOutputsHoldMedia() const {
  for (const auto& ostp : run_.Outputs) {
    const OutputStreamState& ost = *ostp;
    const AVMediaType type = ost.Encoder->codec_type;
    if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) continue;
    // A first pass gathers statistics; VP9 gives no picture for them.
    if (ost.Encoder->flags & AV_CODEC_FLAG_PASS1) continue;
    if (scheduler_->Mux().PacketsWritten(ost.TableIndex) > 0 || opt_.MaxFrames[type] <= 0) continue;
    const bool video = type == AVMEDIA_TYPE_VIDEO;
    const InputStreamState& ist = *run_.Inputs[ost.SourceIndex];
    std::string text = Format("Output stream #%d.%d holds no %s", ost.FileIndex, ost.Index,
                              video ? "pictures" : "sound");
    if (ost.EncodingNeeded && ist.FramesDecoded == 0) {
      std::string cause =
          Format("none could be decoded from input stream #%d.%d", ist.FileIndex, ist.Index);
      if (ist.LastDecodeError < 0) cause = WithLibraryText(cause, ist.LastDecodeError);
      text += ": " + cause;
    } else if (!ost.EncodingNeeded) {
      text += Format(": input stream #%d.%d gave no packet to copy", ist.FileIndex, ist.Index);
    }
    throw FFMpegException(text);
  }
}

// A source that ends well before its known duration (a cut download, a read error) is
// converted as far as it goes; the run notes it for the user. "Well before" is more than one
// second and more than 5% short, so rounding and trailing gaps in a file's index pass. A
// duration guessed from the bit rate is based on the file's own size and cannot tell.
void Transcoder::NoteShortSource() {
  if (!scheduler_->InputsEnded()) return;
  for (size_t f = 0; f < run_.Files.size(); ++f) {
    const InputFileState& file = run_.Files[f];
    const AVFormatContext* ic = e_.Files.InputFiles[f].get();
    if (!file.EofReached || file.ReachedUs == AV_NOPTS_VALUE) continue;
    const int64_t known_us = PromisedDuration(ic);
    if (known_us <= 0) continue;
    const int64_t reached = std::max<int64_t>(file.ReachedUs, 0);
    if (reached >= known_us) continue;
    const int64_t missing = known_us - reached;
    if (missing <= 1000000 || missing * 20 <= known_us) continue;
    std::string text =
        "the source ended at " + Seconds(reached) + " s of " + Seconds(known_us) + " s";
    if (file.ReadError < 0 && file.ReadError != AVERROR_EOF)
      text = WithLibraryText(text + " (read error", file.ReadError) + ")";
    e_.State.RunWarning = text;
    return;
  }
}

// Pictures of a converted source that could not be decoded (damaged data, too little memory
// for a picture) are missing from the output: a finished run says how many.
void Transcoder::NoteUndecodedPictures() {
  int64_t undecoded = 0;
  for (const auto& ostp : run_.Outputs) {
    const OutputStreamState& ost = *ostp;
    if (!ost.EncodingNeeded || ost.Encoder->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    undecoded = std::max(undecoded, run_.Inputs[ost.SourceIndex]->PacketsUndecoded);
  }
  if (undecoded == 0) return;
  AddRunWarning(std::to_string(undecoded) + (undecoded == 1 ? " picture" : " pictures") +
                " could not be decoded");
}

// Time stamps that jumped far ahead or back were closed up so that the output does not fill
// hours with one repeated picture (or lose them): a finished run says the timeline was mended.
void Transcoder::NoteTimelineJumps() {
  int jumps = 0;
  for (const InputFileState& file : run_.Files) jumps += file.TimelineJumpsClosed;
  if (jumps == 0) return;
  AddRunWarning(
      jumps == 1 ? std::string("the source's time stamps jumped once; the gap was closed")
                 : Format("the source's time stamps jumped %d times; the gaps were closed", jumps));
}

void Transcoder::AddRunWarning(const std::string& text) {
  std::string& warning = e_.State.RunWarning;
  warning = warning.empty() ? text : warning + "; " + text;
}

void Transcoder::CloseCodecs() {
  for (auto& ost : run_.Outputs) {
    if (!ost->EncodingNeeded || !ost->CodecOpened) continue;
    av_freep(&ost->Encoder->stats_in);
    ost->Amr.reset();
    ost->CodecOpened = false;
  }
  std::lock_guard<std::recursive_mutex> lock(e_.CodecLock);
  for (auto& ist : run_.Inputs) {
    ist->Decoder = nullptr;
    ist->DecoderOwner.reset();
  }
}
