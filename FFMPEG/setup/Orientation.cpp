#include "Orientation.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

extern "C" {
#include <libavutil/display.h>
}

#include "FilterLibrary.h"

namespace {

// -1, 0 or 1 for a matrix element; elements well below a quarter of the matrix's largest
// element count as 0, so scaled matrices classify like unit ones.
int SignOf(int32_t value, int64_t scale) {
  if (std::llabs(value) * 4 < scale) return 0;
  return value < 0 ? -1 : 1;
}

// The filter chain that turns a stored picture upright.
const char* FilterFor(TOrientation orientation) {
  static constexpr std::pair<TOrientation, const char*> kFilters[] = {
      {TOrientation::kRotate90, "transpose=dir=clock"},
      {TOrientation::kRotate270, "transpose=dir=cclock"},
      {TOrientation::kRotate180, "hflip,vflip"},
      {TOrientation::kMirror, "hflip"},
      {TOrientation::kFlip, "vflip"},
      {TOrientation::kTranspose, "transpose=dir=cclock_flip"},
      {TOrientation::kAntiTranspose, "transpose=dir=clock_flip"},
  };
  for (const auto& [stored, filter] : kFilters)
    if (stored == orientation) return filter;
  return nullptr;  // upright
}

}  // namespace

TOrientation OrientationOfMatrix(const int32_t matrix[9]) {
  // A stored point (p, q) is shown at (a p + c q, b p + d q), with y pointing down.
  const int32_t a = matrix[0], b = matrix[1], c = matrix[3], d = matrix[4];
  const int64_t scale = std::max({std::llabs(a), std::llabs(b), std::llabs(c), std::llabs(d)});
  if (scale == 0) return TOrientation::kUpright;
  const int sa = SignOf(a, scale), sb = SignOf(b, scale), sc = SignOf(c, scale),
            sd = SignOf(d, scale);
  if (sb == 0 && sc == 0 && sa != 0 && sd != 0) {
    if (sa > 0 && sd > 0) return TOrientation::kUpright;
    if (sa < 0 && sd < 0) return TOrientation::kRotate180;
    return sa < 0 ? TOrientation::kMirror : TOrientation::kFlip;
  }
  if (sa == 0 && sd == 0 && sb != 0 && sc != 0) {
    if (sb > 0 && sc < 0) return TOrientation::kRotate90;
    if (sb < 0 && sc > 0) return TOrientation::kRotate270;
    return sb > 0 ? TOrientation::kTranspose : TOrientation::kAntiTranspose;
  }
  return TOrientation::kUpright;
}

TOrientation OrientationOf(const AVStream* stream) {
  size_t size = 0;
  const uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (!data || size < 9 * sizeof(int32_t)) return TOrientation::kUpright;
  return OrientationOfMatrix(reinterpret_cast<const int32_t*>(data));
}

bool SwapsAxes(TOrientation orientation) {
  return orientation == TOrientation::kRotate90 || orientation == TOrientation::kRotate270 ||
         orientation == TOrientation::kTranspose || orientation == TOrientation::kAntiTranspose;
}

bool TUprightStep::Configure(const AVFrame* picture) {
  const TFilterLibrary& fl = FilterLibrary();
  graph_.reset(fl.graph_alloc());
  source_ = sink_ = nullptr;
  const char* chain = FilterFor(orientation_);
  if (!graph_ || !chain) return false;
  char args[160];
  std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/1:pixel_aspect=%d/%d",
                picture->width, picture->height, picture->format,
                std::max(picture->sample_aspect_ratio.num, 0),
                std::max(picture->sample_aspect_ratio.den, 1));
  if (fl.graph_create_filter(&source_, fl.get_by_name("buffer"), "in", args, nullptr,
                             graph_.get()) < 0 ||
      fl.graph_create_filter(&sink_, fl.get_by_name("buffersink"), "out", nullptr, nullptr,
                             graph_.get()) < 0) {
    graph_.reset();
    return false;
  }
  AVFilterInOut* outputs = fl.inout_alloc();
  AVFilterInOut* inputs = fl.inout_alloc();
  bool ok = outputs && inputs;
  if (ok) {
    outputs->name = av_strdup("in");
    outputs->filter_ctx = source_;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink_;
    ok = outputs->name && inputs->name &&
         fl.graph_parse_ptr(graph_.get(), chain, &inputs, &outputs, nullptr) >= 0 &&
         fl.graph_config(graph_.get(), nullptr) >= 0;
  }
  fl.inout_free(&outputs);
  fl.inout_free(&inputs);
  if (!ok) {
    graph_.reset();
    return false;
  }
  width_ = picture->width;
  height_ = picture->height;
  format_ = picture->format;
  return true;
}

AVFrame* TUprightStep::Apply(const AVFrame* picture) {
  if (!picture) return nullptr;
  if (!graph_ || width_ != picture->width || height_ != picture->height ||
      format_ != picture->format) {
    if (!Configure(picture)) return nullptr;
  }
  if (!input_) input_.reset(av_frame_alloc());
  if (!output_) output_.reset(av_frame_alloc());
  if (!input_ || !output_) return nullptr;
  if (av_frame_ref(input_.get(), picture) < 0) return nullptr;
  const TFilterLibrary& fl = FilterLibrary();
  const int ret = fl.buffersrc_add_frame(source_, input_.get());
  av_frame_unref(input_.get());
  if (ret < 0) return nullptr;
  av_frame_unref(output_.get());
  if (fl.buffersink_get_frame(sink_, output_.get()) < 0) return nullptr;
  // The filters keep every time stamp; the rest of the picture's properties come along too.
  // The output carries no rotation of its own.
  av_frame_remove_side_data(output_.get(), AV_FRAME_DATA_DISPLAYMATRIX);
  const AVRational sar = picture->sample_aspect_ratio;
  output_->sample_aspect_ratio =
      SwapsAxes(orientation_) && sar.num > 0 && sar.den > 0 ? AVRational{sar.den, sar.num} : sar;
  return output_.get();
}
