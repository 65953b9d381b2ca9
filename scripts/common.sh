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
  if [ ${#need[@]} -gt 0 ]; then
    echo "installing: ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq "${need[@]}" >/dev/null
  fi
}

# tm_build DIR BUILD_TYPE [cmake args...]
tm_build() {
  local dir=$1 type=$2
  shift 2
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null &&
    cmake --build "$dir" -j "$(nproc)"
}
