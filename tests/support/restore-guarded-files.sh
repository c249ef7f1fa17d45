#!/bin/bash
# Puts back what the file guards of tests that never came to their end
# (killed at their time-out, crashed) had saved, from the records they keep
# (system_file_guard.h). A record whose guard's process still lives holds its
# lock and is left alone. Exits non-zero when a record cannot be put back;
# with --strict (after the suite) also when there was anything to put back,
# and the paths are printed.
set -u
records=${TWK_GUARD_RECORDS:-/var/tmp/tarnwick-daemon-test-guards}
strict=0
[ "${1:-}" = --strict ] && strict=1
[ -d "$records" ] || exit 0
status=0
left=()

# Put back path by path, the record kept unless all of it came back.
restore_record() {
    local record=$1 backup path ok=0
    while read -r backup path; do
        left+=("$path")
        rm -rf -- "$path" || ok=1
        if [ "$backup" != - ]; then
            cp -a --no-target-directory -- "$record/$backup" "$path" || ok=1
        fi
    done <"$record/manifest"
    return $ok
}

# Newest first: of guards nested over one path, the oldest copy is what was
# there before them all. Hidden ones are still being made.
while IFS= read -r name; do
    record=$records/$name
    [ -f "$record/lock" ] || continue
    flock -n "$record/lock" true || continue
    if [ -f "$record/manifest" ] && ! restore_record "$record"; then
        echo "restore-guarded-files: cannot put back all of $record" >&2
        status=1
        continue
    fi
    rm -rf -- "$record"
done < <(find "$records" -mindepth 1 -maxdepth 1 -type d ! -name '.*' -printf '%f\n' | sort -r)

[ "$status" -ne 0 ] && exit "$status"
if [ "$strict" = 1 ] && [ ${#left[@]} -gt 0 ]; then
    printf 'restore-guarded-files: put back what a test that did not end had guarded: %s\n' "${left[@]}" >&2
    exit 1
fi
exit 0
