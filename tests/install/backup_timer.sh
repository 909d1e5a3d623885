#!/usr/bin/env bash
# The scheduled backup: its user units pass systemd-analyze verify (skipped,
# exit 77, where systemd is not installed), and the command the service runs,
# with the configuration the README and backup.conf.example document, copies
# an account of the sample service, writes the report beside the archive
# and the gallery; a second run finds every picture unchanged. HOME and XDG_CONFIG_HOME are a
# scratch folder: the user's own files are never read or written.
#   backup_timer.sh SOURCE_DIR BIN_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
bin=$(cd "$2" && pwd)
units=$src/packaging/systemd
work=$(mktemp -d "${TMPDIR:-/tmp}/quillora-timer.XXXXXX")
service=
cleanup() {
    if [ -n "$service" ]; then
        kill "$service" 2>/dev/null || true
        wait "$service" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_CONFIG_HOME/quillora-get" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
status=0
fail() { echo "backup_timer: $*" >&2; status=1; }

sed "s#@QUILLORA_GET@#$bin/quillora-get#" "$units/quillora-get-backup.service.in" >"$work/quillora-get-backup.service"
cp "$units/quillora-get-backup.timer" "$work/"
grep -q '^Persistent=true$' "$work/quillora-get-backup.timer" || fail "the timer does not make up missed runs"
grep -q '^RandomizedDelaySec=' "$work/quillora-get-backup.timer" || fail "the timer has no randomized delay"

# The command the service runs, as systemd would run it (%E: the configuration folder).
exec_start=$(sed -n 's/^ExecStart=//p' "$work/quillora-get-backup.service")
exec_start=${exec_start//%E/$XDG_CONFIG_HOME}

albums=$work/home/Albums
sed "s#/home/me/Albums#$albums#" "$units/backup.conf.example" >"$XDG_CONFIG_HOME/quillora-get/backup.conf"
# Written as the README says: one account a line.
printf 'quillora\n' >"$XDG_CONFIG_HOME/quillora-get/backup-accounts"

cd "$work"
python3 "$src/tools/sample-service/service.py" --port-file port --lifetime 300 --validators >service.log 2>&1 &
service=$!
until [ -s port ]; do
    kill -0 "$service" 2>/dev/null || { cat service.log; exit 1; }
    sleep 0.1
done
export http_proxy=http://127.0.0.1:$(cat port)

for run in first second; do
    rm -f "$albums/last-run.json"
    # shellcheck disable=SC2086 # the unit's words, split as systemd splits them (no quotes in it)
    $exec_start >"$work/$run.out" 2>&1 || fail "the $run run failed: $(cat "$work/$run.out")"
    [ -s "$albums/last-run.json" ] || fail "the $run run wrote no report beside the archive"
    [ ! -s "$work/$run.out" ] || fail "the $run run was not quiet: $(cat "$work/$run.out")"
done
[ -s "$albums/archive.db" ] || fail "no archive"
ls "$albums/Pic/旅行/"*.jpg >/dev/null 2>&1 || fail "no album was copied"
[ -s "$albums/index.html" ] || fail "no gallery was written (gallery = true)"
python3 - "$albums/last-run.json" <<'PY' || fail "the second run was no refresh"
import json, sys
totals = json.load(open(sys.argv[1]))["totals"]
sys.exit(0 if totals["unchanged"] > 0 and totals["updated"] == 0 and totals["failed"] == 0 else 1)
PY

if command -v systemd-analyze >/dev/null; then
    # verify exits 0 on an unknown key or section: anything it prints is a fault.
    out=$(cd "$work" && systemd-analyze --user --man=no verify ./quillora-get-backup.timer ./quillora-get-backup.service 2>&1) ||
        fail "systemd-analyze verify failed: $out"
    [ -z "$out" ] || fail "systemd-analyze verify: $out"
else
    echo "backup_timer: systemd-analyze is not installed; the units were not verified"
    [ $status -eq 0 ] && exit 77
fi
[ $status -eq 0 ] && echo "backup_timer: the units verify, and the documented backup runs and refreshes"
exit $status
