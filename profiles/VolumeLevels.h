// Volume slider steps: label text and engine volume value per position 0..10.
#pragma once

#include <array>
#include <string_view>

struct TMainSettings;

struct TVolumeLevel {
  std::string_view Label;  // e.g. "100%"
  int Value;               // engine volume value (the engine's own "unchanged" is 256)
};

inline constexpr std::array<TVolumeLevel, 11> VolumeLevels = {{{"0%", 1},
                                                               {"20%", 50},
                                                               {"40%", 100},
                                                               {"60%", 150},
                                                               {"80%", 200},
                                                               {"100%", 255},
                                                               {"120%", 300},
                                                               {"140%", 350},
                                                               {"160%", 400},
                                                               {"180%", 450},
                                                               {"200%", 600}}};

// The slider position labelled "100%".
inline constexpr int kOriginalVolumePosition = 5;

// Engine volume value of a slider position; a position outside 0..10 gives 255.
int VolumeValue(int position);

// The slider's change handler: stores the position, its label (empty outside 0..10) and its
// value in VolumeLevel.
void TrackBar1Change(TMainSettings& settings, int position);
