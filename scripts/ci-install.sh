#!/usr/bin/env bash
# Checks the installed program, after the tests: installs the build into a
# scratch prefix, validates the desktop entry and the AppStream metadata, and
# runs the installed window on a virtual display through one lookup and one
# download against the sample service, with a scratch HOME. The albums must
# land in that HOME's pictures folder, the thumbnails in its cache folder, and
# nothing beside the installed program. Last, the Debian package is built and
# must have no lintian errors or warnings (no-manual-page included).
#   scripts/ci-install.sh [BUILD]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
app_id=io.github.quillora.QuilloraDownLoad

# Second stage, on the virtual display: drive the window with the pointer.
if [ "${1:-}" = --drive ]; then
  prefix=$2 port=$3 home=$4
  pictures="$home/Pictures/QuilloraDownLoad" cache="$home/.cache/QuilloraDownLoad"
  wait_for() { # seconds, test...
    local limit=$1; shift
    for _ in $(seq 1 $((limit * 10))); do "$@" && return 0; sleep 0.1; done
    return 1
  }
  count_files() { [ "$(find "$1" -type f 2>/dev/null | wc -l)" -ge "$2" ]; }
  HOME=$home http_proxy="http://127.0.0.1:$port" no_proxy= \
    "$prefix/bin/QuilloraDownLoad" >"$home/window.log" 2>&1 &
  window=$!
  trap 'kill $window 2>/dev/null || true' EXIT
  wid=$(timeout 30 xdotool search --sync --onlyvisible --name 'Quillora' | head -n 1)
  # The view button sits at 228,12 (75 x 25) and the download button at 228,46.
  xdotool mousemove --window "$wid" 265 24 click 1
  wait_for 60 count_files "$cache" 4 || { echo "ci-install: no thumbnails in $cache" >&2; exit 1; }
  sleep 1
  xdotool mousemove --window "$wid" 265 58 click 1
  last="$pictures/风景/IMG_0011.png"
  wait_for 120 test -s "$last" || { echo "ci-install: the download did not reach $last" >&2; exit 1; }
  sleep 1
  kill $window
  exit 0
fi

build=${1:-build}
scratch=$(mktemp -d)
service=
cleanup() {
  [ -n "$service" ] && kill "$service" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
prefix="$scratch/prefix" home="$scratch/home"
mkdir -p "$home"

cmake --install "$root/$build" --prefix "$prefix" >/dev/null
for f in bin/QuilloraDownLoad bin/quillora-fetch bin/quillora-pic bin/quillora-pic-qt bin/quillora-get \
         share/applications/$app_id.desktop share/metainfo/$app_id.metainfo.xml \
         share/icons/hicolor/scalable/apps/$app_id.svg share/icons/hicolor/48x48/apps/$app_id.png \
         share/man/man1/QuilloraDownLoad.1.gz share/man/man1/quillora-get.1.gz share/man/man1/quillora-fetch.1.gz \
         share/man/man1/quillora-pic.1.gz share/man/man1/quillora-pic-qt.1.gz \
         share/bash-completion/completions/quillora-get share/fish/vendor_completions.d/quillora-get.fish \
         share/zsh/site-functions/_quillora-get share/doc/quilloradownload/quillora-get-report.schema.json \
         share/doc/quilloradownload/archive.md; do
  [ -e "$prefix/$f" ] || { echo "ci-install: $f was not installed" >&2; exit 1; }
done
desktop-file-validate "$prefix/share/applications/$app_id.desktop"
appstreamcli validate --no-net "$prefix/share/metainfo/$app_id.metainfo.xml"
"$prefix/bin/quillora-fetch" --help >/dev/null
for program in QuilloraDownLoad quillora-get quillora-fetch quillora-pic quillora-pic-qt; do
  "$prefix/bin/$program" --version | grep -q "$("$prefix/bin/quillora-get" --version | grep -oE '[0-9.]+$')" ||
    { echo "ci-install: $program --version does not give the version" >&2; exit 1; }
  warnings=$(MANWIDTH=80 man --warnings -l "$prefix/share/man/man1/$program.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "ci-install: man $program: $warnings" >&2; exit 1; }
done

portfile="$scratch/port"
python3 "$root/tools/sample-service/service.py" --port-file "$portfile" --lifetime 600 >/dev/null &
service=$!
for _ in $(seq 1 100); do [ -s "$portfile" ] && break; sleep 0.1; done
port=$(cat "$portfile")

env -u XDG_CONFIG_HOME -u XDG_CACHE_HOME -u XDG_DATA_HOME -u XDG_PICTURES_DIR \
  xvfb-run -a -s '-screen 0 1280x1024x24' "$0" --drive "$prefix" "$port" "$home"

pictures="$home/Pictures/QuilloraDownLoad"
status=0
check_same() { cmp -s "$1" "$2" || { echo "ci-install: $1 differs from $2" >&2; status=1; }; }
check_same "$pictures/旅行/IMG_0001.jpg" "$root/tools/sample-service/assets/photo-01.jpg"
check_same "$pictures/家人 与 朋友/IMG_0008.png" "$root/tools/sample-service/assets/photo-02.png"
[ "$(find "$pictures/旅行" -name 'IMG_*.jpg' | wc -l)" -eq 25 ] || { echo "ci-install: 旅行 is not whole" >&2; status=1; }
[ -f "$pictures/空像册/空像册.txt" ] || { echo "ci-install: no description file for 空像册" >&2; status=1; }
[ -z "$(ls -A "$prefix/bin" | grep -v -e '^QuilloraDownLoad$' -e '^quillora-')" ] ||
  { echo "ci-install: something was written beside the installed program:" >&2; ls -A "$prefix/bin" >&2; status=1; }
[ $status -eq 0 ] || exit $status
echo "ci-install: installed into a scratch prefix; the window put $(find "$pictures" -type f | wc -l) files into \$HOME/Pictures/QuilloraDownLoad"

(cd "$root/$build" && cpack -G DEB >/dev/null)
lintian --fail-on error,warning "$root/$build"/quilloradownload_*.deb
echo "ci-install: the Debian package passes lintian, manual pages included"

