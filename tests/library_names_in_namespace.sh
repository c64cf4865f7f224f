#!/bin/sh
# Every external name the static library defines is in namespace nightdehaze
# (or is an instantiation of a standard or OpenCV template), so that linking it
# can never clash with a user's own global names.
# Usage: library_names_in_namespace.sh LIBRARY.a
set -eu
strays=$(nm -C --defined-only -g "$1" 2>/dev/null |
         awk 'NF >= 3 { $1 = ""; $2 = ""; sub(/^  /, ""); print }' |
         grep -v -e 'nightdehaze::' -e 'std::' -e 'cv::' -e '__gnu_cxx::' -e '^DW\.ref\.' |
         sort -u) || true
if [ -n "$strays" ]; then
    echo "names outside namespace nightdehaze in $1:"
    echo "$strays"
    exit 1
fi
echo "every name of $1 is in namespace nightdehaze"
