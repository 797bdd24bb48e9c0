#include "platform/linux/FFmpegMovie.h"

#include "platform/ports/Platform.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <fcntl.h>
#include <random>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/display.h>
#include <libswresample/swresample.h>
}

namespace plinthora::linux_platform::ffmpeg {

void FormatCloser::operator()(AVFormatContext* p) const { avformat_close_input(&p); }
void CodecFreer::operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
void FrameFreer::operator()(AVFrame* p) const { av_frame_free(&p); }
void PacketFreer::operator()(AVPacket* p) const { av_packet_free(&p); }
void FifoFreer::operator()(AVAudioFifo* p) const { av_audio_fifo_free(p); }
void SwrFreer::operator()(SwrContext* p) const { swr_free(&p); }

std::string errorText(int averror) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averror, buf, sizeof buf);
    return buf;
}

void routeLibraryLogs() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_callback([](void*, int level, const char* fmt, va_list args) {
            if (level > AV_LOG_ERROR) return;
            char line[1024];
            std::vsnprintf(line, sizeof line, fmt, args);
            debugLog("ffmpeg: %s", line);
        });
    });
}

// ---- reading a movie ---------------------------------------------------------

namespace {

// Demuxer names as FFmpeg spells them (the MPEG-4 one answers to "mov").
constexpr const char* kContainers = "mov,mp4,matroska,webm,avi,mpegts,ogg,flv";

int quarterTurnsOf(const AVStream* st) {
    const uint8_t* matrix = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
    if (!matrix) return 0;
    // Degrees counter-clockwise; we turn clockwise.
    const double ccw = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
    if (!std::isfinite(ccw)) return 0;
    const long turns = std::lround(-ccw / 90.0);
    return int(((turns % 4) + 4) % 4);
}

}  // namespace

std::optional<Movie> openMovie(const std::string& path) {
    AVFormatContext* fc = nullptr;
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "format_whitelist", kContainers, 0);
    av_dict_set(&opts, "protocol_whitelist", "file", 0);
    const int opened = avformat_open_input(&fc, ("file:" + path).c_str(), nullptr, &opts);
    av_dict_free(&opts);
    if (opened < 0) return std::nullopt;
    Movie m;
    m.format.reset(fc);
    if (avformat_find_stream_info(fc, nullptr) < 0) return std::nullopt;
    for (unsigned i = 0; i < fc->nb_streams; ++i) {
        const AVStream* st = fc->streams[i];
        const AVMediaType type = st->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_VIDEO && m.videoIndex < 0 && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC) &&
            st->codecpar->width > 0 && st->codecpar->height > 0)
            m.videoIndex = int(i);
        else if (type == AVMEDIA_TYPE_AUDIO && m.audioIndex < 0)
            m.audioIndex = int(i);
    }
    if (m.videoIndex < 0 && m.audioIndex < 0) return std::nullopt;
    if (m.videoIndex >= 0) m.quarterTurns = quarterTurnsOf(fc->streams[m.videoIndex]);
    // A duration guessed from the bit rate is no measure of anything.
    if (fc->duration != AV_NOPTS_VALUE && fc->duration > 0 &&
        fc->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE) {
        m.duration = double(fc->duration) / AV_TIME_BASE;
        m.durationKnown = true;
    } else if (m.videoIndex >= 0 && fc->streams[m.videoIndex]->duration != AV_NOPTS_VALUE) {
        // A damaged header can give a time base of 0/0 (an infinite or NaN
        // duration): no measure either.
        const AVStream* st = fc->streams[m.videoIndex];
        const double seconds = double(st->duration) * av_q2d(st->time_base);
        if (std::isfinite(seconds) && seconds > 0) {
            m.duration = seconds;
            m.durationKnown = true;
        }
    }
    return m;
}

std::optional<Bitmap> firstFrame(const std::string& path) {
    std::optional<Movie> movie = openMovie(path);
    if (!movie || movie->videoIndex < 0) return std::nullopt;
    const AVStream* in = movie->format->streams[movie->videoIndex];
    const AVCodec* codec = avcodec_find_decoder(in->codecpar->codec_id);
    CodecPtr dec(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!dec || avcodec_parameters_to_context(dec.get(), in->codecpar) < 0 ||
        avcodec_open2(dec.get(), codec, nullptr) < 0)
        return std::nullopt;
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame) return std::nullopt;
    auto convert = [&]() -> std::optional<Bitmap> {
        const bool turned = movie->quarterTurns % 2 != 0;
        Bitmap upright(turned ? frame->height : frame->width, turned ? frame->width : frame->height);
        Scaler scaler;
        if (!scaler.toUprightArgb(frame.get(), movie->quarterTurns, upright)) return std::nullopt;
        return upright;
    };
    // A few hundred packets at most: a thumbnail is not worth reading a
    // whole broken file.
    for (int read = 0; read < 500 && av_read_frame(movie->format.get(), packet.get()) >= 0; ++read) {
        const bool ours = packet->stream_index == movie->videoIndex;
        const int sent = ours ? avcodec_send_packet(dec.get(), packet.get()) : 0;
        av_packet_unref(packet.get());
        if (sent < 0) return std::nullopt;
        if (ours && avcodec_receive_frame(dec.get(), frame.get()) >= 0) return convert();
    }
    // Frames the decoder still holds.
    if (avcodec_send_packet(dec.get(), nullptr) >= 0 && avcodec_receive_frame(dec.get(), frame.get()) >= 0)
        return convert();
    return std::nullopt;
}

MovieInfo Movie::info() const {
    MovieInfo info;
    info.hasVideo = videoIndex >= 0;
    if (info.hasVideo) {
        const AVCodecParameters* par = format->streams[videoIndex]->codecpar;
        info.naturalSize = {double(par->width), double(par->height)};
        info.preferredTransform = transformForQuarterTurns(quarterTurns, par->width, par->height);
    }
    info.duration = duration;
    info.hasAudio = audioIndex >= 0;
    return info;
}

int64_t Movie::zeroUs() const {
    // Transport streams start anywhere; other containers start at zero, and
    // a track that starts early (audio priming) is not a reason to move it.
    const int64_t start = format->start_time;
    return start != AV_NOPTS_VALUE && start > 0 ? start : 0;
}

AffineTransform transformForQuarterTurns(int quarterTurns, double w, double h) {
    switch (((quarterTurns % 4) + 4) % 4) {
    case 1: return {0, 1, -1, 0, h, 0};
    case 2: return {-1, 0, 0, -1, w, h};
    case 3: return {0, -1, 1, 0, 0, w};
    default: return {};
    }
}

int64_t frameCountFor(double seconds, int fps) {
    // Container durations are rounded to microseconds; a frame that would
    // start in the last microsecond is noise.
    return std::max<int64_t>(0, int64_t(std::ceil(seconds * fps - 1e-4)));
}

int64_t firstInstantAtOrAfter(int64_t ticks, AVRational timeBase, int fps) {
    if (ticks <= 0) return 0;
    return av_rescale_rnd(ticks, int64_t(timeBase.num) * fps, timeBase.den, AV_ROUND_UP);
}

std::string reserveTemporaryBeside(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char tag[32];
        std::snprintf(tag, sizeof tag, "%d-%u-%08x", int(::getpid()), counter++, unsigned(rd()));
        const std::string name = dir + "/." + base + "." + tag + ".part";
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return name;
        }
        if (errno != EEXIST) return {};
    }
    return {};
}

OutputFile::~OutputFile() {
    close();
    avformat_free_context(ctx);
}

int OutputFile::close() {
    if (ctx && ctx->pb && !(ctx->oformat->flags & AVFMT_NOFILE)) return avio_closep(&ctx->pb);
    return 0;
}

}  // namespace plinthora::linux_platform::ffmpeg
