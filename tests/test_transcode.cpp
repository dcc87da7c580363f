// End-to-end runs of the transcode loop on tiny generated sources, checked with ffprobe and
// the ffmpeg tool. The jobs are set up directly on the engine's fields (input opened, output
// streams and codec contexts made here), so these tests exercise the loop, the video and audio
// paths and packet output on their own.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/time.h>
}

#include "AmrNbEncoder.h"
#include "BoundedQueue.h"
#include "EngineDoor.h"
#include "FrameHook.h"
#include "MediaUtil.h"

namespace {

struct OutTarget {
  std::string video_codec;  // empty: no video stream
  int width = 160, height = 120;
  AVRational rate{25, 1};
  int64_t video_bit_rate = 400000;
  std::string audio_codec;  // empty: no audio stream; "copy" for stream copy
  int sample_rate = 44100;
  int channels = 2;
  int64_t audio_bit_rate = 128000;
  bool video_copy = false;
  std::string subtitle_codec;  // empty: no subtitle stream
};

// Opens INPUT as the engine's first input file, as file set-up does.
void OpenInput(TEngineDoor& e, const std::string& input) {
  AVFormatContext* ic = nullptr;
  ASSERT_GE(avformat_open_input(&ic, input.c_str(), nullptr, nullptr), 0) << input;
  e.Files.InputFiles[e.Files.InputFileCount].reset(ic);
  ASSERT_GE(avformat_find_stream_info(ic, nullptr), 0);
  e.Files.InputTsOffset[e.Files.InputFileCount] =
      ic->start_time == AV_NOPTS_VALUE ? 0 : -ic->start_time;
  e.Files.InputFileCount++;
}

bool HasType(const TEngineDoor& e, AVMediaType type) {
  for (int f = 0; f < e.Files.InputFileCount; ++f)
    for (unsigned s = 0; s < e.Files.InputFiles[f]->nb_streams; ++s)
      if (e.Files.InputFiles[f]->streams[s]->codecpar->codec_type == type) return true;
  return false;
}

// Prepares OUTPUT with the streams of WANT for which the input has a source.
void OpenOutput(TEngineDoor& e, const std::string& output, const OutTarget& want) {
  AVFormatContext* oc = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&oc, nullptr, nullptr, output.c_str()), 0) << output;
  const int file = e.Files.OutputFileCount++;
  e.Files.OutputFiles[file].reset(oc);
  const bool global = oc->oformat->flags & AVFMT_GLOBALHEADER;
  if ((!want.video_codec.empty() || want.video_copy) && HasType(e, AVMEDIA_TYPE_VIDEO)) {
    AVStream* st = avformat_new_stream(oc, nullptr);
    const AVCodec* codec =
        want.video_copy ? nullptr : avcodec_find_encoder_by_name(want.video_codec.c_str());
    ASSERT_TRUE(want.video_copy || codec) << want.video_codec;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    e.Files.OutputCodecs[file][st->index].reset(c);
    c->codec_type = AVMEDIA_TYPE_VIDEO;
    if (want.video_copy) {
      e.Files.OutputStreamCopy[file][st->index] = true;
    } else {
      c->codec_id = codec->id;
      c->width = want.width;
      c->height = want.height;
      c->time_base = av_inv_q(want.rate);
      c->framerate = want.rate;
      c->pix_fmt = codec->pix_fmts ? codec->pix_fmts[0] : AV_PIX_FMT_YUV420P;
      c->bit_rate = want.video_bit_rate;
      c->sample_aspect_ratio = AVRational{1, 1};
      if (global) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
  }
  if (!want.audio_codec.empty() && HasType(e, AVMEDIA_TYPE_AUDIO)) {
    AVStream* st = avformat_new_stream(oc, nullptr);
    AVCodecContext* c = nullptr;
    if (want.audio_codec == "copy") {
      c = avcodec_alloc_context3(nullptr);
      c->codec_type = AVMEDIA_TYPE_AUDIO;
      e.Files.OutputStreamCopy[file][st->index] = true;
    } else if (want.audio_codec == "libamr_nb") {
      c = avcodec_alloc_context3(nullptr);
      c->bit_rate = want.audio_bit_rate;
      AmrNbEncoder::ConfigureContext(c);
    } else {
      const AVCodec* codec = avcodec_find_encoder_by_name(want.audio_codec.c_str());
      ASSERT_TRUE(codec) << want.audio_codec;
      c = avcodec_alloc_context3(codec);
      c->codec_type = AVMEDIA_TYPE_AUDIO;
      c->codec_id = codec->id;
      c->sample_rate = want.sample_rate;
      av_channel_layout_default(&c->ch_layout, want.channels);
      c->bit_rate = want.audio_bit_rate;
      c->time_base = AVRational{1, want.sample_rate};
      if (global) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    e.Files.OutputCodecs[file][st->index].reset(c);
  }
  if (!want.subtitle_codec.empty() && HasType(e, AVMEDIA_TYPE_SUBTITLE)) {
    AVStream* st = avformat_new_stream(oc, nullptr);
    const AVCodec* codec = avcodec_find_encoder_by_name(want.subtitle_codec.c_str());
    ASSERT_TRUE(codec) << want.subtitle_codec;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->codec_type = AVMEDIA_TYPE_SUBTITLE;
    c->codec_id = codec->id;
    c->time_base = AVRational{1, 1000};
    e.Files.OutputCodecs[file][st->index].reset(c);
  }
  ASSERT_GE(avio_open(&oc->pb, output.c_str(), AVIO_FLAG_WRITE), 0);
}

// A job that runs the engine on one input into one output.
struct Job {
  TEngineDoor engine;
  std::vector<std::string> log;
  Job() {
    engine.SetVerbosity(1);
    engine.OnLog = [this](int, const std::string& msg) { log.push_back(msg); };
  }
  void Setup(const std::string& in, const std::string& out, const OutTarget& want) {
    OpenInput(engine, in);
    OpenOutput(engine, out, want);
  }
  // Runs the loop and frees the files (the trailer is on disk afterwards).
  void Run() {
    engine.Transcode();
    engine.FreeFileSet();
  }
};

// Checks shared by every conversion: decodes cleanly, and the streams' first and last packet
// times agree within 100 ms.
void ExpectStreamsAligned(const std::string& path, double tolerance_s = 0.1) {
  const auto times = media::PacketTimesPerStream(path);
  ASSERT_FALSE(times.empty()) << path;
  if (times.size() < 2) return;
  const auto& a = times.begin()->second;
  const auto& b = std::next(times.begin())->second;
  EXPECT_NEAR(a.first_pts_s, b.first_pts_s, tolerance_s) << path;
  EXPECT_NEAR(a.end_s, b.end_s, tolerance_s) << path;
}

// Length of the first stream of TYPE from its first packet to the end of its last one.
double Span(const std::string& path, const std::string& type) {
  const auto info = media::Probe(path);
  const auto times = media::PacketTimesPerStream(path);
  for (const auto& s : info.streams)
    if (s.codec_type == type && times.count(s.index))
      return times.at(s.index).end_s - times.at(s.index).first_pts_s;
  return -1;
}

double FirstPts(const std::string& path, const std::string& type) {
  const auto info = media::Probe(path);
  const auto times = media::PacketTimesPerStream(path);
  for (const auto& s : info.streams)
    if (s.codec_type == type && times.count(s.index)) return times.at(s.index).first_pts_s;
  return -1;
}

class TranscodeTest : public ::testing::Test {
 protected:
  media::TempDir dir;
  std::string Source(const std::string& name, const std::vector<std::string>& args) {
    const std::string path = dir.File(name);
    EXPECT_TRUE(media::MakeMedia(path, args));
    return path;
  }
  // A 2 s 160x120 25 fps H.264 video with stereo 44.1 kHz AAC audio.
  std::string StandardSource() {
    return Source("src.mp4",
                  {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=2", "-f", "lavfi", "-i",
                   "sine=frequency=440:sample_rate=44100:d=2", "-ac", "2", "-c:v", "libx264",
                   "-preset", "ultrafast", "-c:a", "aac", "-shortest"});
  }
};

}  // namespace

TEST_F(TranscodeTest, ConvertsVideoAndAudioWithTheRequestedParameters) {
  struct Case {
    std::string ext, vcodec, acodec, expect_v, expect_a;
    int sample_rate, channels, width, height;
    AVRational rate;
  };
  const std::vector<Case> cases = {
      {"mp4", "mpeg4", "aac", "mpeg4", "aac", 44100, 2, 320, 240, {25, 1}},
      {"mp4", "libx264", "aac", "h264", "aac", 48000, 2, 320, 240, {25, 1}},
      {"avi", "mpeg4", "pcm_s16le", "mpeg4", "pcm_s16le", 48000, 2, 176, 144, {25, 1}},
      {"avi", "libxvid", "libmp3lame", "mpeg4", "mp3", 48000, 2, 160, 120, {25, 1}},
      {"mpg", "mpeg1video", "mp2", "mpeg1video", "mp2", 44100, 2, 320, 240, {25, 1}},
      {"mpg", "mpeg2video", "mp2", "mpeg2video", "mp2", 44100, 2, 320, 240, {25, 1}},
      {"wmv", "wmv2", "wmav2", "wmv2", "wmav2", 48000, 2, 320, 240, {25, 1}},
      {"mov", "mpeg4", "aac", "mpeg4", "aac", 44100, 1, 160, 120, {30000, 1001}},
      {"3gp", "mpeg4", "libamr_nb", "mpeg4", "amr_nb", 8000, 1, 176, 144, {25, 1}},
  };
  const std::string src = StandardSource();
  const int job_nice = getpriority(PRIO_PROCESS, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ext + " " + c.vcodec + " " + c.acodec);
    const std::string out = dir.File("out_" + c.vcodec + "_" + c.acodec + "." + c.ext);
    OutTarget want;
    want.video_codec = c.vcodec;
    want.audio_codec = c.acodec;
    want.width = c.width;
    want.height = c.height;
    want.rate = c.rate;
    want.sample_rate = c.sample_rate;
    want.channels = c.channels;
    want.audio_bit_rate = c.acodec == "libamr_nb" ? 7400 : 128000;
    Job job;
    job.Setup(src, out, want);
    ASSERT_NO_THROW(job.Run());
    EXPECT_TRUE(job.engine.State.Finished);
    const auto info = media::Probe(out);
    ASSERT_TRUE(info.ok) << info.error;
    const auto v = info.First("video");
    const auto a = info.First("audio");
    ASSERT_TRUE(v && a);
    EXPECT_EQ(v->codec_name, c.expect_v);
    EXPECT_EQ(v->width, c.width);
    EXPECT_EQ(v->height, c.height);
    EXPECT_NEAR(v->r_frame_rate.Value(), av_q2d(c.rate), 0.01);
    EXPECT_EQ(a->codec_name, c.expect_a);
    EXPECT_EQ(a->sample_rate, c.sample_rate);
    EXPECT_EQ(a->channels, c.channels);
    EXPECT_TRUE(media::DecodesCleanly(out));
    // Within one output frame, plus the millisecond rounding of some containers.
    EXPECT_NEAR(Span(out, "video"), 2.0, av_q2d(av_inv_q(c.rate)) + 0.003);
    ExpectStreamsAligned(out);
    // Stage threads lower their own priority only: the job's thread keeps its own, run after run.
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), job_nice);
  }
}

// Sources that are unusual in one way each; the output must still be complete and in sync.
TEST_F(TranscodeTest, ConvertsUnusualSources) {
  struct Case {
    std::string name;
    std::vector<std::string> make;  // ffmpeg arguments for the source
    OutTarget want;
    std::string out_ext;
    double duration_s;
    bool deinterlace = false;
  };
  OutTarget mp4;
  mp4.video_codec = "mpeg4";
  mp4.audio_codec = "aac";
  OutTarget stereo48 = mp4;
  stereo48.sample_rate = 48000;
  const std::vector<Case> cases = {
      {"interlaced.mpg",
       {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=30000/1001:d=2", "-f", "lavfi", "-i",
        "sine=sample_rate=48000:d=2", "-ac", "2", "-c:v", "mpeg2video", "-flags", "+ilme+ildct",
        "-top", "1", "-c:a", "mp2"},
       mp4,
       "mp4",
       2.0,
       true},
      {"odd.mkv",
       {"-f", "lavfi", "-i", "testsrc=size=161x121:rate=25:d=2", "-f", "lavfi", "-i",
        "sine=sample_rate=44100:d=2", "-ac", "2", "-c:v", "ffv1", "-c:a", "pcm_s16le"},
       mp4,
       "mp4",
       2.0},
      {"mono8k.mkv",
       {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=2", "-f", "lavfi", "-i",
        "sine=sample_rate=8000:d=2", "-ac", "1", "-c:v", "mpeg4", "-c:a", "pcm_s16le"},
       stereo48,
       "mp4",
       2.0},
      {"surround.mkv",
       {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=2", "-f", "lavfi", "-i",
        "sine=sample_rate=48000:d=2", "-af", "pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0", "-c:v",
        "mpeg4", "-c:a", "ac3"},
       mp4,
       "mp4",
       2.0},
      {"vfr.mkv",
       {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=2", "-f", "lavfi", "-i",
        "sine=sample_rate=44100:d=2", "-ac", "2", "-vf",
        "setpts='if(lt(N,25),N*0.02,0.5+(N-25)*0.06)/TB'", "-fps_mode", "vfr", "-c:v", "mpeg4",
        "-c:a", "aac"},
       mp4,
       "mp4",
       -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string src = Source(c.name, c.make);
    const std::string out = dir.File(c.name + "." + c.out_ext);
    Job job;
    job.engine.Options.DoDeinterlace = c.deinterlace ? 1 : 0;
    job.Setup(src, out, c.want);
    ASSERT_NO_THROW(job.Run());
    EXPECT_TRUE(job.engine.State.Finished);
    const auto info = media::Probe(out);
    ASSERT_TRUE(info.ok) << info.error;
    const auto v = info.First("video");
    const auto a = info.First("audio");
    ASSERT_TRUE(v && a);
    EXPECT_EQ(v->width, c.want.width);
    EXPECT_EQ(v->height, c.want.height);
    EXPECT_NEAR(v->r_frame_rate.Value(), 25.0, 0.01);
    EXPECT_EQ(a->sample_rate, c.want.sample_rate);
    EXPECT_EQ(a->channels, c.want.channels);
    EXPECT_TRUE(media::DecodesCleanly(out));
    const double expected = c.duration_s > 0 ? c.duration_s : Span(src, "video");
    EXPECT_NEAR(Span(out, "video"), expected, 0.041);
    ExpectStreamsAligned(out);
  }
}

TEST_F(TranscodeTest, AudioOnlySourceGivesAudioOnlyOutputs) {
  const std::string src =
      Source("tone.wav", {"-f", "lavfi", "-i", "sine=sample_rate=44100:d=2", "-ac", "2"});
  struct Case {
    std::string ext, acodec, expect;
  };
  for (const Case& c : std::vector<Case>{{"mp4", "aac", "aac"},
                                         {"mp3", "libmp3lame", "mp3"},
                                         {"aac", "aac", "aac"},
                                         {"m4a", "aac", "aac"}}) {
    SCOPED_TRACE(c.ext);
    const std::string out = dir.File("tone." + c.ext);
    OutTarget want;
    want.video_codec = c.ext == "mp4" ? "mpeg4" : "";
    want.audio_codec = c.acodec;
    want.sample_rate = 48000;
    Job job;
    job.Setup(src, out, want);
    ASSERT_NO_THROW(job.Run());
    const auto info = media::Probe(out);
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_EQ(info.Count("video"), 0);
    ASSERT_EQ(info.Count("audio"), 1);
    EXPECT_EQ(info.First("audio")->codec_name, c.expect);
    EXPECT_EQ(info.First("audio")->sample_rate, 48000);
    EXPECT_TRUE(media::DecodesCleanly(out));
    EXPECT_NEAR(info.duration_s, 2.0, 0.1);
  }
}

// A source whose audio starts 1 s after its video keeps that offset (the picture and the sound
// stay in sync); with audio sync on, the gap is filled with silence instead.
TEST_F(TranscodeTest, LateAudioStaysInSync) {
  const std::string src =
      Source("late.mkv", {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=3", "-itsoffset",
                          "1", "-f", "lavfi", "-i", "sine=sample_rate=44100:d=2", "-ac", "2",
                          "-c:v", "mpeg4", "-c:a", "aac"});
  OutTarget want;
  want.video_codec = "mpeg4";
  want.audio_codec = "aac";
  {
    const std::string out = dir.File("late.mp4");
    Job job;
    job.Setup(src, out, want);
    ASSERT_NO_THROW(job.Run());
    EXPECT_TRUE(media::DecodesCleanly(out));
    EXPECT_NEAR(FirstPts(out, "audio") - FirstPts(out, "video"), 1.0, 0.1);
    EXPECT_NEAR(Span(out, "video"), 3.0, 0.041);
  }
  {
    const std::string out = dir.File("late_filled.mp4");
    Job job;
    job.engine.Options.AudioSyncMethod = 1;
    job.Setup(src, out, want);
    ASSERT_NO_THROW(job.Run());
    EXPECT_TRUE(media::DecodesCleanly(out));
    ExpectStreamsAligned(out);
  }
}

// A time stamp jump of 30 s in the middle of a transport stream is taken out.
TEST_F(TranscodeTest, TimestampJumpIsRemoved) {
  const std::string a = Source(
      "a.ts", {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=1", "-f", "lavfi", "-i",
               "sine=sample_rate=44100:d=1", "-ac", "2", "-c:v", "mpeg2video", "-c:a", "mp2"});
  const std::string b =
      Source("b.ts", {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=1", "-f", "lavfi", "-i",
                      "sine=sample_rate=44100:d=1", "-ac", "2", "-c:v", "mpeg2video", "-c:a", "mp2",
                      "-output_ts_offset", "30"});
  const std::string joined = dir.File("joined.ts");
  {
    std::ofstream out(joined, std::ios::binary);
    out << std::ifstream(a, std::ios::binary).rdbuf() << std::ifstream(b, std::ios::binary).rdbuf();
  }
  const std::string out = dir.File("joined.mp4");
  OutTarget want;
  want.video_codec = "mpeg4";
  want.audio_codec = "aac";
  Job job;
  job.Setup(joined, out, want);
  ASSERT_NO_THROW(job.Run());
  EXPECT_TRUE(media::DecodesCleanly(out));
  EXPECT_NEAR(Span(out, "video"), 2.0, 0.1);
  ExpectStreamsAligned(out);
}

// The colour of the picture shown at T_S seconds, decoded by the ffmpeg tool: 'r', 'g', 'b' for
// a picture mostly of that colour, else '?'.
char ColourAt(const std::string& path, double t_s) {
  const auto r = media::RunCommand({"ffmpeg", "-v", "error", "-ss", std::to_string(t_s), "-i", path,
                                    "-frames:v", "1", "-vf", "scale=1:1", "-f", "rawvideo",
                                    "-pix_fmt", "rgb24", "-"});
  if (r.out.size() != 3) return '?';
  const auto c = [&r](int i) { return static_cast<unsigned char>(r.out[i]); };
  if (c(0) > 180 && c(1) < 80 && c(2) < 80) return 'r';
  if (c(1) > 180 && c(0) < 80 && c(2) < 80) return 'g';
  if (c(2) > 180 && c(0) < 80 && c(1) < 80) return 'b';
  return '?';
}

// Pictures far apart that the file says are that far apart stay on screen until the next one
// is due: stills beside sound that runs on (a music video, a lecture), and time-lapses without
// sound whose pictures state their duration. Gaps longer than ten seconds used to be closed as
// clock jumps, so 36 s of stills became 12 s and a 48 s time-lapse 24 s. A video-only MP4
// whose one sample before a gap states ten hours gives no such evidence: that gap is closed.
TEST_F(TranscodeTest, StillPicturesAndTimeLapsesKeepTheirTime) {
  const std::string still =
      Source("still.mkv", {"-f", "lavfi", "-i",
                           "color=black:s=160x120:r=1/"
                           "12:d=36,geq=r='255*eq(N\\,0)':g='255*eq(N\\,1)':b='255*eq(N\\,2)'",
                           "-f", "lavfi", "-i", "sine=f=440:d=36", "-c:v", "libx264", "-preset",
                           "ultrafast", "-pix_fmt", "yuv420p", "-g", "1", "-c:a", "aac"});
  const std::string still_mp4 = Source("still.mp4", {"-i", still, "-c", "copy"});
  const std::string lapse =
      Source("lapse.mp4", {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=1/12:d=48", "-c:v",
                           "libx264", "-preset", "ultrafast", "-g", "1"});
  const std::string lapse_mkv = Source("lapse.mkv", {"-i", lapse, "-c", "copy"});
  const std::string clip =
      Source("clip.mp4", {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:d=4", "-c:v",
                          "libx264", "-preset", "ultrafast"});
  const std::string jump = Source("jump.mp4", {"-i", clip, "-c", "copy", "-bsf:v",
                                               "setts=ts='TS+if(gte(PTS*TB,2),36000/TB,0)'"});

  OutTarget want;
  want.video_codec = "mpeg4";
  want.audio_codec = "aac";
  struct Case {
    std::string src;
    double span_s;
    bool closed;  // the run notes a closed jump
  };
  for (const Case& c : {Case{still, 36, false}, Case{still_mp4, 36, false}, Case{lapse, 48, false},
                        Case{lapse_mkv, 48, false}, Case{jump, 4, true}}) {
    SCOPED_TRACE(c.src);
    const std::string out = c.src + ".out.mp4";
    Job job;
    job.Setup(c.src, out, want);
    ASSERT_NO_THROW(job.Run());
    EXPECT_TRUE(media::DecodesCleanly(out));
    EXPECT_NEAR(Span(out, "video"), c.span_s, 0.2);
    EXPECT_EQ(job.engine.State.RunWarning.find("jumped") != std::string::npos, c.closed)
        << job.engine.State.RunWarning;
    if (c.src == still || c.src == still_mp4) {
      EXPECT_NEAR(Span(out, "audio"), 36, 0.2);
      EXPECT_EQ(std::string({ColourAt(out, 6), ColourAt(out, 18), ColourAt(out, 30)}), "rgb");
    }
  }
}

TEST_F(TranscodeTest, StreamCopyIntoAnotherContainer) {
  const std::string src = StandardSource();
  const std::string out = dir.File("copy.mkv");
  OutTarget want;
  want.video_copy = true;
  want.audio_codec = "copy";
  Job job;
  job.engine.Options.AudioVolume = 256;
  job.Setup(src, out, want);
  ASSERT_NO_THROW(job.Run());
  const auto info = media::Probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.First("video")->codec_name, "h264");
  EXPECT_EQ(info.First("audio")->codec_name, "aac");
  EXPECT_EQ(info.First("video")->width, 160);
  EXPECT_TRUE(media::DecodesCleanly(out));
  EXPECT_NEAR(Span(out, "video"), 2.0, 0.041);
  ExpectStreamsAligned(out);
}

// How a run ends: limits, a stop request, progress reports.
class TranscodeEndTest : public TranscodeTest {
 protected:
  OutTarget Mp4() {
    OutTarget want;
    want.video_codec = "mpeg4";
    want.audio_codec = "aac";
    return want;
  }
  // Runs JOB, which must fail with an error that names REASON and end unfinished.
  static void ExpectRunFails(Job& job, const std::string& reason) {
    try {
      job.engine.Transcode();
      ADD_FAILURE() << "no exception";
    } catch (const FFMpegException& ex) {
      EXPECT_NE(std::string(ex.what()).find(reason), std::string::npos) << ex.what();
    }
    EXPECT_FALSE(job.engine.State.Finished);
    job.engine.FreeFileSet();
  }
  std::string LongSource() {
    return Source("long.mkv",
                  {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=8", "-f", "lavfi", "-i",
                   "sine=sample_rate=44100:d=8", "-ac", "2", "-c:v", "mpeg4", "-c:a", "pcm_s16le"});
  }
};

TEST_F(TranscodeEndTest, FrameLimitStopsTheJob) {
  const std::string out = dir.File("limit.mp4");
  Job job;
  job.engine.Options.MaxFrames[0] = 10;
  job.Setup(StandardSource(), out, Mp4());
  ASSERT_NO_THROW(job.Run());
  EXPECT_TRUE(job.engine.State.Finished);
  const auto times = media::PacketTimesPerStream(out);
  const auto info = media::Probe(out);
  EXPECT_EQ(times.at(info.First("video")->index).count, 10);
  EXPECT_TRUE(media::DecodesCleanly(out));
}

TEST_F(TranscodeEndTest, RecordingTimeStopsTheJob) {
  const std::string out = dir.File("rec.mp4");
  Job job;
  job.engine.Options.RecordingTimeUs = 1000000;
  job.Setup(StandardSource(), out, Mp4());
  ASSERT_NO_THROW(job.Run());
  EXPECT_TRUE(job.engine.State.Finished);
  EXPECT_NEAR(Span(out, "video"), 1.0, 0.081);
  EXPECT_TRUE(media::DecodesCleanly(out));
  ExpectStreamsAligned(out);
}

// A stop request mid-run still flushes and writes the trailer: the file plays up to where the
// run got, and the job is not reported finished.
TEST_F(TranscodeEndTest, StopRequestLeavesAPlayableFile) {
  const std::string out = dir.File("stopped.mp4");
  Job job;
  job.engine.Options.ProgressIntervalUs = 0;
  job.engine.OnProgress = [&job](int, int, int current_ms, float, float, int64_t, int) {
    if (current_ms >= 1000) job.engine.RequestAbort();
  };
  job.Setup(LongSource(), out, Mp4());
  ASSERT_NO_THROW(job.Run());
  EXPECT_FALSE(job.engine.State.Finished);
  const auto info = media::Probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_TRUE(media::DecodesCleanly(out));
  const double span = Span(out, "video");
  EXPECT_GT(span, 0.9);
  EXPECT_LT(span, 7.0);
}

// A stop request reaches a paused job too.
TEST_F(TranscodeEndTest, StopRequestEndsAPausedJob) {
  const std::string out = dir.File("paused.mp4");
  Job job;
  job.Setup(StandardSource(), out, Mp4());
  job.engine.RequestPause(true);
  std::thread stopper([&job] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    job.engine.RequestAbort();
  });
  ASSERT_NO_THROW(job.Run());
  stopper.join();
  EXPECT_FALSE(job.engine.State.Finished);
}

TEST_F(TranscodeEndTest, ProgressComesAtMostOncePerIntervalWithGrowingDuration) {
  const std::string out = dir.File("progress.mp4");
  struct Report {
    int64_t wall_us, frame, duration_ms, total_ms;
    int64_t size;
  };
  std::vector<Report> reports;
  Job job;
  // Short enough for several reports while the whole conversion takes well under a second.
  constexpr int64_t kIntervalUs = 50000;
  job.engine.Options.ProgressIntervalUs = kIntervalUs;
  job.engine.Options.TotalDurationMs = 8000;
  job.engine.OnProgress = [&reports](int frame, int, int current_ms, float, float, int64_t size,
                                     int total_ms) {
    reports.push_back({av_gettime(), frame, current_ms, total_ms, size});
  };
  job.Setup(LongSource(), out, Mp4());
  ASSERT_NO_THROW(job.Run());
  ASSERT_GE(reports.size(), 2u);
  for (size_t i = 1; i + 1 < reports.size(); ++i) {
    // The callback reads the clock after the engine did (building the report, and on a loaded
    // machine the thread may be preempted in between), so two gaps may differ by a few ms; a
    // report per packet would come well under half the interval apart.
    EXPECT_GE(reports[i].wall_us - reports[i - 1].wall_us, kIntervalUs / 2);
    EXPECT_GE(reports[i].duration_ms, reports[i - 1].duration_ms);
    EXPECT_GE(reports[i].frame, reports[i - 1].frame);
  }
  // The final report comes once, at the end, with the whole output.
  EXPECT_NEAR(reports.back().duration_ms, 8000, 100);
  EXPECT_EQ(reports.back().frame, 200);
  EXPECT_EQ(reports.back().total_ms, 8000);
  EXPECT_EQ(reports.back().size, static_cast<int64_t>(std::filesystem::file_size(out)));
  // The report before it may come as the last packet is written (on a loaded machine the
  // interval can end just then), so it may already count the whole duration, never more.
  EXPECT_LE(reports[reports.size() - 2].duration_ms, 8000);
}

// Pause holds every stage: while paused the process does next to no work and the output does
// not grow; after Resume the run ends complete.
TEST_F(TranscodeEndTest, PauseMidRunHoldsEveryStage) {
  const std::string out = dir.File("pause.mp4");
  Job job;
  std::atomic<bool> paused{false};
  job.engine.Options.ProgressIntervalUs = 0;
  job.engine.OnProgress = [&](int, int, int current_ms, float, float, int64_t, int) {
    if (current_ms >= 1000 && !paused.exchange(true)) job.engine.RequestPause(true);
  };
  job.Setup(LongSource(), out, Mp4());
  std::thread run([&job] { ASSERT_NO_THROW(job.Run()); });
  while (!paused) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // Items already under way end first; on a loaded machine that may take a while.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  auto cpu_ms = [] {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
  };
  const double cpu_before = cpu_ms();
  const auto size_before = std::filesystem::file_size(out);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_LT(cpu_ms() - cpu_before, 60.0);
  EXPECT_EQ(std::filesystem::file_size(out), size_before);
  job.engine.RequestPause(false);
  run.join();
  EXPECT_TRUE(job.engine.State.Finished);
  EXPECT_NEAR(Span(out, "video"), 8.0, 0.081);
  EXPECT_TRUE(media::DecodesCleanly(out));
}

// A write that fails ends the run with the writer's error while the other stages are busy or
// waiting on their queues: every stage ends, nothing is left waiting.
TEST_F(TranscodeEndTest, FailingWriteEndsEveryStage) {
  Job job;
  job.Setup(LongSource(), dir.File("full.mp4"), Mp4());
  AVFormatContext* oc = job.engine.Files.OutputFiles[0].get();
  avio_closep(&oc->pb);
  ASSERT_GE(avio_open(&oc->pb, "/dev/full", AVIO_FLAG_WRITE), 0);
  ExpectRunFails(job, "No space left on device");
}

// An encoder that fails mid-run (on its own thread, while the path before it fills its queue)
// ends the run with the encoder's error; every stage ends, threaded or on one thread.
TEST_F(TranscodeEndTest, FailingEncoderEndsEveryStage) {
  static std::atomic<int> packets{0};
  for (bool serial : {false, true}) {
    SCOPED_TRACE(serial ? "one thread" : "threaded");
    OutTarget want = Mp4();
    want.audio_codec = "pcm_s16le";
    Job job;
    job.engine.Options.SerialStages = serial ? 1 : 0;
    job.Setup(LongSource(), dir.File(serial ? "enc1.avi" : "enc2.avi"), want);
    AVCodecContext* audio = job.engine.Files.OutputCodecs[0][1].get();
    ASSERT_EQ(audio->codec_type, AVMEDIA_TYPE_AUDIO);
    packets = 0;
    // The packet buffer of the 50th sound packet cannot be had.
    audio->get_encode_buffer = [](AVCodecContext* ctx, AVPacket* pkt, int flags) {
      if (++packets >= 50) return AVERROR(ENOMEM);
      return avcodec_default_get_encode_buffer(ctx, pkt, flags);
    };
    ExpectRunFails(job, "Audio encoding failed");
  }
}

// The queues between stages: a queue full by bytes holds the producer back until the consumer
// takes something, and an item larger than the whole budget still passes an empty queue
// (a 4K picture must not wait forever for room that can never come).
TEST(TranscodeTestQueue, ByteBudgetHoldsBackButNeverBlocksAnEmptyQueue) {
  BoundedQueue<int> queue(8, 100);
  ASSERT_TRUE(queue.Push(1, 1000));  // larger than the budget, into an empty queue
  std::atomic<bool> pushed{false};
  std::thread producer([&] {
    EXPECT_TRUE(queue.Push(2, 10));
    pushed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(pushed);  // the budget is spent
  int item = 0;
  ASSERT_TRUE(queue.Pop(item));
  EXPECT_EQ(item, 1);
  producer.join();
  EXPECT_TRUE(pushed);
  EXPECT_TRUE(queue.Push(3, 10));  // 20 of 100 bytes
  queue.Close();
  ASSERT_TRUE(queue.Pop(item));
  EXPECT_EQ(item, 2);
  ASSERT_TRUE(queue.Pop(item));
  EXPECT_EQ(item, 3);
  EXPECT_FALSE(queue.Pop(item));
}

// Random bytes in the middle of the source: the job converts what it can, logs the decoding
// errors and ends normally with a playable file.
TEST_F(TranscodeEndTest, CorruptedInputEndsNormally) {
  const std::string src = Source(
      "corrupt.ts", {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=4", "-f", "lavfi", "-i",
                     "sine=sample_rate=44100:d=4", "-ac", "2", "-c:v", "mpeg4", "-c:a", "mp2"});
  {
    std::fstream f(src, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(0, std::ios::end);
    const auto size = static_cast<int64_t>(f.tellg());
    uint32_t seed = 12345;
    for (int i = 0; i < 400; ++i) {
      seed = seed * 1103515245u + 12345u;
      f.seekp(size / 3 + (seed >> 8) % (size / 3));
      f.put(static_cast<char>(seed >> 24));
    }
  }
  const std::string out = dir.File("corrupt.mp4");
  Job job;
  job.Setup(src, out, Mp4());
  ASSERT_NO_THROW(job.Run());
  EXPECT_TRUE(job.engine.State.Finished);
  const auto info = media::Probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_TRUE(media::DecodesCleanly(out));
  EXPECT_GT(Span(out, "video"), 3.0);
}

namespace {

// Average luma of each picture of a raw 160x120 yuv420p file.
std::vector<double> FrameLumas(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  const size_t luma = 160 * 120, frame = luma * 3 / 2;
  std::vector<char> buf(frame);
  std::vector<double> out;
  while (f.read(buf.data(), static_cast<std::streamsize>(frame))) {
    double sum = 0;
    for (size_t i = 0; i < luma; ++i) sum += static_cast<unsigned char>(buf[i]);
    out.push_back(sum / luma);
  }
  return out;
}

OutTarget RawVideo() {
  OutTarget want;
  want.video_codec = "rawvideo";
  return want;
}

}  // namespace

class VideoPathTest : public TranscodeTest {
 protected:
  // 1 s of black at 25 fps, as 160x120 MPEG-4.
  std::string BlackSource() {
    return Source("black.mkv", {"-f", "lavfi", "-i", "color=c=black:size=160x120:rate=25:d=1",
                                "-c:v", "mpeg4", "-q:v", "2"});
  }
};

TEST_F(VideoPathTest, CustomHookEditsThePictureUntilItStops) {
  const std::string src = BlackSource();
  {
    const std::string out = dir.File("white.yuv");
    Job job;
    int calls = 0;
    job.engine.OnCustomHook = [&calls](THookBitmap& bmp, int frame_number, int64_t, bool& update,
                                       bool&) {
      ++calls;
      EXPECT_EQ(frame_number, calls);
      for (int y = 0; y < bmp.Height; ++y)
        std::memset(bmp.Data + y * bmp.Stride, 255, bmp.Width * 3);
      update = true;
    };
    job.Setup(src, out, RawVideo());
    ASSERT_NO_THROW(job.Run());
    const auto lumas = FrameLumas(out);
    ASSERT_EQ(lumas.size(), 25u);
    EXPECT_EQ(calls, 25);
    for (double y : lumas) EXPECT_GT(y, 230);
  }
  {
    // StopHook on the first picture: that picture is still written back, no later call comes.
    const std::string out = dir.File("once.yuv");
    Job job;
    int calls = 0;
    job.engine.OnCustomHook = [&calls](THookBitmap& bmp, int, int64_t, bool&, bool& stop) {
      ++calls;
      for (int y = 0; y < bmp.Height; ++y)
        std::memset(bmp.Data + y * bmp.Stride, 255, bmp.Width * 3);
      stop = true;
    };
    job.Setup(src, out, RawVideo());
    ASSERT_NO_THROW(job.Run());
    const auto lumas = FrameLumas(out);
    ASSERT_EQ(lumas.size(), 25u);
    EXPECT_EQ(calls, 1);
    EXPECT_GT(lumas[0], 230);
    EXPECT_LT(lumas[1], 30);
  }
}

// A hook that throws, whatever it throws, loses only its own edit of that picture: the hook
// runs on a stage thread, and an escaping exception there used to end the whole program.
TEST_F(VideoPathTest, CustomHookThatThrowsLosesOnlyThatPicture) {
  const std::string out = dir.File("throws.yuv");
  Job job;
  int calls = 0;
  job.engine.OnCustomHook = [&calls](THookBitmap& bmp, int, int64_t, bool& update, bool&) {
    ++calls;
    for (int y = 0; y < bmp.Height; ++y) std::memset(bmp.Data + y * bmp.Stride, 255, bmp.Width * 3);
    update = true;
    if (calls == 3) throw std::runtime_error("hook failed");
    if (calls == 5) throw 42;
  };
  job.Setup(BlackSource(), out, RawVideo());
  ASSERT_NO_THROW(job.Run());
  EXPECT_TRUE(job.engine.State.Finished);
  const auto lumas = FrameLumas(out);
  ASSERT_EQ(lumas.size(), 25u);
  EXPECT_EQ(calls, 25);
  for (size_t i = 0; i < lumas.size(); ++i) {
    if (i == 2 || i == 4)
      EXPECT_LT(lumas[i], 30) << i;
    else
      EXPECT_GT(lumas[i], 230) << i;
  }
}

TEST_F(VideoPathTest, CustomHookRefusesStreamCopy) {
  Job job;
  job.engine.OnCustomHook = [](THookBitmap&, int, int64_t, bool&, bool&) {};
  OutTarget want;
  want.video_copy = true;
  const std::string out = dir.File("copy.mkv");
  job.Setup(BlackSource(), out, want);
  try {
    job.engine.Transcode();
    ADD_FAILURE() << "no exception";
  } catch (const FFMpegException& ex) {
    EXPECT_STREQ(ex.what(),
                 "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
  }
}

// Frame-hook modules run only inside the hook time ranges; after the last range they stop.
TEST_F(VideoPathTest, FrameHooksRunInsideTheirTimeRanges) {
  const std::string module = std::string(QUORVIN_HOOK_DIR) + "/invert.so";
  if (!std::filesystem::exists(module)) GTEST_SKIP() << "no " << module;
  const std::string out = dir.File("ranges.yuv");
  Job job;
  ASSERT_EQ(AddFrameHook(job.engine.Files.FrameHooks, {module}), 0);
  job.engine.Stats.UsingFrameHook = true;
  job.engine.Options.HookTimeRanges = {THookTimeRange{400000, 600000}};
  job.engine.Options.HookTimeRangeCount = 1;
  job.Setup(BlackSource(), out, RawVideo());
  ASSERT_NO_THROW(job.Run());
  const auto lumas = FrameLumas(out);
  ASSERT_EQ(lumas.size(), 25u);
  for (size_t i = 0; i < lumas.size(); ++i) {
    const bool inside = i >= 10 && i <= 15;  // 0.40 s .. 0.60 s
    EXPECT_EQ(lumas[i] > 200, inside) << "picture " << i;
  }
  EXPECT_FALSE(job.engine.Stats.UsingFrameHook);
}

TEST_F(VideoPathTest, BeforeHookIgnoreKeepsAsking) {
  const std::string module = std::string(QUORVIN_HOOK_DIR) + "/invert.so";
  if (!std::filesystem::exists(module)) GTEST_SKIP() << "no " << module;
  const std::string out = dir.File("ignored.yuv");
  Job job;
  ASSERT_EQ(AddFrameHook(job.engine.Files.FrameHooks, {module}), 0);
  job.engine.Stats.UsingFrameHook = true;
  int asked = 0;
  job.engine.OnBeforeHook = [&asked](int64_t, THookAction& action) {
    ++asked;
    action = asked == 5 ? haContinue : haIgnore;
  };
  job.Setup(BlackSource(), out, RawVideo());
  ASSERT_NO_THROW(job.Run());
  const auto lumas = FrameLumas(out);
  ASSERT_EQ(lumas.size(), 25u);
  EXPECT_EQ(asked, 25);
  for (size_t i = 0; i < lumas.size(); ++i) EXPECT_EQ(lumas[i] > 200, i == 4) << "picture " << i;
}

// Frame-rate sync: a picture 3 frame durations later than expected leaves 3 places empty, which
// the picture before it fills (3 duplicates); without sync the pictures go out one for one.
TEST_F(VideoPathTest, FrameRateSyncDuplicatesAndDrops) {
  const std::string src = Source(
      "gap.mkv", {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=1", "-vf",
                  "setpts='(N+if(gte(N,10),3,0))*0.04/TB'", "-fps_mode", "vfr", "-c:v", "mpeg4"});
  {
    Job job;
    const std::string out = dir.File("gap.yuv");
    job.Setup(src, out, RawVideo());
    ASSERT_NO_THROW(job.Run());
    EXPECT_EQ(job.engine.Stats.FramesDuplicated, 3);
    EXPECT_EQ(job.engine.Stats.FramesDropped, 0);
    EXPECT_EQ(FrameLumas(out).size(), 28u);
  }
  {
    Job job;
    job.engine.Options.VideoSyncMethod = 0;
    const std::string out = dir.File("nosync.yuv");
    job.Setup(src, out, RawVideo());
    ASSERT_NO_THROW(job.Run());
    EXPECT_EQ(job.engine.Stats.FramesDuplicated, 0);
    EXPECT_EQ(job.engine.Stats.FramesDropped, 0);
    EXPECT_EQ(FrameLumas(out).size(), 25u);
  }
  {
    // 50 fps into 25 fps: every other picture is dropped.
    const std::string fast = Source(
        "fast.mkv", {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=50:d=1", "-c:v", "mpeg4"});
    Job job;
    const std::string out = dir.File("halved.yuv");
    job.Setup(fast, out, RawVideo());
    ASSERT_NO_THROW(job.Run());
    EXPECT_NEAR(job.engine.Stats.FramesDropped, 25, 1);
    EXPECT_NEAR(static_cast<double>(FrameLumas(out).size()), 25, 1);
  }
}

namespace {

// The source picture each picture of a raw 32x32 yuv420p file shows: the frame-rate sources
// carry their picture number N in the luma (16 + 4 (N mod 50)) and blue (16 + 4 (N / 50)).
std::vector<int> PictureNumbers(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  const size_t luma = 32 * 32;
  std::vector<unsigned char> buf(luma * 3 / 2);
  std::vector<int> out;
  while (f.read(reinterpret_cast<char*>(buf.data()), static_cast<std::streamsize>(buf.size()))) {
    const int low = static_cast<int>(std::lround((buf[luma / 2 + 16] - 16) / 4.0));
    const int high = static_cast<int>(std::lround((buf[luma + 8] - 16) / 4.0));
    out.push_back(high * 50 + low);
  }
  return out;
}

}  // namespace

// Frame-rate sync against the ffmpeg tool's own rate conversion on sources with fewer pictures
// than the output rate (1 fps), a pause (30 fps with 1 s missing) and an uneven rate: every
// output picture shows the source picture whose time span covers it (the tool's choice, within
// one output picture), and the last picture lasts its duration. Sync used to fill a gap with
// the picture after it, so that picture came early and the last one lost its time.
TEST_F(VideoPathTest, FrameRateSyncShowsEachPictureInItsTimeSpan) {
  struct Case {
    const char* name;
    const char* pictures;
    const char* times;
    int rate;  // of the output
  };
  const Case cases[] = {
      {"sparse", "color=black:s=32x32:r=1:d=4", "null", 25},
      {"paused", "color=black:s=32x32:r=30:d=3", "setpts='(N+if(gte(N,30),30,0))/30/TB'", 25},
      {"paused-15", "color=black:s=32x32:r=30:d=3", "setpts='(N+if(gte(N,30),30,0))/30/TB'", 15},
      {"uneven", "color=black:s=32x32:r=25:d=4", "setpts='(N*0.05+0.02*sin(N))/TB'", 25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = c.name;
    const std::string src = Source(
        name + ".mkv",
        {"-f", "lavfi", "-i",
         std::string(c.pictures) +
             ",format=yuv420p,geq=lum='16+4*mod(N,50)':cb='16+4*floor(N/50)':cr=128," + c.times,
         "-fps_mode", "vfr", "-c:v", "ffv1"});
    const std::string ref = dir.File(name + "-tool.yuv");
    ASSERT_TRUE(media::MakeMedia(ref, {"-i", src, "-r", std::to_string(c.rate), "-fps_mode", "cfr",
                                       "-f", "rawvideo", "-pix_fmt", "yuv420p"}));
    const std::string out = dir.File(name + ".yuv");
    Job job;
    OutTarget want = RawVideo();
    want.width = want.height = 32;
    want.rate = AVRational{c.rate, 1};
    job.Setup(src, out, want);
    ASSERT_NO_THROW(job.Run());
    const std::vector<int> ours = PictureNumbers(out), tool = PictureNumbers(ref);
    ASSERT_FALSE(tool.empty());
    EXPECT_NEAR(static_cast<double>(ours.size()), static_cast<double>(tool.size()), 1);
    // Within one output picture: between the pictures the tool shows one picture before and
    // after (a picture the tool dropped there may be ours).
    for (size_t i = 0; i < ours.size() && i < tool.size(); ++i) {
      const auto from = tool.begin() + static_cast<std::ptrdiff_t>(i > 0 ? i - 1 : 0);
      const auto to = tool.begin() + static_cast<std::ptrdiff_t>(std::min(i + 2, tool.size()));
      const auto [low, high] = std::minmax_element(from, to);
      if (ours[i] < *low || ours[i] > *high) {
        ADD_FAILURE() << "output picture " << i << " shows source picture " << ours[i]
                      << ", the tool's shows " << tool[i];
        break;
      }
    }
  }
}

TEST_F(VideoPathTest, CropAndPadKeepThePictureInPlace) {
  // Left half black, right half white; crop the black half away, then pad 8 rows on top.
  const std::string src =
      Source("halves.mkv", {"-f", "lavfi", "-i", "color=c=black:size=320x120:rate=25:d=0.2", "-vf",
                            "drawbox=x=160:y=0:w=160:h=120:color=white:t=fill", "-c:v", "ffv1"});
  const std::string out = dir.File("cropped.yuv");
  Job job;
  job.engine.Options.CropLeft = 160;
  job.engine.Options.PadTop = 8;
  job.engine.Options.PadColor = {16, 128, 128};
  OutTarget want = RawVideo();
  want.height = 120;  // 112 picture rows + 8 padding rows after scaling
  job.Setup(src, out, want);
  ASSERT_NO_THROW(job.Run());
  std::ifstream f(out, std::ios::binary);
  std::vector<unsigned char> frame(160 * 120 * 3 / 2);
  ASSERT_TRUE(
      f.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frame.size())));
  EXPECT_EQ(frame[0], 16);                 // padding
  EXPECT_EQ(frame[7 * 160 + 80], 16);      // last padding row
  EXPECT_GT(frame[20 * 160 + 5], 230);     // white picture, left edge
  EXPECT_GT(frame[119 * 160 + 159], 230);  // white picture, bottom right
}

class AudioPathTest : public TranscodeTest {
 protected:
  // Peak absolute sample of a 16-bit PCM WAV file written by the engine.
  static int Peak(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const std::string data(bytes.begin(), bytes.end());
    const size_t at = data.find("data");
    int peak = 0;
    for (size_t i = at + 8; at != std::string::npos && i + 1 < bytes.size(); i += 2) {
      const int16_t s = static_cast<int16_t>(static_cast<unsigned char>(bytes[i]) |
                                             (static_cast<unsigned char>(bytes[i + 1]) << 8));
      peak = std::max(peak, std::abs(static_cast<int>(s)));
    }
    return peak;
  }
  int ConvertWithVolume(const std::string& src, int volume) {
    const std::string out = dir.File("vol" + std::to_string(volume) + ".wav");
    Job job;
    job.engine.Options.AudioVolume = volume;
    OutTarget want;
    want.audio_codec = "pcm_s16le";
    job.Setup(src, out, want);
    EXPECT_NO_THROW(job.Run());
    return Peak(out);
  }
};

TEST_F(AudioPathTest, VolumeScalesSamplesAndClips) {
  // A sine at about 60 % of full scale.
  const std::string src =
      Source("sine.wav", {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:d=0.5", "-ac",
                          "2", "-af", "volume=7", "-c:a", "pcm_s16le"});
  const int unity = ConvertWithVolume(src, 256);
  ASSERT_GT(unity, 10000);
  EXPECT_NEAR(ConvertWithVolume(src, 128), unity / 2, 2);
  EXPECT_EQ(ConvertWithVolume(src, 0), 0);
  EXPECT_GE(ConvertWithVolume(src, 1024), 32767);  // clipped to the 16-bit range
}

// Mono in, stereo out at another rate; the sound keeps its length.
TEST_F(AudioPathTest, ResamplesAndConvertsChannels) {
  const std::string src = Source("mono.wav", {"-f", "lavfi", "-i", "sine=sample_rate=8000:d=1"});
  const std::string out = dir.File("stereo.wav");
  Job job;
  OutTarget want;
  want.audio_codec = "pcm_s16le";
  want.sample_rate = 48000;
  want.channels = 2;
  job.Setup(src, out, want);
  ASSERT_NO_THROW(job.Run());
  const auto info = media::Probe(out);
  ASSERT_TRUE(info.ok);
  EXPECT_EQ(info.First("audio")->channels, 2);
  EXPECT_EQ(info.First("audio")->sample_rate, 48000);
  EXPECT_NEAR(info.duration_s, 1.0, 0.01);
}

// A source that switches from stereo to mono halfway: the resampler follows the switch. It
// used to keep reading the mono half as stereo (twice the bytes the buffer holds, and the
// pitch doubled).
TEST_F(AudioPathTest, FollowsAChannelSwitchWithinTheStream) {
  const std::string stereo = Source(
      "stereo.mp2",
      {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=22050:d=1", "-ac", "2", "-c:a", "mp2"});
  const std::string mono = Source(
      "mono.mp2",
      {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=22050:d=1", "-ac", "1", "-c:a", "mp2"});
  const std::string src = dir.File("switch.mp2");
  {
    std::ofstream out(src, std::ios::binary);
    out << std::ifstream(stereo, std::ios::binary).rdbuf()
        << std::ifstream(mono, std::ios::binary).rdbuf();
  }
  const std::string out = dir.File("switch.wav");
  Job job;
  OutTarget want;
  want.audio_codec = "pcm_s16le";
  want.channels = 1;
  job.Setup(src, out, want);
  ASSERT_NO_THROW(job.Run());

  std::ifstream f(out, std::ios::binary);
  const std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const size_t at = data.find("data");
  ASSERT_NE(at, std::string::npos);
  std::vector<int16_t> samples;
  for (size_t i = at + 8; i + 1 < data.size(); i += 2)
    samples.push_back(static_cast<int16_t>(static_cast<unsigned char>(data[i]) |
                                           (static_cast<unsigned char>(data[i + 1]) << 8)));
  // Zero crossings of a 440 Hz sine: 880 a second, in either half.
  auto crossings = [&](double from_s, double to_s) {
    int n = 0;
    for (size_t i = static_cast<size_t>(from_s * 44100) + 1;
         i < samples.size() && i < static_cast<size_t>(to_s * 44100); ++i)
      if ((samples[i - 1] < 0) != (samples[i] < 0)) ++n;
    return n;
  };
  EXPECT_NEAR(crossings(0.2, 0.8), 528, 30);
  EXPECT_NEAR(crossings(1.2, 1.8), 528, 30);
}

// Statistics files: the two-pass log (written in pass 1, read back in pass 2) and the
// per-picture video statistics.
TEST_F(TranscodeEndTest, PassLogAndVideoStatsFiles) {
  const std::string src = StandardSource();
  const std::string passlog = dir.File("stats");
  for (int pass = 1; pass <= 2; ++pass) {
    SCOPED_TRACE(pass);
    const std::string out = dir.File("pass" + std::to_string(pass) + ".mp4");
    Job job;
    job.engine.Options.PassLogFileName = passlog;
    const std::string vstats = dir.File("vstats" + std::to_string(pass) + ".txt");
    job.engine.Options.VStatsFileName = vstats;
    job.Setup(src, out, Mp4());
    job.engine.Files.OutputCodecs[0][0]->flags |=
        pass == 1 ? AV_CODEC_FLAG_PASS1 : AV_CODEC_FLAG_PASS2;
    ASSERT_NO_THROW(job.Run());
    EXPECT_TRUE(job.engine.State.Finished);
    EXPECT_TRUE(media::DecodesCleanly(out));
    std::ifstream stats(vstats);
    std::string line;
    int lines = 0;
    while (std::getline(stats, line)) {
      EXPECT_EQ(line.rfind("frame= ", 0), 0u) << line;
      EXPECT_NE(line.find(" type= "), std::string::npos) << line;
      ++lines;
    }
    EXPECT_EQ(lines, 50);
  }
  EXPECT_GT(std::filesystem::file_size(passlog + "-0.log"), 0u);
}

// Without video the progress report carries -1 for the picture figures.
TEST_F(TranscodeEndTest, AudioOnlyProgressHasNoPictureFigures) {
  const std::string src =
      Source("tone.wav", {"-f", "lavfi", "-i", "sine=sample_rate=44100:d=2", "-ac", "2"});
  const std::string out = dir.File("tone.mp3");
  int frame = 0, fps = 0, calls = 0, duration_ms = 0;
  float quality = 0;
  Job job;
  job.engine.OnProgress = [&](int f, int r, int d, float q, float, int64_t, int) {
    frame = f;
    fps = r;
    quality = q;
    duration_ms = d;
    ++calls;
  };
  OutTarget want;
  want.audio_codec = "libmp3lame";
  job.Setup(src, out, want);
  ASSERT_NO_THROW(job.Run());
  ASSERT_GE(calls, 1);
  EXPECT_EQ(frame, -1);
  EXPECT_EQ(fps, -1);
  EXPECT_EQ(quality, -1.0f);
  EXPECT_NEAR(duration_ms, 2000, 60);
}

// ThreadCount 0 lets the libraries choose the codec threads; the result is the same file.
TEST_F(TranscodeTest, LibrariesMayChooseTheThreadCount) {
  const std::string out = dir.File("threads.mp4");
  OutTarget want;
  want.video_codec = "libx264";
  want.audio_codec = "aac";
  Job job;
  job.engine.Options.ThreadCount = 0;
  job.Setup(StandardSource(), out, want);
  ASSERT_NO_THROW(job.Run());
  EXPECT_TRUE(job.engine.State.Finished);
  EXPECT_TRUE(media::DecodesCleanly(out));
  EXPECT_NEAR(Span(out, "video"), 2.0, 0.041);
  ExpectStreamsAligned(out);
}

// Text subtitles are decoded and encoded again next to the picture.
TEST_F(TranscodeTest, SubtitlesAreConverted) {
  const std::string srt = dir.File("subs.srt");
  media::WriteFile(srt,
                   "1\n00:00:00,200 --> 00:00:00,800\nHello\n\n2\n00:00:01,000 --> "
                   "00:00:01,500\nWorld\n\n");
  const std::string src =
      Source("subs.mkv", {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=2", "-i", srt,
                          "-c:v", "mpeg4", "-c:s", "srt"});
  const std::string out = dir.File("subs_out.mkv");
  OutTarget want;
  want.video_codec = "mpeg4";
  want.subtitle_codec = "ass";
  Job job;
  job.Setup(src, out, want);
  ASSERT_NO_THROW(job.Run());
  const auto info = media::Probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  ASSERT_EQ(info.Count("subtitle"), 1);
  EXPECT_EQ(info.First("subtitle")->codec_name, "ass");
  const auto times = media::PacketTimesPerStream(out);
  const auto& sub = times.at(info.First("subtitle")->index);
  EXPECT_EQ(sub.count, 2);
  EXPECT_NEAR(sub.first_pts_s, 0.2, 0.01);
}
