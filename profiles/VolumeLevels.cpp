#include "VolumeLevels.h"

#include "MainSettings.h"

namespace {

constexpr int kOutOfRangeVolume = 255;

bool InTable(int position) {
  return position >= 0 && position < static_cast<int>(VolumeLevels.size());
}

}  // namespace

int VolumeValue(int position) {
  return InTable(position) ? VolumeLevels[position].Value : kOutOfRangeVolume;
}

void TrackBar1Change(TMainSettings& settings, int position) {
  settings.VolumePosition = position;
  settings.VolumeLabel = InTable(position) ? std::string(VolumeLevels[position].Label) : "";
  settings.VolumeLevel = VolumeValue(position);
}
