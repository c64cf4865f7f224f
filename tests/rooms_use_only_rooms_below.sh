#!/bin/sh
# Each room of src/ includes only itself and the rooms below it:
#   cli > video > files > core, and the public header under all of them;
# the Python binding (python/src) only the public header and src/files.
# Usage: rooms_use_only_rooms_below.sh PROJECT_SOURCE_DIR
set -eu
cd "$1"
failed=0
check() {  # check DIR ALLOWED_PREFIXES...
    dir=$1; shift
    pattern=$(printf '%s|' "$@")
    strays=$(grep -rHn '#include "[a-z_]*/' "$dir" |
             grep -v -E "#include \"(${pattern%|})/" || true)
    if [ -n "$strays" ]; then
        echo "$dir includes a room above it:"
        echo "$strays"
        failed=1
    fi
}
check src/core core nightdehaze
check src/files files core nightdehaze
check src/video video files core nightdehaze
check src/cli cli files core nightdehaze
check python/src files nightdehaze
[ "$failed" -eq 0 ] && echo "every room includes only the rooms below it"
exit "$failed"
