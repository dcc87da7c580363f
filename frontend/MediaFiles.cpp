#include "MediaFiles.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <utility>

namespace {

constexpr TMediaFileType kTypes[] = {
    // Every container the converter reads: the entries below and today's files (Matroska and
    // WebM, transport and program streams, Ogg, lossless and surround sound, ...).
    {"All media files",
     "*.avi;*.divx;*.mpeg;*.mpg;*.mpe;*.mpa;*.m1v;*.m2v;*.mv2;*.ps;*.m2p;*.vob;*.mod;*.tod;"
     "*.vro;*.evo;*.dat;*.ts;*.m2ts;*.mts;*.m2t;*.tp;*.trp;*.mp4;*.m4v;*.m4a;*.m4b;*.m4r;*.f4v;"
     "*.mov;*.qt;*.3gp;*.3g2;*.mkv;*.mk3d;*.mka;*.webm;*.ogg;*.ogv;*.oga;*.ogm;*.opus;*.spx;"
     "*.wma;*.wmv;*.asf;*.asx;*.flv;*.swf;*.rm;*.rmvb;*.ram;*.ra;*.dv;*.dif;*.mxf;*.nut;*.ivf;"
     "*.y4m;*.h264;*.264;*.hevc;*.265;*.mjpg;*.mjpeg;*.gif;*.mp3;*.mp2;*.aac;*.ac3;*.eac3;*.ec3;"
     "*.dts;*.dtshd;*.mlp;*.thd;*.flac;*.wav;*.w64;*.au;*.aif;*.aiff;*.aifc;*.caf;*.wv;*.tta;"
     "*.ape;*.amr;*.awb;*.cda;*.cue"},
    {"All Supported Files",
     "*.avi;*.mpeg;*.mpg;*.mpa;*.m1v;*.mv2;*.wma;*.wmv;*.asf;*.asx;*.mov; *.qt; "
     "*.m4v;*.3gp;*.3g2;*.mp3;*.mp2;*.ogg;*.aac;*.mp4;*.m4a;*.rm;*.rmvb;*.ram;*.ra;*.vob; "
     "*.dat;*.cda;*.dv; *.dif;*.wav; *.au; *.aiff;*.mjpg; *.mjpeg;*.ac3; *.gif; *.swf; *.flv"},
    {"3GPP Files", "*.3gp"},
    {"3GPP2 Files", "*.3g2"},
    {"AAC Files", "*.aac"},
    {"AC3 Files", "*.ac3"},
    {"Audio CD Files", "*.cda"},
    {"AVI Files", "*.avi"},
    {"DV Video Files", "*.dv;*.dif"},
    {"DVD VOB Files", "*.vob"},
    {"GIF Animated Files", "*.gif"},
    {"Macromedia Flash Files", "*.flv; *.swf"},
    {"Monkey Audio Files", "*.ape;*.cue"},
    {"MJpeg Video Files", "*.mjpg; *.mjpeg"},
    {"MP2 Files", "*.mp2"},
    {"MP3 Files", "*.mp3"},
    {"MPEG Files", "*.mpeg;*.mpg;*.mpa;*.m1v;*.mv2"},
    {"MPEG-4 Files", "*.mp4"},
    {"MPEG-4 Audio Files", "*.m4a; *.mp4"},
    {"Ogg Vorbis Files", "*.ogg"},
    {"RealMedia Files", "*.rm; *.rmvb; *.ram; *.ra"},
    {"QuickTime Files", "*.mov; *.qt; *.m4v"},
    {"VCD DAT Files", "*.dat"},
    {"WAV Files", "*.wav; *.au; *.aiff"},
    {"Windows Media Files", "*.wma;*.wmv;*.asf;*.asx"},
};

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The lower-case extensions of MediaFilePatterns(), with their dot (".avi").
const std::vector<std::string>& MediaExtensions() {
  static const std::vector<std::string> extensions = [] {
    std::vector<std::string> result;
    for (const std::string& pattern : MediaFilePatterns()) result.push_back(pattern.substr(1));
    return result;
  }();
  return extensions;
}

}  // namespace

std::span<const TMediaFileType> MediaFileTypes() {
  return kTypes;
}

std::vector<std::string> MediaFilePatterns() {
  std::vector<std::string> patterns;
  for (const TMediaFileType& type : kTypes) {
    std::string_view rest = type.Patterns;
    while (!rest.empty()) {
      const size_t end = std::min(rest.find(';'), rest.size());
      std::string pattern;
      for (char c : rest.substr(0, end)) {
        if (c != ' ') pattern += Lower(c);
      }
      rest.remove_prefix(std::min(end + 1, rest.size()));
      if (!pattern.empty() &&
          std::find(patterns.begin(), patterns.end(), pattern) == patterns.end()) {
        patterns.push_back(pattern);
      }
    }
  }
  return patterns;
}

bool IsMediaFileName(std::string_view name) {
  for (const std::string& extension : MediaExtensions()) {
    if (name.size() < extension.size()) continue;
    const std::string_view end = name.substr(name.size() - extension.size());
    if (std::equal(end.begin(), end.end(), extension.begin(),
                   [](char a, char b) { return Lower(a) == b; })) {
      return true;
    }
  }
  return false;
}

bool MediaPathLess(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      // Compare the digit runs by value: without leading zeros, the longer run is larger.
      size_t a_end = i, b_end = j;
      while (a_end < a.size() && IsDigit(a[a_end])) ++a_end;
      while (b_end < b.size() && IsDigit(b[b_end])) ++b_end;
      size_t a_first = i, b_first = j;
      while (a_first + 1 < a_end && a[a_first] == '0') ++a_first;
      while (b_first + 1 < b_end && b[b_first] == '0') ++b_first;
      const std::string_view a_run = a.substr(a_first, a_end - a_first);
      const std::string_view b_run = b.substr(b_first, b_end - b_first);
      if (a_run.size() != b_run.size()) return a_run.size() < b_run.size();
      if (a_run != b_run) return a_run < b_run;
      i = a_end;
      j = b_end;
      continue;
    }
    const char ca = Lower(a[i]), cb = Lower(b[j]);
    if (ca != cb) return static_cast<unsigned char>(ca) < static_cast<unsigned char>(cb);
    ++i;
    ++j;
  }
  if (i < a.size() || j < b.size()) return j < b.size();
  return a < b;  // equal but for letter case or leading zeros: a fixed order all the same
}

std::vector<std::string> MediaFilesInFolder(const std::string& folder) {
  std::vector<std::string> found;
  std::set<std::pair<dev_t, ino_t>> visited;
  std::vector<std::string> pending{folder};
  while (!pending.empty()) {
    const std::string current = std::move(pending.back());
    pending.pop_back();
    struct stat st;
    if (stat(current.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    if (!visited.insert({st.st_dev, st.st_ino}).second) continue;
    DIR* dir = opendir(current.c_str());
    if (dir == nullptr) continue;
    const std::string prefix = current.empty() || current.back() == '/' ? current : current + "/";
    while (const dirent* entry = readdir(dir)) {
      const std::string_view name = entry->d_name;
      if (name.empty() || name.front() == '.') continue;
      const std::string path = prefix + std::string(name);
      if (stat(path.c_str(), &st) != 0) continue;  // a dangling link
      if (S_ISDIR(st.st_mode)) {
        pending.push_back(path);
      } else if (S_ISREG(st.st_mode) && IsMediaFileName(name) && access(path.c_str(), R_OK) == 0) {
        found.push_back(path);
      }
    }
    closedir(dir);
  }
  std::sort(found.begin(), found.end(), MediaPathLess);
  return found;
}
