# Sourced by scripts/test: no process of a test run may outlive it.
#
# leftovers_begin marks the run (TARVEX_TEST_RUN in the environment every ground inherits)
# and notes every process already present. leftovers_check then names each process that was
# not there before, is not a live descendant of the checking shell, and is ours by one of:
#   - the run's mark in its environment,
#   - a command line or working directory inside the checkout,
#   - being tarvex, tarvexctl, Xvfb, openbox or qemu (a program a ground starts) left to the
#     init process: one started under `env -i`, such as the package ground's unprivileged
#     window, has lost the mark, and once its ground has ended its parent is init (or a
#     subreaper); while that parent lives, the parent carries the mark. One whose parent
#     lives unmarked belongs to whoever runs that parent (another checkout's tests).
# Processes are given a bounded grace to finish ending (wineserver stays a few seconds after
# its last client). Reads /proc only; on a machine with nothing else of ours running (CI runs
# as root), every match is a leftover.

leftovers_begin() {
  TARVEX_TEST_RUN="$$.$(date +%s%N)"
  export TARVEX_TEST_RUN
  _leftovers_root=$PWD
  _leftovers_before=" $(cd /proc && echo [0-9]*) "
}

# 0 if pid's parent chain reaches this shell ($$): the check itself and what it runs.
_leftovers_is_ours_alive() {
  local pid=$1 stat i
  for ((i = 0; i < 64; i++)); do
    [[ $pid == "$$" ]] && return 0
    [[ $pid -le 1 ]] && return 1
    read -r stat 2>/dev/null <"/proc/$pid/stat" || return 1
    stat=${stat##*) }
    set -- $stat
    pid=$2
  done
  return 1
}

# 0 if the process (its /proc stat line) was left to init or a subreaper, or its parent
# carries the run's mark.
_leftovers_orphan() {
  local rest=${1##*) } parent comm
  set -- $rest
  parent=$2
  [[ $parent == 1 ]] && return 0
  read -r comm 2>/dev/null <"/proc/$parent/comm" || return 0
  [[ $comm =~ ^(systemd|init|tini|dumb-init|docker-init|catatonit)$ ]] ||
    grep -qzx "TARVEX_TEST_RUN=$TARVEX_TEST_RUN" "/proc/$parent/environ" 2>/dev/null
}

# Prints "PID command line" for each leftover.
leftovers_list() {
  local p pid stat state comm cmd cwd
  for p in /proc/[0-9]*; do
    pid=${p#/proc/}
    [[ $_leftovers_before == *" $pid "* ]] && continue
    read -r stat 2>/dev/null <"$p/stat" || continue
    comm=${stat#*(}
    comm=${comm%)*}
    state=${stat##*) }
    state=${state%% *}
    [[ $state == Z ]] && continue
    cmd=$(tr '\0' ' ' 2>/dev/null <"$p/cmdline") || continue
    [[ -n $cmd ]] || continue # a kernel thread
    _leftovers_is_ours_alive "$pid" && continue
    cwd=$(readlink "$p/cwd" 2>/dev/null || true)
    if grep -qzx "TARVEX_TEST_RUN=$TARVEX_TEST_RUN" "$p/environ" 2>/dev/null ||
      [[ $cmd == *"$_leftovers_root/"* || $cwd == "$_leftovers_root" || $cwd == "$_leftovers_root/"* ]] ||
      { [[ $comm =~ ^(tarvex|tarvexctl|Xvfb|openbox|qemu-system-.*)$ ]] && _leftovers_orphan "$stat"; }; then
      echo "$pid $cmd"
    fi
  done
}

# Fails, naming them, when processes of the run are still there after up to 15 s.
leftovers_check() {
  local left end=$((SECONDS + 15))
  while :; do
    left=$(leftovers_list)
    [[ -z $left ]] && return 0
    ((SECONDS < end)) || break
    sleep 0.2
  done
  echo "processes of this test run are still running:"
  sed 's/^/  /' <<<"$left"
  return 1
}
