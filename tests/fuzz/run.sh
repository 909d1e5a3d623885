#!/usr/bin/env bash
# Runs the fuzz targets of a fuzz build, one after the other, each for a
# number of seconds:   run.sh BUILD SECONDS [TARGET...]
#
# Each target works on its corpus folder in the build (BUILD/fuzz-corpus/T),
# seeded from the committed seeds and regression inputs, so that the tree is
# never changed and longer runs go on from what earlier ones found. A crash,
# a sanitizer report, a leak, a run over 10 s on one input or over 2 GB of
# memory is a finding: its input lands in BUILD/fuzz-findings/T/ and the
# script ends non-zero after all targets ran.
#
# FUZZ_KEEP_GOING=1 (for long runs) goes on after a finding, in a child
# process, and collects every finding of the run instead of the first.
set -uo pipefail

build=$(cd "$1" && pwd)
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
all=(png bmp ico jpeg metafile url headers cookies dates http_reply reply_parser album_list picture_list config_file text_archive gallery_rows service_address)
if [ $# -gt 0 ]; then targets=("$@"); else targets=("${all[@]}"); fi

# The longest input worth trying: files of a few KB reach every branch of a
# reader; long texts only make each run slower.
max_len() {
    case $1 in
    png | bmp | ico | jpeg) echo 32768 ;;
    metafile | headers | http_reply | reply_parser | album_list | picture_list) echo 16384 ;;
    dates) echo 256 ;;
    *) echo 4096 ;;
    esac
}

keep_going=()
if [ "${FUZZ_KEEP_GOING:-0}" = 1 ]; then
    keep_going=(-fork=1 -ignore_crashes=1 -ignore_ooms=1 -ignore_timeouts=1)
fi

artifacts() {
    find "$1" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'oom-*' -o -name 'timeout-*' -o -name 'leak-*' \) | sort
}

failed=()
for target in "${targets[@]}"; do
    program=$build/bin/fuzz_$target
    corpus=$build/fuzz-corpus/$target
    findings=$build/fuzz-findings/$target
    log=$findings/last-run.log
    mkdir -p "$corpus" "$findings"
    for dir in "$here/corpus/$target" "$here/regressions/$target"; do
        [ -d "$dir" ] && find "$dir" -maxdepth 1 -type f ! -name '.*' -exec cp -n {} "$corpus/" \;
    done
    before=$(artifacts "$findings")
    dict=()
    [ -f "$here/dict/$target.dict" ] && dict=(-dict="$here/dict/$target.dict")
    QT_QPA_PLATFORM=offscreen \
        ASAN_OPTIONS=detect_leaks=1 \
        LSAN_OPTIONS=suppressions=$here/../lsan.supp \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$program" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -max_len="$(max_len "$target")" \
        "${dict[@]}" "${keep_going[@]}" -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" >"$log" 2>&1
    status=$?
    stats=$(grep -aE '^#[0-9]+.*(DONE|cov:)' "$log" | tail -1)
    speed=$(grep -aE '^stat::average_exec_per_sec' "$log" | awk '{print $2}')
    new=$(comm -13 <(echo "$before") <(artifacts "$findings") | grep . || true)
    if [ $status -eq 0 ] && [ -z "$new" ]; then
        echo "fuzz $target: ok, ${speed:-?} execs/s; $stats"
    else
        failed+=("$target")
        echo "fuzz $target: FINDING (exit $status); log $log"
        grep -aE '^==[0-9]+==ERROR|^SUMMARY|runtime error|ALARM|out-of-memory' "$log" | sort | uniq -c | head -8 | sed 's/^/    /'
        echo "$new" | sed 's/^/    input: /'
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: findings in ${failed[*]} (inputs under $build/fuzz-findings/)"
    exit 1
fi
echo "fuzz: no findings in ${targets[*]}"
