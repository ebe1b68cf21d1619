#!/usr/bin/env bash
# The system's main job, end to end, on the embedded stand-in for Oracle: installs and
# builds, installs into a new home, creates a source database (two schemas, archive mode,
# small logs so that switches happen) and a target, copies the captured tables to the
# target while the source is quiet, configures a unit with kesh (an extract with an
# include set and an excluded table, an apply with a schema mapping), starts the manager,
# the extract and the apply, runs an OLTP workload while capture and delivery run, shows
# progress, waits until the target caught up, checks it with `orasim diff` and prints a
# summary. Everything it started is stopped and no IPC object is left behind, also on
# Ctrl-C or failure.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: scripts/demo.sh [options]
  --txns N          transactions of the OLTP workload (default 6000)
  --rate TPS        transactions per second, paced in wall-clock time (default 200;
                    0 runs as fast as the source can)
  --concurrency N   transactions open at once on the source (default 4)
  --savepoint PCT   transactions with a rollback to a savepoint (default: the workload's)
  --timeout S       seconds to wait for the target to catch up after the workload (default 120)
  --home DIR        the new home directory (default: a fresh one under /tmp); must not exist
  --build-dir DIR   the build tree to install from (default build/release)
  --no-setup        do not install packages or build: the build tree is already built
  -h, --help        this text
EOF
}

txns=6000 rate=200 concurrency=4 catchup=120 home="" setup=1 savepoint=""
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/release
while [ $# -gt 0 ]; do
  case "$1" in
    --txns) txns=$2; shift ;;
    --rate) rate=$2; shift ;;
    --concurrency) concurrency=$2; shift ;;
    --savepoint) savepoint=$2; shift ;;
    --timeout) catchup=$2; shift ;;
    --home) home=$2; shift ;;
    --build-dir) build=$(cd "$2" && pwd); shift ;;
    --no-setup) setup=0 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "demo: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done
for v in "$txns" "$rate" "$concurrency" "$catchup" ${savepoint:+"$savepoint"}; do
  [[ "$v" =~ ^[0-9]+$ ]] || { echo "demo: $v is not a number" >&2; exit 2; }
done

start=$SECONDS
say() { printf '\n== [%ds] %s\n' $((SECONDS - start)) "$*"; }
now() { date +%s.%N; }

if [ "$setup" = 1 ]; then
  say "installing dependencies and building (scripts/setup.sh)"
  "$root/scripts/setup.sh"
fi
[ -x "$build/bin/extract" ] || { echo "demo: $build is not built (run scripts/setup.sh)" >&2; exit 2; }

if [ -z "$home" ]; then
  home=$(mktemp -d /tmp/kestro-demo.XXXXXX)
else
  [ -e "$home" ] && { echo "demo: $home exists; the demo wants a new home" >&2; exit 2; }
  mkdir -p "$home"
fi
home=$(cd "$home" && pwd)
say "installing into the new home $home"
cmake --install "$build" --prefix "$home" >/dev/null
cd "$home"
export KESTRO_HOME=$home/ KESTRO_OCI_LIB=$home/lib/liborasim.so
unset ORASIM_HOME ORASIM_FAULTS ORACLE_SID NLS_LANG
# Per-record tracing would make the logs larger than the trails.
printf 'logger.level = info\n' >config/log.conf

unit=demo
key=$(printf '0x%08x' $(( (1000 & 0xff) << 24 | ($(stat -c %d .) & 0xff) << 16 | ($(stat -c %i .) & 0xffff) )))
wl_pid="" manager=0 status=0

# Processes running this home's programs (the manager, extract, apply), found by their
# executable.
home_pids() {
  find /proc -mindepth 2 -maxdepth 2 -name exe -lname "$home/bin/*" 2>/dev/null | cut -d/ -f3
}

ipc_left() { ipcs 2>/dev/null | awk -v k="$key" '$1 == k' ; }

# Stop what the demo started: the workload, then the manager with its extract and apply
# ("stop manager"). 0 when everything stopped by itself and no IPC object is left.
stop_all() {
  local rc=0 i pids kids left
  set +e
  if [ -n "$wl_pid" ] && kill -0 "$wl_pid" 2>/dev/null; then
    kids=$(ps -o pid= --ppid "$wl_pid" 2>/dev/null)
    kill "$wl_pid" $kids 2>/dev/null
    wait "$wl_pid" 2>/dev/null
  fi
  wl_pid=""
  if [ "$manager" = 1 ]; then
    manager=0
    say "stopping the manager, the extract and the apply (kesh: stop manager)"
    printf 'stop manager\nexit\n' | timeout 60 bin/kesh >>log/demo-kesh.out 2>&1
    for i in $(seq 1 60); do
      pids=$(home_pids)
      [ -z "$pids" ] && break
      sleep 0.5
    done
    if [ -n "$pids" ]; then
      echo "demo: still running after stop manager, killing: $pids" >&2
      kill -9 $pids 2>/dev/null
      rc=1
    fi
    left=$(ipc_left)
    if [ -n "$left" ]; then
      echo "demo: IPC objects left behind with key $key, removing them:" >&2
      echo "$left" >&2
      ipcrm -M "$key" 2>/dev/null; ipcrm -S "$key" 2>/dev/null; ipcrm -Q "$key" 2>/dev/null
      rc=1
    else
      echo "stopped: no process left running from the home, no IPC object left (key $key)"
    fi
  fi
  set -e
  return $rc
}

on_exit() {
  local rc=$?
  trap - EXIT INT TERM
  [ "$status" != 0 ] && rc=$status
  stop_all || rc=1
  [ "$rc" = 0 ] || echo "demo: FAILED (exit $rc); logs in $home/log" >&2
  exit "$rc"
}
trap on_exit EXIT
trap 'echo; echo "demo: interrupted" >&2; status=130; exit 130' INT TERM

# ---------------------------------------------------------------------------------------
say "creating the source database SRC (archive mode, three 1 MiB online logs)"
bin/orasim create -d sim -n SRC --log-size 1M --groups 3 --seed 1
# The OLTP schema and its first customers, then a second schema, HR, from a script.
bin/orasim run -d sim -n SRC --txns 0 --seed 1 >/dev/null
{
  echo "create user HR;"
  echo "create table HR.DEPARTMENTS (ID number(4) primary key, NAME varchar2(30) not null, CITY varchar2(30));"
  echo "create table HR.EMPLOYEES (ID number(6) primary key, NAME nvarchar2(40), DEPT_ID number(4),"
  echo "  SALARY number(8,2), HIRED date, BADGE raw(4));"
  for d in 1 2 3 4 5; do echo "insert into HR.DEPARTMENTS values ($d, 'Department $d', 'City $d');"; done
  for e in $(seq 1 50); do
    printf "insert into HR.EMPLOYEES values (%d, 'Employee %d', %d, %d.50, DATE '2025-%02d-%02d 09:00:00', HEXTORAW('%08x'));\n" \
      "$e" "$e" $((e % 5 + 1)) $((3000 + e * 37)) $((e % 12 + 1)) $((e % 28 + 1)) $((e * 7919))
  done
  echo "commit;"
} >sim/hr_setup.sql
bin/orasim run -d sim -n SRC --script sim/hr_setup.sql >/dev/null
echo "schemas OLTP (CUSTOMERS, ORDERS, ORDER_LINES, EVENTS) and HR (DEPARTMENTS, EMPLOYEES)"

say "creating the target database TGT and copying the captured tables to it (orasim instantiate)"
bin/orasim create -d sim -n TGT >/dev/null
# OLTP.EVENTS is left out of the replication; HR arrives on the target as HR_COPY.
select=(--map 'HR.*=HR_COPY.*' --exclude OLTP.EVENTS 'OLTP.*' 'HR.*')
bin/orasim instantiate sim/SRC.db sim/TGT.db -u ks/ks "${select[@]}"

say "configuring unit $unit with kesh"
cat >config/demo.kesh <<EOF
add db SRC (user=ks, password=ks)
  (instance_name=src1, thread=1, host=127.0.0.1, port=1521, service=SRC);
add db TGT (user=ks, password=ks)
  (instance_name=tgt1, thread=1, host=127.0.0.1, port=1521, service=TGT);
add unit $unit;
add extract ext1 (unit=$unit, db=SRC, next=app1, interval=1, tables=(oltp.*, hr.*), exclude=(oltp.events));
add apply app1 (unit=$unit, db=TGT, prev=ext1, interval=1, tables=(oltp.*, hr.*), mapping=(hr.*=hr_copy.*));
save config
exit
EOF
sed 's/^/  /' config/demo.kesh | grep -v -e '^  exit' -e '^  save'
bin/kesh <config/demo.kesh >log/demo-kesh.out 2>&1 || { cat log/demo-kesh.out; exit 1; }

say "starting the manager, the extract (exporting the dictionary) and the apply"
manager=1
printf 'start manager\nstart extract %s.ext1 -d\nstart apply %s.app1\nexit\n' "$unit" "$unit" |
  bin/kesh >>log/demo-kesh.out 2>&1 || { cat log/demo-kesh.out; exit 1; }
# Changes made before the extract's start SCN would never be captured: wait for it.
for i in $(seq 1 120); do
  grep -qs "Start SCN:" log/$unit/ext1_*.log && break
  [ "$i" = 120 ] && { echo "demo: the extract did not start; see log/$unit/"; exit 1; }
  sleep 0.25
done
grep -h "Start SCN:" log/$unit/ext1_*.log | sed 's/.*\(Start SCN\)/extract running, \1/'

# ---------------------------------------------------------------------------------------
# The workload: rounds of the OLTP mix, each followed by a few changes to HR, so that the
# mapped schema is replicated live too.
rounds=$(( txns / 100 )); [ "$rounds" -gt 10 ] && rounds=10; [ "$rounds" -lt 1 ] && rounds=1
expect=sim/SRC/expected.jsonl
base=$(wc -l <"$expect")
run_opts=(--concurrency "$concurrency" --group-commit 64K)
[ "$rate" -gt 0 ] && run_opts+=(--rate "$rate" --realtime)
[ -n "$savepoint" ] && run_opts+=(--savepoint "$savepoint")
hr_round() {
  local r=$1 k
  for k in 0 1 2 3 4; do
    echo "insert into HR.EMPLOYEES values ($((1000 + r * 10 + k)), 'New hire $r.$k', $((k + 1)), 4100.25, DATE '2026-02-01 09:00:00', NULL);"
  done
  echo "update HR.EMPLOYEES set SALARY = $((5000 + r)).75 where ID = $(( (r * 7) % 50 + 1 ));"
  echo "update HR.DEPARTMENTS set CITY = 'Moved $r' where ID = $(( r % 5 + 1 ));"
  echo "commit;"
  [ "$r" -gt 1 ] && echo "delete from HR.EMPLOYEES where ID = $((1000 + (r - 1) * 10));" && echo "commit;"
  echo "update HR.EMPLOYEES set SALARY = 1 where ID = $((1000 + r * 10 + 1));"
  echo "rollback;"
}
workload() {
  local r n left=$txns
  for r in $(seq 1 "$rounds"); do
    n=$(( left / (rounds - r + 1) )); left=$(( left - n ))
    bin/orasim run -d sim -n SRC --txns "$n" --seed $((100 + r)) "${run_opts[@]}"
    hr_round "$r" >sim/hr_round.sql
    bin/orasim run -d sim -n SRC --script sim/hr_round.sql
  done
}

trail_kib() { stat -c %s data/$unit/ext1_*.dat 2>/dev/null | awk '{ s += $1 } END { printf "%d", s / 1024 }'; }
apply_scn() {
  local s
  s=$(sqlite3 -cmd '.timeout 2000' sim/TGT.db 'select max(SCN) from "KS.KS_APPLY_CKP"' 2>/dev/null || true)
  [[ "$s" =~ ^[0-9]+$ ]] && echo "$s" || echo 0
}
# What the extract and the apply publish, as the console's "info" shows it: one line per
# component; info_field COMPONENT LABEL prints the word after the label, info_state the state.
info_now() { printf 'info %s\nexit\n' "$unit" | bin/kesh 2>/dev/null | sed 's/^\(KESH> \)*//' >log/demo-info.out; }
info_field() {
  awk -v id="$unit.$1" -v label="$2" '$1 == id { for (i = 2; i < NF; i++) if ($i == label) { print $(i + 1); exit } }' log/demo-info.out
}
info_state() { awk -v id="$unit.$1" '$1 == id { print $3 }' log/demo-info.out; }
# Workload transactions committed so far, how many of them the target has applied (by
# commit SCN), and the last commit SCN.
counts() {
  awk -v base="$base" -v a="$1" '
    NR > base && match($0, /"scn": [0-9]+/) {
      s = substr($0, RSTART + 7, RLENGTH - 7) + 0; n++; last = s
      if (s <= a) na++
    }
    END { printf "%d %d %d\n", n, na, last }' "$expect"
}

say "running the workload: $txns OLTP transactions in $rounds rounds$( [ "$rate" -gt 0 ] && echo " at $rate per second"), plus HR changes"
# generated: transactions committed on the source; redo seq: the log the source writes
# and the log the extract reads; trail: bytes captured; applied: transactions the apply
# has committed on the target; backlog and lag: what is not applied yet, in transactions
# and in seconds since the source committed it; extract/apply: their state and whether
# they have caught up ("idle"). The extract's position, the apply's commit SCN and the
# states come from "info". (info's own lag counts from the source's commit time stamps,
# which the stand-in takes from a simulated clock: here the lag is measured instead.)
printf '%6s %10s %14s %10s %10s %8s %6s  %s\n' time generated "redo seq s/x" "trail KiB" applied backlog lag extract/apply
t0=$(now)
workload >log/demo-workload.out 2>&1 &
wl_pid=$!
declare -a tick_t=() tick_scn=()
max_lag=0 done_at="" wl_done=0 identical=0 last_report=0
while :; do
  sleep 1
  if [ "$wl_done" = 0 ] && ! kill -0 "$wl_pid" 2>/dev/null; then
    wl_done=1
    if ! wait "$wl_pid"; then wl_pid=""; echo "demo: the workload failed:"; cat log/demo-workload.out; exit 1; fi
    wl_pid=""
    wl_end=$(now)
  fi
  t=$(now)
  info_now
  as=$(info_field app1 scn)
  [[ "$as" =~ ^[0-9]+$ ]] || as=0
  read -r gen app gscn < <(counts "$as")
  tick_t+=("$t"); tick_scn+=("$gscn")
  # Lag in time: how long ago the source reached the SCN the target has applied.
  # The source passed the applied SCN between two samples: interpolate the moment.
  lag_s=0
  if [ "$app" -lt "$gen" ]; then
    prev_t=$t0 prev_scn=0
    for i in "${!tick_scn[@]}"; do
      if [ "${tick_scn[$i]}" -gt "$as" ]; then
        lag_s=$(awk -v now="$t" -v t0="$prev_t" -v t1="${tick_t[$i]}" -v s0="$prev_scn" -v s1="${tick_scn[$i]}" -v a="$as" \
          'BEGIN { f = (a > s0 && s1 > s0) ? (a - s0) / (s1 - s0) : 0; printf "%.1f", now - (t0 + f * (t1 - t0)) }')
        break
      fi
      prev_t=${tick_t[$i]} prev_scn=${tick_scn[$i]}
    done
  fi
  [ $((gen - app)) -gt "$max_lag" ] && max_lag=$((gen - app))
  el=$(awk -v a="$t" -v b="$t0" 'BEGIN { printf "%d", a - b }')
  if [ "$el" -ge $((last_report + 2)) ] || [ "$wl_done" = 1 ]; then
    last_report=$el
    xs=$(info_field ext1 seq)
    printf '%5ss %10d %14s %10s %10d %8d %5ss  %s\n' "$el" "$gen" "$(( $(ls sim/SRC/archivelog | wc -l) + 1 ))/${xs:--}" \
      "$(trail_kib)" "$app" $((gen - app)) "$lag_s" \
      "$(info_state ext1)$( [ "$(info_field ext1 lag)" = idle ] && echo ' idle')/$(info_state app1)$( [ "$(info_field app1 lag)" = idle ] && echo ' idle')"
  fi
  if [ "$wl_done" = 1 ]; then
    if bin/orasim diff sim/SRC.db sim/TGT.db -u ks/ks "${select[@]}" >log/demo-diff.out 2>&1; then
      identical=1; done_at=$(now); break
    fi
    if [ "$(awk -v a="$t" -v b="$wl_end" 'BEGIN { print (a - b > '"$catchup"') }')" = 1 ]; then
      echo "demo: the target did not catch up within ${catchup}s after the workload; differences:"
      head -40 log/demo-diff.out
      status=1; exit 1
    fi
  fi
done

echo "the target caught up: orasim diff finds it identical"
if sqlite3 sim/TGT.db "select count(*) from \"KS\$COLUMNS\" where OWNER = 'OLTP' and TABLE_NAME = 'EVENTS'" | grep -qv '^0$'; then
  echo "demo: the excluded table OLTP.EVENTS reached the target"; status=1; exit 1
fi
stop_all || { status=1; exit 1; }
errors=$(cat log/$unit/error*.log 2>/dev/null | grep -c 'ERROR' || true)

# ---------------------------------------------------------------------------------------
say "summary"
read -r commits rollbacks redo switches < <(awk '/commits,/ { c += $1; r += $3; b += $5; s += $8 } END { printf "%d %d %d %d\n", c, r, b, s }' log/demo-workload.out)
secs=$(awk -v a="$done_at" -v b="$t0" 'BEGIN { printf "%.1f", a - b }')
changes=$(tail -n +"$((base + 1))" "$expect" | grep -o '"op": "' | wc -l)
trail_bytes=$(stat -c %s data/$unit/ext1_*.dat | awk '{ s += $1 } END { print s + 0 }')
trail_txns=$(for f in data/$unit/ext1_*.dat; do bin/trailcat -s -f "$f" 2>/dev/null; done | grep -c '^SCN: ' || true)
printf '%-40s %s\n' "transactions on the source:" "$commits committed, $rollbacks rolled back"
printf '%-40s %s\n' "row changes committed:" "$changes"
printf '%-40s %s\n' "redo written:" "$(awk -v b="$redo" 'BEGIN { printf "%.1f MiB", b / 1048576 }'), $switches log switches, $(ls sim/SRC/archivelog | wc -l) archived logs"
printf '%-40s %s\n' "trail written:" "$(awk -v b="$trail_bytes" 'BEGIN { printf "%.1f MiB", b / 1048576 }') in $(ls data/$unit/ext1_*.dat | wc -l) file(s), $trail_txns transactions"
printf '%-40s %s\n' "extract checkpoint (markedit -p):" "$(bin/markedit -f data/$unit/ext1.ckp -p 2>&1 | awk '/Log file RBA:/ { print "redo RBA " $4 } /Status:/ { st = $2 } END { print "(" st ")" }' | paste -sd' ')"
printf '%-40s %s\n' "apply checkpoint (KS_APPLY_CKP):" "commit SCN $(apply_scn)"
printf '%-40s %s\n' "elapsed (workload start to identical):" "${secs}s"
printf '%-40s %s\n' "rates:" "$(awk -v c="$commits" -v r="$changes" -v b="$redo" -v s="$secs" 'BEGIN { printf "%.0f transactions/s, %.0f row changes/s, %.2f MiB/s of redo", c / s, r / s, b / 1048576 / s }')"
printf '%-40s %s\n' "largest backlog seen:" "$max_lag transactions"
printf '%-40s %s\n' "errors in log/$unit/error*.log:" "$errors"
echo
echo "rows now in the source and the target:"
for q in OLTP.CUSTOMERS OLTP.ORDERS OLTP.ORDER_LINES OLTP.EVENTS HR.DEPARTMENTS HR.EMPLOYEES; do
  tq=${q/HR./HR_COPY.}
  s=$(sqlite3 sim/SRC.db "select count(*) from \"$q\"")
  d=$(sqlite3 -cmd '.timeout 2000' sim/TGT.db "select count(*) from \"$tq\"" 2>/dev/null || echo "-")
  [ "$q" = OLTP.EVENTS ] && d="(excluded)"
  printf '  %-18s %8s   %-18s %s\n' "$q" "$s" "$tq" "$d"
done

cat <<EOF

where to look next (the home stays: rm -rf $home when done):
  cd $home; export KESTRO_HOME=$home/
  bin/kesh                                   the console: "info", "desc extract $unit.ext1", "list", "help"
  bin/trailcat -f data/$unit/ext1_0.dat | less     the captured transactions in the trail
  bin/markedit -f data/$unit/ext1.ckp -p     the extract's checkpoint (redo position)
  bin/errcat -f error/$unit/app1_error.dat   rows the target refused, if any (none expected)
  sqlite3 sim/TGT.db 'select * from "KS.KS_APPLY_CKP"'     the apply's checkpoint on the target
  sqlite3 sim/TGT.db 'select * from "HR_COPY.EMPLOYEES" limit 5'
  bin/orasim print -d sim -n SRC HR.EMPLOYEES     the source, in canonical form
  ls log/ log/$unit/                         logs of the manager, the extract and the apply
EOF

# The last word is the comparison of the source with the target as everything stopped.
say "orasim diff sim/SRC.db sim/TGT.db -u ks/ks ${select[*]}"
echo "(HR is compared with HR_COPY on the target; OLTP.EVENTS is not replicated)"
bin/orasim diff sim/SRC.db sim/TGT.db -u ks/ks "${select[@]}" || { status=1; exit 1; }
