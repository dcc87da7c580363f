// Damaged and endless sources. In a job list between good ones the bad job fails with a reason
// (or, for a source cut short, converts what is there and says so), the process goes on, and
// the good jobs convert; outputs are checked with ffprobe.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "AVProbe.h"
#include "JobComponent.h"
#include "MediaUtil.h"

namespace {

using namespace std::chrono_literals;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Position of the first FOURCC after the box FROM (e.g. "avc1" inside "stsd").
size_t BoxAfter(const std::string& bytes, const std::string& from, const std::string& fourcc) {
  const size_t start = bytes.find(from);
  return start == std::string::npos ? std::string::npos : bytes.find(fourcc, start);
}

struct Outcome {
  bool ended = false;
  bool finished = false;
  bool exception = false;
  std::string message;
  std::string warning;
};

}  // namespace

TEST(DamagedInputs, BadSourceFailsWithAReasonAndTheJobsAroundItConvert) {
  media::TempDir dir;
  // 4 s, with the index in front, so that a copy cut short still opens.
  const std::string good = dir.File("good.mp4");
  ASSERT_TRUE(media::MakeMedia(
      good, {"-f", "lavfi", "-i", "testsrc=size=96x64:rate=10:d=4", "-f", "lavfi", "-i",
             "sine=sample_rate=22050:d=4", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac",
             "-b:a", "32k", "-movflags", "+faststart", "-shortest"}));
  const std::string bytes = ReadAll(good);
  const size_t sample_entry = BoxAfter(bytes, "stsd", "avc1");
  const size_t avcc = BoxAfter(bytes, "stsd", "avcC");
  const size_t mdat = bytes.find("mdat");
  ASSERT_NE(sample_entry, std::string::npos);
  ASSERT_NE(avcc, std::string::npos);
  ASSERT_NE(mdat, std::string::npos);
  ASSERT_GT(mdat, avcc);  // faststart: the index comes first

  struct Damage {
    std::string name;
    std::string bytes;
    bool fails;             // the job fails (else it converts with a warning)
    std::string reason;     // part of the failure message or of the warning
    bool cut_short = true;  // a converted source ends early (else it keeps its length)
  };
  std::vector<Damage> damages;
  {
    std::string b = bytes;
    b.replace(sample_entry, 4, "qqq1");
    damages.push_back({"fourcc.mp4", b, true, "Unsupported codec"});
  }
  {
    // The decoder configuration (profile, parameter sets) overwritten with a pattern.
    std::string b = bytes;
    for (size_t i = avcc + 4; i < avcc + 40 && i < b.size(); ++i)
      b[i] = static_cast<char>((i * 37) & 0xff);
    damages.push_back({"avcc.mp4", b, true, "holds no pictures"});
  }
  {
    std::string b = bytes;
    std::mt19937 random(7);
    for (size_t i = mdat + 4; i < b.size(); ++i) b[i] = static_cast<char>(random());
    // What fails first depends on what the probe read from the noise (a made-up channel
    // count, no picture): any reason will do.
    damages.push_back({"noise.mp4", b, true, ""});
  }
  damages.push_back({"cut.mp4", bytes.substr(0, mdat + (bytes.size() - mdat) * 2 / 5), false,
                     "the source ended at "});
  {
    // An AVI cut short loses its index; its header still counts all 40 pictures.
    const std::string avi = dir.File("whole.avi");
    ASSERT_TRUE(media::MakeMedia(
        avi, {"-f", "lavfi", "-i", "testsrc=size=96x64:rate=10:d=4", "-f", "lavfi", "-i",
              "sine=sample_rate=22050:d=4", "-c:v", "mpeg4", "-c:a", "mp2", "-shortest"}));
    const std::string avi_bytes = ReadAll(avi);
    damages.push_back(
        {"cut.avi", avi_bytes.substr(0, avi_bytes.size() / 3), false, "the source ended at "});
  }
  {
    // Every fifth picture of an MJPEG AVI blanked: the decoder refuses those packets, and a run
    // that leaves them out says so.
    const std::string avi = dir.File("whole-mjpeg.avi");
    ASSERT_TRUE(media::MakeMedia(
        avi, {"-f", "lavfi", "-i", "testsrc=size=96x64:rate=10:d=4", "-f", "lavfi", "-i",
              "sine=sample_rate=22050:d=4", "-c:v", "mjpeg", "-c:a", "mp2", "-shortest"}));
    std::string b = ReadAll(avi);
    const size_t movi = b.find("movi");
    const size_t index = b.rfind("idx1");
    ASSERT_NE(movi, std::string::npos);
    int chunk = 0;
    for (size_t at = b.find("00dc", movi); at != std::string::npos && at < index;
         at = b.find("00dc", at + 8)) {
      const auto* size_bytes = reinterpret_cast<const unsigned char*>(b.data() + at + 4);
      const size_t size = size_bytes[0] | size_bytes[1] << 8 | size_bytes[2] << 16 |
                          static_cast<size_t>(size_bytes[3]) << 24;
      if (++chunk % 5 == 0 && at + 8 + size <= b.size()) b.replace(at + 8, size, size, '\0');
    }
    ASSERT_GT(chunk, 30);
    damages.push_back({"blanked.avi", b, false, "8 pictures could not be decoded", false});
  }

  {
    // Time stamps that jump ten hours ahead half way: an MP4 states the jump as the duration
    // of the sample before it, a Matroska copy as the duration of every picture. The gap is
    // closed (not filled with ten hours of one picture) and the run says so.
    const std::string jump = dir.File("jump-source.mp4");
    const char* ahead = "setts=ts='TS+if(gte(PTS*TB,2),36000/TB,0)'";
    ASSERT_TRUE(
        media::MakeMedia(jump, {"-i", good, "-c", "copy", "-bsf:v", ahead, "-bsf:a", ahead}));
    const std::string mkv = dir.File("jump-source.mkv");
    ASSERT_TRUE(media::MakeMedia(mkv, {"-i", jump, "-c", "copy"}));
    for (const auto& [name, path] : {std::pair{"jump.mp4", jump}, std::pair{"jump.mkv", mkv}}) {
      damages.push_back({name, ReadAll(path), false,
                         "the source's time stamps jumped once; the gap was closed", false});
    }
  }

  VIDevozORE component;
  ASSERT_TRUE(component.LoadLibraries()) << component.LastError();
  component.SetLogLevel(llQuiet);
  std::vector<std::string> sources{good};
  for (const auto& d : damages) {
    WriteAll(dir.File(d.name), d.bytes);
    sources.push_back(dir.File(d.name));
  }
  sources.push_back(good);
  std::vector<std::string> outputs;
  for (size_t i = 0; i < sources.size(); ++i) {
    const int index = component.AddInputFile(sources[i]);
    ASSERT_EQ(index, static_cast<int>(i)) << sources[i] << ": " << component.LastError();
    TOutputOptions options;
    options.VideoCodec = "mpeg4";
    options.AudioCodec = "aac";
    outputs.push_back(dir.File("out" + std::to_string(i) + ".mp4"));
    ASSERT_TRUE(component.SetOutputFile(index, outputs.back(), &options)) << component.LastError();
  }

  std::mutex mutex;
  std::condition_variable cv;
  std::vector<Outcome> outcomes(sources.size());
  bool all_ended = false;
  component.OnTerminate = [&](int index, bool finished, bool exception,
                              const std::string& message) {
    std::lock_guard<std::mutex> guard(mutex);
    if (index < 0) {
      all_ended = true;
    } else {
      outcomes[index] = {true, finished, exception, message, component.RunWarning(index)};
    }
    cv.notify_all();
  };
  component.Start(1);
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, 120s, [&] { return all_ended; }));
  }

  for (size_t i = 0; i < sources.size(); ++i) {
    SCOPED_TRACE(sources[i]);
    const Outcome& o = outcomes[i];
    ASSERT_TRUE(o.ended);
    const bool damaged = i > 0 && i <= damages.size();
    if (damaged && damages[i - 1].fails) {
      EXPECT_FALSE(o.finished);
      EXPECT_TRUE(o.exception);
      EXPECT_NE(o.message.find(damages[i - 1].reason), std::string::npos) << o.message;
      EXPECT_FALSE(o.message.empty());
      continue;
    }
    EXPECT_TRUE(o.finished) << o.message;
    EXPECT_FALSE(o.exception) << o.message;
    const auto info = media::Probe(outputs[i]);
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_EQ(info.Count("video"), 1);
    EXPECT_EQ(info.Count("audio"), 1);
    EXPECT_TRUE(media::DecodesCleanly(outputs[i]));
    if (damaged && damages[i - 1].cut_short) {
      // Converted as far as the source goes, and said so.
      EXPECT_NE(o.warning.find(damages[i - 1].reason), std::string::npos) << o.warning;
      EXPECT_NE(o.warning.find(" of 4 s"), std::string::npos) << o.warning;
      EXPECT_LT(info.duration_s, 3.0);
      EXPECT_GT(info.duration_s, 0.5);
    } else if (damaged) {
      EXPECT_EQ(o.warning, damages[i - 1].reason);
      EXPECT_NEAR(info.duration_s, 4.0, 0.2);
    } else {
      EXPECT_EQ(o.warning, "");
      EXPECT_NEAR(info.duration_s, 4.0, 0.2);
    }
  }
}

// A hostile input (a gigabyte of zeros named like a sound file; devices such as /dev/zero are
// refused before they are opened) used to keep the probe reading while memory grew. Stop ends a
// probe in progress, and without one the probe and the job set-up give up after their read
// limit with a reason.
TEST(DamagedInputs, EndlessInputEndsTheProbeAndTheSetUp) {
  media::TempDir dir;
  const std::string endless = dir.File("endless.mp3");
  std::filesystem::resize_file(
      [&] {
        std::ofstream(endless).put('\0');
        return endless;
      }(),
      std::uintmax_t{1} << 30);  // sparse: no disk space used
  VIDevozORE component;
  ASSERT_TRUE(component.LoadLibraries()) << component.LastError();
  component.SetLogLevel(llQuiet);

  // Stop ends the probe in progress; it is repeated, since a stop before the probe began does
  // not count for it.
  std::atomic<bool> probing{true};
  std::thread stopper([&] {
    while (probing) {
      std::this_thread::sleep_for(100ms);
      component.Stop();
    }
  });
  EXPECT_FALSE(component.Probe().Open(endless));
  probing = false;
  stopper.join();
  EXPECT_NE(component.Probe().LastError().find("stopped while opening"), std::string::npos)
      << component.Probe().LastError();

  // The stop ended that probe only; after ClearTasks (which ends the stop for job set-ups) the
  // set-up ends at the read limit.
  component.ClearTasks();
  EXPECT_EQ(component.AddInputFile(endless), -1);
  EXPECT_NE(component.LastError().find("no media data found in the first 128 MB"),
            std::string::npos)
      << component.LastError();
}
