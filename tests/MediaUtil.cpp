#include "MediaUtil.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace media {
namespace fs = std::filesystem;

namespace {

std::string JoinArgs(const std::vector<std::string>& argv) {
  std::string text;
  for (const auto& arg : argv) {
    if (!text.empty()) text += ' ';
    text += arg;
  }
  return text;
}

Rational ParseRational(const std::string& text) {
  Rational r;
  const auto slash = text.find_first_of("/:");
  try {
    if (slash == std::string::npos) {
      r.num = std::stoll(text);
      r.den = 1;
    } else {
      r.num = std::stoll(text.substr(0, slash));
      r.den = std::stoll(text.substr(slash + 1));
    }
  } catch (const std::exception&) {
    return {};
  }
  return r;
}

double ParseDouble(const std::string& text, double fallback) {
  if (text.empty() || text == "N/A") return fallback;
  try {
    return std::stod(text);
  } catch (const std::exception&) {
    return fallback;
  }
}

int64_t ParseInt(const std::string& text, int64_t fallback) {
  if (text.empty() || text == "N/A") return fallback;
  try {
    return std::stoll(text);
  } catch (const std::exception&) {
    return fallback;
  }
}

std::string Field(const std::map<std::string, std::string>& fields, const std::string& key) {
  const auto it = fields.find(key);
  return it == fields.end() ? std::string() : it->second;
}

ProbeStream MakeStream(const std::map<std::string, std::string>& f) {
  ProbeStream s;
  s.fields = f;
  s.index = static_cast<int>(ParseInt(Field(f, "index"), -1));
  s.codec_type = Field(f, "codec_type");
  s.codec_name = Field(f, "codec_name");
  s.width = static_cast<int>(ParseInt(Field(f, "width"), 0));
  s.height = static_cast<int>(ParseInt(Field(f, "height"), 0));
  s.pix_fmt = Field(f, "pix_fmt");
  s.r_frame_rate = ParseRational(Field(f, "r_frame_rate"));
  s.avg_frame_rate = ParseRational(Field(f, "avg_frame_rate"));
  s.time_base = ParseRational(Field(f, "time_base"));
  s.sample_aspect_ratio = ParseRational(Field(f, "sample_aspect_ratio"));
  s.sample_rate = static_cast<int>(ParseInt(Field(f, "sample_rate"), 0));
  s.channels = static_cast<int>(ParseInt(Field(f, "channels"), 0));
  s.sample_fmt = Field(f, "sample_fmt");
  s.duration_s = ParseDouble(Field(f, "duration"), -1);
  s.bit_rate = ParseInt(Field(f, "bit_rate"), -1);
  return s;
}

}  // namespace

TempDir::TempDir() {
  std::random_device rd;
  const auto base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto candidate = base / ("quorvin-test-" + std::to_string(::getpid()) + "-" +
                                   std::to_string(rd() % 1000000));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
  ADD_FAILURE() << "could not create a temporary folder under " << base;
  path_ = base;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (path_ != fs::temp_directory_path(ec)) fs::remove_all(path_, ec);
}

std::string TempDir::File(const std::string& name) const {
  return (path_ / name).string();
}

CommandResult RunCommand(const std::vector<std::string>& argv) {
  CommandResult result;
  if (argv.empty()) return result;
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) return result;
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    return result;
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid == 0) {
    const int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
    ::dup2(out_pipe[1], STDOUT_FILENO);
    ::dup2(err_pipe[1], STDERR_FILENO);
    ::execvp(args[0], args.data());
    const char msg[] = "exec failed\n";
    [[maybe_unused]] auto n = ::write(STDERR_FILENO, msg, sizeof msg - 1);
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (pid < 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    return result;
  }

  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  char buffer[65536];
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (auto& p : fds)
    if (p.fd >= 0) ::close(p.fd);

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool MakeMedia(const std::string& output, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-y", "-hide_banner", "-v", "error"};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(output);
  const auto r = RunCommand(argv);
  std::error_code ec;
  if (r.exit_code != 0 || !fs::exists(output, ec)) {
    ADD_FAILURE() << "ffmpeg failed (exit " << r.exit_code << "): " << JoinArgs(argv) << "\n"
                  << r.err;
    return false;
  }
  return true;
}

std::vector<std::string> VideoSource(double seconds, const std::string& size,
                                     const std::string& rate) {
  std::ostringstream src;
  src << "testsrc=size=" << size << ":rate=" << rate << ":duration=" << seconds;
  return {"-f", "lavfi", "-i", src.str()};
}

std::vector<std::string> AudioSource(double seconds, int sample_rate, int channels) {
  std::ostringstream src;
  src << "sine=frequency=440:sample_rate=" << sample_rate << ":duration=" << seconds
      << ",aformat=channel_layouts=" << channels << "c";
  return {"-f", "lavfi", "-i", src.str()};
}

bool MakeAudioVideo(const std::string& output, const std::vector<std::string>& codec_args,
                    double seconds, const std::string& size, const std::string& rate) {
  std::ostringstream vsrc, asrc;
  vsrc << "testsrc=size=" << size << ":rate=" << rate << ":duration=" << seconds;
  asrc << "sine=frequency=440:sample_rate=44100:duration=" << seconds;
  std::vector<std::string> args = {"-f", "lavfi", "-i", vsrc.str(),
                                   "-f", "lavfi", "-i", asrc.str()};
  args.insert(args.end(), codec_args.begin(), codec_args.end());
  return MakeMedia(output, args);
}

std::optional<ProbeStream> ProbeInfo::First(const std::string& codec_type) const {
  for (const auto& s : streams)
    if (s.codec_type == codec_type) return s;
  return std::nullopt;
}

int ProbeInfo::Count(const std::string& codec_type) const {
  int n = 0;
  for (const auto& s : streams)
    if (s.codec_type == codec_type) ++n;
  return n;
}

ProbeInfo Probe(const std::string& path) {
  ProbeInfo info;
  const auto r = RunCommand(
      {"ffprobe", "-v", "error", "-show_format", "-show_streams", "-of", "default", path});
  if (r.exit_code != 0) {
    info.error = r.err.empty() ? "ffprobe exited with " + std::to_string(r.exit_code) : r.err;
    return info;
  }
  info.ok = true;
  std::istringstream in(r.out);
  std::string line;
  std::map<std::string, std::string> fields;
  std::string section;
  while (std::getline(in, line)) {
    if (line == "[STREAM]" || line == "[FORMAT]") {
      section = line;
      fields.clear();
    } else if (line == "[/STREAM]") {
      info.streams.push_back(MakeStream(fields));
      section.clear();
    } else if (line == "[/FORMAT]") {
      info.format_fields = fields;
      info.format_name = Field(fields, "format_name");
      info.duration_s = ParseDouble(Field(fields, "duration"), -1);
      info.start_time_s = ParseDouble(Field(fields, "start_time"), 0);
      info.bit_rate = ParseInt(Field(fields, "bit_rate"), -1);
      section.clear();
    } else if (!section.empty()) {
      const auto eq = line.find('=');
      if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return info;
}

std::map<int, PacketTimes> PacketTimesPerStream(const std::string& path) {
  std::map<int, PacketTimes> times;
  const auto r =
      RunCommand({"ffprobe", "-v", "error", "-show_entries",
                  "packet=stream_index,pts_time,dts_time,duration_time", "-of", "csv=p=0", path});
  if (r.exit_code != 0) {
    ADD_FAILURE() << "ffprobe could not read the packets of " << path << ": " << r.err;
    return times;
  }
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    // The entries come in the stream's own field order: stream_index,pts_time,dts_time,duration
    std::vector<std::string> parts;
    std::stringstream ls(line);
    std::string part;
    while (std::getline(ls, part, ',')) parts.push_back(part);
    if (parts.size() < 3) continue;
    const int index = static_cast<int>(ParseInt(parts[0], -1));
    const double pts = ParseDouble(parts[1], NAN);
    const double dts = ParseDouble(parts[2], NAN);
    const double dur = parts.size() > 3 ? ParseDouble(parts[3], 0) : 0;
    if (index < 0 || (std::isnan(pts) && std::isnan(dts))) continue;
    const double p = std::isnan(pts) ? dts : pts;
    const double d = std::isnan(dts) ? pts : dts;
    auto [it, fresh] = times.try_emplace(index);
    PacketTimes& t = it->second;
    if (fresh) {
      t.first_pts_s = t.last_pts_s = p;
      t.first_dts_s = t.last_dts_s = d;
      t.end_s = p + dur;
    }
    t.count++;
    t.first_pts_s = std::min(t.first_pts_s, p);
    t.last_pts_s = std::max(t.last_pts_s, p);
    t.end_s = std::max(t.end_s, p + dur);
    t.first_dts_s = std::min(t.first_dts_s, d);
    t.last_dts_s = std::max(t.last_dts_s, d);
  }
  return times;
}

DecodedSound DecodeSound(const std::string& path) {
  DecodedSound sound;
  const auto rate = RunCommand({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                "stream=sample_rate", "-of", "csv=p=0", path});
  const double sample_rate = ParseDouble(rate.out, 0);
  const auto r = RunCommand({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                             "frame=pts_time,nb_samples", "-of", "csv=p=0", path});
  if (r.exit_code != 0 || sample_rate <= 0) return sound;
  std::istringstream in(r.out);
  std::string line;
  double position = 0;
  while (std::getline(in, line)) {
    const auto comma = line.find(',');
    if (comma == std::string::npos) continue;
    const double pts = ParseDouble(line.substr(0, comma), NAN);
    const int64_t n = ParseInt(line.substr(comma + 1), 0);
    if (n <= 0) continue;
    // A frame without a time stamp follows the one before it.
    const double at = std::isnan(pts) ? position : pts;
    if (sound.frames++ == 0) sound.start_s = at;
    sound.samples += n;
    position = at + static_cast<double>(n) / sample_rate;
    sound.end_s = std::max(sound.end_s, position);
  }
  return sound;
}

::testing::AssertionResult DecodesCleanly(const std::string& path) {
  const auto r = RunCommand(
      {"ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-i", path, "-f", "null", "-"});
  if (r.exit_code != 0 || !r.err.empty())
    return ::testing::AssertionFailure()
           << path << " does not decode cleanly (exit " << r.exit_code << "):\n"
           << r.err;
  return ::testing::AssertionSuccess();
}

GstInfo GstDiscover(const std::string& path) {
  GstInfo info;
  const auto r = RunCommand({"gst-discoverer-1.0", "-v", path});
  if (r.exit_code != 0) {
    info.error = r.exit_code == 127 ? "gst-discoverer-1.0 not found (scripts/install-deps.sh)"
                                    : r.out + r.err;
    return info;
  }
  info.caps = r.out;
  // "Duration: 0:00:07.982566666"
  const size_t at = r.out.find("Duration: ");
  if (at == std::string::npos) {
    info.error = "no duration in:\n" + r.out;
    return info;
  }
  int hours = 0, minutes = 0;
  double seconds = 0;
  if (std::sscanf(r.out.c_str() + at + 10, "%d:%d:%lf", &hours, &minutes, &seconds) != 3) {
    info.error = "unreadable duration in:\n" + r.out;
    return info;
  }
  info.duration_s = hours * 3600.0 + minutes * 60.0 + seconds;
  info.ok = true;
  return info;
}

RunningProcess::RunningProcess(const std::vector<std::string>& argv, void (*child_setup)()) {
  int out[2];
  if (argv.empty() || ::pipe2(out, O_CLOEXEC) != 0) return;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    if (child_setup != nullptr) child_setup();
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);
  fd_ = out[0];
}

RunningProcess::~RunningProcess() {
  if (pid_ > 0 && status_ < 0) {
    ::kill(pid_, SIGKILL);
    Wait();
  }
  CloseOutput();
}

bool RunningProcess::WaitForOutput(const std::string& part, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out_.find(part) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || !ReadSome(static_cast<int>(left))) return false;
  }
  return true;
}

void RunningProcess::Signal(int sig) {
  if (pid_ > 0 && status_ < 0) ::kill(pid_, sig);
}

void RunningProcess::CloseOutput() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int RunningProcess::Wait() {
  while (ReadSome(120000)) {
  }
  if (pid_ <= 0) return -1;
  if (status_ >= 0) return status_;
  // A program that hangs is killed after ten more seconds, so that a test fails instead of
  // hanging.
  int status = 0;
  for (int tick = 0; ::waitpid(pid_, &status, WNOHANG) == 0; ++tick) {
    if (tick == 100) ::kill(pid_, SIGKILL);
    ::usleep(100 * 1000);
  }
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_;
}

bool RunningProcess::ReadSome(int timeout_ms) {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) return false;
  char buffer[4096];
  const ssize_t n = ::read(fd_, buffer, sizeof buffer);
  if (n <= 0) return false;
  out_.append(buffer, static_cast<size_t>(n));
  return true;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) ADD_FAILURE() << "could not write " << path;
}

void TruncateCopy(const std::string& from, const std::string& to, std::uintmax_t bytes) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  std::vector<char> buffer(static_cast<size_t>(bytes));
  in.read(buffer.data(), static_cast<std::streamsize>(bytes));
  out.write(buffer.data(), in.gcount());
  if (!out) ADD_FAILURE() << "could not write " << to;
}

// Most video bits within any one second of decode time.
double PeakVideoBitsPerSecond(const std::string& path) {
  const auto r = RunCommand({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                             "packet=dts_time,size", "-of", "csv=p=0", path});
  std::vector<std::pair<double, double>> packets;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    const auto comma = line.find(',');
    if (comma == std::string::npos) continue;
    packets.emplace_back(std::atof(line.c_str()), 8.0 * std::atof(line.c_str() + comma + 1));
  }
  std::sort(packets.begin(), packets.end());
  double best = 0, window = 0;
  size_t first = 0;
  for (const auto& [t, bits] : packets) {
    window += bits;
    while (packets[first].first <= t - 1.0) window -= packets[first++].second;
    best = std::max(best, window);
  }
  return best;
}

}  // namespace media
