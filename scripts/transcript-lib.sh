# The simulated inverter's transcript as the measure of a job: what the device received and sent,
# line by line. Sourced by test-windows.sh and drive-win32-window.sh, which run a job from a
# Windows program under Wine and check that the device saw exactly what it sees from the Linux
# pellorin-cli for the same job (same image, same speed, same device options), and by
# bench-windows.sh, which measures the line's use from the transcript.
#
# The transcript's time stamps are the only part that differs from run to run; the comparison
# leaves them out and keeps every other field (the line received, every byte of the reply, the
# line rate and the stop bits at its arrival, the device's note) byte for byte.

TRANSCRIPT_SIM_PID=""
TRANSCRIPT_SIM_SLAVE=""
TRANSCRIPT_JOB_MS=""

# transcript_sim_start SIM RUN COM SIMARGS...: the simulated inverter SIM on a fresh
# pseudo-terminal, published as RUN/ports/comCOM; its transcript goes to RUN/transcript.jsonl and
# its summary to RUN/summary.json when it stops, its trace (one line per command handled) to
# RUN/sim.log. Sets TRANSCRIPT_SIM_PID and TRANSCRIPT_SIM_SLAVE (the /dev/pts/N to map).
transcript_sim_start() {
  local sim=$1 run=$2 com=$3 link
  shift 3
  mkdir -p "$run/ports"
  rm -f "$run/ports/com$com" "$run/transcript.jsonl" "$run/summary.json"
  PELLORIN_SIM_TRACE=1 "$sim" --com-dir "$run/ports" --com "$com" \
    --transcript "$run/transcript.jsonl" --summary "$run/summary.json" "$@" \
    >"$run/sim.out" 2>"$run/sim.log" &
  TRANSCRIPT_SIM_PID=$!
  link=$run/ports/com$com
  for _ in $(seq 100); do
    [ -L "$link" ] && break
    sleep 0.05
  done
  TRANSCRIPT_SIM_SLAVE=$(readlink "$link" 2>/dev/null) || {
    echo "transcript: the simulator did not start; see $run/sim.log" >&2
    transcript_sim_stop
    return 1
  }
  case "$TRANSCRIPT_SIM_SLAVE" in
    /dev/pts/*) ;;
    *) echo "transcript: the simulator's line is '$TRANSCRIPT_SIM_SLAVE', not a pseudo-terminal" >&2
       transcript_sim_stop
       return 1 ;;
  esac
}

# transcript_sim_stop: ends the simulator started last (it writes its files on SIGTERM).
transcript_sim_stop() {
  if [ -n "$TRANSCRIPT_SIM_PID" ]; then
    kill -TERM "$TRANSCRIPT_SIM_PID" 2>/dev/null || true
    wait "$TRANSCRIPT_SIM_PID" 2>/dev/null || true
    TRANSCRIPT_SIM_PID=""
  fi
}

# transcript_linux_run SIM CLI RUN TARGET IMAGE BAUD SIMARGS...: the reference: the Linux
# pellorin-cli CLI updates TARGET (dsp or mcu) with IMAGE at BAUD on a fresh simulator started
# with SIMARGS; keeps RUN/transcript.jsonl, RUN/summary.json and the tool's output in RUN/cli.out.
# Sets TRANSCRIPT_JOB_MS to the job's time (the tool's run) in milliseconds; fails when the tool
# does not report success.
transcript_linux_run() {
  local sim=$1 cli=$2 run=$3 target=$4 image=$5 baud=$6 start status=0
  shift 6
  transcript_sim_start "$sim" "$run" 1 "$@" || return 1
  start=$(date +%s%N)
  PELLORIN_COM_DIR=$run/ports XDG_STATE_HOME=$run/state \
    "$cli" update "$target" --port COM1 --image "$image" --baud "$baud" >"$run/cli.out" 2>&1 ||
    status=$?
  TRANSCRIPT_JOB_MS=$((($(date +%s%N) - start) / 1000000))
  transcript_sim_stop
  if [ "$status" -ne 0 ]; then
    echo "transcript: the Linux pellorin-cli ended with $status; see $run/cli.out" >&2
    return 1
  fi
}

# transcript_wire FILE: the transcript without its time stamps.
transcript_wire() { sed -E 's/^\{"timeMs":[^,]*,/{/' "$1"; }

# transcript_compare REFERENCE OTHER LABEL: fails, showing where they part, unless both
# transcripts hold the same lines (time stamps aside) and are not empty.
transcript_compare() {
  local reference=$1 other=$2 label=$3
  if [ ! -s "$reference" ] || [ ! -s "$other" ]; then
    echo "transcript: $label: a transcript is missing or empty ($reference, $other)" >&2
    return 1
  fi
  if ! diff <(transcript_wire "$reference") <(transcript_wire "$other") >"$other.diff"; then
    echo "transcript: $label: the device saw another exchange than from the Linux pellorin-cli" \
         "(first differences; all in $other.diff):" >&2
    head -20 "$other.diff" >&2
    return 1
  fi
  rm -f "$other.diff"
  echo "transcript: $label: the device's transcript matches the Linux pellorin-cli's" \
       "($(grep -c '' "$reference") lines)"
}
