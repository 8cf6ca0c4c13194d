#!/bin/bash
# Runs Debian's vsftpd on loopback for the uploader's tests.
#
#   vsftpd.sh start DIR USER PASSWORD [LINE...]
#                                       prints "PORT <n>" and "PID <pid>"
#   vsftpd.sh stop PID
#
# DIR becomes USER's login directory (with DIR/public_html). Each LINE is
# added to the configuration, after the settings below. The config and
# the protocol log (vsftpd.conf, vsftpd.log) go into DIR's parent folder.
# vsftpd also stops by itself once the process that ran "start" has gone.
# Exits 77 (skip) when it cannot run here.
set -euo pipefail

LAUNCHER=vsftpd.sh
# shellcheck source=common.sh
. "$(dirname "$0")/common.sh"

VSFTPD=/usr/sbin/vsftpd
EMPTY_DIR=/var/run/vsftpd/empty

write_config() {
    local conf=$1 dir=$2 port=$3 log=$4
    shift 4
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
    [ $# -eq 0 ] || printf '%s\n' "$@" >>"$conf"
}

start() {
    [ $# -ge 3 ] || fail "usage: vsftpd.sh start DIR USER PASSWORD [LINE...]"
    [ "$(id -u)" -eq 0 ] || skip "must run as root to add the FTP user and start vsftpd"
    [ -x "$VSFTPD" ] || skip "$VSFTPD is not installed"
    local dir user=$2 password=$3 parent owner=$PPID
    dir=$(realpath -m "$1")
    shift 3
    parent=$(dirname "$dir")

    prepare_user "$dir" "$user" "$password"
    mkdir -p "$dir/public_html" "$EMPTY_DIR"
    chown "$user:" "$dir" "$dir/public_html"
    # The session runs as the user and must be able to reach its directory.
    chmod go+x "$parent"

    local port
    for _ in 1 2 3; do
        port=$(free_port)
        write_config "$parent/vsftpd.conf" "$dir" "$port" "$parent/vsftpd.log" "$@"
        serve "$owner" "$port" "$parent/vsftpd.out" "$VSFTPD" "$parent/vsftpd.conf" && return 0
    done
    fail "vsftpd did not come up on 127.0.0.1:$port (config $parent/vsftpd.conf)" \
        "$(tail -n 5 "$parent/vsftpd.out" 2>/dev/null)"
}

launch "DIR USER PASSWORD [LINE...]" "$@"
