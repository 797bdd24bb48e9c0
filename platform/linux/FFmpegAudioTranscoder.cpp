#include "platform/linux/FFmpegAudioTranscoder.h"

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
}

namespace plinthora::linux_platform::ffmpeg {

AudioTranscoder::AudioTranscoder(const AVStream* in, AVFormatContext* out, int64_t zeroUs)
    : inTimeBase_(in->time_base) {
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

void AudioTranscoder::send(const AVPacket* pkt, AVFormatContext* out) {
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

void AudioTranscoder::finish(AVFormatContext* out) {
    send(nullptr, out);
    if (swr_) resample(nullptr);
    encodeWhole(out, true);
    encode(nullptr, out);
}

int AudioTranscoder::supportedRate(const AVCodec* c, int rate) {
    if (!c->supported_samplerates) return rate;
    for (const int* r = c->supported_samplerates; *r; ++r)
        if (*r == rate) return rate;
    return 48000;
}

void AudioTranscoder::resample(const AVFrame* f) {
    if (!swr_) {
        SwrContext* s = nullptr;
        check(swr_alloc_set_opts2(&s, &enc_->ch_layout, enc_->sample_fmt, enc_->sample_rate,
                                  const_cast<AVChannelLayout*>(&f->ch_layout), AVSampleFormat(f->format),
                                  f->sample_rate, 0, nullptr),
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
    check(av_samples_alloc_array_and_samples(&data, &linesize, enc_->ch_layout.nb_channels, room, enc_->sample_fmt, 0),
          "audio buffer");
    const int got =
        swr_convert(swr_.get(), data, room, f ? const_cast<const uint8_t**>(f->extended_data) : nullptr, inSamples);
    if (got > 0) av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(data), got);
    av_freep(&data[0]);
    av_freep(&data);
    check(got, "resample");
}

void AudioTranscoder::encodeWhole(AVFormatContext* out, bool last) {
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

void AudioTranscoder::encode(const AVFrame* f, AVFormatContext* out) {
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

}  // namespace plinthora::linux_platform::ffmpeg
