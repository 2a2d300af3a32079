#!/usr/bin/env bash
# scripts/package: the package's files, control fields and maintainer scripts,
# and lintian's verdict where lintian is installed.
set -euo pipefail
source_dir=$1 work=$2 version=$3
fail() { echo "FAIL: $*" >&2; exit 1; }
if ! command -v dpkg-deb >/dev/null; then
    echo "dpkg-deb is not installed: the package check is skipped"
    exit 77
fi

rm -rf "$work"
"$source_dir/scripts/package" --db-path rel/tol.mark --build-dir "$work/rel" 2>"$work.log" &&
    fail "scripts/package took a relative --db-path"
[[ ! -e $work/rel && $(wc -l <"$work.log") -eq 1 ]] || fail "relative --db-path: not refused at once"
# A umask that would leave the package's folders closed to other users.
deb=$(umask 077 && "$source_dir/scripts/package" --build-dir "$work/build" 2>"$work.log") ||
    { cat "$work.log" >&2; fail "scripts/package"; }
contents=$(dpkg-deb -c "$deb" | awk '{ print $1 " " $2 " " $6 ($7 ? " " $7 " " $8 : "") }')
for line in "-rwxr-xr-x root/root ./usr/bin/ztolmark" \
    "lrwxrwxrwx root/root ./usr/bin/zvestmark -> ztolmark" \
    "lrwxrwxrwx root/root ./usr/bin/zcrantmark -> ztolmark" \
    "-rw-r--r-- root/root ./usr/share/man/man8/ztolmark.8.gz" \
    "lrwxrwxrwx root/root ./usr/share/man/man8/zvestmark.8.gz -> ztolmark.8.gz" \
    "-rw-r--r-- root/root ./usr/share/bash-completion/completions/ztolmark" \
    "lrwxrwxrwx root/root ./usr/share/bash-completion/completions/zcrantmark -> ztolmark" \
    "-rw-r--r-- root/root ./usr/share/doc/tolmark/copyright" \
    "-rw-r--r-- root/root ./usr/share/doc/tolmark/changelog.gz" \
    "drwxr-xr-x root/root ./etc/zantrel/"; do
    grep -qxF -- "$line" <<<"$contents" || fail "not in the package: $line"
done
! grep -q -e '^[^ ]*[sS]' -e 'tol\.mark' -e '/usr/local' -e '\.8$' <<<"$contents" ||
    fail "a set-user-id file, a database, a path under /usr/local or a plain manual page"
! grep '^d' <<<"$contents" | grep -v '^drwxr-xr-x ' || fail "a folder not 0755"

info=$(dpkg-deb -I "$deb")
for field in "Package: tolmark" "Depends: .*libdb5\.3" "Depends: .*libc6" \
    "Depends: .*passwd" "Section: admin"; do
    grep -qE "^ $field" <<<"$info" || fail "control field $field"
done
grep -qxF " Version: $version" <<<"$info" || fail "the package's version is not $version"
dpkg-deb -x "$deb" "$work/root"
doc=$work/root/usr/share/doc/tolmark
[[ $(zcat "$doc/changelog.gz" | head -n 1) == "tolmark ($version) "* ]] ||
    fail "the changelog's latest entry is not $version"
grep -qx 'License: BSD-2-clause' "$doc/copyright" || fail "the copyright file names no licence"
# grep reads it all: with pipefail, zcat cut off by an early match would fail the check.
zcat "$work/root/usr/share/man/man8/ztolmark.8.gz" | grep -F /etc/zantrel/tol.mark.db >/dev/null ||
    fail "the compressed manual page does not name the database"
dpkg-deb -e "$deb" "$work/control"
for script in postinst postrm; do sh -n "$work/control/$script" || fail "$script does not parse"; done
grep -q 'useradd --system' "$work/control/postinst" || fail "postinst makes no pop account"
grep -q 'dpkg-statoverride --update --add pop root 4711 /usr/bin/ztolmark' \
    "$work/control/postinst" || fail "postinst registers no set-user-id mode"
grep -q 'dpkg-statoverride --remove /usr/bin/ztolmark' "$work/control/postrm" ||
    fail "postrm keeps the set-user-id mode on purge"
! sed '/^ *#/d' "$work"/control/post* | grep -q -e 'tol\.mark' -e ' -init' ||
    fail "a maintainer script touches the database"

if command -v lintian >/dev/null; then
    lint=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian: $lint"
else
    echo "lintian is not installed: its check of the package is skipped"
fi
echo "package $deb: all checks passed"
