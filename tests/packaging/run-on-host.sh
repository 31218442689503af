#!/usr/bin/env bash
# run-on-host.sh ARCH COMMAND...: runs COMMAND where this host can run ARCH's
# programs; elsewhere says so and exits 77, which CTest counts as skipped.
set -u
arch=$1; shift
source "$(dirname "$(readlink -f "$0")")/../harness/host.sh"
case " $(host_arches) " in
  *" $arch "*) exec "$@" ;;
esac
echo "skipped: this host cannot run $arch programs (no IA-32 support in its kernel);" \
     "the $arch package is built and its tables are checked, but not installed here"
exit 77
