#!/bin/sh
# Installs every Debian package the build and the tests need, and nothing
# twice: packages already present are skipped, so running it again is cheap.
set -eu

PACKAGES="
cmake g++ make pkg-config
libssl-dev zlib1g-dev libpcre2-dev libtinyxml2-dev libntlm0-dev libldap-dev
libpam0g-dev libgd-dev
libgtest-dev googletest libbenchmark-dev
python3 python3-pytest curl gzip gdb
openssl ca-certificates
tzdata
db-util libpam-modules passwd
dante-server
slapd ldap-utils
clang libclang-rt-14-dev
vsftpd python3-pyftpdlib
squid
nginx-light wrk
chromium chromium-driver python3-selenium
c-icap
clamav-daemon
dnsmasq-base
"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    echo "installing:$missing"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
    # The directory tests start slapd servers of their own; a system slapd
    # the package may have started is not wanted.
    case "$missing" in
    *" slapd"*) $SUDO invoke-rc.d slapd stop >/dev/null 2>&1 || true ;;
    esac
fi

# dante-server is only a peer for the SOCKS tests, which start their own
# instance on loopback: the system service its package may start is stopped.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet danted 2>/dev/null; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO systemctl stop danted || true
    $SUDO systemctl disable danted >/dev/null 2>&1 || true
elif [ -x /etc/init.d/danted ] && start-stop-daemon --status --pidfile /var/run/danted.pid \
        --exec /usr/sbin/danted 2>/dev/null; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO /etc/init.d/danted stop || true
fi

# squid is only a peer for the parent-proxy and ICP tests, which start their
# own instances on loopback: the system service its package starts is stopped.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet squid 2>/dev/null; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO systemctl stop squid || true
    $SUDO systemctl disable squid >/dev/null 2>&1 || true
elif [ -x /etc/init.d/squid ] && start-stop-daemon --status --pidfile /run/squid.pid \
        --exec /usr/sbin/squid 2>/dev/null; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO /etc/init.d/squid stop || true
fi

# c-icap is only a peer for the ICAP client tests, which start their own
# server on loopback: the system service its package may start is stopped.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet c-icap 2>/dev/null; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO systemctl stop c-icap || true
    $SUDO systemctl disable c-icap >/dev/null 2>&1 || true
elif [ -x /etc/init.d/c-icap ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO /etc/init.d/c-icap stop >/dev/null 2>&1 || true
fi
# clamav-daemon is only a peer for the antivirus tests, which start their own
# clamd on loopback with a one-line signature database: the system clamd and
# freshclam (which would try to download databases) are stopped and disabled.
for service in clamav-daemon clamav-freshclam; do
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
        if systemctl is-active --quiet "$service" 2>/dev/null; then
            $SUDO systemctl stop "$service" || true
        fi
        if systemctl is-enabled --quiet "$service" 2>/dev/null; then
            $SUDO systemctl disable "$service" >/dev/null 2>&1 || true
        fi
    elif [ -x "/etc/init.d/$service" ]; then
        $SUDO "/etc/init.d/$service" stop >/dev/null 2>&1 || true
        $SUDO update-rc.d "$service" disable >/dev/null 2>&1 || true
    fi
done
