// TFileSet: the files of one conversion job: opened inputs, prepared outputs with the codec
// context of every output stream, the stream and meta-data maps, per-input time-stamp offsets
// and scales, the outputs' file names and the loaded frame hooks. File set-up fills it, the
// transcoder reads it (and moves an input's offset at a time-stamp discontinuity), and
// Release() or the destructor frees it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "AVPtr.h"
#include "FrameHook.h"
#include "ReadGuard.h"

// Limits of the engine's tables.
inline constexpr int kMaxFiles = 20;           // input files, and output files
inline constexpr int kMaxStreamMaps = 20;      // "map"
inline constexpr int kMaxMetaDataMaps = 20;    // "map_meta_data"
inline constexpr int kMaxStreamsPerFile = 20;  // cells of the per-file, per-stream tables

struct StreamMapEntry {
  int FileIndex = 0;
  int StreamIndex = 0;
  int SyncFileIndex = 0;
  int SyncStreamIndex = 0;
};

struct MetaDataMapEntry {
  int OutFile = 0;
  int InFile = 0;
};

class TFileSet {
 public:
  TFileSet() = default;
  TFileSet(const TFileSet&) = delete;
  TFileSet& operator=(const TFileSet&) = delete;
  ~TFileSet() { Release(); }

  // Frees everything and leaves an empty file set; safe to run more than once. An output still
  // under its temporary name is unfinished and removed; an output file that exists with 0 bytes
  // is deleted (it is no result). Opened codecs are closed under the process-wide codec lock.
  void Release();

  std::array<InputFormatPtr, kMaxFiles> InputFiles;
  std::array<int64_t, kMaxFiles> InputTsOffset{};  // microseconds ("itsoffset")
  // Per input file and stream ("itsscale"); 0 means no scaling.
  std::array<std::array<double, kMaxStreamsPerFile>, kMaxFiles> InputTsScale{};
  int InputFileCount = 0;
  // Rate emulation ("re") of each input file, as it was when the file was opened.
  std::array<bool, kMaxFiles> InputRateEmu{};

  std::array<OutputFormatPtr, kMaxFiles> OutputFiles;
  int OutputFileCount = 0;
  // Codec context of every output stream, [output file][stream]: file set-up creates and
  // configures it (not opened; for stream copy it carries only the codec type), the transcoder
  // opens it. The library's streams have no codec context of their own any more.
  std::array<std::array<CodecContextPtr, kMaxStreamsPerFile>, kMaxFiles> OutputCodecs;
  // Streams copied without re-encoding (codec "copy"), [output file][stream].
  std::array<std::array<bool, kMaxStreamsPerFile>, kMaxFiles> OutputStreamCopy{};
  // Final name of each output prepared by OpenOutputFile; empty for outputs that write no file
  // or that were opened by the caller.
  std::array<std::string, kMaxFiles> OutputPaths;
  // Temporary name of each output while its run writes it, and a descriptor of its folder
  // (-1 when none), through which an unfinished file is removed even when the folder was moved.
  std::array<std::string, kMaxFiles> OutputPartPaths;
  std::array<int, kMaxFiles> OutputFolderFds = MakeNoFolders();
  // Every file the inputs have read so far (the inputs and the files they name, such as a
  // script's source or a playlist's entries): no output may replace one. Filled by the job's
  // read guard on the job's thread.
  std::vector<TFileId> ReadFiles;

  std::array<StreamMapEntry, kMaxStreamMaps> StreamMaps{};
  int StreamMapCount = 0;
  std::array<MetaDataMapEntry, kMaxMetaDataMaps> MetaDataMaps{};
  int MetaDataMapCount = 0;

  TFrameHookChain FrameHooks;  // modules loaded by "vhook"

 private:
  static std::array<int, kMaxFiles> MakeNoFolders() {
    std::array<int, kMaxFiles> fds;
    fds.fill(-1);
    return fds;
  }
  void ReleaseOutput(int index);
};
