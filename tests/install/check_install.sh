#!/usr/bin/env bash
# What a desktop gets from `cmake --install`: checks one part of an installed tree, or of the
# Windows resource script.
#   check_install.sh install <build dir> <prefix>   install afresh into <prefix>
#   check_install.sh desktop <prefix>               the launcher entry starts the installed program
#   check_install.sh metainfo <prefix>              the software-centre record validates
#   check_install.sh windows <source dir> <scratch> the resource script compiles with its fields
set -euo pipefail

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The value of a key in the [Desktop Entry] group.
entry_value() {
    awk -F= -v key="$2" '
        /^\[/ { group = $0 }
        group == "[Desktop Entry]" && $1 == key { sub(/^[^=]*=/, ""); print; exit }' "$1"
}

check_desktop() {
    local prefix=$1
    local entry=$prefix/share/applications/org.example.velune.desktop
    [[ -f $entry ]] || fail "no desktop entry in $prefix/share/applications"
    local report
    report=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate: $report"
    [[ -z $report ]] || fail "desktop-file-validate: $report"

    # The launcher runs Exec through the user's PATH, which holds the prefix's bin.
    local exec program
    exec=$(entry_value "$entry" Exec)
    program=${exec%% *}
    [[ -n $program ]] || fail "empty Exec"
    [[ $program == /* ]] || program=$prefix/bin/$program
    [[ -f $program && -x $program ]] || fail "Exec=$exec does not name an installed program"
    cmp -s "$program" "$prefix/bin/velune" || fail "Exec=$exec is not the installed velune"

    local icon found size
    icon=$(entry_value "$entry" Icon)
    [[ -n $icon ]] || fail "no Icon"
    found=0
    for file in "$prefix"/share/icons/hicolor/*/apps/"$icon".png; do
        [[ -f $file ]] || continue
        # The theme holds square icons whose size is the folder's name.
        size=$(identify -format '%wx%h' "$file")
        [[ $file == */$size/apps/* ]] || fail "$file is $size"
        found=1
    done
    ((found)) || fail "Icon=$icon has no picture in the hicolor theme"
}

check_metainfo() {
    local prefix=$1
    local record=$prefix/share/metainfo/org.example.velune.metainfo.xml
    [[ -f $record ]] || fail "no metainfo in $prefix/share/metainfo"
    appstreamcli validate --no-net --strict "$record" || fail "appstreamcli validate"
    # The record names the launcher entry that the tree installs.
    appstreamcli validate-tree --no-net --strict "$prefix" || fail "appstreamcli validate-tree"
}

check_windows() {
    local source=$1 scratch=$2
    mkdir -p "$scratch"
    x86_64-w64-mingw32-windres --preprocessor=cpp -I "$source/data" "$source/data/velune.rc" \
        -O res -o "$scratch/velune.res" || fail "velune.rc does not compile"
    x86_64-w64-mingw32-windres -J res -O rc -i "$scratch/velune.res" -o "$scratch/velune.rc"
    local want missing=()
    for want in 'FILEVERSION 1, 0, 0, 0' 'PRODUCTVERSION 1, 0, 0, 0' 'FILEOS 0x4' 'FILETYPE 0x1' \
        'BLOCK "080404B0"' 'VALUE "CompanyName", "Orvanne"' 'VALUE "ProductName", "Velune"' \
        'VALUE "FileVersion", "1.00"' 'VALUE "ProductVersion", "1.00"' \
        'VALUE "InternalName", "Velune"' 'VALUE "OriginalFilename", "Velune.exe"' \
        'VALUE "Translation", 0x804, 1200' '"\062\074\000\000", 1, 24,'; do
        grep -qF -- "$want" "$scratch/velune.rc" || missing+=("$want")
    done
    ((${#missing[@]} == 0)) || fail "compiled resources lack: ${missing[*]}"
}

case ${1:-} in
    install)
        rm -rf "$3"
        cmake --install "$2" --prefix "$3" >/dev/null
        ;;
    desktop) check_desktop "$2" ;;
    metainfo) check_metainfo "$2" ;;
    windows) check_windows "$2" "$3" ;;
    *) fail "usage: $0 install|desktop|metainfo|windows ..." ;;
esac
