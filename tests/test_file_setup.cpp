#include <gtest/gtest.h>
#include <sys/stat.h>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "AmrNbEncoder.h"
#include "AvsInput.h"
#include "Binding.h"
#include "EngineDoor.h"
#include "MediaUtil.h"
#include "OutputFiles.h"

namespace {

void QuietSink(int, const char*) {}

// An engine as the job component makes one: libraries loaded, engine reset, library log lines
// kept off the test output.
class FileSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(LoadLibraries("", true, error)) << error;
    SetLibraryLogSink(&QuietSink);
    engine.ResetEngine();
  }
  void TearDown() override { SetLibraryLogSink(nullptr); }

  // Opens PATH and returns LastErrorText ("" on success).
  std::string OpenInput(const std::string& path) {
    try {
      engine.OpenInputFile(path);
      return "";
    } catch (const FFMpegException& e) {
      EXPECT_EQ(engine.LastErrorText, e.what());
      return e.what();
    }
  }

  AVCodecContext* Codec(int file, int stream) {
    return engine.Files.OutputCodecs[file][stream].get();
  }

  media::TempDir dir;
  TEngineDoor engine;
};

std::string MakeAv(const media::TempDir& dir, const std::string& name,
                   const std::string& size = "160x120") {
  const auto path = dir.File(name);
  EXPECT_TRUE(media::MakeAudioVideo(path, {"-c:v", "mpeg4", "-c:a", "mp2"}, 1.0, size));
  return path;
}

}  // namespace

TEST_F(FileSetupTest, BadInputsGiveTheirErrorTexts) {
  const auto good = MakeAv(dir, "good.mp4");
  const auto zero = dir.File("zero.mp4");
  media::WriteFile(zero, "");
  const auto text = dir.File("notes.mp4");
  media::WriteFile(text, "These are notes, not a movie.\n");
  const auto truncated = dir.File("truncated.mp4");
  media::TruncateCopy(good, truncated, 2000);
  const auto folder = dir.File("folder.mp4");
  std::filesystem::create_directory(folder);
  const auto missing = dir.File("missing.mp4");

  EXPECT_EQ(OpenInput(missing), missing + ": no such file or directory");
  EXPECT_EQ(OpenInput(zero), zero + ": Unknown format");
  EXPECT_EQ(OpenInput(text), text + ": Unknown format");
  EXPECT_EQ(OpenInput(truncated),
            truncated +
                ": I/O error occurred\r\nUsually that means that input file is truncated and/or "
                "corrupted.");
  EXPECT_EQ(OpenInput(folder), folder + ": Error while opening file (Is a directory)");
  EXPECT_EQ(engine.Files.InputFileCount, 0);
  EXPECT_EQ(OpenInput(good), "");
  EXPECT_EQ(engine.Files.InputFileCount, 1);
}

TEST_F(FileSetupTest, InputTakesPictureAndSoundParameters) {
  const auto path = dir.File("vga.mkv");
  ASSERT_TRUE(media::MakeMedia(
      path, {"-f", "lavfi", "-i", "testsrc=size=640x480:rate=30000/1001:duration=1", "-f", "lavfi",
             "-i", "sine=sample_rate=22050:duration=1,aformat=channel_layouts=mono", "-c:v",
             "mpeg4", "-c:a", "mp2"}));
  engine.Options.VideoCodecName = "mpeg4";  // a decoder name, used for this input only
  engine.Options.RateEmu = 1;
  ASSERT_EQ(OpenInput(path), "");
  EXPECT_EQ(engine.Options.FrameWidth, 640);
  EXPECT_EQ(engine.Options.FrameHeight, 480);
  EXPECT_NEAR(engine.Options.FrameAspectRatio, 4.0 / 3.0, 1e-4);
  EXPECT_EQ(engine.Options.FramePixFmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(engine.Options.FrameRate.num, 30000);
  EXPECT_EQ(engine.Options.FrameRate.den, 1001);
  EXPECT_EQ(engine.Options.AudioChannels, 1);
  EXPECT_EQ(engine.Options.AudioSampleRate, 22050);
  EXPECT_NEAR(engine.Options.TotalDurationMs, 1000, 100);
  EXPECT_TRUE(engine.Files.InputRateEmu[0]);
  // Options that belong to one input are used up.
  EXPECT_TRUE(engine.Options.VideoCodecName.empty());
  EXPECT_EQ(engine.Options.RateEmu, 0);
}

TEST_F(FileSetupTest, UnknownOrWrongKindOfCodec) {
  const auto path = MakeAv(dir, "a.avi");
  engine.Options.VideoCodecName = "no-such-codec";
  EXPECT_EQ(OpenInput(path), "Unknown decoder 'no-such-codec'");
  EXPECT_TRUE(engine.Options.VideoCodecName.empty());
  engine.Options.AudioCodecName = "mpeg4";
  EXPECT_EQ(OpenInput(path), "Invalid decoder type 'mpeg4'");
  ASSERT_EQ(OpenInput(path), "");

  engine.Options.VideoCodecName = "mp2";
  EXPECT_FALSE(engine.OpenOutputFile(dir.File("out.avi")));
  EXPECT_EQ(engine.LastErrorText, "new_video_stream fail: Invalid encoder type 'mp2'");
  EXPECT_TRUE(engine.Options.VideoCodecName.empty());
  engine.Options.AudioCodecName = "no-such-codec";
  EXPECT_FALSE(engine.OpenOutputFile(dir.File("out.avi")));
  EXPECT_EQ(engine.LastErrorText, "new_audio_stream fail: Unknown encoder 'no-such-codec'");
  EXPECT_EQ(engine.Files.OutputFileCount, 0);
}

TEST_F(FileSetupTest, OutputFormatFromTheFileName) {
  const auto path = MakeAv(dir, "a.avi");
  ASSERT_EQ(OpenInput(path), "");
  const auto odd = dir.File("out.nosuchext");
  EXPECT_FALSE(engine.OpenOutputFile(odd));
  EXPECT_EQ(engine.LastErrorText, "Unable to find a suitable output format for '" + odd + "'");
  EXPECT_EQ(engine.Files.OutputFileCount, 0);

  ASSERT_TRUE(engine.OpenOutputFile(dir.File("out.avi"))) << engine.LastErrorText;
  ASSERT_EQ(engine.Files.OutputFileCount, 1);
  const AVFormatContext* oc = engine.Files.OutputFiles[0].get();
  EXPECT_STREQ(oc->oformat->name, "avi");
  ASSERT_EQ(oc->nb_streams, 2u);
  EXPECT_EQ(Codec(0, 0)->codec_type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(Codec(0, 0)->codec_id, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(Codec(0, 0)->width, 160);
  EXPECT_EQ(Codec(0, 1)->codec_type, AVMEDIA_TYPE_AUDIO);
  // Set-up creates no file: a job that never runs leaves nothing behind.
  EXPECT_FALSE(std::filesystem::exists(dir.File("out.avi")));
  EXPECT_FALSE(std::filesystem::exists(PartFileName(dir.File("out.avi"))));
}

TEST_F(FileSetupTest, AudioOnlyInputGivesOnlyAudio) {
  const auto path = dir.File("tone.wav");
  auto args = media::AudioSource(0.5);
  args.insert(args.end(), {"-c:a", "pcm_s16le"});
  ASSERT_TRUE(media::MakeMedia(path, args));
  ASSERT_EQ(OpenInput(path), "");
  ASSERT_TRUE(engine.OpenOutputFile(dir.File("a.mp4"))) << engine.LastErrorText;
  ASSERT_EQ(engine.Files.OutputFiles[0]->nb_streams, 1u);
  EXPECT_EQ(Codec(0, 0)->codec_type, AVMEDIA_TYPE_AUDIO);

  engine.Options.AudioDisable = 1;
  ASSERT_TRUE(engine.OpenOutputFile(dir.File("b.mp4"))) << engine.LastErrorText;
  EXPECT_EQ(engine.Files.OutputFiles[1]->nb_streams, 0u);
}

TEST_F(FileSetupTest, EncoderFrameRateChoice) {
  // Without an input and without "r" the rate is 25; an encoder with a list of rates gets the
  // nearest listed one.
  ASSERT_TRUE(engine.OpenOutputFile(dir.File("a.mp4"))) << engine.LastErrorText;
  EXPECT_EQ(av_cmp_q(Codec(0, 0)->time_base, AVRational{1, 25}), 0);

  engine.Options.FrameRate = AVRational{30000, 1001};
  engine.Options.VideoCodecName = "mpeg1video";
  ASSERT_TRUE(engine.OpenOutputFile(dir.File("b.mpg"))) << engine.LastErrorText;
  EXPECT_EQ(av_cmp_q(Codec(1, 0)->time_base, AVRational{1001, 30000}), 0);

  engine.Options.FrameRate = AVRational{26, 1};
  engine.Options.VideoCodecName = "mpeg1video";
  ASSERT_TRUE(engine.OpenOutputFile(dir.File("c.mpg"))) << engine.LastErrorText;
  EXPECT_EQ(av_cmp_q(Codec(2, 0)->time_base, AVRational{1, 25}), 0);
}

TEST_F(FileSetupTest, PixelFormatAndAspect) {
  engine.Options.FrameWidth = 720;
  engine.Options.FrameHeight = 576;
  engine.Options.FrameAspectRatio = 16.0f / 9.0f;
  engine.Options.FramePixFmt = AV_PIX_FMT_YUV444P;
  engine.Options.VideoCodecName = "libx264";
  ASSERT_TRUE(engine.OpenOutputFile(dir.File("a.mp4"))) << engine.LastErrorText;
  AVCodecContext* c = Codec(0, 0);
  // Players of the target devices decode 4:2:0 only.
  EXPECT_EQ(c->pix_fmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(c->sample_aspect_ratio.num, 64);
  EXPECT_EQ(c->sample_aspect_ratio.den, 45);

  engine.Options.FramePixFmt = AV_PIX_FMT_YUV420P;
  engine.Options.VideoCodecName = "gif";
  ASSERT_TRUE(engine.OpenOutputFile(dir.File("b.gif"))) << engine.LastErrorText;
  EXPECT_EQ(Codec(1, 0)->pix_fmt, avcodec_find_encoder_by_name("gif")->pix_fmts[0]);
}

TEST_F(FileSetupTest, RcOverridePassAndQuality) {
  engine.Options.VideoRcOverride = "0,10,5/11,20,-50";
  engine.Options.DoPass = 1;
  engine.Options.VideoQScale = 3;
  engine.Options.IntraOnly = 1;
  ASSERT_TRUE(engine.OpenOutputFile(dir.File("a.avi"))) << engine.LastErrorText;
  AVCodecContext* c = Codec(0, 0);
  ASSERT_EQ(c->rc_override_count, 2);
  EXPECT_EQ(c->rc_override[0].start_frame, 0);
  EXPECT_EQ(c->rc_override[0].end_frame, 10);
  EXPECT_EQ(c->rc_override[0].qscale, 5);
  EXPECT_FLOAT_EQ(c->rc_override[0].quality_factor, 1.0f);
  EXPECT_EQ(c->rc_override[1].qscale, 0);
  EXPECT_FLOAT_EQ(c->rc_override[1].quality_factor, 0.5f);
  EXPECT_TRUE(c->flags & AV_CODEC_FLAG_PASS1);
  EXPECT_TRUE(c->flags & AV_CODEC_FLAG_QSCALE);
  EXPECT_EQ(c->global_quality, 3 * FF_QP2LAMBDA);
  EXPECT_EQ(c->gop_size, 0);

  for (const char* bad : {"1,2", "1,2,3/", "a,b,c", "1,2,3x"}) {
    engine.Options.VideoRcOverride = bad;
    EXPECT_FALSE(engine.OpenOutputFile(dir.File("b.avi"))) << bad;
    EXPECT_EQ(engine.LastErrorText, "new_video_stream fail: error parsing rc_override") << bad;
  }
}

TEST_F(FileSetupTest, CodecAliasesAndLanguage) {
  const auto path = MakeAv(dir, "a.mkv", "176x144");
  ASSERT_EQ(OpenInput(path), "");
  engine.Options.AudioCodecName = "libfaac";
  engine.Options.AudioLanguage = "english";
  ASSERT_TRUE(engine.OpenOutputFile(dir.File("a.mp4"))) << engine.LastErrorText;
  AVCodecContext* aac = Codec(0, 1);
  ASSERT_TRUE(aac->codec);
  EXPECT_STREQ(aac->codec->name, "aac");
  const AVDictionaryEntry* lang =
      av_dict_get(engine.Files.OutputFiles[0]->streams[1]->metadata, "language", nullptr, 0);
  ASSERT_TRUE(lang);
  EXPECT_STREQ(lang->value, "eng");
  EXPECT_TRUE(engine.Options.AudioLanguage.empty());

  engine.Options.VideoCodecName = "h263";
  engine.Options.AudioCodecName = "libamr_nb";
  engine.Options.AudioSampleRate = 8000;
  engine.Options.AudioChannels = 1;
  ASSERT_TRUE(engine.OpenOutputFile(dir.File("a.3gp"))) << engine.LastErrorText;
  AVCodecContext* amr = Codec(1, 1);
  EXPECT_EQ(amr->codec_id, AV_CODEC_ID_AMR_NB);
  EXPECT_EQ(amr->sample_rate, 8000);
  EXPECT_EQ(amr->frame_size, 160);
  EXPECT_EQ(AmrNbEncoder::UsesOwnEncoder(amr), AmrNbEncoder::FindLibraryEncoder() == nullptr);
}

TEST_F(FileSetupTest, StreamCopyAndUnwritableOutput) {
  const auto path = MakeAv(dir, "a.avi");
  ASSERT_EQ(OpenInput(path), "");
  engine.Options.VideoStreamCopy = 1;
  engine.Options.AudioStreamCopy = 1;
  ASSERT_TRUE(engine.OpenOutputFile(dir.File("copy.mkv"))) << engine.LastErrorText;
  EXPECT_TRUE(engine.Files.OutputStreamCopy[0][0]);
  EXPECT_TRUE(engine.Files.OutputStreamCopy[0][1]);
  EXPECT_EQ(engine.Options.VideoStreamCopy, 0);

  const auto unwritable = dir.File("no-such-folder/out.avi");
  EXPECT_FALSE(engine.OpenOutputFile(unwritable));
  EXPECT_EQ(engine.LastErrorText.rfind("Could not open '" + unwritable + "'", 0), 0u)
      << engine.LastErrorText;
  // The output stays registered; the caller drops the whole job.
  EXPECT_EQ(engine.Files.OutputFileCount, 2);

  // Writing over the file being read would destroy the source.
  const auto size = std::filesystem::file_size(path);
  EXPECT_FALSE(engine.OpenOutputFile(path));
  EXPECT_EQ(engine.LastErrorText,
            "Could not open '" + path + "' (it is an input file of this job)");
  EXPECT_EQ(std::filesystem::file_size(path), size);
}

TEST_F(FileSetupTest, TooManyInputs) {
  const auto path = dir.File("tone.wav");
  auto args = media::AudioSource(0.2);
  args.insert(args.end(), {"-c:a", "pcm_s16le"});
  ASSERT_TRUE(media::MakeMedia(path, args));
  for (int i = 0; i < kMaxFiles; ++i) ASSERT_EQ(OpenInput(path), "") << i;
  EXPECT_EQ(OpenInput(path), path + ": too many input files (at most 20)");
  EXPECT_EQ(engine.Files.InputFileCount, kMaxFiles);
}

TEST(FileSetupAvs, ReadsTheQueuesScript) {
  media::TempDir dir;
  const auto script = dir.File("r.avs");
  media::WriteFile(script,
                   "LoadPlugin(\"/opt/quorvin/DirectShowSource.dll\")\r\n"
                   "DirectShowSource(\"/home/u/My Films/a, b.rmvb\", fps=25, convertfps=true)\r\n");
  AvsScript s;
  ASSERT_EQ(ReadAvsScript(script, s), 0);
  EXPECT_EQ(s.source_path, "/home/u/My Films/a, b.rmvb");
  EXPECT_EQ(s.frame_rate.num, 25);
  EXPECT_EQ(s.frame_rate.den, 1);
  EXPECT_TRUE(IsAvsScript("/tmp/$$7777a/R.AVS"));
  EXPECT_FALSE(IsAvsScript("/tmp/a.avi"));

  for (const char* bad :
       {"Version()\r\n", "DirectShowSource(\"\", fps=25)\r\n",
        "DirectShowSource(\"x.rm\", fps=abc)\r\n", "DirectShowSource(\"x.rm\r\n\", fps=25)\r\n"}) {
    media::WriteFile(script, bad);
    EXPECT_EQ(ReadAvsScript(script, s), AVERROR(EINVAL)) << bad;
  }
  EXPECT_EQ(ReadAvsScript(dir.File("missing.avs"), s), AVERROR(ENOENT));
}

// A script input delivers constant-rate pictures from a source with irregular timing, and the
// source's duration, even when the path holds characters the filter-graph syntax uses.
TEST_F(FileSetupTest, ScriptInputHasConstantRate) {
  const auto source = dir.File("odd [name]; a,b:c'd.mkv");
  ASSERT_TRUE(media::MakeMedia(
      source, {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=2", "-f", "lavfi", "-i",
               "sine=duration=2", "-vf", "setpts='if(lt(N,10),N,N*2)/25/TB'", "-fps_mode", "vfr",
               "-c:v", "mpeg4", "-c:a", "mp2"}));
  const auto script = dir.File("r.avs");
  media::WriteFile(script, "DirectShowSource(\"" + source + "\", fps=25, convertfps=true)\r\n");

  ASSERT_EQ(OpenInput(script), "");
  EXPECT_EQ(engine.Options.FrameRate.num, 25);
  EXPECT_EQ(engine.Options.FrameRate.den, 1);
  // Ten pictures 40 ms apart, then forty 80 ms apart: about 3.96 s.
  EXPECT_NEAR(engine.Options.TotalDurationMs, 3960, 100);
  AVFormatContext* ic = engine.Files.InputFiles[0].get();
  ASSERT_EQ(ic->nb_streams, 2u);
  int video = -1;
  for (unsigned i = 0; i < ic->nb_streams; ++i)
    if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) video = static_cast<int>(i);
  ASSERT_GE(video, 0);
  const AVRational tb = ic->streams[video]->time_base;
  EXPECT_EQ(av_cmp_q(tb, AVRational{1, 25}), 0);

  PacketPtr pkt(av_packet_alloc());
  int64_t expected = -1;
  int frames = 0;
  while (av_read_frame(ic, pkt.get()) >= 0) {
    if (pkt->stream_index == video) {
      if (expected >= 0) {
        EXPECT_EQ(pkt->pts, expected) << "picture " << frames;
      }
      expected = pkt->pts + 1;
      ++frames;
    }
    av_packet_unref(pkt.get());
  }
  EXPECT_NEAR(frames, 98, 3);  // 3.92 s of irregular pictures at 25 per second
}

TEST_F(FileSetupTest, ScriptWithMissingSource) {
  const auto script = dir.File("r.avs");
  const auto source = dir.File("gone.rmvb");
  media::WriteFile(script, "DirectShowSource(\"" + source + "\", fps=25, convertfps=true)\r\n");
  EXPECT_EQ(OpenInput(script), source + ": no such file or directory");
  media::WriteFile(script, "Version()\r\n");
  EXPECT_EQ(OpenInput(script), script + ": Error while parsing header");
}

// A RealMedia source at 15 pictures per second, converted through the queue's script: the
// output has 25 pictures per second for the source's whole length, in step with the sound.
TEST_F(FileSetupTest, ScriptInputConvertsAtConstantRate) {
  const auto source = dir.File("film.rmvb");
  ASSERT_TRUE(media::MakeAudioVideo(source, {"-f", "rm", "-c:v", "rv20", "-c:a", "ac3"}, 2.0,
                                    "176x144", "15"));
  const auto script = dir.File("r.avs");
  media::WriteFile(script,
                   "LoadPlugin(\"/opt/quorvin/DirectShowSource.dll\")\r\n"
                   "DirectShowSource(\"" +
                       source + "\", fps=25, convertfps=true)\r\n");
  ASSERT_EQ(OpenInput(script), "");
  engine.Options.VideoCodecName = "mpeg4";
  engine.Options.AudioCodecName = "libfaac";
  const auto out = dir.File("film.mp4");
  ASSERT_TRUE(engine.OpenOutputFile(out)) << engine.LastErrorText;
  engine.Transcode();
  engine.FreeFileSet();

  const auto info = media::Probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  const auto v = info.First("video");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->r_frame_rate.num, 25);
  EXPECT_EQ(v->r_frame_rate.den, 1);
  const auto times = media::PacketTimesPerStream(out);
  ASSERT_EQ(times.size(), 2u);
  EXPECT_EQ(times.at(v->index).count, 50);
  EXPECT_NEAR(times.at(v->index).end_s, 2.0, 0.05);
  EXPECT_NEAR(times.at(v->index).end_s, times.at(1 - v->index).end_s, 0.1);
  EXPECT_TRUE(media::DecodesCleanly(out));
}

TEST_F(FileSetupTest, RunNeverReplacesAFileThatAppearedUnderItsName) {
  const auto path = MakeAv(dir, "a.avi");
  ASSERT_EQ(OpenInput(path), "");
  const auto out = dir.File("out.avi");
  ASSERT_TRUE(engine.OpenOutputFile(out)) << engine.LastErrorText;
  engine.Options.ReplaceExistingOutput = false;
  // Another program takes the name while the job waits for its turn: the finished conversion
  // takes the next free numbered name instead of being discarded.
  media::WriteFile(out, "not ours");
  engine.Transcode();
  EXPECT_EQ(engine.State.RunWarning, "saved as " + dir.File("out-1.avi") + " (a file named " + out +
                                         " appeared during the conversion)");
  engine.FreeFileSet();
  std::ifstream in(out);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "not ours");
  EXPECT_FALSE(std::filesystem::exists(PartFileName(out)));
  EXPECT_TRUE(media::DecodesCleanly(dir.File("out-1.avi")));
}
