# shellcheck shell=bash
# Shared by the server launchers for the tests: messages, ports and
# processes. Each launcher sets LAUNCHER to its own name before sourcing.

skip() {
    echo "$LAUNCHER: $*" >&2
    exit 77
}

fail() {
    echo "$LAUNCHER: $*" >&2
    exit 1
}

# A free port on 127.0.0.1, or $HARLUNE_SERVER_PORT where set: a server
# started again where it listened before.
free_port() {
    if [ -n "${HARLUNE_SERVER_PORT:-}" ]; then
        echo "$HARLUNE_SERVER_PORT"
        return
    fi
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# True once something listens on 127.0.0.1:$1, checked without connecting so
# that the probe leaves no session in a server's log.
listening() {
    local hex
    hex=$(printf '%04X' "$1")
    grep -q "^ *[0-9]*: 0100007F:$hex 00000000:0000 0A " /proc/net/tcp
}

# The throwaway system user the servers log in, with its home at $1. Tests
# running side by side may share the one user: the account files are
# edited in turn.
prepare_user() {
    (
        flock 9
        prepare_user_locked "$@"
    ) 9>/tmp/harlune-vsftpd.lock
}

prepare_user_locked() {
    local dir=$1 user=$2 password=$3
    grep -qx /bin/sh /etc/shells || echo /bin/sh >>/etc/shells
    if ! id -u "$user" >/dev/null 2>&1; then
        useradd --no-create-home --home-dir "$dir" --shell /bin/sh "$user" ||
            fail "cannot create user $user"
    elif [ "$(getent passwd "$user" | cut -d: -f6)" != "$dir" ]; then
        # Left from an earlier run: the servers log the user into its home.
        usermod --home "$dir" --shell /bin/sh "$user" || fail "cannot move $user to $dir"
    fi
    echo "$user:$password" | chpasswd
    if [ -f /etc/ftpusers ] && grep -qx "$user" /etc/ftpusers; then
        sed -i "/^$user\$/d" /etc/ftpusers
    fi
}

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

# Stops a server and everything it started; a session busy with a transfer
# may sit on SIGTERM, so it gets one second.
stop_tree() {
    local pids
    pids=$(process_tree "$1")
    # shellcheck disable=SC2086
    kill -TERM $pids 2>/dev/null || true
    for _ in $(seq 10); do
        # shellcheck disable=SC2086
        any_alive $pids || return 0
        sleep 0.1
    done
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null || true
}

# Runs a server command in a session of its own, to be stopped once $1 (the
# process that ran "start") has gone, and waits up to 5 s for it to listen
# on 127.0.0.1:$2; its output goes to $3. Prints "PORT" and "PID" once it
# listens; returns 1, the server ended, when it does not (most likely the
# port was taken in the meantime: the caller tries another).
#
# With HARLUNE_SERVER_TLS_MAX set (to 1.2), the server's OpenSSL offers no
# newer TLS: the system-wide default, set by a configuration file of its own.
serve() {
    local owner=$1 port=$2 log=$3 pid tries=0
    shift 3
    if [ -n "${HARLUNE_SERVER_TLS_MAX:-}" ]; then
        local conf
        conf="$(dirname "$log")/openssl-tls-max.cnf"
        cat >"$conf" <<EOF
openssl_conf = default_conf
[default_conf]
ssl_conf = ssl_sect
[ssl_sect]
system_default = system_default_sect
[system_default_sect]
MaxProtocol = TLSv$HARLUNE_SERVER_TLS_MAX
EOF
        set -- env OPENSSL_CONF="$conf" "$@"
    fi
    setsid "$@" </dev/null >>"$log" 2>&1 &
    pid=$!
    (
        while any_alive "$pid" && any_alive "$owner"; do
            sleep 1
        done
        stop_tree "$pid"
    ) </dev/null >/dev/null 2>&1 &
    while any_alive "$pid" && ! listening "$port" && [ $tries -lt 50 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    if any_alive "$pid" && listening "$port"; then
        echo "PORT $port"
        echo "PID $pid"
        return 0
    fi
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    return 1
}

# What every launcher takes: "start ..." for its own start function, or
# "stop PID". $1 is the usage of start's arguments.
launch() {
    local usage="usage: $LAUNCHER start $1 | stop PID"
    shift
    case "${1:-}" in
    start) shift; start "$@" ;;
    stop) [ $# -eq 2 ] || fail "$usage"; stop_tree "$2" ;;
    *) fail "$usage" ;;
    esac
}
