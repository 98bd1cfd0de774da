#!/usr/bin/env bash
# Bounded fuzzing of the file-format core:
#   fuzz/run.sh SECONDS
# builds the targets (fuzz/build.sh), cuts seeds from the data corpus
# (../shared/data, or $TAMRIX_DATA), runs each target for its share of
# SECONDS and exits non-zero when any target finds a crash, a sanitizer
# report, a leak, a timeout or an out-of-memory. Findings and logs are left in
# $TAMRIX_FUZZ_DIR/run (default /tmp/tamrix-fuzz/run); a crashing input is
# replayed with `/tmp/tamrix-fuzz/<target> <file>`.
set -uo pipefail
seconds="${1:?usage: fuzz/run.sh SECONDS}"
here="$(cd "$(dirname "$0")" && pwd)"
data="${TAMRIX_DATA:-$here/../../shared/data}"
dir="${TAMRIX_FUZZ_DIR:-/tmp/tamrix-fuzz}"
targets=(idf_parser idd_reader model_edits refindex epjson)
"$here/build.sh" "$dir" || exit 2
rm -rf "$dir/run" && mkdir -p "$dir/run/seeds"
if [[ -d "$data" ]]; then
  python3 "$here/seeds.py" "$data" "$dir/run/seeds" || exit 2
else
  echo "fuzz/run.sh: no data corpus at $data; starting from empty seeds" >&2
fi
mkdir -p "${targets[@]/#/$dir/run/seeds/}"
share=$(( seconds / ${#targets[@]} ))
(( share > 0 )) || share=1
status=0
for t in "${targets[@]}"; do
  dict=()
  [[ -f "$here/${t%%_*}.dict" ]] && dict=(-dict="$here/${t%%_*}.dict")
  mkdir -p "$dir/run/corpus-$t"
  "$dir/$t" -max_total_time="$share" -max_len=16384 -timeout=10 -rss_limit_mb=2048 "${dict[@]}" \
    -print_final_stats=1 -artifact_prefix="$dir/run/$t-" "$dir/run/corpus-$t" "$dir/run/seeds/$t" \
    >"$dir/run/$t.log" 2>&1
  rc=$?
  last=$(grep -E '^#[0-9]+' "$dir/run/$t.log" | tail -1)
  runs=$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$dir/run/$t.log" | grep -oE '[0-9]+$')
  printf '%-11s exit %d  %s execs in %ss (%s/s)  %s\n' "$t" "$rc" "${runs:-?}" "$share" \
    "$(( ${runs:-0} / share ))" "$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' <<<"$last")"
  if (( rc != 0 )); then
    status=1
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$dir/run/$t.log" | head -20
  fi
done
exit "$status"
