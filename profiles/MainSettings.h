// The main window's setting state as a plain model: every setting list (visible and hidden),
// the chosen format's extension, the last accepted format index and the volume. Presets write
// it, the quality levels move its bit-rate selections and the translation reads it. The GUI
// binds widgets to it; the command line drives it directly.
//
// Used on one thread only (the UI thread, or the command line's main thread).
#pragma once

#include <string>

#include "FormatCatalogue.h"
#include "SettingList.h"

struct TMainSettings {
  // A value-initialised model holds the lists' design-time contents; InitialiseSettingLists
  // then brings it to the state after the main window's creation.
  TMainSettings();

  TSettingList ComboOutputFormat;
  // Visible lists.
  TSettingList ComboVideoQuality;
  TSettingList ComboVideoSize;
  TSettingList ComboVideoFramerate;
  TSettingList ComboAudioQuality;
  TSettingList ComboAudioChannels;
  // Hidden lists: written by presets and the Additional Options dialog, read by the translation.
  TSettingList ComboVideoCodec;
  TSettingList ComboAudioCodec;
  TSettingList ComboVideoBitrate;
  TSettingList ComboAudioBitrate;
  TSettingList ComboSamplingRate;
  TSettingList ComboAspectRatio;
  TSettingList ComboLetterBox;

  std::string OutputExtension;  // upper-case extension of the last format whose preset ran
  int LastFormatIndex = 0;      // list index of the last accepted format selection; -1: none

  int VolumePosition = 5;            // volume slider position, 0..10
  std::string VolumeLabel = "100%";  // text beside the slider
  int VolumeLevel = 255;             // engine volume value of the position
};

// The model steps of the main window's creation: volume slider at position 5, the format list
// filled (drop-down count 25), aspect, zoom and quality lists filled with "Normal" selected.
void InitialiseSettingLists(TMainSettings& settings);

// The model steps of the main window's show handler: the format change handler for the
// selected (possibly stored) format, then the quality levels.
void ApplyShownSettings(TMainSettings& settings, const TFormatChangeHooks& hooks = {});
