# The sanitizer build (build-sanitize/): clang with ASan and UBSan at -O1. The libFuzzer targets
# (scripts/fuzz.sh) and the tests labelled "sanitize" (scripts/test.sh --sanitize) are built from
# the same objects. Sourced; needs $here (the repository).
sanitize_build_dir=${BUILD_DIR:-$here/build-sanitize}
configure_sanitize_build() {
    CC=clang-14 CXX=clang++-14 cmake -S "$here" -B "$sanitize_build_dir" -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DCMAKE_C_FLAGS_DEBUG="-g -O1" -DSTABLOMAT_WERROR=ON \
        -DSTABLOMAT_FUZZ=ON -DSTABLOMAT_TEST_HOOKS=ON >/dev/null
}
