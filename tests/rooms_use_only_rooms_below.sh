#!/bin/sh
# Each room of src/ includes only itself and the rooms below it:
#   cli > video > files, over the library, which they reach only through its
#   public header (nightdehaze/nightdehaze.hpp), never through src/core;
# the Python binding (python/src) only the public header and src/files.
# Every include with a folder is checked, "../" ones included.
# Usage: rooms_use_only_rooms_below.sh PROJECT_SOURCE_DIR
set -eu
cd "$1"
failed=0
check() {  # check DIR ALLOWED_INCLUDE_PREFIXES...
    dir=$1; shift
    pattern=$(printf '%s|' "$@")
    strays=$(grep -rHn '#include "[^"]*/' "$dir" |
             grep -v -E "#include \"(${pattern%|})\"" || true)
    if [ -n "$strays" ]; then
        echo "$dir includes what is not its own or below it:"
        echo "$strays"
        failed=1
    fi
}
public='nightdehaze/nightdehaze\.hpp'
check src/core 'core/[^"]*' "$public"
check src/files 'files/[^"]*' "$public"
check src/video 'video/[^"]*' 'files/[^"]*' "$public"
check src/cli 'cli/[^"]*' 'files/[^"]*' "$public"
check python/src 'files/[^"]*' "$public"
[ "$failed" -eq 0 ] && echo "every room includes only the rooms below it, and core only through its header"
exit "$failed"
