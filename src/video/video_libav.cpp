#include "video/video_libav.hpp"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <cstdarg>

namespace nightdehaze::video {

int firstVideoStream(const AVFormatContext* format) {
    for (unsigned k = 0; k < format->nb_streams; ++k) {
        const AVStream* stream = format->streams[k];
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC) &&
            avcodec_find_decoder(stream->codecpar->codec_id) != nullptr)
            return static_cast<int>(k);
    }
    return -1;
}

std::string libavError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

AVColorSpace effectiveColorSpace(AVColorSpace declared, int height) {
    // First HD height; smaller frames are taken to be standard definition.
    constexpr int kHighDefinitionRows = 720;
    if (declared == AVCOL_SPC_BT709 || declared == AVCOL_SPC_BT470BG || declared == AVCOL_SPC_SMPTE170M ||
        declared == AVCOL_SPC_BT2020_NCL || declared == AVCOL_SPC_SMPTE240M || declared == AVCOL_SPC_FCC)
        return declared;
    return height >= kHighDefinitionRows ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
}

const int* scaleCoefficients(AVColorSpace space) {
    switch (space) {
    case AVCOL_SPC_BT709: return sws_getCoefficients(SWS_CS_ITU709);
    case AVCOL_SPC_BT2020_NCL: return sws_getCoefficients(SWS_CS_BT2020);
    case AVCOL_SPC_SMPTE240M: return sws_getCoefficients(SWS_CS_SMPTE240M);
    case AVCOL_SPC_FCC: return sws_getCoefficients(SWS_CS_FCC);
    default: return sws_getCoefficients(SWS_CS_ITU601);
    }
}

namespace {
extern "C" void dropLogLine(void*, int, const char*, va_list) {}
}  // namespace

void silenceLibav() {
    av_log_set_level(AV_LOG_QUIET);
    av_log_set_callback(dropLogLine);
}

}  // namespace nightdehaze::video
