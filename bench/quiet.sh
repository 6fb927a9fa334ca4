# shellcheck shell=bash
# What else the machine is doing while bench/run.sh measures: the load
# average, the share of CPU time the hypervisor kept for others (steal) and
# the processes that used CPU, over a few seconds; and a wait for a machine
# quiet enough to measure on. Sourced by bench/run.sh.

# Quiet: a load average below 0.5 per CPU and under 5% steal.
QUIET_LOAD_PER_CPU=0.5
QUIET_STEAL_PERCENT=5

# machine_state: the first line is "LOAD1 LOAD5 LOAD15 STEAL", the next ones
# the processes that took 5% of a CPU or more over 3 seconds.
machine_state() {
    top -b -n 2 -d 3 -w 512 | awk '
        /^top - / { frame++ }
        frame < 2 { next }
        /^top - / { sub(/.*load average: */, ""); gsub(/,/, ""); load = $0 }
        /^%Cpu\(s\)/ { for (i = 2; i <= NF; i++) if ($i ~ /^st/) steal = $(i - 1) }
        /^ *PID / { procs = 1; print load, steal + 0; next }
        procs && $9 + 0 >= 5 && $12 != "top" { printf "pid %s %s (%s%% CPU)\n", $1, $12, $9 }'
}

# is_quiet STATE: true when the first line of STATE is below both limits.
is_quiet() {
    head -1 <<<"$1" | awk -v cpus="$(nproc)" -v l="$QUIET_LOAD_PER_CPU" -v s="$QUIET_STEAL_PERCENT" \
        '{ exit !($1 < l * cpus && $4 < s) }'
}

# describe_state STATE: one line for a report.
describe_state() {
    local busy
    busy=$(tail -n +2 <<<"$1" | paste -sd, - | sed 's/,/, /g')
    head -1 <<<"$1" | awk -v busy="${busy:-none}" \
        '{ printf "load average %s %s %s, steal %s%%; busy processes: %s\n", $1, $2, $3, $4, busy }'
}

# wait_for_quiet SECONDS: samples until the machine is quiet or SECONDS have
# passed; prints the last sample and returns false if it never got quiet.
wait_for_quiet() {
    local deadline=$((SECONDS + $1)) state
    while :; do
        state=$(machine_state)
        if is_quiet "$state" || [ $SECONDS -ge "$deadline" ]; then
            printf '%s\n' "$state"
            is_quiet "$state"
            return
        fi
        echo "bench: waiting for a quiet machine: $(describe_state "$state")" >&2
        sleep 10
    done
}

# spread: (largest - smallest) / median of the numbers on standard input.
spread() {
    sort -n | awk '{ a[NR] = $1 } END {
        m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2
        printf "%.3f\n", (m > 0) ? (a[NR] - a[1]) / m : 0 }'
}
