# What the program tests share (sourced).

# The waits last as many times longer as the machine is loaded beyond its
# cores (slow, at least 1).
read -r load _ < /proc/loadavg
slow=$(awk -v load="$load" -v cores="$(nproc)" 'BEGIN { f = load / cores; print (f > 1 ? int(f + 0.999) : 1) }')

# children PID: "pid name" of each process whose parent is PID.
children() {
  local f p c s pp rest
  for f in /proc/[0-9]*/stat; do
    read -r p c s pp rest 2> /dev/null < "$f" || continue
    [ "$pp" = "$1" ] && echo "$p $c"
  done
  return 0
}

# model_opened SETTINGS PID: waits until the simulator has opened its model
# (the model is in the recent-file list of the settings file SETTINGS), for
# 30 s at most on a quiet machine; fails when PID ends first or the time is
# up.
model_opened() {
  for _ in $(seq $((300 * slow))); do
    grep -qs RecentFileList "$1" && return 0
    kill -0 "$2" 2> /dev/null || return 1
    sleep 0.1
  done
  return 1
}
