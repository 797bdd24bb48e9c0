#include "platform/linux/FFmpegExporter.h"

#include "platform/linux/FFmpegAudioTranscoder.h"
#include "platform/linux/FFmpegMovie.h"
#include "platform/linux/FFmpegSourceFrames.h"
#include "platform/linux/FFmpegWorkerPool.h"
#include "platform/linux/MediaContent.h"
#include "platform/linux/ProcessTuning.h"
#include "platform/ports/Platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

namespace plinthora::linux_platform::ffmpeg {

namespace {

// The encoder's feeders (the decoder, the workers) run this many nice
// levels below it.
constexpr int kGiveWay = 10;

// A movie whose video ends this much before its stated duration was cut off.
constexpr double kCutOffTolerance = 0.5;

class Exporter {
public:
    Exporter(const ExportRequest& request, SessionState& state, const FFmpegVideoExport::Options& options)
        : req_(request), state_(state), options_(options) {}

    ~Exporter() {
        // The encoder waits on workers, and workers must be gone before the
        // slots they point at.
        stopEncoder();
        pool_.reset();
        output_.reset();
        if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
    }

    ExportStatus run() {
        try {
            prepare();
            pump();
            if (!cancelled() && finish()) {
                // Where the time went, for tuning: set against the process's
                // CPU time, the handler's tells the compositing's share.
                debugLog("video export of %s: %lld frames in %.2f s, frame handler %.2f s of CPU, %lld bands kept",
                         req_.sourcePath.c_str(), (long long)total_,
                         std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count(),
                         double(handlerNs_.load()) / 1e9, (long long)keptBands_.load());
                return ExportStatus::Completed;
            }
            return abandon(ExportStatus::Cancelled);
        } catch (const ExportFailed& e) {
            debugLog("video export of %s failed: %s", req_.sourcePath.c_str(), e.what());
        } catch (const std::exception& e) {
            debugLog("video export of %s failed: %s", req_.sourcePath.c_str(), e.what());
        }
        return abandon(cancelled() ? ExportStatus::Cancelled : ExportStatus::Failed);
    }

private:
    bool cancelled() const { return state_.cancelRequested.load(); }

    ExportStatus abandon(ExportStatus s) {
        // Let running frames finish before their slots go away.
        stopEncoder();
        if (pool_)
            for (Slot& slot : slots_)
                if (slot.busy) pool_->wait(slot);
        return s;
    }

    void prepare() {
        if (req_.renderWidth <= 0 || req_.renderHeight <= 0 || req_.renderWidth > kMaxDimension ||
            req_.renderHeight > kMaxDimension)
            fail("render size out of range");
        fps_ = req_.framesPerSecond;
        auto movie = openMovie(req_.sourcePath);
        if (!movie || movie->videoIndex < 0) fail("not a readable movie");
        movie_ = std::move(*movie);
        AVStream* vin = movie_.format->streams[movie_.videoIndex];
        zeroUs_ = movie_.zeroUs();
        if (movie_.durationKnown) {
            total_ = std::max<int64_t>(1, frameCountFor(movie_.duration, fps_));
            state_.framesTotal = total_;
        }

        const AVCodec* vcodec = avcodec_find_decoder(vin->codecpar->codec_id);
        if (!vcodec) fail("no decoder for the video track");

        tempPath_ = reserveTemporaryBeside(req_.outputPath);
        if (tempPath_.empty()) fail("cannot create a file beside " + req_.outputPath);
        output_ = std::make_unique<OutputFile>();
        check(avformat_alloc_output_context2(&output_->ctx, nullptr, "mp4", ("file:" + tempPath_).c_str()),
              "MPEG-4 muxer");
        AVFormatContext* oc = output_->ctx;

        encodedWidth_ = (req_.renderWidth + 1) & ~1;
        encodedHeight_ = (req_.renderHeight + 1) & ~1;
        const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
        if (!x264) fail("libx264 is not available");
        venc_.reset(avcodec_alloc_context3(x264));
        venc_->width = encodedWidth_;
        venc_->height = encodedHeight_;
        venc_->pix_fmt = AV_PIX_FMT_YUV420P;
        venc_->time_base = {1, fps_};
        venc_->framerate = {fps_, 1};
        venc_->sample_aspect_ratio = {1, 1};
        venc_->color_primaries = AVCOL_PRI_BT709;
        venc_->color_trc = AVCOL_TRC_BT709;
        venc_->colorspace = AVCOL_SPC_BT709;
        venc_->color_range = AVCOL_RANGE_MPEG;
        venc_->thread_count = options_.encoderThreads;
        if (oc->oformat->flags & AVFMT_GLOBALHEADER) venc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        AVDictionary* opts = nullptr;
        av_dict_set(&opts, "preset", FFmpegVideoExport::kPreset, 0);
        av_dict_set_int(&opts, "crf", FFmpegVideoExport::kCrf, 0);
        const int opened = avcodec_open2(venc_.get(), x264, &opts);
        av_dict_free(&opts);
        check(opened, "H.264 encoder");
        vout_ = avformat_new_stream(oc, nullptr);
        if (!vout_) fail("no memory for the video stream");
        check(avcodec_parameters_from_context(vout_->codecpar, venc_.get()), "video stream parameters");
        vout_->time_base = venc_->time_base;

        if (movie_.audioIndex >= 0) {
            AVStream* ain = movie_.format->streams[movie_.audioIndex];
            if (ain->codecpar->codec_id == AV_CODEC_ID_AAC) {
                aout_ = avformat_new_stream(oc, nullptr);
                if (!aout_) fail("no memory for the audio stream");
                check(avcodec_parameters_copy(aout_->codecpar, ain->codecpar), "audio stream parameters");
                aout_->codecpar->codec_tag = 0;
                aout_->time_base = ain->time_base;
            } else {
                transcoder_ = std::make_unique<AudioTranscoder>(ain, oc, zeroUs_);
            }
        }

        // Every movie we write says so, so no later search takes it for a
        // new recording.
        av_dict_set(&oc->metadata, "comment", kResultMark, 0);
        check(avio_open(&oc->pb, ("file:" + tempPath_).c_str(), AVIO_FLAG_WRITE), "open the output");
        AVDictionary* mux = nullptr;
        av_dict_set(&mux, "movflags", "+faststart", 0);
        const int written = avformat_write_header(oc, &mux);
        av_dict_free(&mux);
        check(written, "write the header");

        const int workers = options_.handlerThreads > 0 ? options_.handlerThreads
                                                        : int(std::max(1u, std::thread::hardware_concurrency()));
        slots_ = std::vector<Slot>(size_t(workers + 2));
        for (Slot& s : slots_) {
            s.yuv.reset(av_frame_alloc());
            s.yuv->format = AV_PIX_FMT_YUV420P;
            s.yuv->width = encodedWidth_;
            s.yuv->height = encodedHeight_;
            s.yuv->color_primaries = AVCOL_PRI_BT709;
            s.yuv->color_trc = AVCOL_TRC_BT709;
            s.yuv->colorspace = AVCOL_SPC_BT709;
            s.yuv->color_range = AVCOL_RANGE_MPEG;
            check(av_frame_get_buffer(s.yuv.get(), 0), "frame buffer");
        }
        encoded_.reset(av_packet_alloc());
        if (const char* raw = std::getenv(FFmpegVideoExport::kRawFramesVariable); raw && *raw) {
            rawFrames_.reset(std::fopen(raw, "wbe"));
            if (!rawFrames_) fail(std::string("cannot write the raw frames to ") + raw + ": " + std::strerror(errno));
        }
        encoder_ = std::thread([this] { encodeLoop(); });
        // The encoder's frame threads wait on one another, and it is they
        // that set the pace: the decoder, the workers and this thread run
        // ahead into the slots and give way to them. What is made from here
        // on (the decoder's threads, the workers) shares this thread's
        // lower priority; the encoder's threads were made above.
        lowerThreadPriority(kGiveWay);
        vdec_.reset(avcodec_alloc_context3(vcodec));
        check(avcodec_parameters_to_context(vdec_.get(), vin->codecpar), "video decoder parameters");
        vdec_->pkt_timebase = vin->time_base;
        // One frame thread a core: libavcodec's own choice, one more, holds
        // another frame and its references in flight for no speed here.
        vdec_->thread_count = workers;
        check(avcodec_open2(vdec_.get(), vcodec, nullptr), "video decoder");
        pool_ = std::make_unique<WorkerPool>(workers, [this](Slot& s, Workspace& w) { makeFrame(s, w); });
        packet_.reset(av_packet_alloc());
        decoded_.reset(av_frame_alloc());
    }

    // Runs on a worker. The source is made and the output taken band by
    // band as the handler asks and reports; what it leaves is done after.
    void makeFrame(Slot& s, Workspace& ws) {
        try {
            SourceFrame& source = *s.source;
            if (ws.output.width != req_.renderWidth || ws.output.height != req_.renderHeight) {
                ws.output = Bitmap(req_.renderWidth, req_.renderHeight);
                // A handler that hands every band over never writes here, so
                // the canvas's pages need not stay in memory until one does.
                releasePages(ws.output.pixels.data(), ws.output.pixels.size() * sizeof(uint32_t));
            }
            // make_writable keeps the pixels, so a slot's still pixels
            // survive a buffer the encoder held on to.
            check(av_frame_make_writable(s.yuv.get()), "frame buffer");
            s.pairsDone.assign(size_t(s.yuv->height / 2), 0);
            const uint64_t held = std::exchange(s.still, 0);
            const FramePtr madeFrom = std::move(s.madeFrom);
            const AVFrame* sourceRows = source.rows();
            uint64_t asked = 0;
            bool partial = false, torn = false;
            Imaging::RowBands bands;
            bands.needContent = [&](int begin, int end) { source.need(begin, end, ws.scaler); };
            bands.contentRows = [&](int begin, int end, uint32_t* rows) { return source.rowsInto(begin, end, rows); };
            bands.holdsStill = [&](uint64_t still) {
                asked = still;
                return still != 0 && still == held;
            };
            if (options_.keepUnchangedBands && madeFrom && sourceRows)
                bands.holdsBand = [&](int contentBegin, int contentEnd, int begin, int end) {
                    // Rows as canvasRows() takes them, the same for a band
                    // that is kept.
                    const int h = req_.renderHeight;
                    if (begin % 2 != 0 || (end % 2 != 0 && end != h) || begin >= end || end > h) return false;
                    if (!sameRows(madeFrom.get(), sourceRows, contentBegin, contentEnd)) return false;
                    partial = true;
                    ++keptBands_;
                    std::fill(s.pairsDone.begin() + begin / 2, s.pairsDone.begin() + (end + 1) / 2, 1);
                    return true;
                };
            bands.canvasRows = [&](int begin, int end, const uint32_t* pixels, const Imaging::ColumnSpan* live) {
                // Whole pairs of rows only; a row left alone here must still
                // be in the output, so a band that starts or ends within a
                // pair is copied there. The canvas's last row, when its
                // height is odd, pairs with the black row added below it.
                const int w = req_.renderWidth, h = req_.renderHeight;
                if (ws.output.width != w || ws.output.height != h || begin < 0 || end > h) return;
                int first = (begin + 1) / 2, last = end == h ? (end + 1) / 2 : end / 2;
                const imaging::ArgbRows rows{pixels, begin, w, h};
                if (live) {
                    partial = true;
                    if (begin % 2 != 0 || first >= last) {
                        torn = true;
                        return;
                    }
                    for (int j = first; j < last; ++j) {
                        const Imaging::ColumnSpan span = live[j - first];
                        if (span.from < span.to &&
                            !Scaler::argbRowsToYuv(rows, s.yuv.get(), j, j + 1, span.from, (span.to + 1) & ~1))
                            torn = true;
                    }
                    std::fill(s.pairsDone.begin() + first, s.pairsDone.begin() + last, 1);
                    return;
                }
                if (first < last && Scaler::argbRowsToYuv(rows, s.yuv.get(), first, last))
                    std::fill(s.pairsDone.begin() + first, s.pairsDone.begin() + last, 1);
                else
                    first = last = 0;
                for (int y = begin; y < end; ++y)
                    if (y < 2 * first || y >= 2 * last)
                        std::copy_n(pixels + size_t(y - begin) * size_t(w), w,
                                    ws.output.pixels.data() + size_t(y) * size_t(w));
            };
            const int64_t before = threadCpuNs();
            req_.frameHandler(source.upright, ws.output, s.frameIndex, bands);
            handlerNs_ += threadCpuNs() - before;
            if (source.failed()) fail("cannot convert a source frame");
            if (ws.output.width != req_.renderWidth || ws.output.height != req_.renderHeight ||
                ws.output.pixels.size() != size_t(req_.renderWidth) * size_t(req_.renderHeight))
                fail("the frame handler changed the output size");
            const bool allHanded =
                std::all_of(s.pairsDone.begin(), s.pairsDone.end(), [](uint8_t d) { return d != 0; });
            if (torn || (partial && !allHanded)) fail("the frame handler handed over part of a frame");
            for (int j = 0; j < int(s.pairsDone.size());) {
                if (s.pairsDone[size_t(j)]) {
                    ++j;
                    continue;
                }
                int k = j;
                while (k < int(s.pairsDone.size()) && !s.pairsDone[size_t(k)]) ++k;
                if (!Scaler::argbToYuv(ws.output, s.yuv.get(), j, k)) fail("cannot convert an output frame");
                j = k;
            }
            // Every pixel of the frame is in `yuv` now, the still ones too,
            // and the rest made from this source frame's rows.
            if (allHanded) {
                s.still = asked;
                s.madeFrom = source.rowsRef();
            }
        } catch (const std::exception& e) {
            s.error = e.what();
            if (s.error.empty()) s.error = "frame failed";
        } catch (...) {
            s.error = "the frame handler threw";
        }
        s.source.reset();
    }

    // Whether rows [begin, end) of two decoded 4:2:0 frames, with the
    // chroma rows they use, are the same pixels in the same colours.
    static bool sameRows(const AVFrame* a, const AVFrame* b, int begin, int end) {
        if (a->format != b->format || a->width != b->width || a->height != b->height ||
            a->colorspace != b->colorspace || a->color_range != b->color_range)
            return false;
        begin = std::max(begin, 0);
        end = std::min(end, a->height);
        if (begin >= end) return true;
        // Both are held, so the same planes are the same frame.
        if (a->data[0] == b->data[0] && a->data[1] == b->data[1] && a->data[2] == b->data[2]) return true;
        const auto same = [&](int plane, int from, int to, int width) {
            for (int y = from; y < to; ++y)
                if (std::memcmp(a->data[plane] + ptrdiff_t(y) * a->linesize[plane],
                                b->data[plane] + ptrdiff_t(y) * b->linesize[plane], size_t(width)) != 0)
                    return false;
            return true;
        };
        const int cw = (a->width + 1) / 2;
        return same(0, begin, end, a->width) && same(1, begin / 2, (end + 1) / 2, cw) &&
               same(2, begin / 2, (end + 1) / 2, cw);
    }

    void pump() {
        AVFormatContext* in = movie_.format.get();
        while (!cancelled()) {
            const int r = av_read_frame(in, packet_.get());
            if (r == AVERROR_EOF) break;
            check(r, "read the movie");
            if (packet_->stream_index == movie_.videoIndex) {
                decodeVideo(packet_.get());
            } else if (packet_->stream_index == movie_.audioIndex) {
                std::lock_guard lock(muxMutex_);
                if (transcoder_) {
                    transcoder_->send(packet_.get(), output_->ctx);
                } else {
                    AVStream* ain = in->streams[movie_.audioIndex];
                    av_packet_rescale_ts(packet_.get(), ain->time_base, aout_->time_base);
                    const int64_t shift = av_rescale_q(zeroUs_, AV_TIME_BASE_Q, aout_->time_base);
                    if (packet_->pts != AV_NOPTS_VALUE) packet_->pts -= shift;
                    if (packet_->dts != AV_NOPTS_VALUE) packet_->dts -= shift;
                    packet_->stream_index = aout_->index;
                    packet_->pos = -1;
                    check(av_interleaved_write_frame(output_->ctx, packet_.get()), "write audio");
                }
            }
            av_packet_unref(packet_.get());
        }
        if (cancelled()) return;
        decodeVideo(nullptr);
    }

    void decodeVideo(const AVPacket* pkt) {
        const int sent = avcodec_send_packet(vdec_.get(), pkt);
        if (sent < 0 && sent != AVERROR_EOF) check(sent, "video decode");
        for (;;) {
            const int r = avcodec_receive_frame(vdec_.get(), decoded_.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
            check(r, "video decode");
            onDecoded();
            av_frame_unref(decoded_.get());
            if (cancelled()) return;
        }
    }

    // The frame just decoded is on screen from its instant on: every output
    // instant before that still shows the frame held so far.
    void onDecoded() {
        AVStream* vin = movie_.format->streams[movie_.videoIndex];
        const AVFrame* f = decoded_.get();
        int64_t ts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
        int64_t from = next_;
        if (ts != AV_NOPTS_VALUE) {
            const int64_t rel = ts - av_rescale_q(zeroUs_, AV_TIME_BASE_Q, vin->time_base);
            from = firstInstantAtOrAfter(rel, vin->time_base, fps_);
            double duration = f->pkt_duration > 0 ? double(f->pkt_duration) * av_q2d(vin->time_base) : 0;
            if (duration <= 0 && vin->avg_frame_rate.num > 0) duration = 1 / av_q2d(vin->avg_frame_rate);
            videoEnd_ = std::max(videoEnd_, double(rel) * av_q2d(vin->time_base) + duration);
        }
        FramePtr copy(av_frame_clone(f));
        if (!copy) fail("no memory for a frame");
        auto frame = std::make_shared<SourceFrame>(std::move(copy), movie_.quarterTurns, buffers_);
        emitUntil(from, held_ ? held_ : frame);
        held_ = std::move(frame);
    }

    void emitUntil(int64_t end, const std::shared_ptr<SourceFrame>& source) {
        if (total_ > 0) end = std::min(end, total_);
        const int64_t n = int64_t(slots_.size());
        for (; next_ < end && !cancelled(); ++next_) {
            Slot& s = slots_[size_t(next_ % n)];
            {
                // The slot is free once the encoder is through with the
                // frame it held before.
                std::unique_lock lock(encodeMutex_);
                slotFreed_.wait(lock, [&] { return encodedCount_ > next_ - n || encoderEnded_; });
                if (!encodeError_.empty()) fail(encodeError_);
                if (encodedCount_ <= next_ - n) return;  // cancelled
            }
            s.frameIndex = next_;
            s.source = source;
            s.error.clear();
            pool_->submit(s);
            {
                std::lock_guard lock(encodeMutex_);
                submittedCount_ = next_ + 1;
            }
            frameSubmitted_.notify_one();
        }
    }

    // On a thread of its own, so that the encoder's waits on its frame
    // threads do not hold up decoding and the frame handlers, and theirs do
    // not hold up the encoder. Takes the frames in order as they are made.
    void encodeLoop() {
        try {
            encodeFrames();
        } catch (const std::exception& e) {
            std::lock_guard lock(encodeMutex_);
            encodeError_ = e.what();
            if (encodeError_.empty()) encodeError_ = "H.264 encode failed";
        }
        {
            std::lock_guard lock(encodeMutex_);
            encoderEnded_ = true;
        }
        slotFreed_.notify_one();
    }

    void encodeFrames() {
        const int64_t n = int64_t(slots_.size());
        for (int64_t k = 0;; ++k) {
            {
                std::unique_lock lock(encodeMutex_);
                frameSubmitted_.wait(lock, [&] { return submittedCount_ > k || inputEnded_ || stopEncoding_; });
                if (stopEncoding_ || submittedCount_ <= k) return;
            }
            Slot& s = slots_[size_t(k % n)];
            pool_->wait(s);
            s.busy = false;
            if (!s.error.empty()) fail("frame " + std::to_string(s.frameIndex) + ": " + s.error);
            s.yuv->pts = s.frameIndex;
            if (rawFrames_) writeRaw(s.yuv.get());
            encodeVideo(s.yuv.get());
            state_.framesDone = s.frameIndex + 1;
            {
                std::lock_guard lock(encodeMutex_);
                encodedCount_ = k + 1;
            }
            slotFreed_.notify_one();
            if (cancelled()) return;
        }
    }

    // Lets the encoder take the frames handed out so far, then waits for it.
    void endEncoding() {
        {
            std::lock_guard lock(encodeMutex_);
            inputEnded_ = true;
        }
        frameSubmitted_.notify_one();
        if (encoder_.joinable()) encoder_.join();
        if (!encodeError_.empty()) fail(encodeError_);
    }

    void stopEncoder() {
        {
            std::lock_guard lock(encodeMutex_);
            stopEncoding_ = true;
        }
        frameSubmitted_.notify_one();
        if (encoder_.joinable()) encoder_.join();
    }

    void encodeVideo(const AVFrame* f) {
        check(avcodec_send_frame(venc_.get(), f), "H.264 encode");
        for (;;) {
            const int r = avcodec_receive_packet(venc_.get(), encoded_.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
            check(r, "H.264 encode");
            encoded_->stream_index = vout_->index;
            // Without it the muxer gives the last frame no time on screen.
            if (encoded_->duration <= 0) encoded_->duration = 1;
            av_packet_rescale_ts(encoded_.get(), venc_->time_base, vout_->time_base);
            std::lock_guard lock(muxMutex_);
            check(av_interleaved_write_frame(output_->ctx, encoded_.get()), "write video");
        }
    }

    // The frame exactly as the encoder gets it, planes without their
    // padding, one after another: what a bench encodes on its own to tell
    // the encoder's share from ours.
    void writeRaw(const AVFrame* f) {
        for (int p = 0; p < 3; ++p) {
            const int w = p == 0 ? f->width : f->width / 2, h = p == 0 ? f->height : f->height / 2;
            for (int y = 0; y < h; ++y)
                if (std::fwrite(f->data[p] + ptrdiff_t(y) * f->linesize[p], 1, size_t(w), rawFrames_.get()) !=
                    size_t(w))
                    fail("cannot write the raw frames");
        }
    }

    // False when cancelled on the way.
    bool finish() {
        if (!held_) fail("the movie has no video frames");
        if (movie_.durationKnown && videoEnd_ < movie_.duration - kCutOffTolerance)
            fail("the video ends at " + std::to_string(videoEnd_) + " s of " + std::to_string(movie_.duration) +
                 " s: cut off");
        if (total_ <= 0) {
            total_ = std::max<int64_t>(1, frameCountFor(videoEnd_, fps_));
            state_.framesTotal = total_;
        }
        emitUntil(total_, held_);
        held_.reset();
        if (cancelled()) return false;
        endEncoding();
        if (cancelled()) return false;
        encodeVideo(nullptr);
        if (rawFrames_ && std::fclose(rawFrames_.release()) != 0) fail("cannot write the raw frames");
        if (transcoder_) transcoder_->finish(output_->ctx);
        check(av_write_trailer(output_->ctx), "finish the movie");
        check(output_->close(), "close the movie");
        if (::rename(tempPath_.c_str(), req_.outputPath.c_str()) != 0)
            fail("cannot move the movie to " + req_.outputPath + ": " + std::strerror(errno));
        tempPath_.clear();
        return true;
    }

    static constexpr int kMaxDimension = 16384;

    static int64_t threadCpuNs() {
        timespec t{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
    }

    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::atomic<int64_t> handlerNs_{0};
    std::atomic<int64_t> keptBands_{0};

    const ExportRequest& req_;
    SessionState& state_;
    FFmpegVideoExport::Options options_;
    int fps_ = 30;
    Movie movie_;
    int64_t zeroUs_ = 0;
    int64_t total_ = 0;  // 0 while unknown
    int64_t next_ = 0;   // next output frame to hand out
    double videoEnd_ = 0;
    int encodedWidth_ = 0, encodedHeight_ = 0;
    CodecPtr vdec_, venc_;
    std::string tempPath_;
    std::unique_ptr<OutputFile> output_;
    AVStream* vout_ = nullptr;
    AVStream* aout_ = nullptr;
    std::unique_ptr<AudioTranscoder> transcoder_;
    BufferPool buffers_;
    std::shared_ptr<SourceFrame> held_;
    std::vector<Slot> slots_;
    std::unique_ptr<WorkerPool> pool_;
    std::thread encoder_;
    std::mutex encodeMutex_;  // guards the counts, flags and error below
    std::condition_variable frameSubmitted_, slotFreed_;
    int64_t submittedCount_ = 0, encodedCount_ = 0;
    bool inputEnded_ = false, stopEncoding_ = false, encoderEnded_ = false;
    std::string encodeError_;
    std::mutex muxMutex_;  // the audio is written from the reading thread
    PacketPtr packet_, encoded_;
    FramePtr decoded_;
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> rawFrames_;
};

}  // namespace

ExportStatus exportMovie(const ExportRequest& request, SessionState& state, const FFmpegVideoExport::Options& options) {
    return Exporter(request, state, options).run();
}

}  // namespace plinthora::linux_platform::ffmpeg
