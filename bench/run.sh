#!/usr/bin/env bash
# bench/run.sh - vell's benchmarks, timed by the same harness as the shared anchor figures.
#
#   bash bench/run.sh          measure; prints the anchors' lines, then "BENCH <figure> ..." and
#                              "GOAL <figure> <goal> met|missed ..." lines
#
# Runs the shared anchors.sh (floors and peers) with KEEP_WORKDIR=1, then times vell with the
# kept `abench` in a fresh temporary QRD_HOME. Installs nothing. Exits 0 when every measurement
# completed (goals missed or not), 1 when a measurement failed, 2 when a tool is missing.
#
# Environment knobs:
#   BENCH_ANCHORS   path of anchors.sh   (default: <repo>/../shared/bench/anchors.sh)
#   VELL_BIN        vell binary to time  (default: <repo>/build/bin/vell; copied to the temp dir first)
#   BENCH_DEADLINE_S abort the whole run after this many seconds (default 420)
#   ANCHORS_LIMIT_S  bound on the anchors.sh step (default 240; anchors.sh has its own deadline too)
#   DELIVER_WARMUP DELIVER_RUNS WAKE_WARMUP WAKE_ROUNDS WAKE_GAP_US TPUT_SENDERS TPUT_TOTAL
#   BODY_BYTES IDLE_S STEP_LIMIT_S PENDING_RUNS
#   BENCH_KEEP=1     keep the temp dir and the anchors' work dir
set -euo pipefail
export LC_ALL=C

: "${DELIVER_WARMUP:=20}" "${DELIVER_RUNS:=300}"
: "${WAKE_WARMUP:=10}"    "${WAKE_ROUNDS:=250}"  "${WAKE_GAP_US:=2000}"
: "${TPUT_SENDERS:=8}"    "${TPUT_TOTAL:=2000}"
: "${BODY_BYTES:=100}"    "${IDLE_S:=10}"        "${STEP_LIMIT_S:=90}"
: "${BENCH_DEADLINE_S:=420}"    "${BENCH_KEEP:=0}"

T_START=$EPOCHREALTIME
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(git -C "$HERE" rev-parse --show-toplevel 2>/dev/null || (cd "$HERE/.." && pwd))
ANCHORS=${BENCH_ANCHORS:-$ROOT/../shared/bench/anchors.sh}
VELL_SRC=${VELL_BIN:-$ROOT/build/bin/vell}

# ---------------------------------------------------------------- tool check
missing=()
for t in g++ redis-server redis-cli hyperfine inotifywait timeout awk sort mktemp find; do
  command -v "$t" >/dev/null 2>&1 || missing+=("$t")
done
if ((${#missing[@]})); then
  echo "run.sh: missing tools: ${missing[*]}" >&2
  echo "run.sh: on Debian: apt-get install -y g++ redis-server redis-tools inotify-tools hyperfine" >&2
  exit 2
fi
[[ -r $ANCHORS ]] || { echo "run.sh: anchors.sh not found at $ANCHORS (set BENCH_ANCHORS)" >&2; exit 2; }
[[ -x $VELL_SRC ]] || { echo "run.sh: no vell binary at $VELL_SRC (cmake --preset default && cmake --build --preset default, or set VELL_BIN)" >&2; exit 2; }

# ---------------------------------------------------------------- temp dir, cleanup, deadline
T=$(mktemp -d /tmp/vell-bench.XXXXXX)
AW="" CUR="" TAILP="" POLL_PID="" WATCHDOG="" SENDERS=() FAILED=0 BUSY=0
kept_workdir() { [[ -r $T/anchors.err ]] && awk '/workdir kept:/{print $NF}' "$T/anchors.err" | tail -1; }
cleanup() {
  set +e
  local p
  for p in "${SENDERS[@]}" $CUR $POLL_PID $TAILP; do kill -TERM "$p" 2>/dev/null; done
  for p in "${SENDERS[@]}" $CUR $POLL_PID $TAILP; do wait "$p" 2>/dev/null; done
  [[ -n $AW ]] || AW=$(kept_workdir)
  if [[ -n $WATCHDOG ]]; then kill -TERM "$WATCHDOG" 2>/dev/null; wait "$WATCHDOG" 2>/dev/null; fi
  if [[ $BENCH_KEEP == 1 ]]; then
    echo "INFO   kept: $T ${AW:+and $AW}" >&2
  else
    rm -rf "$T"
    [[ -n $AW && -d $AW && $AW == /tmp/anchors.* ]] && rm -rf "$AW"
  fi
}
trap cleanup EXIT
trap 'echo "run.sh: aborted (signal or deadline of ${BENCH_DEADLINE_S}s)" >&2; exit 143' TERM INT
( trap 'kill -TERM $sp 2>/dev/null; exit 0' TERM
  sleep "$BENCH_DEADLINE_S" & sp=$!
  wait "$sp" && kill -TERM $$ ) &
WATCHDOG=$!

# ---------------------------------------------------------------- gauges (same definition as anchors.sh)
snap() {  # sets SNAP_TOT SNAP_IDLE SNAP_PSI_US SNAP_T_US
  local _c u n s i w q sq st _r t=""
  read -r _c u n s i w q sq st _r </proc/stat
  SNAP_TOT=$((u + n + s + i + w + q + sq + st)) SNAP_IDLE=$((i + w))
  [[ -r /proc/pressure/cpu ]] && read -r _c _r _r _r t </proc/pressure/cpu
  SNAP_PSI_US=${t#total=} SNAP_T_US=${EPOCHREALTIME/./}
}
gauge_start() { snap; G_TOT=$SNAP_TOT G_IDLE=$SNAP_IDLE G_PSI=$SNAP_PSI_US G_T=$SNAP_T_US; }
gauge_end() {  # sets GAUGE="idle_pct=.. psi_pct=.."
  snap
  local dt=$((SNAP_TOT - G_TOT)) el=$((SNAP_T_US - G_T)) ip pp="na"
  ip=$(( dt > 0 ? 100 * (SNAP_IDLE - G_IDLE) / dt : 0 ))
  [[ -n $G_PSI && -n $SNAP_PSI_US && $el -gt 0 ]] && pp=$(( 100 * (SNAP_PSI_US - G_PSI) / el ))
  GAUGE="idle_pct=$ip psi_pct=$pp"
}
# busy_check : count the step just gauged as noisy when idle_pct < 40 or psi_pct > 20. On a quiet
# 2-core machine the spawn steps show idle_pct ~50 (one core busy) and psi_pct < 5, the wake steps
# idle_pct 60-80 and psi_pct up to ~15 (three processes take turns). Not used for the throughput
# steps, which load both cores on purpose.
busy_check() {
  local ip=${GAUGE#idle_pct=} pp=${GAUGE#*psi_pct=}; ip=${ip%% *}
  if ((ip < 40)) || { [[ $pp != na ]] && ((pp > 20)); }; then BUSY=$((BUSY + 1)); fi
}
step() {  # step OUTFILE CMD... : bounded, in the background so a TERM is handled at once
  local out=$1 rc=0; shift
  gauge_start
  timeout "$STEP_LIMIT_S" "$@" >"$out" 2>"$out.err" &
  CUR=$!
  wait "$CUR" || rc=$?
  CUR=""
  gauge_end; busy_check
  grep -v '^SENT:' "$out.err" >&2 || true   # vell's per-message SENT: markers are not shown
  return "$rc"
}
emit() { printf 'BENCH  %-26s %s\n' "$1" "$2"; }
info() { printf 'INFO   %s\n' "$*"; }
fail() { emit "$1" "FAILED $2"; FAILED=1; }
# goal FIGURE "TEXT" VALUE OP LIMIT : OP is le, lt or ge; "na" on either side -> unknown (a failure)
goal() {
  local verdict
  if [[ $3 == na || $5 == na || -z $3 || -z $5 ]]; then verdict=unknown; FAILED=1
  else verdict=$(awk -v v="$3" -v op="$4" -v l="$5" 'BEGIN{
      ok = (op == "le") ? (v + 0 <= l + 0) : (op == "lt") ? (v + 0 < l + 0) : (v + 0 >= l + 0)
      print ok ? "met" : "missed" }'); fi
  printf 'GOAL   %-26s %-42s %-7s value=%s limit=%s\n' "$1" "$2" "$verdict" "$3" "$5"
}
lt() { awk -v a="$1" -v b="$2" 'BEGIN{exit !(a + 0 < b + 0)}'; }
# kv LINE KEY : value of KEY=... in LINE
kv() { local s=" $1 "; s=${s#* "$2"=}; [[ $s == " $1 " ]] && { echo na; return; }; echo "${s%% *}"; }
ratio() { [[ $1 == na || $2 == na || -z $1 || -z $2 ]] && { echo na; return; }; awk -v a="$1" -v b="$2" 'BEGIN{ if (b + 0 > 0) printf "%.2f", a / b; else print "na" }'; }
mul() { [[ $1 == na || -z $1 ]] && { echo na; return; }; awk -v a="$1" -v b="$2" 'BEGIN{printf "%.1f", a * b}'; }
anchor() { awk -v f="$1" '$1 == "ANCHOR" && $2 == f { $1 = ""; $2 = ""; print; exit }' "$T/anchors.out"; }

# ---------------------------------------------------------------- 1. the anchors (floors and peers)
info "vell bench: repo=$ROOT anchors=$ANCHORS temp=$T"
# in the background (bounded by timeout, which passes a TERM on to it), its output shown as it comes
rc=0
timeout "${ANCHORS_LIMIT_S:-240}" env KEEP_WORKDIR=1 bash "$ANCHORS" >"$T/anchors.out" 2>"$T/anchors.err" &
CUR=$!
tail -n +1 -f --pid="$CUR" "$T/anchors.out" & TAILP=$!
wait "$CUR" || rc=$?
CUR=""
wait "$TAILP" 2>/dev/null || true; TAILP=""
grep -v 'workdir kept:' "$T/anchors.err" >&2 || true
AW=$(kept_workdir)
AB=$AW/abench
if [[ -z $AW || ! -x $AB ]]; then
  echo "run.sh: anchors.sh left no abench (rc=$rc); cannot time vell the same way" >&2
  exit 1
fi
((rc == 0)) || { info "anchors.sh exited $rc (a peer measurement failed; vell figures follow anyway)"; FAILED=1; }

A_STATIC=$(kv "$(anchor floor.cxx_static)" median_us)
A_REDIS=$(kv "$(anchor deliver.redis_cli_lpush)" median_us)
A_TPUT_REDIS=$(kv "$(anchor tput.redis_cli_lpush)" msgs_per_s)
PEERS=(wake.redis_brpop.lpush wake.inotifywait.mv wake.cxx_inotify.mv wake.cxx_inotify.maildir_sh)

# ---------------------------------------------------------------- vell under test, fresh state root
mkdir -p "$T/bin" "$T/wake" "$T/wae" "$T/tb"
cp "$VELL_SRC" "$T/bin/vell"   # a private copy: a rebuild in the tree mid-run cannot change it
V=$T/bin/vell
export QRD_HOME=$T/home
unset VELL_DURABLE VELL_SESSION_ID
g++ -O2 -std=c++17 -o "$T/wake_after_exit" "$HERE/wake_after_exit.cpp"

PAD=$(printf "x%.0s" $(seq "$BODY_BYTES"))
BODY=$(printf 'anchor-body-%s' "$PAD"); BODY=${BODY:0:BODY_BYTES}
printf '%s' "$BODY" >"$T/body"
info "vell $("$V" --version 2>&1 | head -1) binary=$VELL_SRC bytes=$(stat -c %s "$V") $(file -b "$V" 2>/dev/null | grep -o 'statically linked\|dynamically linked' || true) QRD_HOME=$QRD_HOME body=${BODY_BYTES}B"
info "floors of this run: floor.cxx_static median_us=$A_STATIC; deliver.redis_cli_lpush median_us=$A_REDIS; tput.redis_cli_lpush msgs_per_s=$A_TPUT_REDIS"

# ---------------------------------------------------------------- a. deliver, one process per message
# The static floor again, right before vell's steps: the load of a shared machine can change between
# the anchors and these steps; this line shows by how much (the goals use the anchors' floor).
MIN_STATIC=$AW/min_static
A_ADJ=na D_MED=na
if [[ -x $MIN_STATIC ]] && step "$T/o" "$AB" spawn "$DELIVER_WARMUP" "$DELIVER_RUNS" /dev/null "$MIN_STATIC"; then
  o=$(cat "$T/o"); A_ADJ=$(kv "$o" median_us)
  emit floor.cxx_static.adjacent "$o ratio_to_anchor_floor=$(ratio "$A_ADJ" "$A_STATIC") method=abench_spawn(anchors_min_static) $GAUGE"
else info "floor.cxx_static.adjacent: not measured (no $MIN_STATIC)"; fi
"$V" setup D 2>/dev/null || info "vell setup D failed"
if step "$T/o" "$AB" spawn "$DELIVER_WARMUP" "$DELIVER_RUNS" "$T/body" "$V" deliver D S; then
  o=$(cat "$T/o"); med=$(kv "$o" median_us); D_MED=$med
  n=$(find "$QRD_HOME/vellery/D/inbox" -type f -size "${BODY_BYTES}c" | wc -l)
  emit deliver.vell "$o stored=$n/$((DELIVER_WARMUP + DELIVER_RUNS)) ratio_to_static_floor=$(ratio "$med" "$A_STATIC") ratio_to_adjacent_floor=$(ratio "$med" "$A_ADJ") ratio_to_redis=$(ratio "$med" "$A_REDIS") method=abench_spawn(vell_deliver,no_listener) $GAUGE"
  ((n == DELIVER_WARMUP + DELIVER_RUNS)) || { info "deliver.vell: stored $n of $((DELIVER_WARMUP + DELIVER_RUNS))"; FAILED=1; }
  goal deliver.vell "median<=1.5*floor.cxx_static" "$med" le "$(mul "$A_STATIC" 1.5)"
  goal deliver.vell "median<=0.5*deliver.redis_cli_lpush" "$med" le "$(mul "$A_REDIS" 0.5)"
else fail deliver.vell "rc=$?"; fi

# ---------------------------------------------------------------- b. wake-up latency, spawn of sender -> listener prints
if step "$T/o" "$AB" wake --warmup "$WAKE_WARMUP" --rounds "$WAKE_ROUNDS" --gap-us "$WAKE_GAP_US" \
    --body-bytes "$BODY_BYTES" --workdir "$T/wake" --stdin-body --ready-stderr READY: \
    --listener "$V" poll W --setup --deliver "$V" send W S; then
  o=$(cat "$T/o"); p50=$(kv "$o" p50_us) p99=$(kv "$o" p99_us)
  peer_txt="" best50=na best99=na best50_of=none best99_of=none
  for pe in "${PEERS[@]}"; do
    l=$(anchor "$pe"); a50=$(kv "$l" p50_us) a99=$(kv "$l" p99_us)
    [[ $a50 == na ]] && continue
    peer_txt+=" p50_to_${pe#wake.}=$(ratio "$p50" "$a50")"
    if [[ $best50 == na ]] || lt "$a50" "$best50"; then best50=$a50 best50_of=${pe#wake.}; fi
    if [[ $best99 == na ]] || lt "$a99" "$best99"; then best99=$a99 best99_of=${pe#wake.}; fi
  done
  emit wake.vell.send "$o p50_to_static_floor=$(ratio "$p50" "$A_STATIC") p99_to_static_floor=$(ratio "$p99" "$A_STATIC")$peer_txt listener=vell_poll_--setup deliverer=vell_send $GAUGE"
  goal wake.vell.send "p50<=2*floor.cxx_static" "$p50" le "$(mul "$A_STATIC" 2)"
  goal wake.vell.send "p99<=4*floor.cxx_static" "$p99" le "$(mul "$A_STATIC" 4)"
  goal wake.vell.send "p50<every_peer_p50($best50_of)" "$p50" lt "$best50"
  goal wake.vell.send "p99<every_peer_p99($best99_of)" "$p99" lt "$best99"
else fail wake.vell.send "rc=$?"; fi

# ---------------------------------------------------------------- c. wake-up latency counted from the sender's exit
if step "$T/o" "$T/wake_after_exit" --warmup "$WAKE_WARMUP" --rounds "$WAKE_ROUNDS" --gap-us "$WAKE_GAP_US" \
    --body-bytes "$BODY_BYTES" --workdir "$T/wae" \
    --listener "$V" poll X --setup --deliver "$V" send X S; then
  o=$(cat "$T/o"); p50=$(kv "$o" p50_us)
  emit wake.vell.after_exit "$o p50_to_static_floor=$(ratio "$p50" "$A_STATIC") method=pidfd_open+poll(pidfd,listener_stdout) $GAUGE"
  goal wake.vell.after_exit "p50<=500us" "$p50" le 500
else fail wake.vell.after_exit "rc=$?"; fi

# ---------------------------------------------------------------- d. throughput, 8 sender loops, no listener
# bodies "s<sender>-m<seq>-xxx..." cut to BODY_BYTES, as anchors.sh makes them; one vell send per message
share() { echo $(( TPUT_TOTAL / TPUT_SENDERS + ($1 < TPUT_TOTAL % TPUT_SENDERS ? 1 : 0) )); }
for ((s = 0; s < TPUT_SENDERS; s++)); do
  n=$(share "$s")
  for ((i = 0; i < n; i++)); do
    printf -v b 's%d-m%06d-%s' "$s" "$i" "$PAD"; printf '%s' "${b:0:BODY_BYTES}" >"$T/tb/s$s-m$i"
  done
done
tput_loops() {  # tput_loops CMD... : the sender loops, each message's body file on stdin; sets TP_RATE TP_EL_US TP_BAD
  local s n p t0 t1
  TP_BAD=0 SENDERS=()
  gauge_start
  t0=$EPOCHREALTIME
  for ((s = 0; s < TPUT_SENDERS; s++)); do
    n=$(share "$s")
    ( for ((i = 0; i < n; i++)); do
        "$@" <"$T/tb/s$s-m$i" 2>/dev/null || exit 1
      done ) &
    SENDERS+=($!)
  done
  for p in "${SENDERS[@]}"; do wait "$p" || TP_BAD=$((TP_BAD + 1)); done
  t1=$EPOCHREALTIME
  SENDERS=()
  gauge_end
  TP_EL_US=$(( ${t1/./} - ${t0/./} ))
  TP_RATE=$(( TPUT_TOTAL * 1000000 / TP_EL_US ))
}
# the ceiling of this harness: the same loops spawning the minimal static program instead of vell
TF=na
if [[ -x $MIN_STATIC ]]; then
  tput_loops "$MIN_STATIC"; TF=$TP_RATE
  emit tput.floor.cxx_static "msgs_per_s=$TF wall_ms=$((TP_EL_US / 1000)) msgs=$TPUT_TOTAL senders=$TPUT_SENDERS method=bash_loops,min_static_per_msg(ceiling_of_the_harness) $GAUGE"
fi
"$V" setup P 2>/dev/null || info "vell setup P failed"
tput_loops "$V" send P S
rate=$TP_RATE el=$TP_EL_US bad=$TP_BAD
files=$(find "$QRD_HOME/vellery/P/inbox" -type f | wc -l)
got=$(cd "$QRD_HOME/vellery/P/inbox" && find . -type f -size "${BODY_BYTES}c" -exec awk 1 {} + | sort -u | wc -l)
lost=$(( TPUT_TOTAL - got ))
emit tput.vell "msgs_per_s=$rate wall_ms=$((el / 1000)) msgs=$TPUT_TOTAL senders=$TPUT_SENDERS lost=$lost inbox_files=$files sender_errors=$bad ratio_to_redis=$(ratio "$rate" "$A_TPUT_REDIS") share_of_harness_ceiling=$(ratio "$rate" "$TF") method=bash_loops,vell_send_per_msg,no_listener,wall=EPOCHREALTIME $GAUGE"
((lost == 0 && bad == 0 && files == TPUT_TOTAL)) || FAILED=1
goal tput.vell "msgs_per_s>=3*tput.redis_cli_lpush" "$rate" ge "$(mul "$A_TPUT_REDIS" 3)"
goal tput.vell "lost==0" "$lost" le 0

# ---------------------------------------------------------------- a'. deliver into a perch holding many messages
# The same as a., into the perch the throughput step left with TPUT_TOTAL pending messages: shows
# whether filing one message costs more as the inbox fills (no goal; compare with deliver.vell).
if step "$T/o" "$AB" spawn 5 "${PENDING_RUNS:-100}" "$T/body" "$V" deliver P S; then
  o=$(cat "$T/o"); med=$(kv "$o" median_us)
  emit "deliver.vell.pending$TPUT_TOTAL" "$o ratio_to_static_floor=$(ratio "$med" "$A_STATIC") ratio_to_deliver.vell=$(ratio "$med" "$D_MED") pending_before=$files method=abench_spawn(vell_deliver,no_listener) $GAUGE"
else fail "deliver.vell.pending$TPUT_TOTAL" "rc=$?"; fi

# ---------------------------------------------------------------- e. idle listener CPU
ticks() {  # ticks PID : utime+stime (clock ticks) and voluntary+involuntary context switches
  local st rest ut stt cs
  st=$(<"/proc/$1/stat") || return 1
  rest=${st##*) }            # fields after "(comm) ", starting at field 3
  read -r -a f <<<"$rest"
  ut=${f[11]} stt=${f[12]}   # fields 14 and 15
  cs=$(awk '/^(nonvoluntary_|voluntary_)ctxt_switches/{s += $2} END{print s}' "/proc/$1/status")
  echo "$((ut + stt)) $cs"
}
gauge_start
"$V" poll I --setup >"$T/idle.out" 2>"$T/idle.err" &
POLL_PID=$!
ok=0
for _ in $(seq 500); do grep -q READY: "$T/idle.err" 2>/dev/null && { ok=1; break; }; sleep 0.01; done
if ((ok)) && read -r tk0 cs0 < <(ticks "$POLL_PID"); then
  sleep "$IDLE_S" & CUR=$!; wait "$CUR"; CUR=""   # a wait, so a TERM is handled at once
  if read -r tk1 cs1 < <(ticks "$POLL_PID"); then
    kill -TERM "$POLL_PID" 2>/dev/null; prc=0; wait "$POLL_PID" || prc=$?; POLL_PID=""
    gauge_end; busy_check
    emit idle.vell.poll "cpu_ticks=$((tk1 - tk0)) ctx_switches=$((cs1 - cs0)) idle_s=$IDLE_S clk_tck=$(getconf CLK_TCK) cpu_ticks_at_ready=$tk0 exit_on_term=$prc method=/proc/PID/stat_utime+stime $GAUGE"
    goal idle.vell.poll "cpu_ticks==0_over_${IDLE_S}s" "$((tk1 - tk0))" le 0
  else fail idle.vell.poll "listener vanished during the idle period"; fi
else fail idle.vell.poll "listener not ready within 5 s"; fi

# ---------------------------------------------------------------- wrap up
busy_anchor=$(awk '$1 == "ANCHOR" && $2 !~ /^tput\./ { for (i = 3; i <= NF; i++) { split($i, kv, "=");
    if ((kv[1] == "idle_pct" && kv[2] + 0 < 40) || (kv[1] == "psi_pct" && kv[2] != "na" && kv[2] + 0 > 20)) { n++; break } } }
    END { print n + 0 }' "$T/anchors.out")
if ((BUSY + busy_anchor > 0)); then
  info "NOISE: $((BUSY + busy_anchor)) step(s) ran on a busy machine (idle_pct<40 or psi_pct>20: $busy_anchor anchor, $BUSY vell); the ratios are unreliable, run again when quiet"
else
  info "quiet run: every step but the throughput ones had idle_pct>=40 and psi_pct<=20"
fi
info "vell bench done: loadavg_end=\"$(cut -d' ' -f1-3 /proc/loadavg)\" script_wall_s=$(( (${EPOCHREALTIME/./} - ${T_START/./}) / 1000000 )) failed=$FAILED"
exit "$FAILED"
