#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
#   scripts/deps.sh        what every build needs
#   scripts/deps.sh fuzz   also clang and its runtimes, libFuzzer among them
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qtbase5-dev libqt5sql5-sqlite
    libboost-thread-dev libboost-filesystem-dev libboost-system-dev
    libgoogle-glog-dev libplist-dev
    libgtest-dev libgmock-dev
    clamav sqlite3 python3
)
if [ "${1:-}" = "fuzz" ]; then
    # libclang-rt-14-dev holds libFuzzer (libclang_rt.fuzzer) and the sanitizer runtimes.
    packages+=(clang-14 libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing missing packages: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
