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
  bool video = false;
  bool audio = false;
  int64_t duration_us = AV_NOPTS_VALUE;
  double picture_s = 0;  // time of one picture of the source's video, 0 when unknown
};

int InspectSource(const std::string& path, const AVIOInterruptCB* interrupt,
                  SourceStreams& streams) {
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) return AVERROR(ENOMEM);
  if (interrupt) raw->interrupt_callback = *interrupt;
  int ret = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (ret < 0) return ret;  // the context is freed by the library
  InputFormatPtr ctx(raw);
  ret = avformat_find_stream_info(ctx.get(), nullptr);
  if (ret < 0) return ret;
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
  const auto path_end = text.find('"', pos + 1);
  if (path_end == std::string::npos || path_end == pos + 1) return AVERROR(EINVAL);
  const auto close = text.find(')', path_end);
  const auto line_end = text.find_first_of("\r\n", path_end);
  if (close == std::string::npos || (line_end != std::string::npos && line_end < close))
    return AVERROR(EINVAL);

  AvsScript result;
  result.source_path = text.substr(pos + 1, path_end - pos - 1);
  // A string of the script language ends on its own line.
  if (result.source_path.find_first_of("\r\n") != std::string::npos) return AVERROR(EINVAL);
  std::istringstream args(text.substr(path_end + 1, close - path_end - 1));
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

std::string AvsFilterGraph(const AvsScript& script, bool video, bool audio, double last_picture_s) {
  // Two parsers read the text: the graph parser (separators "[],;") and then the movie
  // filter's option parser (":" and "="), so the path is escaped for both, innermost first.
  const std::string path = Escape(Escape(script.source_path, ":="), "[],;");
  std::string graph = "movie=filename=" + path + ":streams=";
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
  int ret = InspectSource(script.source_path, interrupt, streams);
  if (ret < 0) {
    error_text = OpenErrorText(ret, script.source_path);
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
  const std::string graph = AvsFilterGraph(script, streams.video, streams.audio, streams.picture_s);
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
