#include "FormatCatalogue.h"

#include <array>

#include "MainSettings.h"

namespace {

using F = TPresetFamily;
using R = TTranslationRule;

constexpr std::array kCatalogue = {
    FormatCatalogueEntry{"iPod (*.mp4)", "MP4", F::iPod, "Normal", R::FixedAacTranslation},
    FormatCatalogueEntry{"iPod Extra (640 x 480) (*.mp4)", "MP4", F::iPod, "Extra",
                         R::FixedAacTranslation},
    FormatCatalogueEntry{"iPod Touch (*.mp4)", "MP4", F::iPodTouch, "Normal", R::CommonTranslation},
    FormatCatalogueEntry{"iPod Touch Extra (640 x 480) (*.mp4)", "MP4", F::iPodTouch, "Extra",
                         R::CommonTranslation},
    FormatCatalogueEntry{"AAC - Advance Audio Coding (*.aac)", "AAC", F::AAC, "",
                         R::CommonTranslation},
    FormatCatalogueEntry{"MP3 - Mpeg Layer3 Audio (*.mp3)", "MP3", F::MP3, "",
                         R::CommonTranslation},
    FormatCatalogueEntry{"M4A - Mpeg4 Audio File (*.m4a)", "M4A", F::M4A, "", R::CommonTranslation},
    FormatCatalogueEntry{"iPhone (*.mp4)", "MP4", F::iPhone, "", R::CommonTranslation},
    FormatCatalogueEntry{"Apple TV (*.mp4)", "MP4", F::AppleTV, "", R::FixedAacTranslation},
    FormatCatalogueEntry{"3GP - Mobile Video Format (*.3gp)", "3GP", F::Mobile3GP, "",
                         R::FixedAmrTranslation},
    FormatCatalogueEntry{"3G2 - Mobile Video Format (*.3g2)", "3G2", F::Mobile3GP, "",
                         R::FixedAmrTranslation},
    FormatCatalogueEntry{"AVI - Audio Video Interleave (*.avi)", "AVI", F::AVI, "normal",
                         R::CommonTranslation},
    FormatCatalogueEntry{"AVI - DivX Video (*.avi)", "AVI", F::AVI, "divx", R::CommonTranslation},
    FormatCatalogueEntry{"MOV - QuickTime Video (*.mov)", "MOV", F::MOV, "", R::CommonTranslation},
    FormatCatalogueEntry{"MP4 - MPEG4 Video (*.mp4)", "MP4", F::MP4, "", R::CommonTranslation},
    FormatCatalogueEntry{"MPEG-1 Movie (*.mpg)", "MPG", F::MPEGVideo, "mpeg1",
                         R::CommonTranslation},
    FormatCatalogueEntry{"MPEG-2 Movie (*.mpg)", "MPG", F::MPEGVideo, "mpeg2",
                         R::CommonTranslation},
    FormatCatalogueEntry{"WMV - Windows Media Video (*.wmv)", "WMV", F::WMV, "",
                         R::CommonTranslation},
};

// List order: four iPod formats, audio formats, iPhone and Apple TV, other video formats, with a
// separator between the groups.
constexpr std::array kListItems = {
    kCatalogue[0].Caption,  kCatalogue[1].Caption,  kCatalogue[2].Caption,  kCatalogue[3].Caption,
    kFormatSeparator,       kCatalogue[4].Caption,  kCatalogue[5].Caption,  kCatalogue[6].Caption,
    kFormatSeparator,       kCatalogue[7].Caption,  kCatalogue[8].Caption,  kFormatSeparator,
    kCatalogue[9].Caption,  kCatalogue[10].Caption, kCatalogue[11].Caption, kCatalogue[12].Caption,
    kCatalogue[13].Caption, kCatalogue[14].Caption, kCatalogue[15].Caption, kCatalogue[16].Caption,
    kCatalogue[17].Caption,
};
static_assert(kListItems.size() == kFormatListCount);

// A selected text containing this is a separator row.
constexpr std::string_view kSeparatorMark = "              ----";

int DropDownCount(const TFormatChangeHooks& hooks) {
  if (!hooks.ReadDropDownCount) return kDefaultDropDownCount;
  try {
    const int count = hooks.ReadDropDownCount();
    return count >= 1 ? count : kDefaultDropDownCount;
  } catch (...) {
    // The count comes from another window's field; any failure to read it means the default.
    return kDefaultDropDownCount;
  }
}

}  // namespace

std::span<const FormatCatalogueEntry> FormatCatalogue() {
  return kCatalogue;
}

std::span<const std::string_view> OutputFormatListItems() {
  return kListItems;
}

const FormatCatalogueEntry* FindFormat(std::string_view caption) {
  for (const FormatCatalogueEntry& entry : kCatalogue) {
    if (entry.Caption == caption) return &entry;
  }
  return nullptr;
}

std::string_view FormatDevice(std::string_view caption) {
  static constexpr std::array<std::string_view, 18> kDevices = {
      "ipod", "ipod", "ipodtouch", "ipodtouch", "", "", "", "iphone", "appletv",
      "3gp",  "3g2",  "",          "divx",      "", "", "", "",       ""};
  const FormatCatalogueEntry* entry = FindFormat(caption);
  if (entry == nullptr) return {};
  return kDevices[static_cast<size_t>(entry - kCatalogue.data())];
}

bool IsAudioFormatCaption(std::string_view caption) {
  return caption == kCatalogue[4].Caption || caption == kCatalogue[5].Caption ||
         caption == kCatalogue[6].Caption;
}

void FillOutputFormatList(TMainSettings& settings) {
  settings.ComboOutputFormat.Assign(kListItems, 0);
  settings.ComboOutputFormat.DropDownCount = settings.ComboOutputFormat.Count();
}

void ApplyFormatPreset(TMainSettings& settings) {
  const FormatCatalogueEntry* entry = FindFormat(settings.ComboOutputFormat.Text());
  if (entry == nullptr) return;
  settings.OutputExtension = std::string(entry->Extension);
  RunPreset(settings, entry->Preset, entry->Variant);
}

void ComboOutputFormatChange(TMainSettings& settings, const TFormatChangeHooks& hooks) {
  TSettingList& list = settings.ComboOutputFormat;
  if (list.Text().find(kSeparatorMark) != std::string::npos) {
    list.Select(settings.LastFormatIndex);
    return;
  }
  ApplyFormatPreset(settings);
  if (hooks.SetOutputColumn) hooks.SetOutputColumn(settings.OutputExtension);
  ComboOutputFormatDropDown(settings, hooks);
  settings.LastFormatIndex = list.ItemIndex();
  UpdateVideoControls(settings);
}

void ComboOutputFormatDropDown(TMainSettings& settings, const TFormatChangeHooks& hooks) {
  settings.ComboOutputFormat.DropDownCount = DropDownCount(hooks);
}

void UpdateVideoControls(TMainSettings& settings) {
  const bool enabled = !IsAudioFormatCaption(settings.ComboOutputFormat.Text());
  settings.ComboVideoQuality.Enabled = enabled;
  settings.ComboVideoSize.Enabled = enabled;
  settings.ComboVideoFramerate.Enabled = enabled;
}
