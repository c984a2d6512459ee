#!/bin/sh
# `make install` and `make uninstall`. cmake --install records the files it
# writes in install_manifest.txt but not the folders it had to create, so an
# uninstall from the manifest alone would leave empty folders such as
# share/icons/hicolor/16x16/apps behind. Installing first into a scratch
# folder shows which folders the real installation is going to create; they
# are kept in install_dirs.txt beside the manifest and removed again, when
# empty, by the uninstall. Folders that existed before are never removed.
#   install_tree.sh install BUILD_DIR      (PREFIX and DESTDIR from the environment)
#   install_tree.sh uninstall BUILD_DIR    (DESTDIR as given to the install)
set -eu

usage() {
    echo "usage: $0 install|uninstall BUILD_DIR" >&2
    exit 2
}
[ $# -eq 2 ] || usage
action=$1
build=$2
destdir=${DESTDIR:-}
manifest=$build/install_manifest.txt
dirs=$build/install_dirs.txt

install_tree() {
    stage=$(mktemp -d "${TMPDIR:-/tmp}/sondrel-install-stage.XXXXXX")
    trap 'rm -rf "$stage"' EXIT
    if [ -n "${PREFIX:-}" ]; then
        set -- --prefix "$PREFIX"
    else
        set --
    fi
    DESTDIR=$stage cmake --install "$build" "$@" >/dev/null

    # Every missing ancestor of an installed file, as the real installation
    # will see it; kept together with those a previous install recorded.
    created=$(mktemp "${TMPDIR:-/tmp}/sondrel-install-dirs.XXXXXX")
    trap 'rm -rf "$stage" "$created"' EXIT
    [ -f "$dirs" ] && cat "$dirs" >"$created"
    while IFS= read -r file || [ -n "$file" ]; do
        dir=$(dirname "$file")
        while [ "$dir" != / ] && [ ! -d "$destdir$dir" ]; do
            printf '%s\n' "$destdir$dir" >>"$created"
            dir=$(dirname "$dir")
        done
    done <"$manifest"

    DESTDIR=$destdir cmake --install "$build" "$@"
    sort -u "$created" >"$dirs"

    # Into the live system as root: the helper gets its group and capabilities
    # there, as the package gives them.
    if [ -z "$destdir" ] && [ "$(id -u)" = 0 ]; then
        helper=$(grep '/libexec/sondrel/sondrel-probe$' "$manifest" || true)
        [ -n "$helper" ] && sh "$(dirname "$0")/grant_helper.sh" "$helper"
    fi
}

uninstall_tree() {
    if [ ! -f "$manifest" ]; then
        echo "Nothing to uninstall: $manifest not found (install from this build folder first)." >&2
        exit 1
    fi
    while IFS= read -r file || [ -n "$file" ]; do
        path=$destdir$file
        if [ -e "$path" ] || [ -L "$path" ]; then
            echo "-- Removing: $path"
            rm -f -- "$path"
        fi
    done <"$manifest"
    # Reverse order puts every folder before its parent.
    if [ -f "$dirs" ]; then
        sort -r "$dirs" | while IFS= read -r dir; do
            if [ -d "$dir" ] && rmdir -- "$dir" 2>/dev/null; then
                echo "-- Removing folder: $dir"
            fi
        done
    fi
    rm -f -- "$manifest" "$dirs"
}

case $action in
    install) install_tree ;;
    uninstall) uninstall_tree ;;
    *) usage ;;
esac
