#include "platform/linux/FFmpegVideoExport.h"

#include "platform/linux/FFmpegMovie.h"
#include "platform/linux/MediaContent.h"
#include "platform/linux/ParallelFor.h"
#include "platform/ports/Platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <list>
#include <mutex>
#include <thread>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace plinthora::linux_platform {

using namespace ffmpeg;

// ---- sessions and the registry of running exports --------------------------

namespace {

struct SessionState {
    std::string sourcePath;
    std::atomic<bool> cancelRequested{false};
    std::atomic<int> status{int(ExportStatus::Waiting)};
    std::atomic<int64_t> framesDone{0};
    std::atomic<int64_t> framesTotal{0};

    bool ended() const {
        const auto s = ExportStatus(status.load());
        return s == ExportStatus::Completed || s == ExportStatus::Failed || s == ExportStatus::Cancelled;
    }
};

class Session : public ExportSession {
public:
    explicit Session(std::shared_ptr<SessionState> s) : s_(std::move(s)) {}
    void cancel() override {
        if (!s_->ended()) s_->cancelRequested = true;
    }
    ExportStatus status() const override { return ExportStatus(s_->status.load()); }
    ExportProgress progress() const override { return {s_->framesDone.load(), s_->framesTotal.load()}; }

private:
    std::shared_ptr<SessionState> s_;
};

}  // namespace

struct FFmpegVideoExport::Registry {
    mutable std::mutex mutex;
    std::condition_variable idle;
    std::list<std::shared_ptr<SessionState>> running;
};

// ---- the export itself -------------------------------------------------------

namespace {

// Transparent huge pages stay off for the process while movies are being
// exported (the setting it had is put back after the last one). The
// encoder's frame buffers are made once and live through the export, so
// huge pages spare them few TLB misses, while faulting them in 2 MiB at a
// time cost the benchmark's export 1.3 to 1.4 s of system time against
// 0.5 to 0.7 s without, out of about 17 s of CPU.
class HugePagesOff {
public:
    HugePagesOff() {
        std::lock_guard lock(mutex_);
        if (users_++ == 0) {
            before_ = ::prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0);
            if (before_ == 0) ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
        }
    }
    ~HugePagesOff() {
        std::lock_guard lock(mutex_);
        if (--users_ == 0 && before_ == 0) ::prctl(PR_SET_THP_DISABLE, 0, 0, 0, 0);
    }
    HugePagesOff(const HugePagesOff&) = delete;
    HugePagesOff& operator=(const HugePagesOff&) = delete;

private:
    static inline std::mutex mutex_;
    static inline int users_ = 0;
    static inline int before_ = 0;
};

// Lowers the calling thread's priority by kGiveWay nice levels (on Linux a
// thread's own, inherited by the threads it starts).
constexpr int kGiveWay = 10;
void giveWayToTheEncoder() {
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, 0);
    if (errno == 0) ::setpriority(PRIO_PROCESS, 0, std::min(nice + kGiveWay, 19));
}

// A movie whose video ends this much before its stated duration was cut off.
constexpr double kCutOffTolerance = 0.5;

class ExportFailed : public std::exception {
public:
    explicit ExportFailed(std::string why) : why_(std::move(why)) {}
    const char* what() const noexcept override { return why_.c_str(); }

private:
    std::string why_;
};

[[noreturn]] void fail(const std::string& why) { throw ExportFailed(why); }
void check(int ret, const char* what) {
    if (ret < 0) fail(std::string(what) + ": " + errorText(ret));
}

// Recycles the pixel buffers of upright source frames.
class BufferPool {
public:
    std::vector<uint32_t> take(size_t words) {
        std::lock_guard lock(mutex_);
        for (auto it = free_.begin(); it != free_.end(); ++it)
            if (it->size() == words) {
                std::vector<uint32_t> v = std::move(*it);
                free_.erase(it);
                return v;
            }
        return std::vector<uint32_t>(words);
    }
    void give(std::vector<uint32_t>&& v) {
        if (v.empty()) return;
        std::lock_guard lock(mutex_);
        free_.push_back(std::move(v));
    }

private:
    std::mutex mutex_;
    std::vector<std::vector<uint32_t>> free_;
};

// A decoded frame, turned into an upright bitmap as the workers ask for its
// rows; several output frames may show the same source frame. An 8-bit
// 4:2:0 frame stored upright is made a band of rows at a time, each band
// once and just before a frame handler samples it, so that its pixels are
// still in that core's cache; any other frame is made whole at the first
// request.
struct SourceFrame {
    static constexpr int kBand = 16;
    FramePtr decoded;
    int quarterTurns = 0;
    BufferPool* buffers = nullptr;
    Bitmap upright;

    SourceFrame(FramePtr frame, int turns, BufferPool& pool)
        : decoded(std::move(frame)), quarterTurns(turns), buffers(&pool) {
        const AVFrame* f = decoded.get();
        const bool sideways = quarterTurns % 2 != 0;
        upright.width = sideways ? f->height : f->width;
        upright.height = sideways ? f->width : f->height;
        upright.pixels = buffers->take(size_t(f->width) * size_t(f->height));
        banded_ = quarterTurns % 4 == 0 && Scaler::makesRows(f);
        bandCount_ = banded_ ? (f->height + kBand - 1) / kBand : 1;
        bandOnce_ = std::make_unique<std::once_flag[]>(size_t(bandCount_));
    }
    ~SourceFrame() { buffers->give(std::move(upright.pixels)); }

    // Makes rows [begin, end) of `upright` if they are not made yet.
    void need(int begin, int end, Scaler& scaler) {
        if (!banded_) {
            std::call_once(bandOnce_[0], [&] {
                if (!scaler.toUprightArgb(decoded.get(), quarterTurns, upright)) failed_ = true;
                decoded.reset();  // hand the decoder its buffer back early
            });
            return;
        }
        begin = std::max(begin, 0);
        end = std::min(end, upright.height);
        for (int b = begin / kBand; b * kBand < end; ++b)
            std::call_once(bandOnce_[size_t(b)], [&] {
                Scaler::rowsToArgb(decoded.get(), b * kBand, std::min((b + 1) * kBand, upright.height), upright);
                // The last band made: no other reads the decoded frame now.
                if (++bandsMade_ == bandCount_) decoded.reset();
            });
    }
    bool failed() const { return failed_.load(); }

private:
    bool banded_ = false;
    int bandCount_ = 0;
    std::unique_ptr<std::once_flag[]> bandOnce_;
    std::atomic<int> bandsMade_{0};
    std::atomic<bool> failed_{false};
};

// What a frame in the making needs only while a worker is on it: the
// output in ARGB and the converters. One per worker, not per slot.
struct Workspace {
    Bitmap output;
    Scaler scaler;
};

struct Slot {
    int64_t frameIndex = -1;
    std::shared_ptr<SourceFrame> source;
    FramePtr yuv;
    std::vector<uint8_t> pairsDone;  // output row pairs already in `yuv`
    uint64_t still = 0;              // the still pixels `yuv` holds from an earlier frame; 0: none
    bool busy = false;
    bool done = false;
    std::string error;  // set by the worker when the frame could not be made
};

// Fixed worker threads taking slots from a queue; the queue never holds
// more than the number of slots.
class WorkerPool {
public:
    WorkerPool(int threads, std::function<void(Slot&, Workspace&)> work) : work_(std::move(work)) {
        for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { loop(); });
    }
    ~WorkerPool() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        for (auto& t : threads_) t.join();
    }
    void submit(Slot& s) {
        {
            std::lock_guard lock(mutex_);
            s.busy = true;
            s.done = false;
            queue_.push_back(&s);
        }
        wake_.notify_one();
    }
    void wait(Slot& s) {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [&] { return s.done; });
    }

private:
    void loop() {
        // The workers are as many as the cores, each on a frame of its own.
        const SerialLoops serial;
        Workspace workspace;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) return;
            Slot* s = queue_.front();
            queue_.pop_front();
            lock.unlock();
            work_(*s, workspace);
            lock.lock();
            s->done = true;
            finished_.notify_all();
        }
    }

    std::function<void(Slot&, Workspace&)> work_;
    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    std::deque<Slot*> queue_;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

// Decodes a non-AAC audio track and encodes it to AAC.
class AudioTranscoder {
public:
    AudioTranscoder(const AVStream* in, AVFormatContext* out, int64_t zeroUs) : inTimeBase_(in->time_base) {
        const AVCodec* dcodec = avcodec_find_decoder(in->codecpar->codec_id);
        if (!dcodec) fail("no decoder for the audio track");
        dec_.reset(avcodec_alloc_context3(dcodec));
        check(avcodec_parameters_to_context(dec_.get(), in->codecpar), "audio decoder parameters");
        dec_->pkt_timebase = in->time_base;
        check(avcodec_open2(dec_.get(), dcodec, nullptr), "audio decoder");

        const AVCodec* ecodec = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!ecodec) fail("no AAC encoder");
        enc_.reset(avcodec_alloc_context3(ecodec));
        enc_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        enc_->sample_rate = supportedRate(ecodec, dec_->sample_rate);
        const int channels = std::clamp(dec_->ch_layout.nb_channels, 1, 2);
        av_channel_layout_default(&enc_->ch_layout, channels);
        enc_->bit_rate = int64_t{96000} * channels;
        enc_->time_base = {1, enc_->sample_rate};
        if (out->oformat->flags & AVFMT_GLOBALHEADER) enc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        check(avcodec_open2(enc_.get(), ecodec, nullptr), "AAC encoder");

        stream_ = avformat_new_stream(out, nullptr);
        if (!stream_) fail("no memory for the audio stream");
        check(avcodec_parameters_from_context(stream_->codecpar, enc_.get()), "audio stream parameters");
        stream_->time_base = enc_->time_base;

        fifo_.reset(av_audio_fifo_alloc(enc_->sample_fmt, channels, enc_->frame_size * 4));
        frame_.reset(av_frame_alloc());
        encoded_.reset(av_packet_alloc());
        zero_ = av_rescale_q(zeroUs, AV_TIME_BASE_Q, {1, enc_->sample_rate});
    }

    void send(const AVPacket* pkt, AVFormatContext* out) {
        const int ret = avcodec_send_packet(dec_.get(), pkt);
        if (ret < 0 && ret != AVERROR_EOF) check(ret, "audio decode");
        for (;;) {
            const int r = avcodec_receive_frame(dec_.get(), frame_.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
            check(r, "audio decode");
            resample(frame_.get());
            av_frame_unref(frame_.get());
            encodeWhole(out, false);
        }
    }

    void finish(AVFormatContext* out) {
        send(nullptr, out);
        if (swr_) resample(nullptr);
        encodeWhole(out, true);
        encode(nullptr, out);
    }

private:
    static int supportedRate(const AVCodec* c, int rate) {
        if (!c->supported_samplerates) return rate;
        for (const int* r = c->supported_samplerates; *r; ++r)
            if (*r == rate) return rate;
        return 48000;
    }

    void resample(const AVFrame* f) {
        if (!swr_) {
            SwrContext* s = nullptr;
            check(swr_alloc_set_opts2(&s, &enc_->ch_layout, enc_->sample_fmt, enc_->sample_rate,
                                      const_cast<AVChannelLayout*>(&f->ch_layout),
                                      AVSampleFormat(f->format), f->sample_rate, 0, nullptr),
                  "resampler");
            swr_.reset(s);
            check(swr_init(s), "resampler");
            if (f->best_effort_timestamp != AV_NOPTS_VALUE)
                nextPts_ = std::max<int64_t>(
                    0, av_rescale_q(f->best_effort_timestamp, inTimeBase_, {1, enc_->sample_rate}) - zero_);
            else
                nextPts_ = 0;
        }
        const int inSamples = f ? f->nb_samples : 0;
        const int room = swr_get_out_samples(swr_.get(), inSamples);
        if (room <= 0) return;
        if (av_audio_fifo_realloc(fifo_.get(), av_audio_fifo_size(fifo_.get()) + room) < 0) fail("no memory");
        uint8_t** data = nullptr;
        int linesize = 0;
        check(av_samples_alloc_array_and_samples(&data, &linesize, enc_->ch_layout.nb_channels, room,
                                                 enc_->sample_fmt, 0),
              "audio buffer");
        const int got = swr_convert(swr_.get(), data, room, f ? const_cast<const uint8_t**>(f->extended_data) : nullptr,
                                    inSamples);
        if (got > 0) av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(data), got);
        av_freep(&data[0]);
        av_freep(&data);
        check(got, "resample");
    }

    void encodeWhole(AVFormatContext* out, bool last) {
        const int n = enc_->frame_size;
        while (av_audio_fifo_size(fifo_.get()) >= n || (last && av_audio_fifo_size(fifo_.get()) > 0)) {
            FramePtr f(av_frame_alloc());
            f->nb_samples = std::min(n, av_audio_fifo_size(fifo_.get()));
            f->format = enc_->sample_fmt;
            f->sample_rate = enc_->sample_rate;
            check(av_channel_layout_copy(&f->ch_layout, &enc_->ch_layout), "channel layout");
            check(av_frame_get_buffer(f.get(), 0), "audio frame");
            av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(f->data), f->nb_samples);
            f->pts = nextPts_;
            nextPts_ += f->nb_samples;
            encode(f.get(), out);
        }
    }

    void encode(const AVFrame* f, AVFormatContext* out) {
        check(avcodec_send_frame(enc_.get(), f), "AAC encode");
        for (;;) {
            const int r = avcodec_receive_packet(enc_.get(), encoded_.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
            check(r, "AAC encode");
            encoded_->stream_index = stream_->index;
            av_packet_rescale_ts(encoded_.get(), enc_->time_base, stream_->time_base);
            check(av_interleaved_write_frame(out, encoded_.get()), "write audio");
        }
    }

    AVRational inTimeBase_;
    CodecPtr dec_, enc_;
    SwrPtr swr_;
    FifoPtr fifo_;
    FramePtr frame_;
    PacketPtr encoded_;
    AVStream* stream_ = nullptr;
    int64_t zero_ = 0;
    int64_t nextPts_ = 0;
};

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
                debugLog("video export of %s: %lld frames in %.2f s, frame handler %.2f s of CPU", req_.sourcePath.c_str(),
                         (long long)total_, std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count(),
                         double(handlerNs_.load()) / 1e9);
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

        const int workers = options_.handlerThreads > 0
                                ? options_.handlerThreads
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
        encoder_ = std::thread([this] { encodeLoop(); });
        // The encoder's frame threads wait on one another, and it is they
        // that set the pace: the decoder, the workers and this thread run
        // ahead into the slots and give way to them. What is made from here
        // on (the decoder's threads, the workers) shares this thread's
        // lower priority; the encoder's threads were made above.
        giveWayToTheEncoder();
        vdec_.reset(avcodec_alloc_context3(vcodec));
        check(avcodec_parameters_to_context(vdec_.get(), vin->codecpar), "video decoder parameters");
        vdec_->pkt_timebase = vin->time_base;
        vdec_->thread_count = 0;
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
            if (ws.output.width != req_.renderWidth || ws.output.height != req_.renderHeight)
                ws.output = Bitmap(req_.renderWidth, req_.renderHeight);
            // make_writable keeps the pixels, so a slot's still pixels
            // survive a buffer the encoder held on to.
            check(av_frame_make_writable(s.yuv.get()), "frame buffer");
            s.pairsDone.assign(size_t(s.yuv->height / 2), 0);
            const uint64_t held = std::exchange(s.still, 0);
            uint64_t asked = 0;
            bool partial = false, torn = false;
            Imaging::RowBands bands;
            bands.needContent = [&](int begin, int end) { source.need(begin, end, ws.scaler); };
            bands.holdsStill = [&](uint64_t still) {
                asked = still;
                return still != 0 && still == held;
            };
            bands.canvasRows = [&](int begin, int end, const uint32_t* pixels, const Imaging::ColumnSpan* live) {
                // Whole pairs of rows only; a row left alone here must still
                // be in the output, so a band that starts or ends within a
                // pair is copied there. The canvas's last row, when its
                // height is odd, pairs with the black row added below it.
                const int w = req_.renderWidth, h = req_.renderHeight;
                if (ws.output.width != w || ws.output.height != h || begin < 0 || end > h) return;
                int first = (begin + 1) / 2, last = end == h ? (end + 1) / 2 : end / 2;
                const kernels::ArgbRows rows{pixels, begin, w, h};
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
                        std::copy_n(pixels + size_t(y - begin) * size_t(w), w, ws.output.pixels.data() + size_t(y) * size_t(w));
            };
            const int64_t before = threadCpuNs();
            req_.frameHandler(source.upright, ws.output, s.frameIndex, bands);
            handlerNs_ += threadCpuNs() - before;
            if (source.failed()) fail("cannot convert a source frame");
            if (ws.output.width != req_.renderWidth || ws.output.height != req_.renderHeight ||
                ws.output.pixels.size() != size_t(req_.renderWidth) * size_t(req_.renderHeight))
                fail("the frame handler changed the output size");
            const bool allHanded = std::all_of(s.pairsDone.begin(), s.pairsDone.end(), [](uint8_t d) { return d != 0; });
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
            // Every pixel of the frame is in `yuv` now, the still ones too.
            if (allHanded) s.still = asked;
        } catch (const std::exception& e) {
            s.error = e.what();
            if (s.error.empty()) s.error = "frame failed";
        } catch (...) {
            s.error = "the frame handler threw";
        }
        s.source.reset();
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
};

}  // namespace

// ---- the port ---------------------------------------------------------------

FFmpegVideoExport::FFmpegVideoExport() : FFmpegVideoExport(Options{}) {}

FFmpegVideoExport::FFmpegVideoExport(Options options)
    : options_(options), registry_(std::make_shared<Registry>()) {
    routeLibraryLogs();
}

FFmpegVideoExport::~FFmpegVideoExport() { cancelAll(); }

std::optional<MovieInfo> FFmpegVideoExport::open(const std::string& path) const {
    auto movie = openMovie(path);
    if (!movie) return std::nullopt;
    return movie->info();
}

std::shared_ptr<ExportSession> FFmpegVideoExport::exportAsynchronously(
    ExportRequest request, std::function<void(ExportStatus)> completion) {
    if (!request.frameHandler || request.framesPerSecond <= 0 || request.outputPath.empty()) return nullptr;
    auto state = std::make_shared<SessionState>();
    state->sourcePath = request.sourcePath;
    {
        std::lock_guard lock(registry_->mutex);
        registry_->running.push_back(state);
    }
    auto body = [registry = registry_, state, options = options_, request = std::move(request),
                 completion = std::move(completion)]() mutable {
        state->status = int(ExportStatus::Exporting);
        ExportStatus status = ExportStatus::Cancelled;
        if (!state->cancelRequested) {
            const HugePagesOff hugePagesOff;
            status = Exporter(request, *state, options).run();
        }
        state->status = int(status);
        if (completion) completion(status);
        // Whatever the completion held is released before anyone waiting in
        // cancelAll() goes on.
        completion = nullptr;
        request.frameHandler = nullptr;
        std::lock_guard lock(registry->mutex);
        registry->running.remove(state);
        registry->idle.notify_all();
    };
    try {
        std::thread(std::move(body)).detach();
    } catch (const std::system_error&) {
        std::lock_guard lock(registry_->mutex);
        registry_->running.remove(state);
        return nullptr;
    }
    return std::make_shared<Session>(state);
}

std::vector<FFmpegVideoExport::Running> FFmpegVideoExport::running() const {
    std::lock_guard lock(registry_->mutex);
    std::vector<Running> out;
    for (const auto& s : registry_->running) out.push_back({s->sourcePath, {s->framesDone.load(), s->framesTotal.load()}});
    return out;
}

void FFmpegVideoExport::cancelAll() {
    std::unique_lock lock(registry_->mutex);
    for (const auto& s : registry_->running) s->cancelRequested = true;
    registry_->idle.wait(lock, [&] { return registry_->running.empty(); });
}

}  // namespace plinthora::linux_platform
