# A private GlusterFS volume for the volume suite and bench/volume: one
# glusterd listening on loopback only, one brick on a loop-mounted XFS image,
# the volume mounted twice by two FUSE client processes (two web servers).
# The brick process fetches its volume file from port 24007, whatever port
# glusterd is given, so glusterd, brick and clients run in a network namespace
# of their own, where that port is ours; the mounts are seen by every process.
# Everything lives in one scratch directory; lc_volume_down stops each process
# by its PID, unmounts, detaches the loop device and takes our name out of
# /etc/hosts. Source this file; it defines functions only.

LC_VOLUME=lcvol
LC_VOLUME_MOUNTS=2

# The gluster command, talking to our glusterd over its own socket.
lc_gluster() {
  gluster --mode=script --glusterd-sock="$LC_VOLUME_DIR/run/glusterd.socket" \
    --log-file="$LC_VOLUME_DIR/log/cli.log" "$@"
}

# lc_volume_in_net COMMAND...: COMMAND in the volume's network namespace.
lc_volume_in_net() {
  nsenter --net="$LC_VOLUME_DIR/netns" "$@"
}

lc_volume_wait() {  # lc_volume_wait TRIES COMMAND...: true once COMMAND succeeds
  local tries=$1 i
  shift
  for ((i = 0; i < tries; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

# The gluster command refuses loopback names for a brick; a name of our own works.
lc_volume_add_host() {
  printf '127.0.0.1 %s\n' "$(cat "$LC_VOLUME_DIR/host")" >>/etc/hosts
}

lc_volume_remove_host() {
  local line
  [ -f "$LC_VOLUME_DIR/host" ] || return 0
  line="127.0.0.1 $(cat "$LC_VOLUME_DIR/host")"
  grep -qxF "$line" /etc/hosts || return 0
  # Rewritten in place: /etc/hosts keeps its inode, owner and rights.
  grep -vxF "$line" /etc/hosts >"$LC_VOLUME_DIR/hosts" || true
  cat "$LC_VOLUME_DIR/hosts" >/etc/hosts
}

lc_volume_brick_fs() {
  truncate -s 300M "$LC_VOLUME_DIR/brick.img" &&
    mkfs.xfs -q -f -i size=512 "$LC_VOLUME_DIR/brick.img" &&
    losetup -f --show "$LC_VOLUME_DIR/brick.img" >"$LC_VOLUME_DIR/loop" &&
    mount "$(cat "$LC_VOLUME_DIR/loop")" "$LC_VOLUME_DIR/brick"
}

lc_volume_glusterd() {
  touch "$LC_VOLUME_DIR/netns"
  unshare --net="$LC_VOLUME_DIR/netns" true && lc_volume_in_net ip link set lo up || return 1
  cat >"$LC_VOLUME_DIR/glusterd.vol" <<EOF
volume management
    type mgmt/glusterd
    option working-directory $LC_VOLUME_DIR/state
    option run-directory $LC_VOLUME_DIR/run
    option glusterd-sockfile $LC_VOLUME_DIR/run/glusterd.socket
    option transport-type socket
    option transport.socket.bind-address 127.0.0.1
    option ping-timeout 0
    option event-threads 1
end-volume
EOF
  # In the foreground (-N) so that $! is glusterd itself (nsenter and setsid
  # exec it); it outlives this shell.
  nsenter --net="$LC_VOLUME_DIR/netns" setsid glusterd -N -f "$LC_VOLUME_DIR/glusterd.vol" -l "$LC_VOLUME_DIR/log/glusterd.log" \
    </dev/null >>"$LC_VOLUME_DIR/log/glusterd.out" 2>&1 &
  echo $! >"$LC_VOLUME_DIR/glusterd.pid"
  lc_volume_wait 300 lc_gluster pool list
}

# lc_volume_mount N [MOUNT-OPTIONS]: the volume at DIR/mntN through mount -t glusterfs.
lc_volume_mount() {
  local n=$1 extra=${2:+,$2} host
  host=$(cat "$LC_VOLUME_DIR/host")
  mkdir -p "$LC_VOLUME_DIR/mnt$n"
  lc_volume_in_net mount -t glusterfs -o "log-file=$LC_VOLUME_DIR/log/mnt$n.log$extra" \
    "$host:/$LC_VOLUME" "$LC_VOLUME_DIR/mnt$n" &&
    lc_volume_wait 300 mountpoint -q "$LC_VOLUME_DIR/mnt$n" &&
    lc_volume_client_pid "$n" >"$LC_VOLUME_DIR/mnt$n.pid"
}

# The glusterfs client process serving DIR/mntN (mount.glusterfs does not say).
lc_volume_client_pid() {
  local mnt=$LC_VOLUME_DIR/mnt$1 p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/exe" 2>/dev/null)" = /usr/sbin/glusterfsd ] || continue
    tr '\0' '\n' <"$p/cmdline" 2>/dev/null | grep -qxF "$mnt" && { echo "${p#/proc/}"; return 0; }
  done
  return 1
}

# The brick process's PID as `gluster volume status` reports it.
lc_volume_brick_pid() {
  lc_gluster volume status "$LC_VOLUME" --xml | sed -n 's:.*<pid>\([0-9]*\)</pid>.*:\1:p'
}

# The brick process killed as a crash kills it; lc_volume_down removes what it leaves.
lc_volume_kill_brick() {
  local pid
  pid=$(lc_volume_brick_pid) && [ -n "$pid" ] || return 1
  lc_volume_brick_files "$pid" >>"$LC_VOLUME_DIR/brick.files"
  kill -KILL "$pid"
}

# lc_volume_up DIR MOUNT-OPTIONS [VOLUME-OPTION VALUE]...: volume started and
# mounted LC_VOLUME_MOUNTS times; DIR must be empty. On failure, call lc_volume_down.
lc_volume_up() {
  LC_VOLUME_DIR=$1
  local mount_options=$2 host n
  shift 2
  mkdir -p "$LC_VOLUME_DIR"/{state,run,log,brick} || return 1
  # A host name: letters, digits and inner hyphens only (a scratch name may end in "_").
  echo "lumicount-brick-$(basename "$LC_VOLUME_DIR" | tr -c 'a-zA-Z0-9\n' x)" >"$LC_VOLUME_DIR/host"
  host=$(cat "$LC_VOLUME_DIR/host")
  lc_volume_add_host && lc_volume_brick_fs && lc_volume_glusterd || return 1
  lc_gluster volume create "$LC_VOLUME" "$host:$LC_VOLUME_DIR/brick/b" >/dev/null || return 1
  while [ $# -ge 2 ]; do
    lc_gluster volume set "$LC_VOLUME" "$1" "$2" >/dev/null || return 1
    shift 2
  done
  lc_gluster volume start "$LC_VOLUME" >/dev/null || return 1
  for ((n = 1; n <= LC_VOLUME_MOUNTS; n++)); do
    lc_volume_mount "$n" "$mount_options" || return 1
  done
}

lc_volume_stop_pid() {  # lc_volume_stop_pid PID: TERM, then KILL after 10 s
  local pid=$1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null
  lc_volume_wait 100 test ! -d "/proc/$pid" || kill -KILL "$pid" 2>/dev/null
  lc_volume_wait 50 test ! -d "/proc/$pid"
}

# The files a brick keeps outside DIR: its log (named after the brick's path) and,
# while it runs, its socket.
lc_volume_brick_files() {
  echo "/var/log/glusterfs/bricks/$(echo "${LC_VOLUME_DIR#/}/brick/b" | tr / -).log"
  tr '\0' '\n' 2>/dev/null <"/proc/$1/cmdline" | grep -A1 -xF -- -S | grep -vxE -- '-S|--'
}

lc_volume_mounted() {
  grep -qF " $1 " /proc/mounts
}

# lc_volume_down DIR: everything lc_volume_up made is stopped and removed, also after a partial start.
lc_volume_down() {
  LC_VOLUME_DIR=$1
  local mnt pid brick_pid brick_files
  [ -d "$LC_VOLUME_DIR" ] || return 0
  # By /proc/mounts and the PID files: a mount whose client lost the brick fails stat.
  for pid in "$LC_VOLUME_DIR"/mnt[0-9].pid; do
    mnt=${pid%.pid}
    pid=$(cat "$pid")
    lc_volume_mounted "$mnt" && umount "$mnt"
    lc_volume_stop_pid "$pid"
    # Still there when busy; gone from the namespace now, released when no longer used.
    lc_volume_mounted "$mnt" && umount -l "$mnt"
  done
  # glusterd keeps the brick's PID here, also once glusterd itself is gone.
  brick_pid=$(cat "$LC_VOLUME_DIR"/run/vols/"$LC_VOLUME"/*.pid 2>/dev/null || true)
  brick_files="$(lc_volume_brick_files "$brick_pid") $(cat "$LC_VOLUME_DIR/brick.files" 2>/dev/null)"
  lc_volume_stop_pid "$brick_pid"
  lc_volume_stop_pid "$(cat "$LC_VOLUME_DIR/glusterd.pid" 2>/dev/null)"
  # shellcheck disable=SC2086 # plain paths
  rm -f $brick_files
  lc_volume_mounted "$LC_VOLUME_DIR/brick" && umount "$LC_VOLUME_DIR/brick"
  lc_volume_mounted "$LC_VOLUME_DIR/netns" && umount "$LC_VOLUME_DIR/netns"
  [ -s "$LC_VOLUME_DIR/loop" ] && losetup -d "$(cat "$LC_VOLUME_DIR/loop")" 2>/dev/null
  lc_volume_remove_host
  # Nothing of ours is mounted any more: only then may the tree go.
  grep -qF " $LC_VOLUME_DIR/" /proc/mounts || rm -rf "$LC_VOLUME_DIR"
}
