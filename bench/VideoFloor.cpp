// The floor of the recording bench: the two jobs every framing of a
// recording has to do, each alone in a process, with no more around them
// than the libraries need.
//
//   bench_video_floor decode MOVIE
//       decodes MOVIE's first video track, the frames dropped, with one
//       frame thread a core as our export decodes;
//   bench_video_floor encode RAW WIDTH HEIGHT OUT
//       encodes RAW (frames of raw yuv420p, planes unpadded, as the export
//       writes them under FFmpegVideoExport::kRawFramesVariable) into OUT,
//       H.264 in MPEG-4 at the export's settings: the same encoder, preset,
//       CRF, tags and threads, transparent huge pages off as during an
//       export, one frame buffer reused as the export's slots are.
//
// With the export's own frames, the encode's video is bit for bit ours;
// the recording bench checks that.
#include "platform/linux/FFmpegVideoExport.h"
#include "platform/linux/ProcessTuning.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace {

using plinthora::linux_platform::FFmpegVideoExport;

[[noreturn]] void die(const std::string& what, int err = 0) {
    char text[AV_ERROR_MAX_STRING_SIZE] = "";
    if (err < 0) av_strerror(err, text, sizeof text);
    std::fprintf(stderr, "bench_video_floor: %s %s\n", what.c_str(), text);
    std::exit(1);
}

void check(int r, const char* what) {
    if (r < 0) die(what, r);
}

int decode(const char* path) {
    AVFormatContext* in = nullptr;
    check(avformat_open_input(&in, path, nullptr, nullptr), "open");
    check(avformat_find_stream_info(in, nullptr), "stream info");
    const int index = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    check(index, "video track");
    const AVCodec* codec = avcodec_find_decoder(in->streams[index]->codecpar->codec_id);
    if (!codec) die("no decoder");
    AVCodecContext* dec = avcodec_alloc_context3(codec);
    check(avcodec_parameters_to_context(dec, in->streams[index]->codecpar), "decoder parameters");
    dec->pkt_timebase = in->streams[index]->time_base;
    dec->thread_count = int(std::max(1u, std::thread::hardware_concurrency()));
    check(avcodec_open2(dec, codec, nullptr), "decoder");
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    long frames = 0;
    auto drain = [&] {
        for (;;) {
            const int r = avcodec_receive_frame(dec, frame);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
            check(r, "decode");
            ++frames;
            av_frame_unref(frame);
        }
    };
    for (;;) {
        const int r = av_read_frame(in, pkt);
        if (r == AVERROR_EOF) break;
        check(r, "read");
        if (pkt->stream_index == index) {
            check(avcodec_send_packet(dec, pkt), "decode");
            drain();
        }
        av_packet_unref(pkt);
    }
    check(avcodec_send_packet(dec, nullptr), "decode");
    drain();
    if (frames == 0) die("no frames decoded");
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&in);
    return 0;
}

int encode(const char* rawPath, int width, int height, const char* outPath) {
    const plinthora::linux_platform::HugePagesOff hugePagesOff;
    std::FILE* raw = std::fopen(rawPath, "rb");
    if (!raw) die(std::string("cannot read ") + rawPath);
    AVFormatContext* oc = nullptr;
    check(avformat_alloc_output_context2(&oc, nullptr, "mp4", outPath), "muxer");
    const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
    if (!x264) die("no libx264");
    AVCodecContext* enc = avcodec_alloc_context3(x264);
    enc->width = width;
    enc->height = height;
    enc->pix_fmt = AV_PIX_FMT_YUV420P;
    enc->time_base = {1, 30};
    enc->framerate = {30, 1};
    enc->sample_aspect_ratio = {1, 1};
    enc->color_primaries = AVCOL_PRI_BT709;
    enc->color_trc = AVCOL_TRC_BT709;
    enc->colorspace = AVCOL_SPC_BT709;
    enc->color_range = AVCOL_RANGE_MPEG;
    enc->thread_count = FFmpegVideoExport::Options{}.encoderThreads;
    if (oc->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "preset", FFmpegVideoExport::kPreset, 0);
    av_dict_set_int(&opts, "crf", FFmpegVideoExport::kCrf, 0);
    check(avcodec_open2(enc, x264, &opts), "encoder");
    av_dict_free(&opts);
    AVStream* st = avformat_new_stream(oc, nullptr);
    if (!st) die("no stream");
    check(avcodec_parameters_from_context(st->codecpar, enc), "stream parameters");
    st->time_base = enc->time_base;
    check(avio_open(&oc->pb, outPath, AVIO_FLAG_WRITE), "open the output");
    AVDictionary* mux = nullptr;
    av_dict_set(&mux, "movflags", "+faststart", 0);
    check(avformat_write_header(oc, &mux), "header");
    av_dict_free(&mux);

    AVFrame* f = av_frame_alloc();
    f->format = AV_PIX_FMT_YUV420P;
    f->width = width;
    f->height = height;
    f->color_primaries = AVCOL_PRI_BT709;
    f->color_trc = AVCOL_TRC_BT709;
    f->colorspace = AVCOL_SPC_BT709;
    f->color_range = AVCOL_RANGE_MPEG;
    check(av_frame_get_buffer(f, 0), "frame");
    AVPacket* pkt = av_packet_alloc();
    auto drain = [&] {
        for (;;) {
            const int r = avcodec_receive_packet(enc, pkt);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
            check(r, "encode");
            pkt->stream_index = st->index;
            if (pkt->duration <= 0) pkt->duration = 1;
            av_packet_rescale_ts(pkt, enc->time_base, st->time_base);
            check(av_interleaved_write_frame(oc, pkt), "write");
        }
    };
    for (int64_t k = 0;; ++k) {
        check(av_frame_make_writable(f), "frame");
        bool whole = true;
        for (int p = 0; p < 3 && whole; ++p) {
            const int w = p == 0 ? width : width / 2, h = p == 0 ? height : height / 2;
            for (int y = 0; y < h && whole; ++y)
                whole = std::fread(f->data[p] + ptrdiff_t(y) * f->linesize[p], 1, size_t(w), raw) == size_t(w);
        }
        if (!whole) break;
        f->pts = k;
        check(avcodec_send_frame(enc, f), "encode");
        drain();
    }
    check(avcodec_send_frame(enc, nullptr), "encode");
    drain();
    check(av_write_trailer(oc), "trailer");
    avio_closep(&oc->pb);
    av_packet_free(&pkt);
    av_frame_free(&f);
    avcodec_free_context(&enc);
    avformat_free_context(oc);
    std::fclose(raw);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // The encoder's closing statistics and the like would fill the bench's
    // table; errors still show.
    av_log_set_level(AV_LOG_ERROR);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "decode" && argc == 3) return decode(argv[2]);
    if (mode == "encode" && argc == 6) return encode(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5]);
    std::fprintf(stderr, "usage: bench_video_floor decode MOVIE | encode RAW WIDTH HEIGHT OUT\n");
    return 2;
}
