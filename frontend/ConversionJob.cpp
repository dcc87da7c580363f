#include "ConversionJob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include "Binding.h"
#include "FormatCatalogue.h"
#include "JobComponent.h"
#include "MainSettings.h"
#include "SizeEstimate.h"
#include "Translation.h"

namespace fs = std::filesystem;

namespace {

std::string TrimBlanks(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// Index of the "." that starts the extension of the last path component, or npos. A leading
// dot ("/x/.hidden") names the file and starts no extension.
size_t ExtensionStart(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= name_start) return std::string::npos;
  return dot;
}

std::string WithoutExtension(const std::string& path) {
  const size_t dot = ExtensionStart(path);
  return dot == std::string::npos ? path : path.substr(0, dot);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec) && !ec;
}

bool ParseNumber(const std::string& text, double& value) {
  const std::string t = TrimBlanks(text);
  if (t.empty()) return false;
  const char* end = t.data() + t.size();
  auto [ptr, ec] = std::from_chars(t.data(), end, value);
  return ec == std::errc() && ptr == end;
}

}  // namespace

TRunOutputNames::TRunOutputNames(const std::vector<std::string>& sources) {
  for (const std::string& source : sources) AddSource(source);
}

void TRunOutputNames::AddSource(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) sources_.emplace(st.st_dev, st.st_ino);
}

void TRunOutputNames::Promise(const std::string& path) {
  promised_.insert(path);
}

bool TRunOutputNames::Taken(const std::string& path) const {
  if (promised_.count(path) > 0) return true;
  struct stat st;
  return stat(path.c_str(), &st) == 0 && sources_.count({st.st_dev, st.st_ino}) > 0;
}

std::string UniqueFileName(const std::string& path, const std::string& extension,
                           const TReservedPath& reserved) {
  const std::string base = WithoutExtension(path);
  auto taken = [&reserved](const std::string& p) { return Exists(p) || (reserved && reserved(p)); };
  std::string candidate = base + extension;
  for (long n = 1; taken(candidate); ++n) candidate = base + "-" + std::to_string(n) + extension;
  return candidate;
}

std::string OutputFilePath(const std::string& output_folder, const std::string& source_path,
                           const std::string& extension, bool overwrite,
                           const TReservedPath& reserved) {
  std::string folder = output_folder;
  if (folder.empty() || folder.back() != '/') folder += '/';
  const size_t slash = source_path.rfind('/');
  const std::string name = slash == std::string::npos ? source_path : source_path.substr(slash + 1);
  const std::string in_folder = folder + name;
  if (overwrite) {
    const std::string replaced = WithoutExtension(in_folder) + extension;
    if (!SameFile(replaced, source_path) && !(reserved && reserved(replaced))) return replaced;
  }
  return UniqueFileName(in_folder, extension, reserved);
}

std::string PlainOutputPath(const std::string& output_folder, const std::string& source_path,
                            const TMainSettings& settings) {
  std::string extension = "." + settings.OutputExtension;
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string folder = output_folder;
  if (folder.empty() || folder.back() != '/') folder += '/';
  const size_t slash = source_path.rfind('/');
  const std::string name = slash == std::string::npos ? source_path : source_path.substr(slash + 1);
  return WithoutExtension(folder + name) + extension;
}

namespace {

// The private script folders this process made, by the temporary folder they are in; removed
// with their scripts when the program ends.
class TScriptFolders {
 public:
  ~TScriptFolders() {
    for (const auto& [base, folder] : folders_) {
      std::error_code ignored;
      fs::remove_all(folder, ignored);
    }
  }
  std::string For(const std::string& base) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = folders_.find(base);
    struct stat st;
    // A folder that is gone, or that is not ours and private any more, is replaced.
    if (it != folders_.end() && (lstat(it->second.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
                                 st.st_uid != geteuid() || (st.st_mode & 077) != 0)) {
      folders_.erase(it);
      it = folders_.end();
    }
    if (it == folders_.end()) {
      std::string pattern = base + "quorvin-scripts-XXXXXX";
      if (!mkdtemp(pattern.data())) return {};  // mode 0700
      it = folders_.emplace(base, pattern).first;
    }
    return it->second + "/";
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::string> folders_;
};

TScriptFolders& ScriptFolders() {
  static TScriptFolders folders;
  return folders;
}

std::string TempBase() {
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  if (folder.back() != '/') folder += '/';
  return folder;
}

// The script's text for SOURCE_PATH: a string in double quotes, or in triple double quotes when
// the name holds a double quote. Names a script cannot hold raise std::runtime_error.
std::string ScriptString(const std::string& source_path) {
  auto refuse = [&source_path](const char* why) {
    throw std::runtime_error("Cannot write a script for " + source_path + ": the name " + why +
                             ", which a script cannot name");
  };
  if (source_path.find_first_of("\r\n") != std::string::npos) refuse("holds a line break");
  if (source_path.find('"') == std::string::npos) return "\"" + source_path + "\"";
  if (source_path.find("\"\"\"") != std::string::npos) refuse("holds three double quotes");
  if (source_path.back() == '"') refuse("ends in a double quote");
  return "\"\"\"" + source_path + "\"\"\"";
}

}  // namespace

std::string TempScriptFolder() {
  return ScriptFolders().For(TempBase());
}

void DeleteOldScripts() {
  std::error_code ec;
  fs::directory_iterator it(TempScriptFolder(), ec);
  if (ec) return;
  for (const auto& entry : it) {
    const fs::path& p = entry.path();
    if (p.extension() != ".avs") continue;
    if (p.filename().string().front() == '.') continue;  // hidden files are left alone
    std::error_code ignored;
    if (entry.is_regular_file(ignored)) fs::remove(p, ignored);
  }
}

std::string WriteRmvbScript(const std::string& source_path, const std::string& program_folder) {
  const std::string script_string = ScriptString(source_path);
  const std::string folder = TempScriptFolder();
  if (folder.empty())
    throw std::runtime_error("Cannot make a folder for scripts in " + TempBase() + ": " +
                             std::strerror(errno));

  std::string plugin_folder = program_folder;
  if (plugin_folder.empty() || plugin_folder.back() != '/') plugin_folder += '/';
  const std::string text = "LoadPlugin(\"" + plugin_folder + "DirectShowSource.dll\")\r\n" +
                           "DirectShowSource(" + script_string + ", fps=25, convertfps=true)\r\n";

  // O_EXCL: never write through a file or link that appeared under the chosen name.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string script = UniqueFileName(folder + "r", ".avs");
    const int fd = open(script.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      throw std::runtime_error("Cannot write the script " + script + ": " + std::strerror(errno));
    }
    size_t written = 0;
    while (written < text.size()) {
      const ssize_t n = write(fd, text.data() + written, text.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const int err = errno;
        close(fd);
        unlink(script.c_str());
        throw std::runtime_error("Cannot write the script " + script + ": " + std::strerror(err));
      }
      written += static_cast<size_t>(n);
    }
    if (close(fd) != 0) {
      const int err = errno;
      unlink(script.c_str());
      throw std::runtime_error("Cannot write the script " + script + ": " + std::strerror(err));
    }
    return script;
  }
  throw std::runtime_error("Cannot write a script in " + folder);
}

std::string AspectRatioText(double ratio) {
  const double rounded = std::nearbyint(ratio * 10000.0) / 10000.0;  // ties to even
  if (!std::isfinite(rounded) || rounded <= 0) return {};
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, rounded);
  if (ec != std::errc()) return {};
  return std::string(buffer, end);
}

std::string AspectRatioFromVideoSize(const std::string& video_size_text) {
  static const std::string kFallback = "1.3333";
  std::string size = TrimBlanks(video_size_text);
  if (size.empty()) size = "640x480";
  const size_t x = size.find('x');
  if (x == std::string::npos) return kFallback;
  double width = 0;
  double height = 0;
  if (!ParseNumber(size.substr(0, x), width) || !ParseNumber(size.substr(x + 1), height)) {
    return kFallback;
  }
  const std::string text = AspectRatioText(width / height);
  return text.empty() ? kFallback : text;
}

void ApplyAspectRule(AspectChoice choice, const std::string& video_size_text,
                     TOutputOptions& options, double display_aspect) {
  switch (choice) {
    case AspectChoice::k4x3:
      options.AspectRatio = "4:3";
      break;
    case AspectChoice::k16x9:
      options.AspectRatio = "16:9";
      break;
    case AspectChoice::kOriginal: {
      const std::string shape = display_aspect > 0 ? AspectRatioText(display_aspect) : "";
      options.AspectRatio = shape.empty() ? AspectRatioFromVideoSize(video_size_text) : shape;
      break;
    }
    case AspectChoice::kNone:
      break;
  }
}

namespace {

// "W:H", "W/H" or a decimal ratio; 0 when the text reads as none.
double RatioOf(const std::string& text) {
  const size_t colon = text.find_first_of(":/");
  double num = 0, den = 1;
  if (colon == std::string::npos) return ParseNumber(text, num) && num > 0 ? num : 0;
  if (!ParseNumber(text.substr(0, colon), num) || !ParseNumber(text.substr(colon + 1), den) ||
      num <= 0 || den <= 0)
    return 0;
  return num / den;
}

int EvenBelow(double value) {
  return static_cast<int>(std::floor(value / 2.0)) * 2;
}

}  // namespace

void ApplyLetterBox(const std::string& video_size_text, TOutputOptions& options) {
  const size_t x = options.FrameSize.find('x');
  if (x == std::string::npos) return;
  double frame_w = 0, frame_h = 0;
  if (!ParseNumber(options.FrameSize.substr(0, x), frame_w) ||
      !ParseNumber(options.FrameSize.substr(x + 1), frame_h) || frame_w < 2 || frame_h < 2)
    return;
  double aspect = RatioOf(options.AspectRatio);
  if (!(aspect > 0)) aspect = RatioOf(AspectRatioFromVideoSize(video_size_text));
  if (!(aspect > 0)) return;
  const int width = static_cast<int>(frame_w), height = static_cast<int>(frame_h);
  // The largest even-sized picture of that aspect inside the frame, centred on even lines.
  int inner_w = width, inner_h = height;
  if (aspect > frame_w / frame_h)
    inner_h = std::max(2, EvenBelow(frame_w / aspect + 1.0));
  else
    inner_w = std::max(2, EvenBelow(frame_h * aspect + 1.0));
  inner_w = std::min(inner_w, width - width % 2);
  inner_h = std::min(inner_h, height - height % 2);
  const int pad_x = width - inner_w, pad_y = height - inner_h;
  options.FrameSize = std::to_string(inner_w) + "x" + std::to_string(inner_h);
  options.PadLeft = EvenBelow(pad_x / 2.0);
  options.PadRight = pad_x - options.PadLeft;
  options.PadTop = EvenBelow(pad_y / 2.0);
  options.PadBottom = pad_y - options.PadTop;
  options.AspectRatio = std::to_string(width) + ":" + std::to_string(height);
}

namespace {

// The pixel shapes (width / height of a pixel) an MPEG-1 sequence header can name.
constexpr double kMpeg1PixelShapes[] = {1.0,    1.4848, 1.4222, 1.3132, 1.2415, 1.1853, 1.1192,
                                        1.0921, 1.0188, 0.9751, 0.9350, 0.9132, 0.8639, 0.8323};
// The display shapes an MPEG-2 sequence header can name besides square pixels.
constexpr double kMpeg2DisplayShapes[] = {4.0 / 3.0, 16.0 / 9.0, 2.21};
// How far a named shape may be from the wanted one (the nearest MPEG-1 shape to 16:9 on a
// 4:3 frame is 1.5 % off).
constexpr double kShapeTolerance = 0.02;

bool Near(double a, double b) {
  return std::fabs(a / b - 1.0) <= kShapeTolerance;
}

}  // namespace

bool AspectCodesCannotSay(const TOutputOptions& options) {
  const bool mpeg1 = options.VideoCodec == "mpeg1video";
  if (!mpeg1 && options.VideoCodec != "mpeg2video") return false;
  const size_t x = options.FrameSize.find('x');
  double width = 0, height = 0;
  if (x == std::string::npos || !ParseNumber(options.FrameSize.substr(0, x), width) ||
      !ParseNumber(options.FrameSize.substr(x + 1), height) || width < 2 || height < 2)
    return false;
  const double aspect = RatioOf(options.AspectRatio);
  if (!(aspect > 0)) return false;
  const double pixel_shape = aspect * height / width;
  if (mpeg1) {
    for (double shape : kMpeg1PixelShapes)
      if (Near(pixel_shape, shape)) return false;
    return true;
  }
  if (Near(pixel_shape, 1.0)) return false;
  for (double shape : kMpeg2DisplayShapes)
    if (Near(aspect, shape)) return false;
  return true;
}

std::string RunCountsText(const TRunCounts& counts) {
  std::string text = std::to_string(counts.done) + " done";
  if (counts.warned > 0) text += " (" + std::to_string(counts.warned) + " with a warning)";
  text += ", " + std::to_string(counts.failed) + " failed, " + std::to_string(counts.aborted) +
          " aborted";
  if (counts.not_started > 0) text += ", " + std::to_string(counts.not_started) + " not started";
  return text;
}

int DurationLimitMs(const std::string& duration_text) {
  return (duration_text == "00:00:00" || duration_text == "Unknown") ? kTenHoursMs : -1;
}

namespace {

// The input the job opens for SOURCE: the file itself, or for a RealMedia file a script that
// reads it (written now). False with setup.Error set when the script cannot be written.
bool ChooseJobInput(const std::string& source, TConversionJobSetup& setup) {
  setup.InputPath = source;
  std::string source_extension;
  if (const size_t dot = ExtensionStart(source); dot != std::string::npos) {
    source_extension = source.substr(dot);
    for (char& c : source_extension) {
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  try {
    if (source_extension == ".rmvb") {
      setup.ScriptPath = WriteRmvbScript(source, ProgramFolder());
      setup.InputPath = setup.ScriptPath;
    }
  } catch (const std::exception& e) {
    setup.Error = e.what();
    return false;
  }
  return true;
}

// Fits OUTPUT to the picture size and duration of the source: the row's, or the source as job
// INDEX opened it (a RealMedia source is opened through its script, so the file is probed).
void FitOutputToSource(TCustomJobComponent& component, int index, const TMainSettings& settings,
                       const TConversionRow& row, TConversionJobSetup& setup,
                       TOutputOptions& output) {
  std::string video_size = row.VideoSize, duration = row.Duration;
  double display_aspect = row.DisplayAspect;
  if (row.ColumnsFromJob) {
    setup.SourceColumns = setup.InputPath == row.SourcePath ? component.SourceColumns(index)
                                                            : component.ProbeFile(row.SourcePath);
    video_size = setup.SourceColumns.video_size;
    duration = setup.SourceColumns.duration;
    display_aspect = setup.SourceColumns.display_aspect;
  }
  const int item = settings.ComboAspectRatio.ItemIndex();
  ApplyAspectRule(item >= 0 && item <= 2 ? static_cast<AspectChoice>(item) : AspectChoice::kNone,
                  video_size, output, display_aspect);
  if (settings.ComboLetterBox.Text() == "LetterBox" || AspectCodesCannotSay(output))
    ApplyLetterBox(video_size, output);
  if (const int limit_ms = DurationLimitMs(duration); limit_ms > 0) output.Duration = limit_ms;
}

// Chooses the rates of OUTPUT that fit it into TARGET bytes, from the source as the job opened
// it, and sets the size the finished output may not exceed. Returns why it cannot fit, or "".
std::string FitJobIntoSize(TCustomJobComponent& component, int index, const TMainSettings& settings,
                           const TConversionRow& row, TConversionJobSetup& setup,
                           std::int64_t target, TOutputOptions& output) {
  ProbeColumns columns = setup.SourceColumns;
  if (!columns.ok)
    columns = setup.InputPath == row.SourcePath ? component.SourceColumns(index)
                                                : component.ProbeFile(row.SourcePath);
  const TSizeFit fit =
      FitIntoSize(output, settings.OutputExtension, columns, target, kTargetShareFirst);
  if (!fit.Ok) return fit.Error;
  output.MaxOutputBytes = target;
  return "";
}

}  // namespace

TConversionJobSetup SetUpConversionJob(TCustomJobComponent& component,
                                       const TMainSettings& settings,
                                       const std::string& output_folder, bool overwrite,
                                       const TConversionRow& row, const TReservedPath& reserved,
                                       const TJobExtras& extras) {
  TConversionJobSetup setup;
  // The name byte for byte: blanks at either end belong to it.
  const std::string& source = row.SourcePath;
  std::string extension = "." + settings.OutputExtension;
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!ChooseJobInput(source, setup)) return setup;

  TInputOptions input;
  ResetInputOptions(input);
  input.FileName = setup.InputPath;
  input.StartTime = 0;
  const int index = component.AddInputFile(setup.InputPath, &input);
  if (index < 0) {
    setup.Error = component.LastError();
    return setup;
  }
  // Chosen once the input is open: a file that the input names (a playlist's entry, a
  // script's source) is in use like the source itself.
  const TReservedPath in_use = [&](const std::string& path) {
    return (reserved && reserved(path)) || component.ReadsFile(index, path);
  };
  setup.OutputPath = OutputFilePath(output_folder, source, extension, overwrite, in_use);

  TOutputOptions output;
  ResetOutputOptions(output);
  try {
    FillProfileOptions(settings, output);
  } catch (const std::exception& e) {
    // The job has no output: left in the list it would be reported as ended without a run.
    component.RemoveTask(index);
    setup.Error = e.what();
    return setup;
  }
  if (const FormatCatalogueEntry* format = SelectedFormat(settings))
    output.Device = std::string(format->Device);
  FitOutputToSource(component, index, settings, row, setup, output);
  output.CheckOutput = extras.CheckOutput;
  if (extras.TargetSizeBytes > 0) {
    const std::string fit_error =
        FitJobIntoSize(component, index, settings, row, setup, extras.TargetSizeBytes, output);
    if (!fit_error.empty()) {
      component.RemoveTask(index);
      setup.Error = fit_error;
      return setup;
    }
  }

  if (!component.SetOutputFile(index, setup.OutputPath, &output)) {
    setup.Error = component.LastError();
    component.RemoveTask(index);
    return setup;
  }
  component.SetReplaceExistingOutput(index, overwrite);
  setup.Index = index;
  setup.Ok = true;
  return setup;
}
