# Sourced by main-job.sh: each step's result printed beside the one the
# README promises, and the job's verdict.
LMX_DIFFERENT=0

# lmx_expect WHAT GOT WANT: one result against the README's.
lmx_expect() {
  if [ "$2" = "$3" ]; then
    echo "$1 $2 (README: $3)"
  else
    echo "$1 $2 (README: $3)  <-- DIFFERS"
    LMX_DIFFERENT=$((LMX_DIFFERENT + 1))
  fi
}

# lmx_step WHAT WANT COMMAND...: runs the command (its output discarded) and
# compares its exit code with WANT. Safe under set -e: a non-zero code is a
# result here, not a failure of the job.
lmx_step() {
  local what=$1 want=$2 code=0
  shift 2
  "$@" </dev/null >/dev/null 2>&1 || code=$?
  lmx_expect "$what" "$code" "$want"
}

# lmx_verdict: 0 when every result was the README's, else 1.
lmx_verdict() {
  if [ "$LMX_DIFFERENT" -eq 0 ]; then
    echo "main-job: every result is the one the README gives"
    return 0
  fi
  echo "main-job: FAILED: $LMX_DIFFERENT result(s) differ from the README"
  return 1
}
