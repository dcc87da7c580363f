#include "Translation.h"

#include "FormatCatalogue.h"
#include "MainSettings.h"
#include "QualityLevels.h"
#include "TextRules.h"
#include "VolumeLevels.h"

namespace {

bool IsAudioExtension(const std::string& extension) {
  const std::string lower = LowerCase(extension);
  return lower == "aac" || lower == "mp3" || lower == "m4a";
}

// Bit-rate and sample-rate texts go through the integer conversion last, in this order, so a
// bad text stops the translation after the codec and size fields were written.
void ConvertRates(const std::string& video_bitrate, const std::string& audio_bitrate,
                  const std::string& sample_rate, TOutputOptions& options) {
  options.VideoBitrate = ParseInteger(video_bitrate);
  options.AudioBitrate = ParseInteger(audio_bitrate);
  options.AudioSampleRate = ParseInteger(sample_rate);
}

void CommonTranslation(const TMainSettings& s, TOutputOptions& options) {
  const std::string video_bitrate = KiloRule(s.ComboVideoBitrate.Text());
  const std::string& audio_text = s.ComboAudioBitrate.Text();
  const std::string audio_bitrate = audio_text.find("Kbps") != std::string::npos
                                        ? KiloRule(audio_text)
                                        : LeadingNumber(audio_text);
  const std::string sample_rate = LeadingNumber(s.ComboSamplingRate.Text());

  options.VideoCodec = VideoCodecName(s.ComboVideoCodec.Text());
  options.AudioCodec = AudioCodecName(s.ComboAudioCodec.Text());
  // "Original Video Size" leaves the size unset so the engine keeps the source size.
  if (s.ComboVideoSize.Text() != "Original Video Size") {
    options.FrameSize = FrameSizeRule(s.ComboVideoSize.Text());
  }
  options.AudioChannels = s.ComboAudioChannels.Text() == "Stereo" ? 2 : 1;
  if (IsAudioExtension(s.OutputExtension)) options.DisableVideo = true;
  ConvertRates(video_bitrate, audio_bitrate, sample_rate, options);
}

// The quality level's number of the selected video quality; Normal's when none is selected.
int ConstantQuality(const TMainSettings& s, const TQualityRow& row) {
  const int level = s.ComboVideoQuality.ItemIndex();
  return row.ConstantQuality[level >= 0 && level < 5 ? level : kNormalQualityIndex];
}

int StereoOrMono(const TMainSettings& s) {
  return s.ComboAudioChannels.Text() == "Stereo" ? 2 : 1;
}

// Constant quality video: the video bit-rate item is the rate cap that no second of video
// exceeds (the engine sizes the buffer). "Original" size and frame rate keep the source's
// (the frame rate is left empty by the frame-rate rule).
void ConstantQualityTranslation(const TMainSettings& s, const TQualityRow& row,
                                TOutputOptions& options) {
  options.VideoCodec = VideoCodecName(s.ComboVideoCodec.Text());
  options.AudioCodec = AudioCodecName(s.ComboAudioCodec.Text());
  if (s.ComboVideoSize.Text() != "Original Video Size") {
    options.FrameSize = FrameSizeRule(s.ComboVideoSize.Text());
  }
  options.AudioChannels = StereoOrMono(s);
  options.VideoQuality = ConstantQuality(s, row);
  ConvertRates(KiloRule(s.ComboVideoBitrate.Text()), KiloRule(s.ComboAudioBitrate.Text()),
               LeadingNumber(s.ComboSamplingRate.Text()), options);
  options.VideoMaxRate = options.VideoBitrate;
}

// Sound only at a bit rate.
void SoundTranslation(const TMainSettings& s, TOutputOptions& options) {
  options.AudioCodec = AudioCodecName(s.ComboAudioCodec.Text());
  options.AudioChannels = StereoOrMono(s);
  options.DisableVideo = true;
  options.AudioBitrate = ParseInteger(KiloRule(s.ComboAudioBitrate.Text()));
  options.AudioSampleRate = ParseInteger(LeadingNumber(s.ComboSamplingRate.Text()));
}

// Lossless sound: the source's sample rate and, unless "Mono" is chosen, its channels; the
// audio list holds compression levels ("Level 5").
void LosslessTranslation(const TMainSettings& s, TOutputOptions& options) {
  options.AudioCodec = AudioCodecName(s.ComboAudioCodec.Text());
  if (s.ComboAudioChannels.Text() == "Mono") options.AudioChannels = 1;
  options.DisableVideo = true;
  std::string_view level = s.ComboAudioBitrate.Text();
  if (level.rfind(kCompressionLevelPrefix, 0) == 0)
    level.remove_prefix(kCompressionLevelPrefix.size());
  options.AudioCompressionLevel = ParseInteger(level);
}

// Formats with one fixed audio codec; the frame size is written even for "Original Video Size".
void FixedAudioTranslation(const TMainSettings& s, const std::string& audio_bitrate,
                           const char* audio_codec, TOutputOptions& options) {
  options.VideoCodec = VideoCodecName(s.ComboVideoCodec.Text());
  options.AudioCodec = audio_codec;
  options.FrameSize = FrameSizeRule(s.ComboVideoSize.Text());
  ConvertRates(KiloRule(s.ComboVideoBitrate.Text()), audio_bitrate,
               LeadingNumber(s.ComboSamplingRate.Text()), options);
}

// iPod and Apple TV: AAC audio whatever the audio codec list says. "Stereo" leaves the
// channels to the source (the device rule keeps at most two); "Mono" is the user's choice and
// holds.
void FixedAacTranslation(const TMainSettings& s, TOutputOptions& options) {
  FixedAudioTranslation(s, KiloRule(s.ComboAudioBitrate.Text()), "libfaac", options);
  if (s.ComboAudioChannels.Text() == "Mono") options.AudioChannels = 1;
}

// 3GP and 3G2: mono AMR-NB audio; the audio bit-rate items are already in bit/s.
void FixedAmrTranslation(const TMainSettings& s, TOutputOptions& options) {
  FixedAudioTranslation(s, LeadingNumber(s.ComboAudioBitrate.Text()), "libamr_nb", options);
  options.AudioChannels = 1;
}

}  // namespace

std::string VideoCodecName(std::string_view label) {
  std::string name = LowerCase(label);
  if (name == "h264") return "libx264";
  if (name == "xvid") return "libxvid";
  if (name == "hevc") return "libx265";
  if (name == "vp9") return "libvpx-vp9";
  return name;
}

std::string AudioCodecName(std::string_view label) {
  std::string name = LowerCase(label);
  if (name == "aac" || name == "mpeg4aac") return "libfaac";
  if (name == "mp3") return "libmp3lame";
  if (name == "opus") return "libopus";
  return name;
}

void TranslateSettings(const TMainSettings& settings, TOutputOptions& options) {
  const FormatCatalogueEntry* entry = SelectedFormat(settings);
  if (entry == nullptr) return;
  switch (entry->TranslationRule) {
    case TTranslationRule::CommonTranslation:
      CommonTranslation(settings, options);
      break;
    case TTranslationRule::FixedAacTranslation:
      FixedAacTranslation(settings, options);
      break;
    case TTranslationRule::FixedAmrTranslation:
      FixedAmrTranslation(settings, options);
      break;
    case TTranslationRule::ConstantQualityTranslation:
      ConstantQualityTranslation(settings, entry->Quality, options);
      break;
    case TTranslationRule::SoundTranslation:
      SoundTranslation(settings, options);
      break;
    case TTranslationRule::LosslessTranslation:
      LosslessTranslation(settings, options);
      break;
  }
}

std::string SelectedFrameRate(const TMainSettings& settings) {
  return FrameRateRule(settings.ComboVideoFramerate.Text());
}

void FillProfileOptions(const TMainSettings& settings, TOutputOptions& options) {
  options.FrameRate = SelectedFrameRate(settings);
  TranslateSettings(settings, options);
  options.AudioVolume = settings.VolumeLevel;
  // The "100%" step is 255, just under the engine's "unchanged" (256), which scales every
  // sample; a lossless format keeps the source's samples at that step. The other formats keep
  // the value their files have always been made with.
  const FormatCatalogueEntry* format = SelectedFormat(settings);
  if (format && format->TranslationRule == TTranslationRule::LosslessTranslation &&
      settings.VolumeLevel == VolumeValue(kOriginalVolumePosition))
    options.AudioVolume = 256;
}
