#include "AvsInput.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
}

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "FilterLibrary.h"
#include "LocalInput.h"
#include "OpenErrors.h"

namespace {

constexpr std::streamsize kMaxScriptBytes = 64 * 1024;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// Backslash-escapes SPECIAL characters (and the escape characters themselves) of TEXT.
std::string Escape(const std::string& text, const char* special) {
  char* escaped = nullptr;
  if (av_escape(&escaped, text.c_str(), special, AV_ESCAPE_MODE_BACKSLASH,
                AV_ESCAPE_FLAG_WHITESPACE) < 0 ||
      !escaped)
    return text;
  std::string result = escaped;
  av_free(escaped);
  return result;
}

struct SourceStreams {
  std::string format;  // the demuxer that reads the source (one of its names)
  bool video = false;
  bool audio = false;
  int64_t duration_us = AV_NOPTS_VALUE;
  double picture_s = 0;  // time of one picture of the source's video, 0 when unknown
};

// Opens the source under the rules of every input (LocalInput.h) to learn its streams. The
// filter library opens it a second time without those rules, so only a regular file that names
// no other files passes: ERROR_TEXT says why another one does not.
int InspectSource(const std::string& path, const AVIOInterruptCB* interrupt, SourceStreams& streams,
                  std::string& error_text) {
  if (std::string why = NotARegularFileText(path); !why.empty()) {
    error_text = why;
    return AVERROR(EPERM);
  }
  TReadGuard no_guard;
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) return AVERROR(ENOMEM);
  raw->interrupt_callback = interrupt ? *interrupt : no_guard.Callback();
  const TReadGuard* interrupt_guard = TReadGuard::Of(raw->interrupt_callback);
  const TReadGuard& guard = interrupt_guard ? *interrupt_guard : no_guard;
  int ret = ApplyLocalInputRules(raw, path);
  if (ret < 0) {
    avformat_free_context(raw);
    return ret;
  }
  ret = avformat_open_input(&raw, LocalFileUrl(path).c_str(), nullptr, nullptr);
  if (ret < 0) {  // the context is freed by the library
    error_text = ReadStopText(guard, path);
    if (error_text.empty()) error_text = LocalInputRefusalText(ret, path, guard);
    return ret;
  }
  InputFormatPtr ctx(raw);
  if (ReadsOtherFiles(ctx->iformat)) {
    error_text = FormatWithFileName("%s: a playlist cannot be the source of a script", path);
    return AVERROR(EPERM);
  }
  ret = avformat_find_stream_info(ctx.get(), nullptr);
  if (std::string why = ReadStopText(guard, path); !why.empty()) {
    error_text = why;
    return ret < 0 ? ret : AVERROR_EXIT;
  }
  if (ret < 0) return ret;
  const std::string names = ctx->iformat->name;
  streams.format = names.substr(0, names.find(','));
  for (unsigned i = 0; i < ctx->nb_streams; ++i) {
    const AVStream* st = ctx->streams[i];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(st->disposition & AV_DISPOSITION_ATTACHED_PIC) && !streams.video) {
      streams.video = true;
      const AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
      if (rate.num > 0 && rate.den > 0 && av_q2d(rate) >= 1) streams.picture_s = 1 / av_q2d(rate);
    }
    if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) streams.audio = true;
  }
  streams.duration_us = ctx->duration;
  return 0;
}

}  // namespace

bool IsAvsScript(const std::string& file_name) {
  return file_name.size() >= 4 && Lower(file_name.substr(file_name.size() - 4)) == ".avs";
}

int ReadAvsScript(const std::string& file_name, AvsScript& script) {
  std::ifstream in(file_name, std::ios::binary);
  if (!in) return AVERROR(ENOENT);
  std::string text(kMaxScriptBytes, '\0');
  in.read(text.data(), kMaxScriptBytes);
  text.resize(static_cast<size_t>(in.gcount()));

  const std::string lower = Lower(text);
  const std::string call = "directshowsource";
  // The call, not the plug-in's file name "DirectShowSource.dll" of the LoadPlugin line.
  size_t pos = 0;
  for (size_t at = lower.find(call);; at = lower.find(call, at + 1)) {
    if (at == std::string::npos) return AVERROR(EINVAL);
    pos = lower.find_first_not_of(" \t", at + call.size());
    if (pos != std::string::npos && text[pos] == '(') break;
  }
  pos = lower.find_first_not_of(" \t", pos + 1);
  if (pos == std::string::npos || text[pos] != '"') return AVERROR(EINVAL);
  // A string in triple quotes may hold the double quote itself.
  const size_t quote_size = text.compare(pos, 3, "\"\"\"") == 0 ? 3 : 1;
  const std::string quote(quote_size, '"');
  const auto path_end = text.find(quote, pos + quote_size);
  if (path_end == std::string::npos || path_end == pos + quote_size) return AVERROR(EINVAL);
  const auto close = text.find(')', path_end + quote_size);
  const auto line_end = text.find_first_of("\r\n", path_end);
  if (close == std::string::npos || (line_end != std::string::npos && line_end < close))
    return AVERROR(EINVAL);

  AvsScript result;
  result.source_path = text.substr(pos + quote_size, path_end - pos - quote_size);
  // A string of the script language ends on its own line.
  if (result.source_path.find_first_of("\r\n") != std::string::npos) return AVERROR(EINVAL);
  std::istringstream args(text.substr(path_end + quote_size, close - path_end - quote_size));
  std::string arg;
  while (std::getline(args, arg, ',')) {
    const auto eq = arg.find('=');
    if (eq == std::string::npos) continue;
    if (Lower(Trim(arg.substr(0, eq))) != "fps") continue;
    const std::string value = Trim(arg.substr(eq + 1));
    char* end = nullptr;
    const double fps = std::strtod(value.c_str(), &end);
    if (end == value.c_str() || *end != '\0' || !(fps > 0) || fps > 1000) return AVERROR(EINVAL);
    result.frame_rate = av_d2q(fps, 100000);
  }
  script = result;
  return 0;
}

std::string AvsFilterGraph(const AvsScript& script, bool video, bool audio, double last_picture_s,
                           const std::string& format) {
  // Two parsers read the text: the graph parser (separators "[],;") and then the movie
  // filter's option parser (":" and "="), so the path is escaped for both, innermost first.
  // A "file:" URL: no part of the name is taken for a protocol.
  const std::string path = Escape(Escape(LocalFileUrl(script.source_path), ":="), "[],;");
  std::string graph = "movie=filename=" + path + ":";
  // The format found when the source was looked at, so that it is read the same way again.
  if (!format.empty()) graph += "format_name=" + Escape(Escape(format, ":="), "[],;") + ":";
  graph += "streams=";
  if (video && audio)
    graph += "dv+da[vsrc][out1]";
  else if (video)
    graph += "dv[vsrc]";
  else
    graph += "da[out0]";
  if (video) {
    if (script.frame_rate.num > 0) {
      graph += ";[vsrc]";
      if (last_picture_s > 0) {
        char pad[96];
        std::snprintf(pad, sizeof pad, "tpad=stop_mode=clone:stop_duration=%.6f,", last_picture_s);
        graph += pad;
      }
      graph += "fps=fps=" + std::to_string(script.frame_rate.num) + "/" +
               std::to_string(script.frame_rate.den) + "[out0]";
    } else
      graph += ";[vsrc]null[out0]";
  }
  return graph;
}

int OpenAvsInput(const AvsScript& script, const AVIOInterruptCB* interrupt, AvsInput& input,
                 std::string& error_text) {
  SourceStreams streams;
  int ret = InspectSource(script.source_path, interrupt, streams, error_text);
  if (ret < 0) {
    if (error_text.empty()) error_text = OpenErrorText(ret, script.source_path);
    return ret;
  }
  if (!streams.video && !streams.audio) {
    error_text = FormatWithFileName("%s: could not find codec parameters", script.source_path);
    return AVERROR_STREAM_NOT_FOUND;
  }

  if (!RegisterDeviceFormats(error_text)) return AVERROR(ENOSYS);
  const AVInputFormat* lavfi = av_find_input_format("lavfi");
  if (!lavfi) {
    error_text = FormatWithFileName("%s: Unknown format", script.source_path);
    return AVERROR_DEMUXER_NOT_FOUND;
  }

  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) {
    error_text = OpenErrorText(AVERROR(ENOMEM), script.source_path);
    return AVERROR(ENOMEM);
  }
  if (interrupt) raw->interrupt_callback = *interrupt;
  const std::string graph =
      AvsFilterGraph(script, streams.video, streams.audio, streams.picture_s, streams.format);
  ret = avformat_open_input(&raw, graph.c_str(), lavfi, nullptr);
  if (ret < 0) {
    error_text = FormatWithFileName("%s: Error while opening file", script.source_path) + " (" +
                 LibraryErrorText(ret) + ")";
    return ret;
  }
  input.context.reset(raw);
  input.source_duration_us = streams.duration_us;
  input.has_video = streams.video;
  input.has_audio = streams.audio;
  return 0;
}
