#!/usr/bin/env bash
# Installs a build into a scratch DESTDIR under a prefix with a space, checks every file
# an installed Drivelore needs, validates them with Debian's tools, then builds the .deb
# and lets lintian judge it. Usage: check-install.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

prefix="/opt/drive lore"
DESTDIR="$work/root" cmake --install "$build" --prefix "$prefix" >/dev/null
root="$work/root$prefix"

have() { [ -e "$root/$1" ] || fail "missing $1"; }
programs=(drivelore-cli)
for p in drivelore drivelore-demo; do
    if [ -e "$build/app/$p" ] || [ -e "$build/app/demo/$p" ]; then
        programs+=("$p")
    fi
done
for p in "${programs[@]}"; do
    have "bin/$p"
    have "share/man/man1/$p.1.gz"
done
have share/bash-completion/completions/drivelore-cli
have share/drivelore/prometheus/drivelore.rules.yml
have share/drivelore/prometheus/drivelore-dashboard.json
for unit in drivelore-monitor.service drivelore-metrics.service drivelore-metrics.timer; do
    have "lib/systemd/system/$unit"
done
grep -q "^ExecStart=$prefix/bin/drivelore-cli monitor" \
    "$root/lib/systemd/system/drivelore-monitor.service" ||
    fail "the monitor unit does not start the installed drivelore-cli"
have share/doc/drivelore/copyright
have share/doc/drivelore/changelog.gz
if [[ " ${programs[*]} " == *" drivelore "* ]]; then
    have share/applications/org.corvane.Drivelore.desktop
    have share/metainfo/org.corvane.Drivelore.metainfo.xml
    have share/icons/hicolor/scalable/apps/org.corvane.Drivelore.svg
    have share/icons/hicolor/48x48/apps/org.corvane.Drivelore.png
    have share/icons/hicolor/256x256/apps/org.corvane.Drivelore.png
    have libexec/drivelore/drivelore-helper
    have share/polkit-1/actions/org.corvane.drivelore.manage-disks.policy
    grep -q "$prefix/libexec/drivelore/drivelore-helper" \
        "$root/share/polkit-1/actions/org.corvane.drivelore.manage-disks.policy" ||
        fail "the polkit action does not name the installed helper"
fi
if [[ " ${programs[*]} " == *" drivelore-demo "* ]]; then
    have share/applications/org.corvane.Drivelore.Demo.desktop
fi

for f in "$root"/share/applications/*.desktop; do
    [ -e "$f" ] && { desktop-file-validate "$f" || fail "desktop-file-validate $f"; }
done
for f in "$root"/share/metainfo/*.xml; do
    [ -e "$f" ] && { appstreamcli validate --no-net --pedantic "$f" >"$work/as.log" 2>&1 ||
        { cat "$work/as.log"; fail "appstreamcli validate $f"; }; }
done

# Each page renders without warnings, names the one version, and lists exactly the
# options its program's own help lists.
options() { grep -oE -- '--[a-z][a-z0-9-]+' | sort -u; }
for p in "${programs[@]}"; do
    page="$root/share/man/man1/$p.1.gz"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man $p: $warnings"
    shown=$(QT_QPA_PLATFORM=offscreen "$root/bin/$p" --version 2>&1 | head -n1) || true
    [[ "$shown" == *" $version" ]] || fail "$p --version says '$shown', not $version"
    help=$(QT_QPA_PLATFORM=offscreen "$root/bin/$p" --help 2>&1) || true
    # A program with commands has their own help too; the page documents all of it.
    for command in $(sed -n 's/^  \([a-z][a-z-]*\)\( .*\)\{0,1\}$/\1/p' <<<"$help"); do
        help+=$'\n'$("$root/bin/$p" "$command" --help 2>&1) || true
    done
    helped=$(options <<<"$help")
    paged=$(zcat "$page" | sed 's/\\-/-/g' | options)
    [ "$helped" == "$paged" ] || fail "$p: options of --help and of the manual page differ:
$(diff <(echo "$helped") <(echo "$paged"))"
done

# The package: built by CPack, judged by lintian, holding the same files.
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work/deb"/drivelore_"$version"_*.deb)
dpkg-deb --contents "$deb" >"$work/contents"
for p in "${programs[@]}"; do
    grep -q "usr/bin/$p\$" "$work/contents" || fail "the package lacks usr/bin/$p"
done
if command -v lintian >/dev/null; then
    lintian --no-tag-display-limit "$deb" >"$work/lintian" 2>&1 || true
    if grep -q '^E:' "$work/lintian"; then
        cat "$work/lintian"
        fail "lintian reports errors"
    fi
    grep '^W:' "$work/lintian" || true
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures install check(s) failed"
    exit 1
fi
echo "install checks passed: ${programs[*]}, $(basename "$deb")"
