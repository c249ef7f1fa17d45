#!/bin/bash
# Finishes what an interrupted test left half done in the dpkg database and
# purges every test package ("twk-test-*", and a dummy store client that
# carries the tests' mark, never a real one). Exits non-zero only when dpkg
# itself cannot be used or a test package cannot be purged.
set -u
export DEBIAN_FRONTEND=noninteractive

# Fails for a broken test package, which the purge below removes anyway.
timeout 120 dpkg --configure -a </dev/null || true

packages=$(dpkg-query -W -f='${db:Status-Status} ${Package}\n' 'twk-test-*' 2>/dev/null)
case $? in
    0 | 1) ;; # 1: no test package known
    *) echo "dpkg-tidy: dpkg-query failed" >&2; exit 1 ;;
esac
packages=$(awk '$1 != "not-installed" { print $2 }' <<<"$packages")
dummy=$(dpkg-query -W -f='${db:Status-Status} ${XB-Tarnwick-Test-Dummy}\n' velkor-app-store 2>/dev/null)
if [ "${dummy%% *}" != "not-installed" ] && [ "${dummy#* }" = "yes" ]; then
    packages="$packages velkor-app-store"
fi
packages=$(xargs <<<"$packages")
[ -z "$packages" ] && exit 0

# shellcheck disable=SC2086 # one package name a word
timeout 120 dpkg --purge --force-remove-reinstreq --force-depends $packages </dev/null || {
    echo "dpkg-tidy: cannot purge" $packages >&2
    exit 1
}
