#!/usr/bin/env bash
# Checks that the folders under src/ depend on each other one way only: every
# #include "folder/..." in src/, and every tessaro_<folder> library a folder's CMakeLists.txt
# links, must name the folder itself or a folder the table below allows. Exits non-zero,
# naming each file and the include or library that breaks the rule.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
src="$here/src"

# Who may use whom (besides itself). Client: app -> commands -> store, protocol, certstore,
# browserhost (side by side) -> crypto; dialogs are used by app only. Service: site -> sitedb,
# sitekeys -> protocol -> crypto.
declare -A allowed=(
    [app]="dialogs commands store protocol certstore browserhost crypto"
    [dialogs]="crypto"
    [commands]="store protocol certstore crypto"
    [store]="crypto"
    [protocol]="crypto"
    [certstore]="crypto"
    [browserhost]="crypto"
    [crypto]=""
    [site]="sitedb sitekeys protocol crypto"
    [sitekeys]="protocol crypto"
    [sitedb]="crypto"
)

# Folders that never show a window: no Qt Widgets or Qt WebEngine header, no such library.
headless="crypto protocol store certstore commands site sitekeys sitedb"
qt_include="$(ls -d /usr/include/*/qt6 2>/dev/null | head -n 1 || true)"
window_header() { # window_header <header name>: a header of Qt Widgets or Qt WebEngine
    [ -n "$qt_include" ] || return 1
    local module
    for module in QtWidgets QtWebEngineCore QtWebEngineWidgets QtWebEngineQuick; do
        [ -e "$qt_include/$module/$1" ] && return 0
    done
    [[ "$1" == QtWidgets* || "$1" == QtWebEngine* ]]
}

folders=()
for dir in "$src"/*/; do
    folders+=("$(basename "$dir")")
done
is_folder() {
    local f
    for f in "${folders[@]}"; do [ "$f" = "$1" ] && return 0; done
    return 1
}
may_use() { # may_use <folder> <used folder>
    [ "$1" = "$2" ] && return 0
    [[ " ${allowed[$1]} " == *" $2 "* ]]
}
rule() {
    if [ -n "${allowed[$1]}" ]; then
        echo "$1 may use only ${allowed[$1]} (the table in scripts/check-layers.sh)"
    else
        echo "$1 may use no other folder of src/ (the table in scripts/check-layers.sh)"
    fi
}

failures=0
fail() {
    echo "check-layers: $*" >&2
    failures=$((failures + 1))
}

for folder in "${folders[@]}"; do
    if [ -z "${allowed[$folder]+set}" ]; then
        fail "src/$folder has no entry in the table of allowed dependencies in scripts/check-layers.sh"
        continue
    fi
    # Includes of our own folders: #include "folder/File.h"
    while IFS=: read -r file line text; do
        used="$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1/' <<<"$text")"
        if is_folder "$used" && ! may_use "$folder" "$used"; then
            fail "${file#"$here"/}:$line includes \"${text#*\"}: $(rule "$folder")"
        fi
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "$src/$folder" \
                 --include='*.cpp' --include='*.h' || true)
    if [[ " $headless " == *" $folder "* ]]; then
        while IFS=: read -r file line text; do
            header="$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*<([^>]+)>.*/\1/' <<<"$text")"
            if window_header "$header"; then
                fail "${file#"$here"/}:$line includes <$header>: $folder never shows a window (no Qt Widgets or WebEngine)"
            fi
        done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<Q' "$src/$folder" \
                     --include='*.cpp' --include='*.h' || true)
        if [ -f "$src/$folder/CMakeLists.txt" ]; then
            while IFS=: read -r line lib; do
                fail "src/$folder/CMakeLists.txt:$line links $lib: $folder never shows a window (no Qt Widgets or WebEngine)"
            done < <(sed -E 's/#.*//' "$src/$folder/CMakeLists.txt" | grep -noE 'Qt6::(Widgets|WebEngine[A-Za-z]*)' || true)
        fi
    fi
    # Libraries linked: tessaro_<folder> in the folder's CMakeLists.txt
    cmake_file="$src/$folder/CMakeLists.txt"
    [ -f "$cmake_file" ] || continue
    while IFS=: read -r line lib; do
        used="${lib#tessaro_}"
        if is_folder "$used" && ! may_use "$folder" "$used"; then
            fail "${cmake_file#"$here"/}:$line links $lib: $(rule "$folder")"
        fi
    done < <(sed -E 's/#.*//' "$cmake_file" | grep -noE '\btessaro_[a-z]+' || true)
done

if [ "$failures" -gt 0 ]; then
    echo "check-layers: $failures breaches of the layer rule" >&2
    exit 1
fi
echo "check-layers: every include and library of src/ follows the layer rule"
