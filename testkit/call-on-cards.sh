# Sourced by the fault, loss, long-call and valgrind scripts: runs a whole
# Voxaria call on two simulated cards in the current network namespace.
# Needs: build (the build directory), work (a scratch directory), speed
# (SIMCARD_SPEED). Optional: wrap (a command put in front of both
# conversation programs, e.g. valgrind).

# Re-runs the calling script in a network namespace of its own (as root),
# so that ports 5000 and 7000 are ours alone, and in a process namespace of
# its own, whose every process the kernel ends with the script, however it
# ends (a failure, or ctest's time-out killing unshare): nothing it started
# is left running. Exits with $1 when it cannot.
own_network() {
  local code=$1; shift
  if [[ "${VOXARIA_OWN_NET:-}" == 1 ]]; then return 0; fi
  if ((EUID != 0)) || ! unshare -n -p -f --mount-proc true 2>/dev/null; then
    echo "needs root and network and process namespaces (unshare -n -p)" >&2
    exit "$code"
  fi
  exec unshare -n -p -f --kill-child --mount-proc env VOXARIA_OWN_NET=1 \
    VOXARIA_OUTER_MOUNTS="$(readlink /proc/self/ns/mnt)" \
    bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
}

# Whether the script runs in a mount namespace of its own (own_network's):
# only there may it mount over the machine's files.
own_mounts() { [[ -n "${VOXARIA_OUTER_MOUNTS:-}" && "$(readlink /proc/self/ns/mnt)" != "$VOXARIA_OUTER_MOUNTS" ]]; }

# Every wait is bounded, and all of them together by the script's budget
# (VOXARIA_BUDGET seconds, default 100: less than ctest's time-out), so that
# a test that fails says what it waited for instead of being killed mute.
budget_end=$((SECONDS + ${VOXARIA_BUDGET:-100}))
bounded() {  # bounded SECONDS: the wait allowed, within what is left of the budget
  local left=$((budget_end - SECONDS))
  ((left < $1)) && echo $((left > 0 ? left : 0)) || echo "$1"
}

card_env() {  # card_env NAME [settings...]
  local name=$1; shift
  echo LD_PRELOAD="$build/libsimcard.so" ASAN_OPTIONS=verify_asan_link_order=0 \
    SIMCARD_EPOCH="$epoch" SIMCARD_SPEED="$speed" SIMCARD_LOG="$work/$name.log" \
    SIMCARD_OUTPUT="$work/$name.wav" SIMCARD_RING="$work/$name.ring" "$@"
}

# card_time: seconds on the cards' shared clock.
card_time() { awk -v e="$epoch" -v s="$speed" -v n="$(date +%s.%N)" 'BEGIN { printf "%.3f", (n - e) * s }'; }
wait_card_time() {  # wait_card_time SECONDS
  sleep "$(awk -v at="$1" -v e="$epoch" -v s="$speed" -v n="$(date +%s.%N)" \
    'BEGIN { d = at / s - (n - e); print (d > 0 ? d : 0) }')"
}
wait_for() {  # wait_for FILE TEXT SECONDS
  local i limit; limit=$(bounded "$3")
  for ((i = 0; i < limit * 10; i++)); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "gave up waiting for '$2' in $1 after ${limit} s" >&2
  return 1
}
# finish PID WHAT [SECONDS]: waits for a process of ours to end and returns
# its status; a process still running after the limit is killed and 124 is
# returned, after saying so.
finish() {
  local pid=$1 what=$2 i limit; limit=$(bounded "${3:-60}")
  for ((i = 0; i < limit * 20; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "gave up waiting for the end of the $what after ${limit} s" >&2
    kill -9 "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
    return 124
  fi
  wait "$pid"
}

# start_call CALLER_INPUT CALLEE_INPUT [caller settings] -- [callee settings]:
# the callee's answering program first, then the daemon (which says "yes"
# at once), then the caller. The daemon is stopped once the call is open:
# it only busy-probes from then on. Sets caller_pid, callee_pid; the
# programs' stdin are the FIFOs $work/caller.in and $work/callee.in (held
# open on fds 7 and 8), or caller_stdin if set (e.g. /dev/null). The prompt
# is not waited for from the side named in faulty (caller or callee).
start_call() {
  local caller_input=$1 callee_input=$2; shift 2
  local caller_more=() callee_more=()
  while (($#)) && [[ $1 != -- ]]; do caller_more+=("$1"); shift; done
  (($#)) && shift
  callee_more=("$@")
  epoch=$(date +%s.%N)
  # Every wait below reads a file this call writes: none may find the last
  # call's lines.
  rm -f "$work"/{caller,callee,daemon}.{out,err}
  mkdir -p "$work/callee-home"
  # Under a wrapper the running file is the wrapper's, not ./voxaria_server,
  # so the daemon would ring for ever: then the probe path is left absent,
  # which the daemon takes as running.
  local server=$build/voxaria_server
  if [[ -z "${wrap:-}" ]]; then cp "$server" "$work/callee-home/"; server=./voxaria_server; fi
  rm -f "$work/caller.in" "$work/callee.in"
  mkfifo "$work/caller.in" "$work/callee.in"
  (cd "$work/callee-home" && exec env $(card_env callee SIMCARD_INPUT="$callee_input" "${callee_more[@]}") \
    ${wrap:-} "$server" <"$work/callee.in" >"$work/callee.out" 2>"$work/callee.err") &
  callee_pid=$!
  exec 8>"$work/callee.in"
  wait_for /proc/net/udp ":1388 " 60  # port 5000 bound
  (cd "$work/callee-home" && exec "$build/voxariad" >"$work/daemon.out" 2>&1 </dev/null 8>&-) &
  daemon_pid=$!
  wait_for /proc/net/udp ":1B58 " 10  # port 7000 bound
  (cd "$work" && exec env $(card_env caller SIMCARD_INPUT="$caller_input" "${caller_more[@]}") \
    ${wrap:-} "$build/voxaria_client" localhost <"${caller_stdin:-$work/caller.in}" >"$work/caller.out" \
    2>"$work/caller.err" 8>&-) &
  caller_pid=$!
  [[ -n "${caller_stdin:-}" ]] || exec 7>"$work/caller.in"
  wait_for "$work/caller.out" "Connection established to the server." 60
  kill "$daemon_pid"; wait "$daemon_pid" 2>/dev/null || true
  [[ "${faulty:-}" == caller ]] || wait_for "$work/caller.out" "Please begin the conversation" 120
  [[ "${faulty:-}" == callee ]] || wait_for "$work/callee.out" "Please begin the conversation" 120
}

# hang_up: Enter on both ends; both must end with status 1 and their
# farewell. Returns non-zero, saying why, otherwise.
hang_up() {
  local caller_status=0 callee_status=0 ok=0
  echo >&7; echo >&8
  finish "$caller_pid" caller 30 || caller_status=$?
  finish "$callee_pid" callee 30 || callee_status=$?
  exec 7>&- 8>&-
  if ((caller_status != 1)) || [[ "$(tail -n1 "$work/caller.out")" != "Thank you for using Voxaria." ]]; then
    echo "caller ended with status $caller_status:" >&2; tail -n3 "$work/caller.out" >&2; ok=1
  fi
  if ((callee_status != 1)) || [[ "$(tail -n1 "$work/callee.out")" != "Thank you for using the Voxaria." ]]; then
    echo "callee ended with status $callee_status:" >&2; tail -n3 "$work/callee.out" >&2; ok=1
  fi
  return $ok
}
