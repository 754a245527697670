#!/usr/bin/env bash
# The Debian package, as a player gets it: built with dpkg-buildpackage from a clean copy of the
# tracked files (uncommitted edits included, build folders and untracked files not), checked
# with lintian, installed with apt, its program started from where the package put it and
# played on the end-to-end rig (build/ holds the rig's tests), then removed again, leaving
# nothing of it behind. The last stage of scripts/test.sh; it needs root or sudo, and it
# refuses to run where velune is installed already, so that it never replaces a user's copy.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# Says how long the stage has run, after each part.
done_with() { echo "package test: $1 after ${SECONDS} s"; }

sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
apt_get() { $sudo env DEBIAN_FRONTEND=noninteractive apt-get -y -qq "$@"; }

installed_status() { dpkg-query -W -f='${Status}' velune 2>/dev/null || true; }
[[ $(installed_status) != *" installed" ]] ||
    fail "velune is installed on this machine; this test installs and removes its own build"

scripts/setup.sh scripts/package-packages.txt
SECONDS=0

work=$(mktemp -d)
we_installed=0
cleanup() {
    # Purged too where a failed check left it removed with files of its own.
    local status
    status=$(installed_status)
    if ((we_installed)) && [[ -n $status && $status != *not-installed ]]; then
        apt_get purge velune >/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# --- build, from the tracked files only --------------------------------------------------------
source_dir=$work/velune
mkdir "$source_dir"
git ls-files -z | while IFS= read -r -d '' file; do
    [[ -e $file || -L $file ]] && printf '%s\0' "$file"
done | tar --null -T - -cf - | tar -xf - -C "$source_dir"

cd "$source_dir"
if ! dpkg-checkbuilddeps 2>/dev/null; then
    echo "Installing the build dependencies of debian/control"
    (cd "$work" && $sudo mk-build-deps --install --remove \
        --tool "env DEBIAN_FRONTEND=noninteractive apt-get -y -qq --no-install-recommends" \
        "$source_dir/debian/control")
fi
version=$(dpkg-parsechangelog -S Version)
upstream_version=${version%-*}
nice -n 19 dpkg-buildpackage -b -us -uc -J"$(nproc)" >"$work/build.log" 2>&1 ||
    { tail -n 60 "$work/build.log"; fail "dpkg-buildpackage"; }
deb=$work/velune_${version}_$(dpkg-architecture -qDEB_HOST_ARCH).deb
[[ -f $deb ]] || fail "no $(basename "$deb") was built"
cd "$repo"
done_with "built $(basename "$deb")"

# --- lintian: no error and no warning that debian/velune.lintian-overrides does not explain ----
lintian --allow-root --fail-on error,warning --info "$work"/velune_"${version}"_*.changes ||
    fail "lintian"
done_with "lintian"

# --- what the package holds ----------------------------------------------------------------------
contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|')
if grep -q '^/usr/local/' <<<"$contents"; then fail "files under /usr/local"; fi
for want in /usr/bin/velune /usr/share/man/man1/velune.1.gz \
    /usr/share/applications/org.example.velune.desktop \
    /usr/share/metainfo/org.example.velune.metainfo.xml; do
    grep -qx "$want" <<<"$contents" || fail "the package lacks $want"
done
for size in 16 32 48 64 128 256; do
    grep -qx "/usr/share/icons/hicolor/${size}x${size}/apps/velune.png" <<<"$contents" ||
        fail "the package lacks the ${size}x${size} icon"
done
# Where it was built must not show in what it installs (dpkg-buildflags maps the compiler's
# file names; the strings Qt's code generators write must not bring it back either).
mkdir "$work/unpacked"
dpkg-deb -x "$deb" "$work/unpacked"
if strings -a "$work/unpacked/usr/bin/velune" | grep -F -e "$source_dir" -e "$work"; then
    fail "the program holds the path it was built in"
fi

# --- install, run, play -------------------------------------------------------------------------
we_installed=1
apt_get install "$deb" >/dev/null || fail "apt-get install $deb"
[[ $(installed_status) == "install ok installed" ]] || fail "velune is not installed"
done_with "installed"
dpkg -L velune >"$work/files"

[[ $(command -v velune) == /usr/bin/velune ]] || fail "velune is not /usr/bin/velune on PATH"
printed=$(velune --version) || fail "velune --version ended with status $?"
[[ $printed =~ ^Velune\ ([0-9.]+)$ ]] || fail "velune --version printed: $printed"
awk -v a="${BASH_REMATCH[1]}" -v b="$upstream_version" 'BEGIN { exit !(a + 0 == b + 0) }' ||
    fail "velune --version printed $printed; the package is $version"

# The manual page tells every option that --help lists and every setting the program reads.
manual=$(LC_ALL=C.UTF-8 MANWIDTH=1000 man -l /usr/share/man/man1/velune.1.gz 2>&1) ||
    fail "man velune: $manual"
options=$(velune --help | grep -o -- '--[a-z][a-z-]*' | sort -u)
settings=$(strings -a /usr/bin/velune | grep -xE '(VELUNE|QT)_[A-Z_]+' | sort -u)
[[ -n $options && -n $settings ]] || fail "found no options or settings to look for"
for name in $options $settings; do
    grep -qF -- "$name" <<<"$manual" || fail "the manual page does not mention $name"
done

# The launcher entry starts the installed program and its icon is in the theme; the
# software-centre record validates.
tests/install/check_install.sh desktop /usr
appstreamcli validate --no-net --strict /usr/share/metainfo/org.example.velune.metainfo.xml >/dev/null ||
    fail "appstreamcli validate"

played=0
VELUNE_INSTALLED_PROGRAM=/usr/bin/velune \
    ctest --test-dir build --output-on-failure --no-tests=error -R '^Installed\.' \
    >"$work/ctest.log" 2>&1 || played=$?
cat "$work/ctest.log"
((played == 0)) || fail "the installed program did not play"
if grep -q 'Skipped' "$work/ctest.log"; then fail "the installed program's test was skipped"; fi

# --- remove: none of its files stays ----------------------------------------------------------
apt_get remove velune >/dev/null || fail "apt-get remove velune"
[[ $(installed_status) != *" installed" ]] || fail "velune is still installed"
left=()
while IFS= read -r path; do
    [[ $path == /. ]] && continue
    if [[ -d $path && ! -L $path ]]; then
        # A folder may stay only where another package holds it too.
        dpkg-query -S "$path" >/dev/null 2>&1 || left+=("$path/")
    elif [[ -e $path || -L $path ]]; then
        left+=("$path")
    fi
done <"$work/files"
((${#left[@]} == 0)) || fail "left behind after apt-get remove velune: ${left[*]}"

done_with "removed"
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes, installed and removed cleanly"
