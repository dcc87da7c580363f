// libavfilter and libavdevice are loaded the first time a run needs them (deinterlacing,
// turning pictures upright, script input), not when the program starts: together with the
// libraries they pull in they are about a third of what the program would load, and loading
// them at start cost every conversion about 50 ms whether it filtered or not.
#pragma once

#include <string>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

// The libavfilter functions the engine uses, found in the loaded library.
struct TFilterLibrary {
  decltype(&avfilter_get_by_name) get_by_name = nullptr;
  decltype(&avfilter_graph_alloc) graph_alloc = nullptr;
  decltype(&avfilter_graph_create_filter) graph_create_filter = nullptr;
  decltype(&avfilter_graph_parse_ptr) graph_parse_ptr = nullptr;
  decltype(&avfilter_graph_config) graph_config = nullptr;
  decltype(&avfilter_graph_free) graph_free = nullptr;
  decltype(&avfilter_inout_alloc) inout_alloc = nullptr;
  decltype(&avfilter_inout_free) inout_free = nullptr;
  decltype(&avfilter_link) link = nullptr;
  decltype(&av_buffersrc_add_frame) buffersrc_add_frame = nullptr;
  decltype(&av_buffersrc_add_frame_flags) buffersrc_add_frame_flags = nullptr;
  decltype(&av_buffersink_get_frame) buffersink_get_frame = nullptr;
  decltype(&av_buffersink_get_time_base) buffersink_get_time_base = nullptr;
};

// Loads libavfilter on the first call (any thread) and returns its functions. Throws
// FFMpegException ("Load libraray libavfilter.so.8 error: ...") when the library or one of the
// functions cannot be found.
const TFilterLibrary& FilterLibrary();

// Frees a graph made through FilterLibrary(); a null graph needs no library.
void FreeFilterGraph(AVFilterGraph** graph);

// Loads libavdevice and registers its input formats (among them "lavfi") once. False, with
// ERROR_TEXT naming the library and the reason, when it cannot be loaded.
bool RegisterDeviceFormats(std::string& error_text);
