# Shared by the scripts: installs what the build and the tests need, only when absent.
tm_install_missing() {
  local need=()
  command -v cmake >/dev/null 2>&1 || need+=(cmake)
  command -v g++ >/dev/null 2>&1 || need+=(g++)
  command -v make >/dev/null 2>&1 || need+=(make)
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  [ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
  command -v ip >/dev/null 2>&1 || need+=(iproute2)
  command -v nft >/dev/null 2>&1 || need+=(nftables)
  command -v python3 >/dev/null 2>&1 || need+=(python3)
  command -v prlimit >/dev/null 2>&1 || need+=(util-linux)
  tm_install "${need[@]}"
}

# What the fuzz harnesses need: clang with its fuzzer and sanitizer runtimes.
TM_CLANG=clang++-14
tm_install_fuzz_missing() {
  local need=()
  command -v "$TM_CLANG" >/dev/null 2>&1 || need+=(clang-14)
  ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
    need+=(libclang-rt-14-dev)
  tm_install "${need[@]}"
}

# What the ThreadSanitizer build needs beside g++: its runtime.
tm_install_tsan_missing() {
  local lib
  lib=$(g++ -print-file-name=libtsan.so 2>/dev/null)
  if [ "$lib" = libtsan.so ] || [ ! -e "$lib" ]; then
    tm_install libtsan2
  fi
}

tm_install() {
  [ $# -gt 0 ] || return 0
  echo "installing: $*"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq "$@" >/dev/null
}

# tm_build DIR BUILD_TYPE [cmake args...]
tm_build() {
  local dir=$1 type=$2
  shift 2
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null &&
    cmake --build "$dir" -j "$(nproc)"
}
