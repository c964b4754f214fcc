#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the benchmarks (Release) and the C reference on libmodbus, runs every
# figure on 127.0.0.1 and prints one "NAME VALUE" line per figure, then one
# verdict line per goal. Expects the packages of scripts/deps.sh (run
# scripts/test.sh once on a fresh machine). Takes about two minutes after the
# build; the two tester runs (without and with a chart) last 60 s each.
#
# The reference server and every client run on one CPU (the last one): on a
# virtual machine, waking a halted second CPU for every request costs tens of
# microseconds and varies tenfold with what else the machine does, which
# would measure the hypervisor rather than the Modbus stacks. On one CPU a
# transaction costs what the client and the server spend on it.
#
# Environment: ZORP_BENCH_BUILD_DIR (default build-bench), ZORP_BENCH_TESTER_S
# (tester run length, default 60), ZORP_BENCH_ROUNDS (throughput rounds,
# default 3), ZORP_BENCH_CPU (the CPU to run on; "any" for no pinning).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${ZORP_BENCH_BUILD_DIR:-$ROOT/build-bench}
TESTER_S=${ZORP_BENCH_TESTER_S:-60}
ROUNDS=${ZORP_BENCH_ROUNDS:-3}
export QT_QPA_PLATFORM=offscreen
CPU=${ZORP_BENCH_CPU:-$(($(nproc) - 1))}
if [ "$CPU" = any ] || ! command -v taskset >/dev/null; then
    PIN=()
else
    PIN=(taskset -c "$CPU")
fi

log() { echo "bench: $*" >&2; }

# ---- build ---------------------------------------------------------------
log "building in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$BUILD" -j 2 --target engine_bench tester_poll workspace_polls workspace_line grid_render log_append chart_redraw rtu_line monitor_line zorp-slave \
    slave_many_masters >/dev/null
REF="$BUILD/reference"
mkdir -p "$REF"
for prog in libmodbus_server libmodbus_client libmodbus_multi_server; do
    gcc -O2 -Wall -Wextra -o "$REF/$prog" "$ROOT/bench/reference/$prog.c" \
        $(pkg-config --cflags --libs libmodbus)
done
B="$BUILD/bench"

# ---- the reference server ------------------------------------------------
free_port() {
    /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
PORT=$(free_port)
SERVER_OUT=$(mktemp)
"${PIN[@]}" "$REF/libmodbus_server" "$PORT" >"$SERVER_OUT" 2>&1 &
SERVER=$!
cleanup() {
    kill "$SERVER" 2>/dev/null || true
    wait "$SERVER" 2>/dev/null || true
    rm -f "$SERVER_OUT"
}
trap cleanup EXIT
for _ in $(seq 100); do
    grep -q "^listening" "$SERVER_OUT" && break
    sleep 0.05
done
grep -q "^listening" "$SERVER_OUT" || { log "the reference server did not start"; cat "$SERVER_OUT" >&2; exit 1; }
log "libmodbus reference server on 127.0.0.1:$PORT${PIN:+, everything on CPU $CPU}"

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
tps() { awk '/^tps /{print $2}'; }

# Reads of N registers back to back, the engine and libmodbus in turn,
# ROUNDS rounds; each round goes through every count, so that a busy moment
# of the machine hits both alike. The figures are medians over the rounds;
# the ratios are medians of each round's ratio, taken from runs right after
# one another.
declare -A E L G
N=20000
run_engine() { "${PIN[@]}" "$B/engine_bench" tps "$PORT" "$1" "$N" | tps; }
# The engine on the GLib event loop, as the tester (a program with windows)
# runs it; engine_bench otherwise runs on Qt's own, as zorp-poll does.
run_engine_glib() { "${PIN[@]}" "$B/engine_bench" tps "$PORT" "$1" "$N" glib | tps; }
run_libmodbus() { "${PIN[@]}" "$REF/libmodbus_client" "$PORT" "$1" "$N" | tps; }
escale="" lscale=""
for r in $(seq "$ROUNDS"); do
    log "throughput round $r of $ROUNDS"
    e10=$(run_engine 10); l10=$(run_libmodbus 10)
    E[10]="${E[10]:-} $e10"; L[10]="${L[10]:-} $l10"
    evl="${evl:-} $(awk "BEGIN {printf \"%.4f\", $e10 / $l10}")"
    g10=$(run_engine_glib 10)
    G[10]="${G[10]:-} $g10"
    gvl="${gvl:-} $(awk "BEGIN {printf \"%.4f\", $g10 / $l10}")"
    E[100]="${E[100]:-} $(run_engine 100)"
    L[100]="${L[100]:-} $(run_libmodbus 100)"
    # Time per transaction with 125 registers against 1 register: a small
    # difference, so three pairs of runs per round.
    for _ in 1 2 3; do
        e1=$(run_engine 1); e125=$(run_engine 125)
        l1=$(run_libmodbus 1); l125=$(run_libmodbus 125)
        E[1]="${E[1]:-} $e1"; E[125]="${E[125]:-} $e125"
        L[1]="${L[1]:-} $l1"; L[125]="${L[125]:-} $l125"
        escale="$escale $(awk "BEGIN {printf \"%.4f\", $e1 / $e125}")"
        lscale="$lscale $(awk "BEGIN {printf \"%.4f\", $l1 / $l125}")"
    done
done
for c in 10 100 1 125; do
    log "engine tps ($c registers):${E[$c]}"
    log "libmodbus tps ($c registers):${L[$c]}"
done
log "engine on the GLib loop tps (10 registers):${G[10]}"
log "engine/libmodbus per round:$evl"
log "engine on the GLib loop/libmodbus per round:$gvl"
log "scale ratios per round: engine$escale, libmodbus$lscale"
engine_tps=$(echo "${E[10]}" | median)
libmodbus_tps=$(echo "${L[10]}" | median)
engine_tps_100=$(echo "${E[100]}" | median)
engine_tps_glib=$(echo "${G[10]}" | median)

log "idle CPU, 10 s"
engine_idle_cpu_pct=$("${PIN[@]}" "$B/engine_bench" idle "$PORT" 10 | awk '/^idle_cpu_pct /{print $2}')

log "tester, Real time with function 04, Length 100, ${TESTER_S} s"
TESTER_OUT=$("${PIN[@]}" "$B/tester_poll" "$PORT" "$TESTER_S" 10 2> >(grep -v XDG_RUNTIME_DIR >&2))
tester_polls_per_s=$(echo "$TESTER_OUT" | awk '/^tester_polls_per_s /{print $2}')
tester_rss_growth_mb=$(echo "$TESTER_OUT" | awk '/^tester_rss_growth_mb /{print $2}')

# The same run with 16 rows plotted in the chart window: its polls against the
# run above, and its memory growth against what the points recorded take.
log "tester with 16 plotted rows, ${TESTER_S} s"
CHART_OUT=$("${PIN[@]}" "$B/tester_poll" "$PORT" "$TESTER_S" 10 16 2> >(grep -v -e XDG_RUNTIME_DIR -e 'does not support' >&2))
tester_chart_polls_per_s=$(echo "$CHART_OUT" | awk '/^tester_polls_per_s /{print $2}')
tester_chart_rss_growth_mb=$(echo "$CHART_OUT" | awk '/^tester_rss_growth_mb /{print $2}')
tester_chart_points_mb=$(echo "$CHART_OUT" | awk '/^tester_chart_points_mb /{print $2}')

log "poll windows: one, then eight on one link, then eight idle"
WORKSPACE_OUT=$("${PIN[@]}" "$B/workspace_polls" "$PORT" 10 2> >(grep -v -e XDG_RUNTIME_DIR -e 'does not support' >&2))
workspace_tps_ratio=$(echo "$WORKSPACE_OUT" | awk '/^workspace_tps_ratio /{print $2}')
workspace_fairness=$(echo "$WORKSPACE_OUT" | awk '/^workspace_fairness /{print $2}')
workspace_idle_cpu_pct=$(echo "$WORKSPACE_OUT" | awk '/^workspace_idle_cpu_pct /{print $2}')

log "chart redraw, 16 series of 100,000 points"
CHART_REDRAW_OUT=$("${PIN[@]}" "$B/chart_redraw" 2> >(grep -v -e XDG_RUNTIME_DIR -e 'does not support' >&2))
chart_redraw_ms=$(echo "$CHART_REDRAW_OUT" | awk '/^chart_redraw_ms /{print $2}')
chart_redraw_empty_ms=$(echo "$CHART_REDRAW_OUT" | awk '/^chart_redraw_empty_ms /{print $2}')

log "grid rendering"
grid_render_us=$("${PIN[@]}" "$B/grid_render" 2> >(grep -v XDG_RUNTIME_DIR >&2) | awk '/^grid_render_us /{print $2}')

log "log appends"
LOG_APPEND_OUT=$("${PIN[@]}" "$B/log_append" 2> >(grep -v XDG_RUNTIME_DIR >&2))
log_append_ratio=$(echo "$LOG_APPEND_OUT" | awk '/^log_append_ratio /{print $2}')
log_append_text_ratio=$(echo "$LOG_APPEND_OUT" | awk '/^log_append_text_ratio /{print $2}')

# RTU on the timed virtual serial line: polls of 10 registers back to back
# against the line's physical limit, the median of ROUNDS runs. Not pinned:
# the line's relay is a thread of its own that must run beside the engine.
rtu_line() {
    local baud=$1 polls=$2 runs="" gaps="" out
    for _ in $(seq "$ROUNDS"); do
        out=$("$B/rtu_line" "$baud" "$polls") || { log "rtu_line $baud failed"; continue; }
        runs="$runs $(echo "$out" | awk "/^rtu_line_efficiency_$baud /{print \$2}")"
        gaps="$gaps $(echo "$out" | awk "/^rtu_line_short_gaps_$baud /{print \$2}")"
        log "rtu_line $baud: $(echo "$out" | tr '\n' ' ')"
    done
    echo "$(echo "$runs" | median) $(echo "$gaps" | tr ' ' '\n' | grep -v '^$' | sort -g | tail -1)"
}
log "RTU on the timed serial line, 9600 and 115200 baud"
read -r rtu_line_efficiency_9600 rtu_line_short_gaps_9600 <<<"$(rtu_line 9600 100)"
read -r rtu_line_efficiency_115200 rtu_line_short_gaps_115200 <<<"$(rtu_line 115200 600)"

# Four polls of the tester to two units on the timed line at 9600 baud, every
# one in Real time without an interval: the link's scheduler against the
# line's physical limit, measured as rtu_line measures one poll (median of
# ROUNDS runs). Not pinned, as above.
log "four polls to two units on the timed serial line, 9600 baud"
wlruns=""
for _ in $(seq "$ROUNDS"); do
    out=$("$B/workspace_line" 9600 100 2> >(grep -v -e XDG_RUNTIME_DIR -e 'does not support' >&2)) || { log "workspace_line failed"; continue; }
    wlruns="$wlruns $(echo "$out" | awk '/^workspace_line_efficiency_9600 /{print $2}')"
    log "workspace_line 9600: $(echo "$out" | tr '\n' ' ')"
done
workspace_line_efficiency_9600=$(echo "$wlruns" | median)

# The bus monitor on a fully loaded timed line at 921600 baud (3 s of polls
# of two slaves, every frame right behind the one before): frames lost (the
# most over the rounds) and the monitor's CPU per frame (the median), also
# as a ratio to a loop that only reads the same bytes. Not pinned, as above.
log "bus monitor on a fully loaded line at 921600 baud"
mlost="" moverrun="" mcpu="" mratio=""
for _ in $(seq "$ROUNDS"); do
    out=$("$B/monitor_line" 921600 3 2> >(while read -r l; do log "$l"; done)) || true
    mlost="$mlost $(echo "$out" | awk '/^monitor_frames_lost /{print $2}')"
    moverrun="$moverrun $(echo "$out" | awk '/^monitor_line_overrun_frames /{print $2}')"
    mcpu="$mcpu $(echo "$out" | awk '/^monitor_cpu_per_frame_us /{print $2}')"
    mratio="$mratio $(echo "$out" | awk '/^monitor_cpu_ratio_to_read /{print $2}')"
done
monitor_frames_lost=$(echo "$mlost" | tr ' ' '\n' | grep -v '^$' | sort -g | tail -1)
monitor_line_overrun_frames=$(echo "$moverrun" | tr ' ' '\n' | grep -v '^$' | sort -g | tail -1)
monitor_cpu_per_frame_us=$(echo "$mcpu" | median)
monitor_cpu_ratio_to_read=$(echo "$mratio" | median)

calc() { awk "BEGIN {printf \"%.${2:-3}f\", $1}"; }
# The median of each round's ratio: a busy moment of the machine during one
# run moves one round, not the figure.
engine_vs_libmodbus=$(calc "$(echo "$evl" | median)" 3)
engine_vs_libmodbus_glib=$(calc "$(echo "$gvl" | median)" 3)
scale_count_ratio=$(calc "$(echo "$escale" | median)" 3)
libmodbus_scale_count_ratio=$(calc "$(echo "$lscale" | median)" 3)

# ---- zorp-slave against the reference server -------------------------------
# The reference libmodbus client reads 10 registers from zorp-slave and from
# the libmodbus reference server in turn, ROUNDS rounds of three pairs; the
# figure is the median of the pairs' ratios.
SLAVE_PORT=$(free_port)
SLAVE_OUT=$(mktemp)
"${PIN[@]}" "$BUILD/zorp-slave" --tcp "$SLAVE_PORT" --bind 127.0.0.1 --registers 0=1,2,3,4,5,6,7,8,9,10 \
    >"$SLAVE_OUT" 2>&1 &
SLAVE=$!
trap 'kill "$SLAVE" 2>/dev/null || true; rm -f "$SLAVE_OUT"; cleanup' EXIT
for _ in $(seq 100); do
    grep -q "^listening" "$SLAVE_OUT" && break
    sleep 0.05
done
svl=""
for r in $(seq "$ROUNDS"); do
    log "zorp-slave round $r of $ROUNDS"
    for _ in 1 2 3; do
        s10=$("${PIN[@]}" "$REF/libmodbus_client" "$SLAVE_PORT" 10 "$N" | tps)
        l10=$(run_libmodbus 10)
        svl="$svl $(awk "BEGIN {printf \"%.4f\", $s10 / $l10}")"
    done
done
log "zorp-slave/libmodbus server per pair:$svl"
kill "$SLAVE" 2>/dev/null || true
wait "$SLAVE" 2>/dev/null || true
slave_vs_libmodbus=$(calc "$(echo "$svl" | median)" 3)

# ---- many masters at once ----------------------------------------------------
# 256 masters, each reading 10 registers in a closed loop for 3 s, against a
# fresh zorp-slave and a fresh multi-client libmodbus server in turn; the
# driver reports all transactions a second, the slowest master's share of the
# mean and (zorp-slave) the server's resident memory per connected master.
MASTERS=256
many() { # PROGRAM ARGS...: starts the server, drives it, prints the driver's lines
    local port out pid
    port=$(free_port)
    out=$(mktemp)
    "${PIN[@]}" "$@" "$port" >"$out" 2>&1 &
    pid=$!
    for _ in $(seq 100); do
        grep -q "^listening" "$out" && break
        sleep 0.05
    done
    "${PIN[@]}" "$B/slave_many_masters" "$port" "$MASTERS" 3 "$pid" || true
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    rm -f "$out"
}
mml=""; mmslow=""; mmrss=""
for r in $(seq "$ROUNDS"); do
    log "many masters round $r of $ROUNDS"
    zs=$(many "$BUILD/zorp-slave" --bind 127.0.0.1 --max-clients 300 --registers 0=1,2,3,4,5,6,7,8,9,10 --tcp)
    ls=$(many "$REF/libmodbus_multi_server")
    z=$(echo "$zs" | awk '$1 == "tps" {print $2}')
    l=$(echo "$ls" | awk '$1 == "tps" {print $2}')
    mml="$mml $(awk "BEGIN {printf \"%.4f\", ${z:-0} / ${l:-1}}")"
    mmslow="$mmslow $(echo "$zs" | awk '$1 == "slowest_ratio" {print $2}')"
    mmrss="$mmrss $(echo "$zs" | awk '$1 == "rss_per_master_kb" {print $2}')"
    log "many masters: zorp-slave ${z:-?} libmodbus ${l:-?} tps"
done
slave_many_masters=$(calc "$(echo "$mml" | median)" 3)
slave_many_masters_slowest=$(calc "$(echo "$mmslow" | median)" 3)
slave_rss_per_master_kb=$(calc "$(echo "$mmrss" | median)" 1)

echo "engine_tps $engine_tps"
echo "libmodbus_tps $libmodbus_tps"
echo "engine_vs_libmodbus $engine_vs_libmodbus"
echo "engine_tps_glib $engine_tps_glib"
echo "engine_vs_libmodbus_glib $engine_vs_libmodbus_glib"
echo "engine_idle_cpu_pct $engine_idle_cpu_pct"
echo "engine_tps_100 $engine_tps_100"
echo "tester_polls_per_s $tester_polls_per_s"
echo "tester_rss_growth_mb $tester_rss_growth_mb"
tester_chart_ratio=$(calc "$tester_chart_polls_per_s / $tester_polls_per_s" 3)
echo "tester_chart_polls_per_s $tester_chart_polls_per_s"
echo "tester_chart_ratio $tester_chart_ratio"
echo "tester_chart_rss_growth_mb $tester_chart_rss_growth_mb"
echo "tester_chart_points_mb $tester_chart_points_mb"
echo "workspace_tps_ratio $workspace_tps_ratio"
echo "workspace_fairness $workspace_fairness"
echo "workspace_idle_cpu_pct $workspace_idle_cpu_pct"
echo "chart_redraw_ms $chart_redraw_ms"
echo "chart_redraw_empty_ms $chart_redraw_empty_ms"
echo "grid_render_us $grid_render_us"
echo "log_append_ratio $log_append_ratio"
echo "log_append_text_ratio $log_append_text_ratio"
echo "scale_count_ratio $scale_count_ratio"
echo "libmodbus_scale_count_ratio $libmodbus_scale_count_ratio"
echo "rtu_line_efficiency_9600 $rtu_line_efficiency_9600"
echo "rtu_line_efficiency_115200 $rtu_line_efficiency_115200"
echo "rtu_line_short_gaps $((rtu_line_short_gaps_9600 + rtu_line_short_gaps_115200))"
echo "workspace_line_efficiency_9600 ${workspace_line_efficiency_9600:-0}"
echo "slave_vs_libmodbus $slave_vs_libmodbus"
echo "monitor_frames_lost ${monitor_frames_lost:-none}"
echo "monitor_line_overrun_frames ${monitor_line_overrun_frames:-none}"
echo "monitor_cpu_per_frame_us $monitor_cpu_per_frame_us"
echo "monitor_cpu_ratio_to_read $monitor_cpu_ratio_to_read"
echo "slave_many_masters $slave_many_masters"
echo "slave_many_masters_slowest $slave_many_masters_slowest"
echo "slave_rss_per_master_kb $slave_rss_per_master_kb"

# verdict NAME OP LIMIT VALUE [LIMIT-TEXT]
verdict() {
    local ok
    ok=$(awk "BEGIN {print ($4 $2 $3) ? \"PASS\" : \"FAIL\"}")
    echo "verdict $1 $2 ${5:-$3}: $ok ($4)"
}
verdict engine_vs_libmodbus ">=" 1.0 "$engine_vs_libmodbus"
verdict slave_vs_libmodbus ">=" 1.0 "$slave_vs_libmodbus"
verdict slave_many_masters ">=" 1.0 "$slave_many_masters"
verdict slave_many_masters_slowest ">=" 0.5 "$slave_many_masters_slowest"
verdict engine_idle_cpu_pct "<=" 0.5 "$engine_idle_cpu_pct"
verdict tester_polls_per_s ">=" "$(calc "$engine_tps_100 * 0.75" 1)" "$tester_polls_per_s" "0.75 x engine_tps_100 = $(calc "$engine_tps_100 * 0.75" 1)"
verdict tester_rss_growth_mb "<=" 5 "$tester_rss_growth_mb"
verdict grid_render_us "<=" 50 "$grid_render_us"
verdict tester_chart_ratio ">=" 0.9 "$tester_chart_ratio"
verdict tester_chart_rss_growth_mb "<=" "$(calc "5 + $tester_chart_points_mb" 2)" "$tester_chart_rss_growth_mb" "5 + tester_chart_points_mb = $(calc "5 + $tester_chart_points_mb" 2)"
verdict chart_redraw_ms "<=" 16 "$chart_redraw_ms"
verdict workspace_tps_ratio ">=" 0.95 "$workspace_tps_ratio"
verdict workspace_fairness ">=" 0.9 "$workspace_fairness"
verdict workspace_idle_cpu_pct "<=" 0.5 "$workspace_idle_cpu_pct"
verdict log_append_ratio "<=" 1.5 "$log_append_ratio"
verdict scale_count_ratio "<=" "$libmodbus_scale_count_ratio" "$scale_count_ratio" "libmodbus_scale_count_ratio = $libmodbus_scale_count_ratio"
verdict rtu_line_efficiency_9600 ">=" 0.95 "$rtu_line_efficiency_9600"
verdict rtu_line_efficiency_115200 ">=" 0.90 "$rtu_line_efficiency_115200"
verdict rtu_line_short_gaps "<=" 0 "$((rtu_line_short_gaps_9600 + rtu_line_short_gaps_115200))"
verdict workspace_line_efficiency_9600 ">=" 0.95 "${workspace_line_efficiency_9600:-0}"
verdict monitor_frames_lost "<=" 0 "${monitor_frames_lost:-1}"
