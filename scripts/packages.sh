# Debian packages the project needs to build, test and run; sourced by the
# scripts. ensure_packages installs only the missing ones, running
# apt-get update first and only then.
TESSEL_PACKAGES=(
  build-essential cmake pkg-config git
  libgtest-dev libgmock-dev googletest
  zlib1g-dev libssl-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-translations-l10n
  fonts-dejavu-core
  clang libclang-rt-14-dev
  python3 unzip zip p7zip-full libarchive-tools
  pigz
  util-linux procps file tzdata
  desktop-file-utils man-db groff-base dpkg-dev
)

ensure_packages() {
  local missing=() p
  for p in "${TESSEL_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^ii'; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  echo "Installing missing packages: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
