// An export's audio when the source's is not AAC: decoded, resampled and
// encoded to AAC into the output's audio track. Internal to platform/linux.
#pragma once

#include "platform/linux/FFmpegMovie.h"

#include <cstdint>

struct AVStream;

namespace plinthora::linux_platform::ffmpeg {

// Decodes a non-AAC audio track and encodes it to AAC.
class AudioTranscoder {
public:
    // Adds the AAC track to `out`; `zeroUs` is the source's time zero
    // (Movie::zeroUs). Throws ExportFailed.
    AudioTranscoder(const AVStream* in, AVFormatContext* out, int64_t zeroUs);

    // One packet of the source track; null drains the decoder.
    void send(const AVPacket* pkt, AVFormatContext* out);
    // Everything still held, to the last sample, into `out`.
    void finish(AVFormatContext* out);

private:
    static int supportedRate(const AVCodec* c, int rate);
    void resample(const AVFrame* f);
    void encodeWhole(AVFormatContext* out, bool last);
    void encode(const AVFrame* f, AVFormatContext* out);

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

}  // namespace plinthora::linux_platform::ffmpeg
