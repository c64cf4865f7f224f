#include "files/option_help.hpp"

#include <cstring>

namespace nightdehaze::files {

namespace {

constexpr unsigned kPython = kPythonArrays | kPythonFiles;

struct SurfaceWording {
    const char* keyword;
    unsigned surfaces;  // OptionSurface bits
    const char* help;
};

const SurfaceWording kWordings[] = {
    {"output", kPython,
     "write the result to this path instead; the format follows\n"
     "its extension (.bmp, .png, .jpg, .tif, .webp, .heic, .avif, ...)"},
    {"quality", kBatch, "JPEG quality of --format jpg results, from 1 to 100\n(default 95)"},
    {"maps", kBatch,
     "also write the local atmospheric light as <result stem>_A\n"
     "and the transmission (0..1 as 0..255) as <result stem>_T,\n"
     "in the results' format (night.jpg gives night_J.bmp,\n"
     "night_J_A.bmp and night_J_T.bmp)"},
    {"maps", kPython,
     "also write the local atmospheric light as <stem>_A<ext>\n"
     "and the transmission (0..1 as 0..255) as <stem>_T<ext>:\n"
     "<stem> is output, or else path, without its extension,\n"
     "<ext> the result's (night.png gives night_J.bmp,\n"
     "night_A.bmp and night_T.bmp; output=\"out/r.png\" gives\n"
     "out/r_A.png and out/r_T.png)"},
    {"fast", kBatch,
     "the single-precision engine, several times as fast, its\n"
     "result at least 38 dB PSNR from the exact one (99 % of\n"
     "the values within 10 levels, 99.9 % within 20). Not with --non-local"},
    {"fast", kPython,
     "the single-precision engine, several times as fast, its\n"
     "result at least 38 dB PSNR from the exact one (99 % of\n"
     "the values within 10 levels, 99.9 % within 20). Not with non_local"},
};

}  // namespace

const char* helpOn(const OptionDeclaration& option, OptionSurface surface) {
    for (const SurfaceWording& wording : kWordings)
        if ((wording.surfaces & surface) && std::strcmp(wording.keyword, option.keyword) == 0) return wording.help;
    return option.help;
}

}  // namespace nightdehaze::files
