#!/usr/bin/env bash
# Unpacks Debian 13 (trixie) armhf packages into two target trees under DIR:
#
#   DIR/sysroot            Python 3.13, NumPy, SciPy, scikit-learn, the NumPy and Python headers,
#                          pip and scikit-build-core: what a device that builds and runs the
#                          service has, plus pytest and Hypothesis; the modules are compiled
#                          against it
#   DIR/sysroot-workbench  the same with matplotlib and tqdm, for the workbench's tests
#
#   bash tools/arm/sysroot.sh DIR
#
# apt works in a private root (DIR/apt) with its own sources list and package lists, so the
# machine's own apt configuration is never changed; it downloads the packages with their
# dependencies, and dpkg -x unpacks them without running any maintainer script. Downloads are
# kept; the trees are rebuilt only when this script changes.
set -euo pipefail

dir="$(realpath -m "$1")"
runtime_packages=(
  python3.13 libpython3.13-dev python3-numpy python3-numpy-dev python3-scipy python3-sklearn
  python3-pip python3-scikit-build-core python3-pytest python3-hypothesis
)
workbench_packages=(python3-matplotlib python3-tqdm python3-serial)

stamp="$dir/sysroot.stamp"
want_stamp="$(sha256sum "$0" | cut -d' ' -f1)"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want_stamp" ]; then
  exit 0
fi

# The Debian archive that this machine's apt already fetches from (listed once its package
# lists have been fetched).
host_archive() {
  apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Identifier: Packages' |
    awk '$2 !~ /security/ { print $1; exit }'
}
mirror="${VELMORA_ARM_MIRROR:-$(host_archive)}"
if [ -z "$mirror" ]; then
  apt-get update -q >/dev/null
  mirror="$(host_archive)"
fi
if [ -z "$mirror" ]; then
  echo "error: no Debian archive in this machine's apt sources; set VELMORA_ARM_MIRROR" >&2
  exit 1
fi

aptroot="$dir/apt"
mkdir -p "$aptroot"/etc/apt/{apt.conf.d,preferences.d,sources.list.d} \
  "$aptroot"/var/lib/apt/lists/partial "$aptroot"/var/lib/dpkg \
  "$aptroot"/archives/{runtime,workbench}/partial
: > "$aptroot/var/lib/dpkg/status"
echo "deb [arch=armhf signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror trixie main" \
  > "$aptroot/etc/apt/sources.list"
# An empty package status: apt resolves the full dependency closure of what is asked for.
apt=(apt-get -q -y -o Dir="$aptroot" -o Dir::State::status="$aptroot/var/lib/dpkg/status"
  -o APT::Architecture=armhf -o APT::Architectures=armhf -o APT::Install-Recommends=false
  -o Debug::NoLocking=1)
"${apt[@]}" update >/dev/null
# Packages kept from an earlier run that the archive has since replaced are dropped.
for set in runtime workbench; do
  "${apt[@]}" -o Dir::Cache::archives="$aptroot/archives/$set" autoclean >/dev/null
done
"${apt[@]}" -o Dir::Cache::archives="$aptroot/archives/runtime" \
  install --download-only "${runtime_packages[@]}" >/dev/null
# The workbench set is resolved together with the runtime one so that shared packages agree;
# what the runtime set already downloaded is linked in rather than fetched again.
ln -f "$aptroot"/archives/runtime/*.deb "$aptroot/archives/workbench/"
"${apt[@]}" -o Dir::Cache::archives="$aptroot/archives/workbench" \
  install --download-only "${runtime_packages[@]}" "${workbench_packages[@]}" >/dev/null

unpack() {  # unpack TREE DEB...
  local tree="$1" deb
  shift
  for deb in "$@"; do dpkg -x "$deb" "$tree"; done
}

# What package installation would have set up besides the files: the merged /usr layout that
# the ELF interpreter path /lib/ld-linux-armhf.so.3 relies on, and the BLAS and LAPACK
# alternatives that NumPy and SciPy link against.
fix_up() {
  local tree="$1" link
  for link in bin lib sbin; do [ -e "$tree/$link" ] || ln -s "usr/$link" "$tree/$link"; done
  local libdir="$tree/usr/lib/arm-linux-gnueabihf"
  ln -sfn blas/libblas.so.3 "$libdir/libblas.so.3"
  ln -sfn lapack/liblapack.so.3 "$libdir/liblapack.so.3"
}

# Debian ships sources only and byte-compiles them when a package is installed; a host
# Python 3.13 (HOST_PYTHON, if it is one) writes the same .pyc files far faster than the
# emulated one would.
byte_compile() {
  if [ -n "${HOST_PYTHON:-}" ] &&
    "$HOST_PYTHON" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
    "$HOST_PYTHON" -m compileall -q "$1/usr/lib/python3.13" "$1/usr/lib/python3/dist-packages" \
      >/dev/null || true
  fi
}

rm -rf "$dir/sysroot" "$dir/sysroot-workbench" "$stamp"
mkdir -p "$dir/sysroot"
unpack "$dir/sysroot" "$aptroot"/archives/runtime/*.deb
fix_up "$dir/sysroot"
byte_compile "$dir/sysroot"

# Hard links: the workbench tree shares every file of the runtime tree.
cp -al "$dir/sysroot" "$dir/sysroot-workbench"
extra=()
for deb in "$aptroot"/archives/workbench/*.deb; do
  [ -e "$aptroot/archives/runtime/$(basename "$deb")" ] || extra+=("$deb")
done
unpack "$dir/sysroot-workbench" "${extra[@]}"
byte_compile "$dir/sysroot-workbench"

echo "$want_stamp" > "$stamp"
