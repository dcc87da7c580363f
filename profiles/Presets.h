// Profile presets: per output format, the items and selection each preset-filled setting list
// gets. Presets are data (one record per format); one routine applies any record.
#pragma once

#include <span>
#include <string_view>

struct TMainSettings;

enum class TPresetFamily {
  iPod,
  iPodTouch,
  iPhone,
  AppleTV,
  AAC,
  MP3,
  M4A,
  Mobile3GP,  // 3GP and 3G2 share one record
  AVI,
  MOV,
  MP4,
  MPEGVideo,
  WMV,
  H264,
  HEVC,
  WebM,
  Opus,
  FLAC,
};

// Contents of one list: the items and the item to select. No items means the list is cleared
// (no items, no selection).
struct TListPreset {
  std::span<const std::string_view> Items;
  std::string_view Selected;
};

struct TPresetRecord {
  TPresetFamily Family;
  std::string_view Variant;  // empty for families without variants
  TListPreset VideoCodec;
  TListPreset AudioCodec;
  TListPreset VideoSize;
  TListPreset VideoBitrate;
  TListPreset VideoFramerate;
  TListPreset AudioBitrate;
  TListPreset SamplingRate;
  std::string_view Channels;  // item of ComboAudioChannels to select; empty: unchanged
  std::string_view Aspect;    // item of ComboAspectRatio to select; empty: unchanged
};

// Every preset record, one per distinct (family, variant).
std::span<const TPresetRecord> PresetRecords();

// The record of a family and variant, or nullptr when there is none.
const TPresetRecord* FindPreset(TPresetFamily family, std::string_view variant);

// Replaces the preset-filled lists with the record's contents and selects its defaults, then
// selects its channel and aspect items where it names them. No other list is touched.
void ApplyPresetRecord(TMainSettings& settings, const TPresetRecord& record);

// Runs the preset of a family and variant; an unknown pair changes nothing.
void RunPreset(TMainSettings& settings, TPresetFamily family, std::string_view variant);
