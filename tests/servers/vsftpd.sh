#!/bin/bash
# Runs Debian's vsftpd on loopback for the uploader's tests.
#
#   vsftpd.sh start DIR USER PASSWORD   prints "PORT <n>" and "PID <pid>"
#   vsftpd.sh stop PID
#
# DIR becomes USER's login directory (with DIR/public_html). The config and
# the protocol log (vsftpd.conf, vsftpd.log) go into DIR's parent folder.
# vsftpd also stops by itself once the process that ran "start" has gone.
# Exits 77 (skip) when it cannot run here.
set -euo pipefail

VSFTPD=/usr/sbin/vsftpd
EMPTY_DIR=/var/run/vsftpd/empty

skip() {
    echo "vsftpd.sh: $*" >&2
    exit 77
}

fail() {
    echo "vsftpd.sh: $*" >&2
    exit 1
}

free_port() {
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# True once something listens on 127.0.0.1:$1, checked without connecting so
# that the probe leaves no session in the protocol log.
listening() {
    local hex
    hex=$(printf '%04X' "$1")
    grep -q "^ *[0-9]*: 0100007F:$hex 00000000:0000 0A " /proc/net/tcp
}

prepare_user() {
    local dir=$1 user=$2 password=$3
    grep -qx /bin/sh /etc/shells || echo /bin/sh >>/etc/shells
    if ! id -u "$user" >/dev/null 2>&1; then
        useradd --no-create-home --home-dir "$dir" --shell /bin/sh "$user" ||
            fail "cannot create user $user"
    elif [ "$(getent passwd "$user" | cut -d: -f6)" != "$dir" ]; then
        # Left from an earlier run: vsftpd logs the user into its home.
        usermod --home "$dir" --shell /bin/sh "$user" || fail "cannot move $user to $dir"
    fi
    echo "$user:$password" | chpasswd
    if [ -f /etc/ftpusers ] && grep -qx "$user" /etc/ftpusers; then
        sed -i "/^$user\$/d" /etc/ftpusers
    fi
}

write_config() {
    local conf=$1 dir=$2 port=$3 log=$4
    cat >"$conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
local_root=$dir
chroot_local_user=YES
allow_writeable_chroot=YES
pasv_enable=YES
pasv_address=127.0.0.1
connect_from_port_20=NO
pam_service_name=vsftpd
userlist_enable=NO
secure_chroot_dir=$EMPTY_DIR
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
utf8_filesystem=YES
delay_failed_login=0
xferlog_enable=YES
xferlog_std_format=NO
log_ftp_protocol=YES
vsftpd_log_file=$log
EOF
}

start() {
    [ $# -eq 3 ] || fail "usage: vsftpd.sh start DIR USER PASSWORD"
    [ "$(id -u)" -eq 0 ] || skip "must run as root to add the FTP user and start vsftpd"
    [ -x "$VSFTPD" ] || skip "$VSFTPD is not installed"
    local dir user=$2 password=$3 parent owner=$PPID
    dir=$(realpath -m "$1")
    parent=$(dirname "$dir")

    # Tests running side by side share the one user: edit the account files in turn.
    (
        flock 9
        prepare_user "$dir" "$user" "$password"
    ) 9>/tmp/harlune-vsftpd.lock
    mkdir -p "$dir/public_html" "$EMPTY_DIR"
    chown "$user:" "$dir" "$dir/public_html"
    # The session runs as the user and must be able to reach its directory.
    chmod go+x "$parent"

    local port pid status
    for _ in 1 2 3; do
        port=$(free_port)
        write_config "$parent/vsftpd.conf" "$dir" "$port" "$parent/vsftpd.log"
        # Own session: the test's terminal signals are not meant for it.
        setsid "$VSFTPD" "$parent/vsftpd.conf" </dev/null >>"$parent/vsftpd.out" 2>&1 &
        pid=$!
        # Cleans up even if the test dies without calling stop.
        (
            while any_alive "$pid" && any_alive "$owner"; do
                sleep 1
            done
            stop "$pid"
        ) </dev/null >/dev/null 2>&1 &
        local tries=0
        while any_alive "$pid" && ! listening "$port" && [ $tries -lt 25 ]; do
            sleep 0.1
            tries=$((tries + 1))
        done
        if any_alive "$pid" && listening "$port"; then
            echo "PORT $port"
            echo "PID $pid"
            return 0
        fi
        # Most likely the port was taken in the meantime: try another.
        kill -KILL "$pid" 2>/dev/null || true
        status=0
        wait "$pid" 2>/dev/null || status=$?
    done
    fail "vsftpd did not come up on 127.0.0.1:$port (exit status $status, config $parent/vsftpd.conf)" \
        "$(tail -n 5 "$parent/vsftpd.out" 2>/dev/null)"
}

# PID and all its descendants: vsftpd puts each FTP session in a session of
# its own, so signalling the listener's process group would miss them.
process_tree() {
    local child
    echo "$1"
    for child in $(ps -o pid= --ppid "$1"); do
        process_tree "$child"
    done
}

# True while any of the given processes runs (zombies do not count).
any_alive() {
    local p state
    for p in "$@"; do
        state=$(ps -o stat= -p "$p" 2>/dev/null) || continue
        [[ $state == Z* ]] || return 0
    done
    return 1
}

stop() {
    [ $# -eq 1 ] || fail "usage: vsftpd.sh stop PID"
    local pids
    pids=$(process_tree "$1")
    # shellcheck disable=SC2086
    kill -TERM $pids 2>/dev/null || true
    # A session busy with a transfer may sit on SIGTERM: allow it one second.
    for _ in $(seq 10); do
        # shellcheck disable=SC2086
        any_alive $pids || return 0
        sleep 0.1
    done
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null || true
}

case "${1:-}" in
start) shift; start "$@" ;;
stop) shift; stop "$@" ;;
*) fail "usage: vsftpd.sh start DIR USER PASSWORD | stop PID" ;;
esac
