// Video export on real movies made with the ffmpeg command line: what comes
// out is checked with ffprobe and with pixels decoded by ffmpeg, never by
// comparing bytes.
#include "host/common/TrackedVideoExport.h"
#include "imaging/plan.h"
#include "platform/linux/FFmpegMovie.h"
#include "platform/linux/FFmpegVideoExport.h"
#include "synth/Pictures.h"

#include "MediaTestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

using namespace plinthora;
using namespace plinthora::imaging_test;
using plinthora::linux_platform::FFmpegVideoExport;

namespace {

using mediatest::capture;

bool ffmpeg(const std::string& args) { return std::system(("ffmpeg -v error -nostdin -y " + args).c_str()) == 0; }

nlohmann::json probe(const std::string& path) {
    const std::string out = capture("ffprobe -v error -print_format json -show_format -show_streams '" + path + "'");
    return nlohmann::json::parse(out, nullptr, false);
}

const nlohmann::json* streamOf(const nlohmann::json& info, const std::string& type) {
    for (const auto& s : info["streams"])
        if (s.value("codec_type", "") == type) return &s;
    return nullptr;
}

// Every frame of the first video track as yuv420p planes, as ffmpeg decodes
// them (one frame per stored frame).
struct YuvFrame {
    int w, h;
    std::string bytes;
    int y(int x, int yy) const { return uint8_t(bytes[size_t(yy) * w + x]); }
    int cb(int x, int yy) const { return uint8_t(bytes[size_t(w) * h + size_t(yy / 2) * (w / 2) + x / 2]); }
    int cr(int x, int yy) const { return uint8_t(bytes[size_t(w) * h * 5 / 4 + size_t(yy / 2) * (w / 2) + x / 2]); }
    double meanY() const {
        double s = 0;
        for (int i = 0; i < w * h; ++i) s += uint8_t(bytes[size_t(i)]);
        return s / (w * h);
    }
};

std::vector<YuvFrame> decodeFrames(const std::string& path, int w, int h) {
    const std::string raw = capture("ffmpeg -v error -nostdin -i '" + path +
                                    "' -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt yuv420p -");
    const size_t frameBytes = size_t(w) * h * 3 / 2;
    std::vector<YuvFrame> frames;
    for (size_t at = 0; at + frameBytes <= raw.size(); at += frameBytes)
        frames.push_back({w, h, raw.substr(at, frameBytes)});
    return frames;
}

// Copies a movie's packets into a new MPEG-4 file whose video track says
// it is to be shown turned by `degreesCounterClockwise`.
bool remuxWithRotation(const std::string& in, const std::string& out, double degreesCounterClockwise) {
    AVFormatContext* ic = nullptr;
    if (avformat_open_input(&ic, in.c_str(), nullptr, nullptr) < 0) return false;
    avformat_find_stream_info(ic, nullptr);
    AVFormatContext* oc = nullptr;
    avformat_alloc_output_context2(&oc, nullptr, "mp4", out.c_str());
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        AVStream* st = avformat_new_stream(oc, nullptr);
        avcodec_parameters_copy(st->codecpar, ic->streams[i]->codecpar);
        st->codecpar->codec_tag = 0;
        st->time_base = ic->streams[i]->time_base;
        if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            auto* m = reinterpret_cast<int32_t*>(av_stream_new_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, 9 * 4));
            av_display_rotation_set(m, degreesCounterClockwise);
        }
    }
    bool ok = avio_open(&oc->pb, out.c_str(), AVIO_FLAG_WRITE) >= 0 && avformat_write_header(oc, nullptr) >= 0;
    AVPacket* pkt = av_packet_alloc();
    while (ok && av_read_frame(ic, pkt) >= 0) {
        av_packet_rescale_ts(pkt, ic->streams[pkt->stream_index]->time_base, oc->streams[pkt->stream_index]->time_base);
        pkt->pos = -1;
        ok = av_interleaved_write_frame(oc, pkt) >= 0;
    }
    ok = ok && av_write_trailer(oc) >= 0;
    av_packet_free(&pkt);
    avio_closep(&oc->pb);
    avformat_free_context(oc);
    avformat_close_input(&ic);
    return ok;
}

struct Outcome {
    ExportStatus status = ExportStatus::Unknown;
    int completions = 0;
    bool onOwnThread = false;
};

// Runs one export to its end (two minutes at most, as a safety net).
Outcome runExport(FFmpegVideoExport& video, ExportRequest request,
                  const std::function<void(ExportSession&)>& whileRunning = {}) {
    auto result = std::make_shared<Outcome>();
    auto mutex = std::make_shared<std::mutex>();
    auto ended = std::make_shared<std::promise<void>>();
    auto endedFuture = ended->get_future();
    const auto caller = std::this_thread::get_id();
    auto session = video.exportAsynchronously(std::move(request), [=](ExportStatus s) {
        std::lock_guard lock(*mutex);
        result->status = s;
        result->onOwnThread = std::this_thread::get_id() != caller;
        if (++result->completions == 1) ended->set_value();
    });
    if (!session) return {};
    if (whileRunning) whileRunning(*session);
    if (endedFuture.wait_for(std::chrono::seconds(120)) != std::future_status::ready) return {};
    video.cancelAll();  // returns once every completion has run
    EXPECT_EQ(session->status(), result->status);
    std::lock_guard lock(*mutex);
    return *result;
}

class VideoExportTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    std::string path(const char* name) const { return dir.filePath(name).toStdString(); }
    QStringList files() const { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden); }

    QTemporaryDir dir;
    FFmpegVideoExport video;
};

// Copies the source's middle pixel into the 16 leftmost columns (one
// macroblock, so that coding does not smear it across the test points) and
// leaves the rest transparent. The rows go over in bands, and once the
// export holds the transparent still pixels, only those 16 columns, with
// white where the still ones would be.
struct HalfCopy {
    std::shared_ptr<std::atomic<uint32_t>> seen = std::make_shared<std::atomic<uint32_t>>(0);
    std::shared_ptr<std::atomic<int>> hugePagesOff = std::make_shared<std::atomic<int>>(-1);
    std::shared_ptr<std::atomic<int>> liveOnlyFrames = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::atomic<int>> nice = std::make_shared<std::atomic<int>>(-100);
    void operator()(const Bitmap& src, Bitmap& out, int64_t, const Imaging::RowBands& bands) const {
        hugePagesOff->store(::prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0));
        nice->store(::getpriority(PRIO_PROCESS, 0));
        bands.needContent(0, src.height);
        const uint32_t c = src.at(src.width / 2, src.height / 2);
        seen->store(c);
        const bool liveOnly = bands.holdsStill(7);
        if (liveOnly) ++*liveOnlyFrames;
        const std::vector<Imaging::ColumnSpan> live(8, {0, 16});
        std::vector<uint32_t> rows(size_t(16) * size_t(out.width));
        for (int begin = 0; begin < out.height; begin += 16) {
            const int end = std::min(begin + 16, out.height);
            for (int y = begin; y < end; ++y)
                for (int x = 0; x < out.width; ++x)
                    rows[size_t(y - begin) * size_t(out.width) + size_t(x)] = x < 16 ? c : liveOnly ? 0xFFFFFFFFu : 0u;
            bands.canvasRows(begin, end, rows.data(), liveOnly ? live.data() : nullptr);
        }
    }
};

// BT.709 limited-range Y, Cb, Cr of an opaque RGB colour.
std::array<double, 3> bt709(int r, int g, int b) {
    const double R = r / 255.0, G = g / 255.0, B = b / 255.0;
    const double Y = 0.2126 * R + 0.7152 * G + 0.0722 * B;
    return {16 + 219 * Y, 128 + 224 * (B - Y) / 1.8556, 128 + 224 * (R - Y) / 1.5748};
}

TEST_F(VideoExportTest, EncodesH264At30FpsWithBt709ColourBlackPaddingAndTheSourcesAudio) {
    // (source file, ffmpeg arguments that make it, has audio, audio codec in)
    struct Case {
        const char* name;
        std::string args;
        bool audio;
    };
    const std::string colour = "-f lavfi -i color=c=0xC8285A:s=64x48:r=25:d=1 ";
    const Case cases[] = {
        {"aac.mp4", colour + "-f lavfi -i sine=frequency=440:duration=1 -c:v libx264 -pix_fmt yuv420p -c:a aac", true},
        {"silent.mp4", colour + "-c:v libx264 -pix_fmt yuv420p", false},
        {"vorbis.mkv",
         colour + "-f lavfi -i sine=frequency=440:duration=1 -c:v libx264 -pix_fmt yuv420p -c:a libvorbis", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string src = path(c.name), out = path("out.mp4");
        ASSERT_TRUE(ffmpeg(c.args + " '" + src + "'"));
        const auto info = video.open(src);
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->hasAudio, c.audio);

        HalfCopy handler;
        const int hugePagesBefore = ::prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0);
        const Outcome o = runExport(video, {src, out, 45, 31, 30, handler});
        EXPECT_EQ(o.status, ExportStatus::Completed);
        EXPECT_EQ(o.completions, 1);
        EXPECT_TRUE(o.onOwnThread);
        // Huge pages are off while the movie is made, as they were after.
        EXPECT_EQ(handler.hugePagesOff->load(), 1);
        EXPECT_EQ(::prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0), hugePagesBefore);
        // The frames are made at a lower priority than the encoder's.
        EXPECT_GT(handler.nice->load(), ::getpriority(PRIO_PROCESS, 0));

        const auto p = probe(out);
        const auto* v = streamOf(p, "video");
        ASSERT_NE(v, nullptr);
        EXPECT_EQ((*v)["codec_name"], "h264");
        EXPECT_EQ((*v)["pix_fmt"], "yuv420p");
        EXPECT_EQ((*v)["width"], 46);
        EXPECT_EQ((*v)["height"], 32);
        EXPECT_EQ((*v)["color_space"], "bt709");
        EXPECT_EQ((*v)["color_primaries"], "bt709");
        EXPECT_EQ((*v)["color_transfer"], "bt709");
        EXPECT_EQ((*v)["avg_frame_rate"], "30/1");
        const auto* a = streamOf(p, "audio");
        EXPECT_EQ(a != nullptr, c.audio);
        if (a) {
            EXPECT_EQ((*a)["codec_name"], "aac");
        }

        // One frame per instant k / 30 of the source's duration.
        const auto frames = decodeFrames(out, 46, 32);
        EXPECT_EQ(int64_t(frames.size()), int64_t(std::ceil(info->duration * 30 - 1e-4)));
        ASSERT_FALSE(frames.empty());

        // The colour the handler saw is the source's, and arrives encoded
        // as BT.709; transparent pixels and the padding are black.
        const uint32_t seen = handler.seen->load();
        EXPECT_LE(channelDistance(seen, 0xFFC8285Au), 6) << std::hex << seen;
        const auto want = bt709(redOf(seen), greenOf(seen), blueOf(seen));
        // Frames whose still pixels were kept from before have them all.
        EXPECT_GT(handler.liveOnlyFrames->load(), int(frames.size()) / 2);
        const YuvFrame& f = frames[frames.size() / 2];
        EXPECT_NEAR(f.y(8, 15), want[0], 3);
        EXPECT_NEAR(f.cb(8, 15), want[1], 3);
        EXPECT_NEAR(f.cr(8, 15), want[2], 3);
        EXPECT_NEAR(f.y(8, 30), want[0], 3);  // the last row, paired with the black one below
        for (auto [x, y] : {std::pair{36, 15}, {45, 10}, {40, 31}}) {
            EXPECT_NEAR(f.y(x, y), 16, 3) << x << "," << y;
            EXPECT_NEAR(f.cb(x, y), 128, 3);
            EXPECT_NEAR(f.cr(x, y), 128, 3) << x << "," << y;
        }

        // The index is at the front, so players can start before the end.
        std::ifstream file(out, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)), {});
        EXPECT_LT(bytes.find("moov"), bytes.find("mdat"));
        QStringList expected{c.name, "out.mp4"};
        expected.sort();
        EXPECT_EQ(files(), expected);
        QFile::remove(QString::fromStdString(out));
        QFile::remove(QString::fromStdString(src));
    }
}

TEST_F(VideoExportTest, VariableRateWebmShowsTheFrameOnScreenAtEveryInstant) {
    // Eight grey frames of distinct brightness at uneven times, Opus audio.
    const std::string src = path("vfr.webm"), out = path("out.mp4");
    ASSERT_TRUE(
        ffmpeg("-f lavfi -i \"color=c=gray:s=64x48:r=10:d=0.8,format=yuv420p,"
               "geq=lum='40+N*22':cb=128:cr=128,settb=1/1000,setpts='N*(N+1)/2*0.05/TB'\" "
               "-f lavfi -i sine=frequency=440:duration=1.4 -c:v libvpx-vp9 -crf 10 -b:v 0 "
               "-c:a libopus -fps_mode vfr -enc_time_base 1/1000 '" +
               src + "'"));
    const auto srcInfo = probe(src);
    const double start = std::max(0.0, std::stod(srcInfo["format"].value("start_time", "0")));
    std::vector<double> times;
    for (const QString& t : QString::fromStdString(capture("ffprobe -v error -select_streams v -show_entries "
                                                           "frame=best_effort_timestamp_time -of csv=p=0 '" +
                                                           src + "'"))
                                .split('\n', Qt::SkipEmptyParts))
        times.push_back(t.trimmed().toDouble() - start);
    const auto sourceFrames = decodeFrames(src, 64, 48);
    ASSERT_EQ(times.size(), 8u);
    ASSERT_EQ(sourceFrames.size(), 8u);

    const auto info = video.open(src);
    ASSERT_TRUE(info.has_value());
    EXPECT_TRUE(info->hasAudio);
    auto indices = std::make_shared<std::vector<int>>();
    auto mutex = std::make_shared<std::mutex>();
    auto copy = [=](const Bitmap& s, Bitmap& o, int64_t k, const Imaging::RowBands& bands) {
        bands.needContent(0, s.height);
        std::lock_guard lock(*mutex);
        indices->push_back(int(k));
        o.pixels = s.pixels;
    };
    const Outcome o = runExport(video, {src, out, 64, 48, 30, copy});
    ASSERT_EQ(o.status, ExportStatus::Completed);

    const int64_t count = int64_t(std::ceil(info->duration * 30 - 1e-4));
    EXPECT_GT(info->duration, 1.4);
    std::sort(indices->begin(), indices->end());
    ASSERT_EQ(int64_t(indices->size()), count);  // one call per output frame
    for (int64_t k = 0; k < count; ++k) EXPECT_EQ((*indices)[size_t(k)], k);

    const auto p = probe(out);
    ASSERT_NE(streamOf(p, "audio"), nullptr);
    EXPECT_EQ((*streamOf(p, "audio"))["codec_name"], "aac");
    const auto frames = decodeFrames(out, 64, 48);
    ASSERT_EQ(int64_t(frames.size()), count);
    for (int64_t k = 0; k < count; ++k) {
        size_t shown = 0;  // the last source frame whose time has come (the first before any)
        while (shown + 1 < times.size() && times[shown + 1] <= double(k) / 30 + 1e-9) ++shown;
        EXPECT_NEAR(frames[size_t(k)].meanY(), sourceFrames[shown].meanY(), 3) << "frame " << k;
    }
}

// A frame's bands whose source rows did not change since the frame its
// slot last held are kept from that one: a movie whose top stands still
// while its bottom moves comes out the same as when every band is made.
TEST_F(VideoExportTest, BandsKeptFromAnEarlierFrameAreTheBandsMadeAgain) {
    const std::string src = path("half.mp4");
    // The top 40 rows stand still; below them, from frame to frame, the
    // next 24 rows change in luma only, 16 more in blue chroma only, the
    // last 16 in red chroma only. Lossless, so still rows decode the same.
    ASSERT_TRUE(
        ffmpeg("-f lavfi -i color=c=0x3060C0:s=64x96:r=30:d=1 -f lavfi -i "
               "\"color=s=64x56:r=30:d=1,format=yuv420p,geq=lum='if(lt(Y,24),mod(X*3+Y*5+N*11,256),90)':"
               "cb='if(between(Y,12,19),mod(X*4+N*9,256),128)':cr='if(gte(Y,20),mod(Y*6+N*5,256),128)'\" "
               "-filter_complex \"[0:v]drawbox=x=8:y=8:w=20:h=30:c=0xE0C020:t=fill[bg];[bg][1:v]overlay=0:40\" "
               "-c:v libx264 -qp 0 -pix_fmt yuv420p '" +
               src + "'"));
    // An opaque frame around a clear hole, the movie slightly sheared in it (a
    // steep perspective would have every band read every row).
    Bitmap shell(80, 120);
    for (int y = 0; y < shell.height; ++y)
        for (int x = 0; x < shell.width; ++x)
            shell.pixels[size_t(y) * 80 + size_t(x)] = x < 8 || x >= 72 || y < 8 || y >= 112 ? 0xFF404040u : 0u;
    const Quad quad{{9, 7}, {71, 8}, {8, 112}, {70, 113}};
    const auto plan = imaging::planWarpUnder(64, 96, quad, std::make_shared<const Bitmap>(std::move(shell)));

    std::vector<YuvFrame> results[2];
    for (const bool keep : {true, false}) {
        SCOPED_TRACE(keep ? "bands kept" : "every band made");
        FFmpegVideoExport::Options options;
        options.keepUnchangedBands = keep;
        FFmpegVideoExport exporter(options);
        auto kept = std::make_shared<std::atomic<int>>(0);
        auto framed = [plan, kept](const Bitmap& s, Bitmap& o, int64_t, const Imaging::RowBands& bands) {
            Imaging::RowBands counted = bands;
            if (bands.holdsBand)
                counted.holdsBand = [&bands, kept](int a, int b, int begin, int end) {
                    const bool held = bands.holdsBand(a, b, begin, end);
                    if (held) ++*kept;
                    return held;
                };
            plan->render(s, o, nullptr, &counted);
        };
        const std::string out = path(keep ? "kept.mp4" : "made.mp4");
        ASSERT_EQ(runExport(exporter, {src, out, 80, 120, 30, framed}).status, ExportStatus::Completed);
        // The still top's bands are kept in most frames, none when off.
        if (keep)
            EXPECT_GT(kept->load(), 30 * 3);
        else
            EXPECT_EQ(kept->load(), 0);
        results[keep ? 0 : 1] = decodeFrames(out, 80, 120);
    }
    ASSERT_EQ(results[0].size(), 30u);
    ASSERT_EQ(results[1].size(), results[0].size());
    for (size_t k = 0; k < results[0].size(); ++k)
        EXPECT_TRUE(results[0][k].bytes == results[1][k].bytes) << "frame " << k;
    // The moving part does move, so its bands were made afresh.
    EXPECT_FALSE(results[0][3].bytes == results[0][20].bytes);
}

TEST_F(VideoExportTest, QuarterTurnedSourcesArriveUpright) {
    // Stored 64 × 32: red left half, blue right half.
    const std::string stored = path("stored.mp4");
    ASSERT_TRUE(
        ffmpeg("-f lavfi -i color=c=red:s=64x32:r=30:d=0.3 -vf drawbox=x=32:y=0:w=32:h=32:c=blue:t=fill "
               "-c:v libx264 -pix_fmt yuv420p '" +
               stored + "'"));
    // The rotation is written through the muxer and checked as ffprobe
    // reads it back (degrees counter-clockwise); the upright picture is the
    // one ffmpeg itself shows.
    struct Case {
        double written;
        int probed;
        AffineTransform transform;
        int width, height;
    };
    const Case cases[] = {
        {90, -90, {0, 1, -1, 0, 32, 0}, 32, 64},  // a phone held upright: a clockwise turn
        {-90, 90, {0, -1, 1, 0, 0, 64}, 32, 64},
        {180, 180, {-1, 0, 0, -1, 64, 32}, 64, 32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        const std::string src = path("turned.mp4"), out = path("out.mp4");
        ASSERT_TRUE(remuxWithRotation(stored, src, c.written));
        const auto probed = probe(src);
        ASSERT_NE(streamOf(probed, "video"), nullptr);
        EXPECT_EQ(std::abs((*streamOf(probed, "video"))["side_data_list"][0].value("rotation", 0)), std::abs(c.probed));
        const auto info = video.open(src);
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->naturalSize, (Size{64, 32}));
        EXPECT_EQ(info->preferredTransform, c.transform);

        auto got = std::make_shared<Bitmap>();
        auto mutex = std::make_shared<std::mutex>();
        auto keep = [=](const Bitmap& s, Bitmap& o, int64_t k, const Imaging::RowBands& bands) {
            bands.needContent(0, s.height);
            if (k == 0) {
                std::lock_guard lock(*mutex);
                *got = s;
            }
            std::fill(o.pixels.begin(), o.pixels.end(), 0xFF000000u);
        };
        ASSERT_EQ(runExport(video, {src, out, c.width, c.height, 30, keep}).status, ExportStatus::Completed);
        const std::string shown =
            capture("ffmpeg -v error -nostdin -i '" + src + "' -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
        ASSERT_EQ(shown.size(), size_t(c.width) * c.height * 3);
        std::lock_guard lock(*mutex);
        ASSERT_EQ(got->width, c.width);
        ASSERT_EQ(got->height, c.height);
        for (auto [x, y] : {std::pair{c.width / 2, c.height / 4},
                            {c.width / 2, c.height * 3 / 4},
                            {c.width / 4, c.height / 2},
                            {c.width * 3 / 4, c.height / 2}}) {
            const size_t at = (size_t(y) * c.width + x) * 3;
            const uint32_t want = 0xFF000000u | uint32_t(uint8_t(shown[at])) << 16 |
                                  uint32_t(uint8_t(shown[at + 1])) << 8 | uint8_t(shown[at + 2]);
            EXPECT_LE(channelDistance(got->at(x, y), want), 12) << x << "," << y;
        }
        QFile::remove(QString::fromStdString(src));
        QFile::remove(QString::fromStdString(out));
    }
}

// swscale's SIMD yuv-to-RGB shortcut wrote past the last pixel of a picture
// (in a release build that broke the heap on the first frame of every
// export) and skipped the last pixels of rows not a multiple of 8 wide; 4:2:0
// frames now take our own kernels, other formats still swscale. The memory
// right after the picture (the vector's spare capacity) must be left as it
// was, and every pixel converted.
TEST(FFmpegScalerTest, DecodedFramesAreConvertedWithoutWritingPastThePicture) {
    struct Case {
        AVPixelFormat format;
        int w, h;
    } cases[] = {{AV_PIX_FMT_YUV420P, 360, 780},
                 {AV_PIX_FMT_YUV420P, 97, 55},
                 {AV_PIX_FMT_YUV422P, 360, 780},
                 {AV_PIX_FMT_YUV422P, 1170, 2532},
                 {AV_PIX_FMT_YUV422P, 97, 54}};
    for (const auto& [format, w, h] : cases) {
        SCOPED_TRACE(::testing::Message() << av_get_pix_fmt_name(format) << " " << w << "x" << h);
        std::unique_ptr<AVFrame, void (*)(AVFrame*)> f(av_frame_alloc(), [](AVFrame* p) { av_frame_free(&p); });
        f->format = format;
        f->width = w;
        f->height = h;
        ASSERT_GE(av_frame_get_buffer(f.get(), 0), 0);
        const int chromaRows = format == AV_PIX_FMT_YUV420P ? (h + 1) / 2 : h;
        for (int p = 0; p < 3; ++p)
            for (int y = 0; y < (p ? chromaRows : h); ++y)
                std::memset(f->data[p] + size_t(y) * f->linesize[p], p ? 128 : 235, size_t(p ? (w + 1) / 2 : w));
        constexpr uint32_t kCanary = 0x5A5A5A5Au;
        constexpr size_t kSpare = 4096;
        Bitmap upright(w, h);
        upright.pixels.reserve(upright.pixels.size() + kSpare);
        uint32_t* spare = upright.pixels.data() + upright.pixels.size();
        std::fill(spare, spare + kSpare, kCanary);
        linux_platform::ffmpeg::Scaler scaler;
        ASSERT_TRUE(scaler.toUprightArgb(f.get(), 0, upright));
        EXPECT_EQ(std::count(spare, spare + kSpare, kCanary), ptrdiff_t(kSpare)) << "written past the picture";
        auto white = [](uint32_t p) { return (p >> 16 & 0xFF) >= 250 && (p >> 8 & 0xFF) >= 250 && (p & 0xFF) >= 250; };
        EXPECT_EQ(std::count_if(upright.pixels.begin(), upright.pixels.end(), white), ptrdiff_t(upright.pixels.size()))
            << "pixels left unconverted";
    }
}

TEST_F(VideoExportTest, BrokenInputFailsAndCancelAtAnyTimeEndsCancelledLeavingNothing) {
    const std::string whole = path("whole.mp4"), out = path("out.mp4");
    ASSERT_TRUE(
        ffmpeg("-f lavfi -i testsrc2=s=64x48:r=30:d=4 -f lavfi -i sine=duration=4 -c:v libx264 "
               "-pix_fmt yuv420p -c:a aac -movflags +faststart '" +
               whole + "'"));
    std::ifstream in(whole, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    auto write = [&](const char* name, const std::string& b) {
        std::ofstream(path(name), std::ios::binary) << b;
        return path(name);
    };
    const std::string cut = write("cut.mp4", bytes.substr(0, bytes.size() * 6 / 10));
    const std::string garbage = write("garbage.mp4", std::string(5000, '\x42'));
    const std::string png =
        write("still.mp4", capture("ffmpeg -v error -f lavfi -i color=s=8x8 -frames:v 1 -f image2pipe -c:v png -"));
    EXPECT_FALSE(video.open(garbage).has_value());
    EXPECT_FALSE(video.open(png).has_value());
    auto black = [](const Bitmap&, Bitmap& o, int64_t, const Imaging::RowBands&) {
        std::fill(o.pixels.begin(), o.pixels.end(), 0u);
    };
    for (const std::string& src : {cut, garbage, png, path("missing.mp4")}) {
        SCOPED_TRACE(src);
        const Outcome o = runExport(video, {src, out, 64, 48, 30, black});
        EXPECT_EQ(o.status, ExportStatus::Failed);
        EXPECT_EQ(o.completions, 1);
    }

    // A frame that cannot be made fails the export, whether the encoder is
    // still waiting for its first frame or is well under way.
    for (const int64_t bad : {int64_t(0), int64_t(40)}) {
        SCOPED_TRACE(bad);
        auto failing = [bad](const Bitmap&, Bitmap& o, int64_t k, const Imaging::RowBands&) {
            if (k == bad) throw std::runtime_error("no frame");
            std::fill(o.pixels.begin(), o.pixels.end(), 0u);
        };
        const Outcome f = runExport(video, {whole, out, 64, 48, 30, failing});
        EXPECT_EQ(f.status, ExportStatus::Failed);
        EXPECT_EQ(f.completions, 1);
    }

    // Cancelled before the first frame, in the middle, and all at once by
    // the owner (as at shutdown).
    Outcome o = runExport(video, {whole, out, 64, 48, 30, black}, [](ExportSession& s) { s.cancel(); });
    EXPECT_EQ(o.status, ExportStatus::Cancelled);
    EXPECT_EQ(o.completions, 1);

    // The frames from the tenth on wait until the cancel has been asked
    // for: an export that got to its end first (a busy machine may run it
    // through while this thread waits for a core) would rightly complete.
    auto handed = std::make_shared<std::atomic<int>>(0);
    auto asked = std::make_shared<std::atomic<bool>>(false);
    auto counting = [handed, asked](const Bitmap&, Bitmap& dst, int64_t k, const Imaging::RowBands&) {
        ++*handed;
        while (k >= 10 && !*asked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::fill(dst.pixels.begin(), dst.pixels.end(), 0u);
    };
    o = runExport(video, {whole, out, 64, 48, 30, counting}, [&](ExportSession& s) {
        while (*handed < 10) std::this_thread::yield();
        s.cancel();
        s.cancel();
        *asked = true;
    });
    EXPECT_EQ(o.status, ExportStatus::Cancelled);
    EXPECT_EQ(o.completions, 1);
    EXPECT_LT(*handed, 120);

    // Likewise neither export passes its fifth frame until the owner is
    // about to cancel them; from there each has over a hundred frames of
    // 5 ms ahead of it.
    auto stopping = std::make_shared<std::atomic<bool>>(false);
    auto slow = [stopping](const Bitmap&, Bitmap& dst, int64_t k, const Imaging::RowBands&) {
        while (k >= 5 && !*stopping) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::fill(dst.pixels.begin(), dst.pixels.end(), 0u);
    };
    std::atomic<int> cancelled{0};
    auto onEnd = [&](ExportStatus s) { cancelled += s == ExportStatus::Cancelled; };
    auto a = video.exportAsynchronously({whole, path("a.mp4"), 64, 48, 30, slow}, onEnd);
    auto b = video.exportAsynchronously({whole, path("b.mp4"), 64, 48, 30, slow}, onEnd);
    ASSERT_TRUE(a && b);
    while (a->progress().framesDone == 0) std::this_thread::yield();
    const auto running = video.running();
    *stopping = true;
    video.cancelAll();
    EXPECT_EQ(cancelled, 2);
    ASSERT_EQ(running.size(), 2u);
    EXPECT_EQ(running[0].sourcePath, whole);
    EXPECT_EQ(running[0].progress.framesTotal, int64_t(std::ceil(video.open(whole)->duration * 30 - 1e-4)));
    EXPECT_TRUE(video.running().empty());
    EXPECT_EQ(a->status(), ExportStatus::Cancelled);

    EXPECT_EQ(files(), QStringList({"cut.mp4", "garbage.mp4", "still.mp4", "whole.mp4"}));
}

// The host's queue in front of the real port, as the daemon and the command
// line use it: two movies take turns through the frame workers and the
// encoder thread, a third cancelled while it waits never starts, and the
// queue is destroyed as soon as the last completion has run, while the
// thread that ran it may still be inside.
//
// Meanwhile this thread reads the queue as the command line's progress
// does, and while the first export is still finishing on its own thread
// (held in its completion) it reads the queue and hands in a fourth. The
// two threads meet there through a flag that orders nothing, as the
// daemon's main loop and an export's thread do, so the sanitizer sees every
// queue access of the finish that is not under its lock.
TEST_F(VideoExportTest, TrackedExportsOfRealMoviesTakeTurnsAndEndOnce) {
    const std::string src = path("short.mp4");
    ASSERT_TRUE(ffmpeg("-f lavfi -i testsrc2=s=64x48:r=30:d=1 -c:v libx264 -pix_fmt yuv420p '" + src + "'"));
    auto black = [](const Bitmap& s, Bitmap& o, int64_t, const Imaging::RowBands& bands) {
        bands.needContent(0, s.height);
        std::fill(o.pixels.begin(), o.pixels.end(), 0xFF000000u);
    };
    std::mutex mutex;
    std::vector<std::pair<std::string, ExportStatus>> ended;
    auto onEnd = [&](std::string name) {
        return [&, name](ExportStatus s) {
            std::lock_guard lock(mutex);
            ended.emplace_back(name, s);
        };
    };
    auto endedCount = [&] {
        std::lock_guard lock(mutex);
        return ended.size();
    };
    // 0: a runs; 1: a is in its completion; 2: the other thread is done with it.
    std::atomic<int> handover{0};
    auto aEnd = [&, record = onEnd("a")](ExportStatus s) {
        record(s);
        handover.store(1, std::memory_order_relaxed);
        while (handover.load(std::memory_order_relaxed) != 2) std::this_thread::yield();
    };
    std::atomic<int> observed{0};
    {
        host::TrackedVideoExport tracked(video);
        tracked.setFinishedObserver([&](const std::string&, ExportStatus) { ++observed; });
        auto a = tracked.exportAsynchronously({src, path("a.mp4"), 64, 48, 30, black}, aEnd);
        auto b = tracked.exportAsynchronously({src, path("b.mp4"), 64, 48, 30, black}, onEnd("b"));
        auto c = tracked.exportAsynchronously({src, path("c.mp4"), 64, 48, 30, black}, onEnd("c"));
        ASSERT_TRUE(a && b && c);
        c->cancel();
        std::shared_ptr<ExportSession> d;
        std::vector<host::TrackedVideoExport::InFlight> duringFinish;
        int mostRunning = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(180);
        while (endedCount() < 4 && std::chrono::steady_clock::now() < deadline) {
            const auto now = tracked.inFlight();
            mostRunning = std::max(
                mostRunning, int(std::count_if(now.begin(), now.end(), [](const auto& e) { return !e.waiting; })));
            (void)tracked.sourceOf(path("b.mp4"));
            if (handover.load(std::memory_order_relaxed) == 1) {
                duringFinish = tracked.inFlight();
                d = tracked.exportAsynchronously({src, path("d.mp4"), 64, 48, 30, black}, onEnd("d"));
                handover.store(2, std::memory_order_relaxed);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        handover.store(2, std::memory_order_relaxed);  // never left holding on, whatever went wrong
        ASSERT_TRUE(d);
        {
            std::lock_guard lock(mutex);
            EXPECT_EQ(ended, (std::vector<std::pair<std::string, ExportStatus>>{{"c", ExportStatus::Cancelled},
                                                                                {"a", ExportStatus::Completed},
                                                                                {"b", ExportStatus::Completed},
                                                                                {"d", ExportStatus::Completed}}));
        }
        // An export is in flight until its completion has run: the one
        // finishing is listed, running, with the next one waiting behind it.
        ASSERT_EQ(duringFinish.size(), 2u);
        EXPECT_FALSE(duringFinish[0].waiting);
        EXPECT_TRUE(duringFinish[1].waiting);
        EXPECT_EQ(mostRunning, 1);
        // The last completion may still be on its way out of the queue.
        EXPECT_TRUE(tracked.cancelAllAndWait(60));
        EXPECT_TRUE(tracked.inFlight().empty());
        EXPECT_EQ(tracked.startedFor(src), 4);
    }
    EXPECT_EQ(observed, 3);  // c never started
    EXPECT_EQ(files(), QStringList({"a.mp4", "b.mp4", "d.mp4", "short.mp4"}));
    EXPECT_EQ(probe(path("b.mp4"))["streams"][0].value("nb_frames", ""), "30");
}

}  // namespace
