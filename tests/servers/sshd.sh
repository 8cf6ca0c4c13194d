#!/bin/bash
# Runs Debian's OpenSSH server on loopback for the uploader's SFTP tests.
#
#   sshd.sh start DIR USER PASSWORD   prints "PORT <n>", "PID <pid>" and
#                                     "HOSTKEY <public key line>"
#   sshd.sh stop PID
#
# DIR becomes USER's home and login directory (with DIR/public_html); the host
# key, configuration and log go into DIR's parent folder. It stops by itself
# once the process that ran "start" has gone. Exits 77 (skip) when it cannot
# run here.
set -euo pipefail

LAUNCHER=sshd.sh
# shellcheck source=common.sh
. "$(dirname "$0")/common.sh"

SSHD=/usr/sbin/sshd

alive() { kill -0 "$1" 2>/dev/null; }

stop() {
    local pid=$1
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 20); do
        alive "$pid" || return 0
        sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null || true
}

start() {
    [ $# -eq 3 ] || fail "usage: sshd.sh start DIR USER PASSWORD"
    [ "$(id -u)" -eq 0 ] || skip "must run as root to add the user and start sshd"
    [ -x "$SSHD" ] || skip "$SSHD is not installed"
    local dir user=$2 password=$3 parent owner=$PPID port pid
    dir=$(realpath -m "$1")
    parent=$(dirname "$dir")

    (
        flock 9
        prepare_user "$dir" "$user" "$password"
    ) 9>/tmp/harlune-vsftpd.lock
    mkdir -p "$dir/public_html" /run/sshd
    chown "$user:" "$dir" "$dir/public_html"
    chmod go+x "$parent"
    ssh-keygen -q -t ecdsa -N '' -f "$parent/host_key" <<<y >/dev/null

    port=$(free_port)
    cat >"$parent/sshd_config" <<CONF
ListenAddress 127.0.0.1:$port
HostKey $parent/host_key
PidFile none
UsePAM no
PasswordAuthentication yes
KbdInteractiveAuthentication no
PubkeyAuthentication no
PermitRootLogin no
AllowUsers $user
StrictModes no
Subsystem sftp internal-sftp
ForceCommand internal-sftp
LogLevel VERBOSE
CONF
    "$SSHD" -D -e -f "$parent/sshd_config" </dev/null >>"$parent/sshd.log" 2>&1 &
    pid=$!
    (
        while alive "$pid" && alive "$owner"; do
            sleep 1
        done
        stop "$pid"
    ) </dev/null >/dev/null 2>&1 &
    for _ in $(seq 50); do
        if /usr/bin/python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', $port), 0.2).close()" 2>/dev/null; then
            echo "PORT $port"
            echo "PID $pid"
            echo "HOSTKEY $(cut -d' ' -f1,2 "$parent/host_key.pub")"
            return 0
        fi
        alive "$pid" || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    fail "sshd did not come up on 127.0.0.1:$port: $(tail -n 5 "$parent/sshd.log")"
}

case "${1:-}" in
start) shift; start "$@" ;;
stop) stop "$2" ;;
*) fail "usage: sshd.sh start DIR USER PASSWORD | stop PID" ;;
esac
