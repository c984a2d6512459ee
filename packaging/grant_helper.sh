#!/bin/sh
# Lets the members of the group "sondrel" capture through this copy of the
# capture helper, as the Debian package does for the installed one: the
# group (made when missing), root:sondrel, mode 0750, and the capabilities
# capture and owner discovery need, permitted but not effective. The window
# gets none. Run as root:  grant_helper.sh PATH/TO/sondrel-probe
set -eu

[ $# -eq 1 ] || { echo "usage: $0 PATH/TO/sondrel-probe" >&2; exit 2; }
helper=$1
group=sondrel
capabilities=cap_net_raw,cap_dac_read_search,cap_sys_ptrace,cap_bpf,cap_perfmon+p

[ "$(id -u)" = 0 ] || { echo "$0: run as root" >&2; exit 1; }
# Capabilities go to the capture helper alone, never to the window.
case "$helper" in
    sondrel-probe | */sondrel-probe) ;;
    *) echo "$0: $helper is not the capture helper sondrel-probe" >&2; exit 2 ;;
esac
[ -f "$helper" ] || { echo "$0: $helper not found (build first)" >&2; exit 1; }
getent group "$group" >/dev/null || groupadd --system "$group"
chown root:"$group" "$helper"
chmod 0750 "$helper"
setcap "$capabilities" "$helper"
echo "Members of the group \"$group\" may now capture with $helper (join: adduser \$USER $group, then log in again)."
