#include "QualityLevels.h"

#include "MainSettings.h"

namespace {

// One row per offered format, keyed by caption. Audio formats have no video bit rate ("0").
constexpr std::array<TQualityRow, 18> kQualityTable = {{
    {"iPod (*.mp4)", {"1200", "800", "512", "256", "128"}, {"320", "192", "128", "96", "64"}},
    {"iPod Extra (640 x 480) (*.mp4)",
     {"2500", "1500", "1200", "800", "512"},
     {"256", "192", "128", "96", "64"}},
    {"iPod Touch (*.mp4)",
     {"2500", "1500", "1200", "800", "512"},
     {"256", "192", "128", "80", "64"}},
    {"iPod Touch Extra (640 x 480) (*.mp4)",
     {"2500", "1500", "1200", "800", "512"},
     {"256", "192", "128", "80", "64"}},
    {"AAC - Advance Audio Coding (*.aac)",
     {"0", "0", "0", "0", "0"},
     {"256", "192", "128", "96", "48"}},
    {"MP3 - Mpeg Layer3 Audio (*.mp3)",
     {"0", "0", "0", "0", "0"},
     {"256", "192", "128", "80", "64"}},
    {"M4A - Mpeg4 Audio File (*.m4a)",
     {"0", "0", "0", "0", "0"},
     {"256", "192", "128", "80", "64"}},
    {"iPhone (*.mp4)", {"2500", "1500", "1200", "800", "512"}, {"256", "192", "128", "80", "64"}},
    {"Apple TV (*.mp4)", {"2500", "1500", "1200", "800", "512"}, {"256", "128", "64", "48", "32"}},
    {"3GP - Mobile Video Format (*.3gp)",
     {"512", "256", "128", "96", "64"},
     {"12200", "7950", "7400", "6700", "4750"}},
    {"3G2 - Mobile Video Format (*.3g2)",
     {"512", "256", "128", "96", "64"},
     {"12200", "7950", "7400", "6700", "4750"}},
    {"AVI - Audio Video Interleave (*.avi)",
     {"2500", "1500", "1200", "512", "256"},
     {"320", "192", "128", "64", "48"}},
    {"AVI - DivX Video (*.avi)",
     {"2500", "1500", "1200", "512", "256"},
     {"320", "192", "128", "64", "48"}},
    {"MOV - QuickTime Video (*.mov)",
     {"2500", "2000", "1200", "768", "512"},
     {"256", "192", "128", "80", "64"}},
    {"MP4 - MPEG4 Video (*.mp4)",
     {"2500", "1500", "1200", "768", "512"},
     {"256", "192", "128", "80", "64"}},
    {"MPEG-1 Movie (*.mpg)",
     {"2000", "1600", "1200", "1000", "768"},
     {"224", "192", "128", "80", "64"}},
    {"MPEG-2 Movie (*.mpg)",
     {"2000", "1600", "1200", "1000", "768"},
     {"224", "192", "128", "80", "64"}},
    {"WMV - Windows Media Video (*.wmv)",
     {"2500", "2000", "1500", "1200", "768"},
     {"256", "192", "128", "80", "48"}},
}};

// The number at a list's selected quality index; no selection reads as the empty text.
std::string_view LevelValue(const std::array<std::string_view, 5>& values, int index) {
  return (index >= 0 && index < static_cast<int>(values.size())) ? values[index]
                                                                 : std::string_view{};
}

}  // namespace

std::span<const TQualityRow> QualityTable() {
  return kQualityTable;
}

const TQualityRow* FindQualityRow(std::string_view caption) {
  for (const TQualityRow& row : kQualityTable) {
    if (row.Caption == caption) return &row;
  }
  return nullptr;
}

void ApplyQualityLevels(TMainSettings& settings) {
  const TQualityRow* row = FindQualityRow(settings.ComboOutputFormat.Text());
  if (row == nullptr) return;

  std::string video(LevelValue(row->Video, settings.ComboVideoQuality.ItemIndex()));
  settings.ComboVideoBitrate.SelectText(video + " Kbps");

  // The mobile formats list their audio bit rates in bps, all others in Kbps.
  const bool kbps = settings.ComboAudioBitrate.Text().find("Kbps") != std::string::npos;
  std::string audio(LevelValue(row->Audio, settings.ComboAudioQuality.ItemIndex()));
  settings.ComboAudioBitrate.SelectText(audio + (kbps ? " Kbps" : " bps"));
}

const std::string& ComboVideoQualityHint(const TMainSettings& settings) {
  return settings.ComboVideoBitrate.Text();
}

const std::string& ComboAudioQualityHint(const TMainSettings& settings) {
  return settings.ComboAudioBitrate.Text();
}
