#!/bin/bash
# Finishes what an interrupted test left half done in the dpkg database,
# purges every test package ("twk-test-*", and a dummy store client that
# carries the tests' mark, never a real one) and removes the apt source files
# of the tests' loopback repositories. Exits non-zero when dpkg itself cannot
# be used or a test package cannot be purged; with --strict (after the suite)
# also when there was anything to tidy: a test that leaves such things behind
# is at fault, and the names are printed.
set -u
export DEBIAN_FRONTEND=noninteractive
strict=0
[ "${1:-}" = --strict ] && strict=1
left=()

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
if [ -n "$packages" ]; then
    left+=("packages: $packages")
    # shellcheck disable=SC2086 # one package name a word
    timeout 120 dpkg --purge --force-remove-reinstreq --force-remove-essential --force-depends $packages </dev/null || {
        echo "dpkg-tidy: cannot purge" $packages >&2
        exit 1
    }
fi

# A source file whose every entry is a test repository: trusted without a
# key, on the loopback address or in a temporary folder.
for list in /etc/apt/sources.list.d/*.list; do
    [ -f "$list" ] || continue
    entries=$(grep -Ev '^[[:space:]]*(#|$)' "$list")
    [ -n "$entries" ] || continue
    if ! grep -Evq '^deb \[trusted=yes\] (http://127\.0\.0\.1:[0-9]+/?|file:/tmp/[^ ]+) ' <<<"$entries"; then
        left+=("apt source: $list")
        rm -f "$list"
    fi
done

[ ${#left[@]} -eq 0 ] && exit 0
if [ "$strict" = 1 ]; then
    printf 'dpkg-tidy: a test left this behind: %s\n' "${left[@]}" >&2
    exit 1
fi
exit 0
