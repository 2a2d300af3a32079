#!/usr/bin/env bash
# scripts/package: the package's files, control fields and maintainer scripts.
set -euo pipefail
source_dir=$1 work=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
if ! command -v dpkg-deb >/dev/null; then
    echo "dpkg-deb is not installed: the package check is skipped"
    exit 77
fi

rm -rf "$work"
deb=$("$source_dir/scripts/package" --build-dir "$work/build" 2>"$work.log") ||
    { cat "$work.log" >&2; fail "scripts/package"; }
contents=$(dpkg-deb -c "$deb" | awk '{ print $1 " " $2 " " $6 ($7 ? " " $7 " " $8 : "") }')
for line in "-rwxr-xr-x root/root ./usr/bin/ztolmark" \
    "lrwxrwxrwx root/root ./usr/bin/zvestmark -> ztolmark" \
    "lrwxrwxrwx root/root ./usr/bin/zcrantmark -> ztolmark" \
    "-rw-r--r-- root/root ./usr/share/man/man8/ztolmark.8" \
    "lrwxrwxrwx root/root ./usr/share/man/man8/zvestmark.8 -> ztolmark.8" \
    "-rw-r--r-- root/root ./usr/share/bash-completion/completions/ztolmark" \
    "lrwxrwxrwx root/root ./usr/share/bash-completion/completions/zcrantmark -> ztolmark" \
    "drwxr-xr-x root/root ./etc/zantrel/"; do
    grep -qxF -- "$line" <<<"$contents" || fail "not in the package: $line"
done
! grep -q -e '^[^ ]*[sS]' -e 'tol\.mark' -e '/usr/local' <<<"$contents" ||
    fail "a set-user-id file, a database or a path under /usr/local in the package"

info=$(dpkg-deb -I "$deb")
for field in "Package: tolmark" "Version: [0-9.]+" "Depends: .*libdb5\.3" "Depends: .*libc6" \
    "Depends: .*passwd" "Section: admin"; do
    grep -qE "^ $field" <<<"$info" || fail "control field $field"
done
dpkg-deb -e "$deb" "$work/control"
for script in postinst postrm; do sh -n "$work/control/$script" || fail "$script does not parse"; done
grep -q 'useradd --system' "$work/control/postinst" || fail "postinst makes no pop account"
grep -q 'dpkg-statoverride --update --add pop root 4711 /usr/bin/ztolmark' \
    "$work/control/postinst" || fail "postinst registers no set-user-id mode"
grep -q 'dpkg-statoverride --remove /usr/bin/ztolmark' "$work/control/postrm" ||
    fail "postrm keeps the set-user-id mode on purge"
! sed '/^ *#/d' "$work"/control/post* | grep -q -e 'tol\.mark' -e ' -init' ||
    fail "a maintainer script touches the database"
echo "package $deb: all checks passed"
