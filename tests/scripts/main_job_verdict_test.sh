#!/usr/bin/env bash
# The main job's verdict, run as main-job.sh runs it (its own bash, set -e):
# a step whose code differs from the README's is named with both codes and
# fails the job; a job whose codes all match passes.
set -uo pipefail
verdict="$1"

job() {  # job CODE...: one step per code, each expected to end with 1
  bash -c 'set -euo pipefail; source "$0"
           for c in "$@"; do lmx_step "step $c ->" 1 sh -c "exit $c"; done
           lmx_verdict' "$verdict" "$@" 2>&1
}

fail=0
out="$(job 1 1)" || { echo "matching codes failed the job:"; echo "$out"; fail=1; }
if out="$(job 1 100 1)"; then
  echo "a differing code passed the job:"; echo "$out"; fail=1
fi
grep -qx "step 100 -> 100 (README: 1)  <-- DIFFERS" <<<"$out" ||
  { echo "the differing step is not named with both codes:"; echo "$out"; fail=1; }
grep -qx "step 1 -> 1 (README: 1)" <<<"$(tail -n 2 <<<"$out")" ||
  { echo "the step after the differing one did not run:"; echo "$out"; fail=1; }
exit "$fail"
