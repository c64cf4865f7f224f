#!/bin/sh
# Installs a build into a temporary prefix, builds the consumer project against
# that prefix alone with find_package(nightdehaze), and checks that the
# consumer enhances a generated picture byte for byte as the installed tool
# does, printing the same version and stage lines.
# Usage: check_installed_tree.sh CMAKE BUILD_DIR CONFIG CXX_COMPILER CONSUMER_SOURCE_DIR
set -eu
cmake=$1
build=$2
config=$3
cxx=$4
consumer=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
    echo "FAILED: $1"
    if [ $# -gt 1 ] && [ -f "$2" ]; then cat "$2"; fi
    exit 1
}

"$cmake" --install "$build" --config "$config" --prefix "$prefix" > "$work/install.log" 2>&1 ||
    fail "cmake --install" "$work/install.log"
for file in bin/nightdehaze share/man/man1/nightdehaze.1.gz include/nightdehaze/nightdehaze.hpp; do
    [ -f "$prefix/$file" ] || fail "$file is not installed" "$work/install.log"
done
[ -x "$prefix/bin/nightdehaze" ] || fail "bin/nightdehaze is not executable"
[ -n "$(find "$prefix" -name libnightdehaze.a)" ] || fail "no libnightdehaze.a" "$work/install.log"
[ -n "$(find "$prefix" -path '*/cmake/nightdehaze/nightdehazeConfig.cmake')" ] ||
    fail "no CMake package configuration" "$work/install.log"
headers=$(find "$prefix/include" -type f | wc -l)
[ "$headers" -eq 1 ] || fail "$headers headers installed, only the public one belongs there" \
    "$work/install.log"

"$cmake" -S "$consumer" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF > "$work/configure.log" 2>&1 ||
    fail "configuring the consumer" "$work/configure.log"
grep -q "Found nightdehaze .* in $prefix/" "$work/configure.log" ||
    fail "the consumer did not find the package in the prefix" "$work/configure.log"
"$cmake" --build "$work/build" -j2 > "$work/build.log" 2>&1 ||
    fail "building the consumer" "$work/build.log"

mkdir "$work/run"
cd "$work/run"
"$work/build/enhance_picture" --make-test-picture night.png || fail "making the test picture"
"$work/build/enhance_picture" night.png library.bmp > library.out 2>&1 ||
    fail "the consumer" library.out
"$prefix/bin/nightdehaze" night.png > tool.out 2>&1 || fail "the installed tool" tool.out
"$prefix/bin/nightdehaze" --version > version.out

cmp library.bmp night_J.bmp || fail "the consumer's picture differs from the tool's"
head -n 1 library.out | cmp - version.out || fail "versions differ" library.out
sed -n 2,4p library.out | cmp - tool.out || fail "stage lines differ" library.out
echo "consumer built against $prefix:"
cat library.out
echo "identical to the installed tool's night_J.bmp ($(wc -c < night_J.bmp) bytes)"
