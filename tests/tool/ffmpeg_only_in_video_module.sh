#!/bin/sh
# Only the video module links FFmpeg: the tool and the Python extension list
# none of its libraries among their NEEDED entries, so a run on a picture
# never loads them; the module does list them, and exports its entry.
# Usage: ffmpeg_only_in_video_module.sh MODULE TOOL [PYTHON_EXTENSION ...]
set -eu
module=$1
shift
ffmpeg='lib(av[a-z]*|sw[a-z]*|postproc)[.]so'

needed() { readelf -d "$1" | awk '/\(NEEDED\)/ { print $5 }'; }

needed "$module" | grep -Eq "$ffmpeg" || { echo "FAILED: $module does not link FFmpeg"; exit 1; }
nm -D --defined-only "$module" | grep -q ' T nightdehaze_video_module_5$' ||
    { echo "FAILED: $module does not export its entry"; exit 1; }
for binary in "$@"; do
    needed "$binary" | grep -q 'libc[.]so' || { echo "FAILED: no NEEDED entries read from $binary"; exit 1; }
    if needed "$binary" | grep -E "$ffmpeg"; then
        echo "FAILED: $binary links the FFmpeg libraries above"
        exit 1
    fi
    echo "$binary: no FFmpeg library"
done
