#!/usr/bin/env bash
# Sourced, not run: mounts real network drives on this machine, each twice (two mounts with
# caches of their own stand for two client machines, A and B): an SSH server with two sshfs
# mounts, and a samba server with two smbnetfs mounts, all on 127.0.0.1 only, with throwaway
# keys, passwords and configuration in a scratch folder; client A also once more through an
# sshfs mount with its own cache (ssh_dir/a-cached). Every server is stopped by its own
# process id and every mount unmounted when the sourcing shell exits. Needs root (the mounts
# and the SMB port). Leaves the client folders in ssh_dir/{a,b} and, when smb_ok is 1, in
# smb_dir/{a,b}/127.0.0.1/share.
bash scripts/setup.sh network

scratch=$(mktemp -d /tmp/tarvex-net.XXXXXX)
chmod 755 "$scratch"
mounts=()
pids=()
cleanup() {
  set +e
  # Connections a scenario froze and did not end.
  [ -s "${ssh_dir:-}/sshd.pid" ] && kill -KILL $("$scratch/ssh-server-sessions") 2>/dev/null
  for m in "${mounts[@]}"; do fusermount3 -u "$m" 2>/dev/null || fusermount -u "$m" 2>/dev/null || umount -l "$m"; done
  # An SSH server started again by the test's own script.
  [ -s "${ssh_dir:-}/sshd.pid" ] && pids+=("$(cat "$ssh_dir/sshd.pid")")
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  sleep 1
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
  rm -rf "$scratch"
}
trap cleanup EXIT

# Waits (at most 20 s) until a command succeeds.
wait_for() {
  for _ in $(seq 1 40); do "$@" >/dev/null 2>&1 && return 0; sleep 0.5; done
  echo "network drives: gave up waiting for: $*" >&2
  return 1
}

free_port() {
  for port in "$@"; do
    ss -ltn "( sport = :$port )" | grep -q LISTEN || { echo "$port"; return 0; }
  done
  return 1
}

# --- SSH: sshd on 127.0.0.1, root by a throwaway key only -----------------------------
ssh_dir=$scratch/ssh
mkdir -p "$ssh_dir/share" "$ssh_dir/a" "$ssh_dir/b" "$ssh_dir/a-cached" /run/sshd
ssh-keygen -q -t ed25519 -N '' -f "$ssh_dir/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$ssh_dir/user_key"
ssh_port=$(free_port 2222 2223 2224 2225)
cat > "$ssh_dir/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $ssh_port
HostKey $ssh_dir/host_key
PidFile $ssh_dir/sshd.pid
AuthorizedKeysFile $ssh_dir/user_key.pub
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
EOF
/usr/sbin/sshd -f "$ssh_dir/sshd_config" -E "$ssh_dir/sshd.log"
wait_for test -s "$ssh_dir/sshd.pid"
pids+=("$(cat "$ssh_dir/sshd.pid")")
# Scripts that stop the SSH server (its listener and every connection, as a server that goes
# down does) and start it again, for the scenario of a file server away for a while, and one
# that freezes every connection's processes (a server that stops answering; the stop ends them).
cat > "$scratch/ssh-server-sessions" <<EOF
#!/bin/sh
# Every process below the listener.
below() { for c in \$(pgrep -P "\$1"); do echo "\$c"; below "\$c"; done; }
below "\$(cat "$ssh_dir/sshd.pid")"
EOF
cat > "$scratch/ssh-server-freeze" <<EOF
#!/bin/sh
s=\$("$scratch/ssh-server-sessions") && [ -n "\$s" ] && kill -STOP \$s
EOF
cat > "$scratch/ssh-server-stop" <<EOF
#!/bin/sh
p=\$(cat "$ssh_dir/sshd.pid") || exit 1
s=\$("$scratch/ssh-server-sessions"); [ -n "\$s" ] && kill -KILL \$s; kill "\$p"
for _ in \$(seq 1 40); do kill -0 "\$p" 2>/dev/null || break; sleep 0.25; done
rm -f "$ssh_dir/sshd.pid"
EOF
cat > "$scratch/ssh-server-start" <<EOF
#!/bin/sh
/usr/sbin/sshd -f "$ssh_dir/sshd_config" -E "$ssh_dir/sshd.log" || exit 1
for _ in \$(seq 1 40); do [ -s "$ssh_dir/sshd.pid" ] && exit 0; sleep 0.25; done
exit 1
EOF
chmod 755 "$scratch"/ssh-server-*
for client in a b; do
  # cache=no: this client keeps no attributes or listings of its own beyond the kernel's.
  sshfs -p "$ssh_port" -o "IdentityFile=$ssh_dir/user_key,StrictHostKeyChecking=no" \
    -o "UserKnownHostsFile=/dev/null,allow_other,cache=no,reconnect,ServerAliveInterval=5" \
    "root@127.0.0.1:$ssh_dir/share" "$ssh_dir/$client"
  mounts+=("$ssh_dir/$client")
done
# Client A once more with sshfs's own cache of attributes and listings (its default).
sshfs -p "$ssh_port" -o "IdentityFile=$ssh_dir/user_key,StrictHostKeyChecking=no" \
  -o "UserKnownHostsFile=/dev/null,allow_other,reconnect,ServerAliveInterval=5" \
  "root@127.0.0.1:$ssh_dir/share" "$ssh_dir/a-cached"
mounts+=("$ssh_dir/a-cached")

# --- SMB: smbd on 127.0.0.1:445 in a session of its own, smbnetfs as each client ---------
smb_dir=$scratch/smb
mkdir -p "$smb_dir"/{share,private,lock,state,cache,log,run,a,b}
chmod 777 "$smb_dir/share"
smb_ok=1
if ! free_port 445 >/dev/null; then
  echo "network drives: port 445 is taken here; the SMB drive is not tested" >&2
  smb_ok=0
fi
if [ $smb_ok -eq 1 ]; then
  cat > "$smb_dir/smb.conf" <<EOF
[global]
  interfaces = 127.0.0.1
  bind interfaces only = yes
  smb ports = 445
  disable netbios = yes
  server role = standalone server
  server min protocol = SMB2
  map to guest = never
  private dir = $smb_dir/private
  lock directory = $smb_dir/lock
  state directory = $smb_dir/state
  cache directory = $smb_dir/cache
  pid directory = $smb_dir/run
  ncalrpc dir = $smb_dir/run/ncalrpc
  log file = $smb_dir/log/%m.log
  passdb backend = tdbsam:$smb_dir/private/passdb.tdb
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
[share]
  path = $smb_dir/share
  read only = no
  force user = root
EOF
  password=$(head -c 12 /dev/urandom | base64 | tr -d '/+=')
  printf '%s\n%s\n' "$password" "$password" |
    smbpasswd -c "$smb_dir/smb.conf" -s -a root >/dev/null
  setsid smbd -s "$smb_dir/smb.conf" -D --no-process-group
  wait_for test -s "$smb_dir/run/smbd.pid"
  pids+=("$(cat "$smb_dir/run/smbd.pid")")
  wait_for bash -c "ss -ltn '( sport = :445 )' | grep -q LISTEN"
  for client in a b; do
    home=$smb_dir/home-$client
    mkdir -p "$home/.smb"
    printf 'auth "root" "%s"\nsmb_query_browsers false\nshow_hidden_hosts true\n' "$password" \
      > "$home/.smb/smbnetfs.conf"
    printf '[global]\n  client min protocol = SMB2\n' > "$home/.smb/smb.conf"
    chmod 600 "$home/.smb/smbnetfs.conf"
    HOME=$home smbnetfs "$smb_dir/$client" -o allow_other
    mounts+=("$smb_dir/$client")
    wait_for ls "$smb_dir/$client/127.0.0.1/share"
  done
fi

