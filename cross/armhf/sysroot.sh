#!/usr/bin/env bash
# The armhf target's CPython 3.13 and the libraries it runs on, from Debian trixie, unpacked
# into a folder of the build. apt runs with its own state (APT_CONFIG) under that folder: no
# root needed for the download, and the machine's own sources and package lists stay as they are.
#
# usage: sysroot.sh OUT_DIR   (OUT_DIR/sysroot is the target's /, OUT_DIR/apt apt's state)
set -euo pipefail

out=$(realpath -m "$1")
state="$out/apt"
root="$out/sysroot"
suite=trixie
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
# The interpreter, its headers and the C++ runtime the modules link against; libyaml so that
# PyYAML's extension can be cross-built.
packages=(python3.13 libpython3.13-dev libstdc++6 libyaml-dev)

# The machine's own Debian mirror (deb822 sources or a one-line list), deb.debian.org otherwise.
mirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\/debian\)\/\?[[:space:]]*$/\1/p' \
           /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $2 ~ /\/debian\/?$/ {print $2; exit}' \
                                /etc/apt/sources.list 2>/dev/null || true)
mirror=${mirror:-http://deb.debian.org/debian}
mirror=${mirror%/}

mkdir -p "$state"/{lists/partial,archives/partial,etc/preferences.d,etc/apt.conf.d} "$root"
: > "$state/status"
cat > "$state/etc/sources.list" <<LIST
deb [arch=armhf signed-by=$keyring] $mirror $suite main
LIST
cat > "$state/apt.conf" <<CONF
APT::Architecture "armhf";
APT::Architectures { "armhf"; };
APT::Install-Recommends "false";
APT::Sandbox::User "root";
Dir::State "$state";
Dir::State::Lists "$state/lists";
Dir::State::status "$state/status";
Dir::Cache "$state";
Dir::Cache::archives "$state/archives";
Dir::Etc::SourceList "$state/etc/sources.list";
Dir::Etc::SourceParts "$state/etc/sources.list.d";
Dir::Etc::Preferences "$state/etc/preferences";
Dir::Etc::PreferencesParts "$state/etc/preferences.d";
Dir::Etc::Parts "$state/etc/apt.conf.d";
Debug::NoLocking "true";
CONF
export APT_CONFIG="$state/apt.conf"

apt-get -q update
# With an empty status file every dependency is downloaded, down to the C library.
apt-get -q -y --download-only install "${packages[@]}"

for deb in "$state"/archives/*.deb; do
  dpkg-deb -x "$deb" "$root"
done

# Debian's pyconfig.h is a wrapper choosing the real one by architecture: the cross build gets a
# header folder of its own with the armhf one in its place.
inc="$out/include/python3.13"
rm -rf "$inc"
mkdir -p "$inc"
cp -a "$root/usr/include/python3.13/." "$inc/"
cp "$root/usr/include/arm-linux-gnueabihf/python3.13/pyconfig.h" "$inc/pyconfig.h"

# Headers and link libraries of the target's C libraries that sdists build against (libyaml),
# apart from the sysroot's C library headers, which are newer than the cross compiler's own.
deps="$out/deps"
rm -rf "$deps"
mkdir -p "$deps/include" "$deps/lib"
cp "$root/usr/include/yaml.h" "$deps/include/"
cp -P "$root"/usr/lib/arm-linux-gnueabihf/libyaml*.so* "$deps/lib/"

# Merged /usr: the top-level folders are links into usr/, as on an installed system.
for d in bin sbin lib; do
  [ -e "$root/$d" ] || ln -s "usr/$d" "$root/$d"
done

# Absolute symlinks inside the sysroot (libraries, the interpreter) point into it, not the host.
find "$root" -type l -lname '/*' | while read -r link; do
  ln -sfn "$root$(readlink "$link")" "$link"
done
echo "sysroot: $(ls "$state"/archives/*.deb | wc -l) packages from $mirror $suite in $root"
