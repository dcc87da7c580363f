#include "FormatCatalogue.h"

#include <array>

#include "MainSettings.h"

namespace {

using F = TPresetFamily;
using R = TTranslationRule;
using G = TFormatGroup;
using Q = TQualityRow;

// List order. Rows are only appended: a format's list index is stored in settings and named on
// the command line. Audio formats have no video bit rate ("0").
constexpr std::array kCatalogue = {
    FormatCatalogueEntry{
        "ipod", "iPod (*.mp4)", "MP4", G::Ipod, F::iPod, "Normal", R::FixedAacTranslation, "ipod",
        false, Q{{"1200", "800", "512", "256", "128"}, {"320", "192", "128", "96", "64"}}},
    FormatCatalogueEntry{
        "ipodextra", "iPod Extra (640 x 480) (*.mp4)", "MP4", G::Ipod, F::iPod, "Extra",
        R::FixedAacTranslation, "ipod", false,
        Q{{"2500", "1500", "1200", "800", "512"}, {"256", "192", "128", "96", "64"}}},
    FormatCatalogueEntry{
        "ipodtouch", "iPod Touch (*.mp4)", "MP4", G::Ipod, F::iPodTouch, "Normal",
        R::CommonTranslation, "ipodtouch", false,
        Q{{"2500", "1500", "1200", "800", "512"}, {"256", "192", "128", "80", "64"}}},
    FormatCatalogueEntry{
        "ipodtouchextra", "iPod Touch Extra (640 x 480) (*.mp4)", "MP4", G::Ipod, F::iPodTouch,
        "Extra", R::CommonTranslation, "ipodtouch", false,
        Q{{"2500", "1500", "1200", "800", "512"}, {"256", "192", "128", "80", "64"}}},
    FormatCatalogueEntry{"aac", "AAC - Advance Audio Coding (*.aac)", "AAC", G::Sound, F::AAC, "",
                         R::CommonTranslation, "", true,
                         Q{{"0", "0", "0", "0", "0"}, {"256", "192", "128", "96", "48"}}},
    FormatCatalogueEntry{"mp3", "MP3 - Mpeg Layer3 Audio (*.mp3)", "MP3", G::Sound, F::MP3, "",
                         R::CommonTranslation, "", true,
                         Q{{"0", "0", "0", "0", "0"}, {"256", "192", "128", "80", "64"}}},
    FormatCatalogueEntry{"m4a", "M4A - Mpeg4 Audio File (*.m4a)", "M4A", G::Sound, F::M4A, "",
                         R::CommonTranslation, "", true,
                         Q{{"0", "0", "0", "0", "0"}, {"256", "192", "128", "80", "64"}}},
    FormatCatalogueEntry{
        "iphone", "iPhone (*.mp4)", "MP4", G::Apple, F::iPhone, "", R::CommonTranslation, "iphone",
        false, Q{{"2500", "1500", "1200", "800", "512"}, {"256", "192", "128", "80", "64"}}},
    FormatCatalogueEntry{
        "appletv", "Apple TV (*.mp4)", "MP4", G::Apple, F::AppleTV, "", R::FixedAacTranslation,
        "appletv", false,
        Q{{"2500", "1500", "1200", "800", "512"}, {"256", "128", "64", "48", "32"}}},
    FormatCatalogueEntry{
        "3gp", "3GP - Mobile Video Format (*.3gp)", "3GP", G::Video, F::Mobile3GP, "",
        R::FixedAmrTranslation, "3gp", false,
        Q{{"512", "256", "128", "96", "64"}, {"12200", "7950", "7400", "6700", "4750"}}},
    FormatCatalogueEntry{
        "3g2", "3G2 - Mobile Video Format (*.3g2)", "3G2", G::Video, F::Mobile3GP, "",
        R::FixedAmrTranslation, "3g2", false,
        Q{{"512", "256", "128", "96", "64"}, {"12200", "7950", "7400", "6700", "4750"}}},
    FormatCatalogueEntry{
        "avi-normal", "AVI - Audio Video Interleave (*.avi)", "AVI", G::Video, F::AVI, "normal",
        R::CommonTranslation, "", false,
        Q{{"2500", "1500", "1200", "512", "256"}, {"320", "192", "128", "64", "48"}}},
    FormatCatalogueEntry{
        "divx", "AVI - DivX Video (*.avi)", "AVI", G::Video, F::AVI, "divx", R::CommonTranslation,
        "divx", false,
        Q{{"2500", "1500", "1200", "512", "256"}, {"320", "192", "128", "64", "48"}}},
    FormatCatalogueEntry{
        "mov", "MOV - QuickTime Video (*.mov)", "MOV", G::Video, F::MOV, "", R::CommonTranslation,
        "", false, Q{{"2500", "2000", "1200", "768", "512"}, {"256", "192", "128", "80", "64"}}},
    FormatCatalogueEntry{
        "mp4", "MP4 - MPEG4 Video (*.mp4)", "MP4", G::Video, F::MP4, "", R::CommonTranslation, "",
        false, Q{{"2500", "1500", "1200", "768", "512"}, {"256", "192", "128", "80", "64"}}},
    FormatCatalogueEntry{
        "mpeg1", "MPEG-1 Movie (*.mpg)", "MPG", G::Video, F::MPEGVideo, "mpeg1",
        R::CommonTranslation, "", false,
        Q{{"2000", "1600", "1200", "1000", "768"}, {"224", "192", "128", "80", "64"}}},
    FormatCatalogueEntry{
        "mpeg2", "MPEG-2 Movie (*.mpg)", "MPG", G::Video, F::MPEGVideo, "mpeg2",
        R::CommonTranslation, "", false,
        Q{{"2000", "1600", "1200", "1000", "768"}, {"224", "192", "128", "80", "64"}}},
    FormatCatalogueEntry{
        "wmv", "WMV - Windows Media Video (*.wmv)", "WMV", G::Video, F::WMV, "",
        R::CommonTranslation, "", false,
        Q{{"2500", "2000", "1500", "1200", "768"}, {"256", "192", "128", "80", "48"}}},
    // Video levels: a quality number with a rate cap (Kbps) that keeps the stream within its
    // profile's level; sound levels: bit rates, for FLAC compression levels.
    FormatCatalogueEntry{"h264", "MP4 - H.264 Video (*.mp4)", "MP4", G::Current, F::H264, "",
                         R::ConstantQualityTranslation, "h264", false,
                         Q{{"20000", "12000", "8000", "4000", "2000"},
                           {"256", "192", "160", "128", "96"},
                           {18, 20, 23, 26, 29}}},
    FormatCatalogueEntry{"hevc", "MP4 - H.265/HEVC Video (*.mp4)", "MP4", G::Current, F::HEVC, "",
                         R::ConstantQualityTranslation, "hevc", false,
                         Q{{"20000", "12000", "8000", "4000", "2000"},
                           {"256", "192", "160", "128", "96"},
                           {20, 23, 26, 29, 32}}},
    FormatCatalogueEntry{"webm", "WebM - VP9 Video (*.webm)", "WEBM", G::Current, F::WebM, "",
                         R::ConstantQualityTranslation, "webm", false,
                         Q{{"20000", "12000", "8000", "4000", "2000"},
                           {"192", "160", "128", "96", "64"},
                           {24, 28, 32, 36, 40}}},
    FormatCatalogueEntry{"opus", "Opus Audio (*.opus)", "OPUS", G::Current, F::Opus, "",
                         R::SoundTranslation, "opus", true,
                         Q{{"0", "0", "0", "0", "0"}, {"192", "160", "128", "96", "64"}}},
    FormatCatalogueEntry{"flac", "FLAC - Lossless Audio (*.flac)", "FLAC", G::Current, F::FLAC, "",
                         R::LosslessTranslation, "flac", true,
                         Q{{"0", "0", "0", "0", "0"}, {"8", "6", "5", "3", "0"}}},
};

constexpr size_t CountListItems() {
  size_t count = 0;
  for (size_t i = 0; i < kCatalogue.size(); ++i) {
    if (i > 0 && kCatalogue[i].Group != kCatalogue[i - 1].Group) ++count;
    ++count;
  }
  return count;
}

// The format list: the captions in table order, a separator wherever the group changes.
constexpr std::array<std::string_view, CountListItems()> MakeListItems() {
  std::array<std::string_view, CountListItems()> items{};
  size_t at = 0;
  for (size_t i = 0; i < kCatalogue.size(); ++i) {
    if (i > 0 && kCatalogue[i].Group != kCatalogue[i - 1].Group) items[at++] = kFormatSeparator;
    items[at++] = kCatalogue[i].Caption;
  }
  return items;
}

constexpr auto kListItems = MakeListItems();

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

int FormatListCount() {
  return static_cast<int>(kListItems.size());
}

const FormatCatalogueEntry* FindFormat(std::string_view caption) {
  for (const FormatCatalogueEntry& entry : kCatalogue) {
    if (entry.Caption == caption) return &entry;
  }
  return nullptr;
}

const FormatCatalogueEntry* FormatAtListIndex(int index) {
  if (index < 0 || index >= FormatListCount()) return nullptr;
  return FindFormat(kListItems[static_cast<size_t>(index)]);
}

const FormatCatalogueEntry* SelectedFormat(const TMainSettings& settings) {
  return FindFormat(settings.ComboOutputFormat.Text());
}

void FillOutputFormatList(TMainSettings& settings) {
  settings.ComboOutputFormat.Assign(kListItems, 0);
  settings.ComboOutputFormat.DropDownCount = settings.ComboOutputFormat.Count();
}

void ApplyFormatPreset(TMainSettings& settings) {
  const FormatCatalogueEntry* entry = SelectedFormat(settings);
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
  const FormatCatalogueEntry* entry = SelectedFormat(settings);
  const bool enabled = entry == nullptr || !entry->SoundOnly;
  settings.ComboVideoQuality.Enabled = enabled;
  settings.ComboVideoSize.Enabled = enabled;
  settings.ComboVideoFramerate.Enabled = enabled;
}
