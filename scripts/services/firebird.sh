#!/usr/bin/env bash
# The Firebird 3 server the HerdMetrix tests talk to.  Usage: firebird.sh start|stop|status
# Installs the server when it is missing; SYSDBA's password is "kelpmoira".
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
FB_PASS=${FB_PASS:-kelpmoira}
FB_INIT=/etc/init.d/firebird3.0
SEC_DB=/var/lib/firebird/3.0/system/security3.fdb
PID_FILE=/run/firebird3.0/firebird.pid

install_server() {
    if dpkg-query -W -f='${Status}' firebird3.0-server 2>/dev/null | grep -q "install ok installed" &&
        dpkg-query -W -f='${Status}' firebird3.0-utils 2>/dev/null | grep -q "install ok installed"; then
        return 0
    fi
    # The preseed makes the package set the SYSDBA password itself.
    echo "firebird3.0-server shared/firebird/sysdba_password/first_install password $FB_PASS" | debconf-set-selections
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends firebird3.0-server firebird3.0-utils libqt5sql5-ibase >/dev/null
}

server_ok() {
    fbsvcmgr localhost:service_mgr -user SYSDBA -password "$FB_PASS" info_server_version >/dev/null 2>&1
}

set_password_embedded() { # only while the server is stopped
    echo "create or alter user SYSDBA password '$FB_PASS'; commit;" |
        runuser -u firebird -- isql-fb -q -user SYSDBA "$SEC_DB" >/dev/null
}

start() {
    install_server
    install -d -o firebird -g firebird -m 0770 /tmp/firebird
    if "$FB_INIT" status >/dev/null 2>&1; then
        # A running server may be serving other tests: a slow answer on a busy machine is no
        # reason to restart it under them.
        for _ in $(seq 1 5); do
            server_ok && return 0
            sleep 1
        done
        "$FB_INIT" stop >/dev/null 2>&1 || true
    fi
    set_password_embedded
    "$FB_INIT" start >/dev/null
    for _ in $(seq 1 300); do
        server_ok && return 0
        sleep 0.1
    done
    echo "the Firebird server did not come up" >&2
    return 1
}

running() { # the process lives and is no zombie
    [ -n "$1" ] && [ -r "/proc/$1/status" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status"
}

stop() {
    local guard server p
    guard=$(pidof /usr/sbin/fbguard || true)
    server=$(cat "$PID_FILE" 2>/dev/null || true)
    running "$server" || server=$(pidof /usr/sbin/firebird || true)
    # The guard restarts a server that goes away: it goes first. A server just started may let
    # TERM pass unheeded, so KILL follows after three seconds.
    for p in $guard $server; do kill -TERM "$p" 2>/dev/null || true; done
    for _ in $(seq 1 30); do
        local alive=""
        for p in $guard $server; do running "$p" && alive=1; done
        [ -z "$alive" ] && break
        sleep 0.1
    done
    for p in $guard $server; do running "$p" && kill -KILL "$p" 2>/dev/null || true; done
    for _ in $(seq 1 50); do
        local alive=""
        for p in $guard $server; do running "$p" && alive=1; done
        [ -z "$alive" ] && break
        sleep 0.1
    done
    rm -f "$PID_FILE"
    if server_ok; then
        echo "the Firebird server did not stop" >&2
        return 1
    fi
}

case "${1:-}" in
start) start ;;
stop) stop ;;
status) server_ok ;;
*)
    echo "usage: $0 start|stop|status" >&2
    exit 2
    ;;
esac
