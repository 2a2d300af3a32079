#!/usr/bin/env bash
# A staged install (DESTDIR) of the build tree: the files and their links, no
# set-user-id bit, the program under each name, the manual page's lint and the
# completion. A relative database path is refused, and every script answers
# --help; as root, scripts/install runs into a folder of its own.
set -euo pipefail
cmake=$1 build=$2 stage=$3 version=$4 db_path=$5 source=$6 work=$7
fail() { echo "FAIL: $*" >&2; exit 1; }
mkdir -p "$work"

rm -rf "$stage"
DESTDIR=$stage "$cmake" --install "$build" --prefix /usr/local >/dev/null
root=$stage/usr/local
# A regular file and relative links to it.
check_links() {
    local dir=$root/$1 target=$2
    shift 2
    [[ -f $dir/$target && ! -L $dir/$target ]] || fail "$dir/$target is missing"
    for name; do
        [[ $(readlink "$dir/$name") == "$target" ]] || fail "$dir/$name is no link to $target"
    done
}
# A program of an empty main, linked as the program is: the linker marks a
# program for IBT and SHSTK only when every object in it is marked, the C
# library's start files included, which Debian 12's are not.
cet_mark='x86 feature: IBT, SHSTK' probe=$work/probe
"$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")" -fcf-protection -fPIE -pie \
    -x c++ -o "$probe" - <<<'int main() {}' || fail "the probe for IBT and SHSTK"
probe_notes=$(readelf -nW "$probe") || fail "readelf $probe"
grep -qF "$cet_mark" <<<"$probe_notes" ||
    echo "the C library's start files are not marked for IBT and SHSTK: no program is"
# PIE, full RELRO, fortified calls and the stack protector, whoever built it;
# every object of its own code built for IBT and SHSTK (in build tree $2), and
# the program marked so wherever the probe is.
check_hardened() {
    local elf notes
    elf=$(readelf -hdlnW --dyn-syms "$1") || fail "readelf $1"
    for mark in 'DYN (Position-Independent' GNU_RELRO BIND_NOW __stack_chk_fail _chk@; do
        grep -qF "$mark" <<<"$elf" || fail "$1 is not hardened: no $mark"
    done
    notes=$(readelf -nW "$2"/CMakeFiles/ztolmark.dir/src/*.o "$2"/libtolmark_core.a) ||
        fail "readelf of the objects in $2"
    (($(grep -c '^File: ' <<<"$notes") == $(grep -cF "$cet_mark" <<<"$notes"))) ||
        fail "objects of $1 not built for IBT and SHSTK"
    ! grep -qF "$cet_mark" <<<"$probe_notes" || grep -qF "$cet_mark" <<<"$elf" ||
        fail "$1 is not marked for IBT and SHSTK"
}
check_links bin ztolmark zvestmark zcrantmark
check_hardened "$root/bin/ztolmark" "$build"
check_links share/man/man8 ztolmark.8 zvestmark.8 zcrantmark.8
check_links share/bash-completion/completions ztolmark zvestmark zcrantmark
[[ -z $(find "$stage" -perm /6000) ]] || fail "a set-user-id or set-group-id file"
for name in ztolmark zvestmark zcrantmark; do
    [[ $("$root/bin/$name" -version) == "$root/bin/$name v$version" ]] || fail "$name -version"
done

man=$root/share/man/man8/ztolmark.8
grep -qF "$db_path.db" "$man" || fail "the manual page does not name $db_path.db"
for lint in "groff -man -ww -z" "mandoc -T lint -W warning"; do
    tool=${lint%% *}
    if ! command -v "$tool" >/dev/null; then
        echo "$tool is not installed: its check of the manual page is skipped"
    elif ! out=$($lint "$man" 2>&1) || [[ -n $out ]]; then
        fail "$tool: $out"
    fi
done

completion=/usr/share/bash-completion/bash_completion
if [[ -f $completion ]]; then
    complete_line() {
        bash -c 'source "$1"; source "$2"; read -ra COMP_WORDS <<<"$3"; COMP_LINE=$3
            COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMP_POINT=${#COMP_LINE}
            _ztolmark "${COMP_WORDS[0]}"; echo "${COMPREPLY[*]}"' _ "$completion" \
            "$root/share/bash-completion/completions/zvestmark" "$1" 2>&1
    }
    # Stand-ins for the program: zvestmark lists entries, one of them named
    # with a line end, and finds each alone; ztolmark complains, then hangs
    # before it lists one.
    fake=$work/fake
    mkdir -p "$fake"
    printf '%s\n' '#!/bin/sh' 'names="ghost roamer long-name-of-a-mailbox"' \
        '[ "$*" = "-list ALL" ] || case " $names " in *" $2 "*) exit 0 ;; *) exit 1 ;; esac' \
        'printf "%-16s: %-4s %s\n" ghost APOP "" roamer "" SCRAM long-name-of-a-mailbox APOP SCRAM \
            "x
root" APOP ""' >"$fake/zvestmark"
    printf '%s\n' '#!/bin/sh' 'echo no database >&2' 'sleep 4' 'echo "rover           : APOP "' \
        >"$fake/ztolmark"
    chmod +x "$fake/zvestmark" "$fake/ztolmark"
    export PATH=$fake:$PATH
    [[ $(complete_line "zvestmark -li") == -list ]] || fail "completion of -li"
    [[ $(complete_line "zvestmark -list AL") == ALL ]] || fail "completion after -list"
    if [[ $(id -u) -eq 0 ]]; then
        # The database's names; the login names too after -user.
        for row in "-delete gh=ghost" "-delete long=long-name-of-a-mailbox" "-delete ro=roamer" \
            "-list r=roamer" "-user ro=roamer root*"; do
            line="zvestmark ${row%%=*}"
            # shellcheck disable=SC2053 # the expected words may end in a pattern
            [[ $(complete_line "$line") == ${row#*=} ]] ||
                fail "completion of $line: $(complete_line "$line")"
        done
        [[ $(complete_line "ztolmark -delete ro") == "$(compgen -u ro | xargs)" ]] ||
            fail "completion when the listing fails: $(complete_line "ztolmark -delete ro")"
    else
        echo "not root: the completion of the database's names is not checked"
    fi
else
    echo "bash-completion is not installed: the completion check is skipped"
fi

if out=$("$cmake" -S "$source" -B "$work/relative" -DTOLMARK_TESTS=OFF \
    -DTOLMARK_DB_PATH=rel/tol.mark 2>&1); then
    fail "a relative TOLMARK_DB_PATH was configured"
fi
grep -q TOLMARK_DB_PATH <<<"$out" || fail "the configure error names no option: $out"

# Every script answers -h and --help with its usage alone, and refuses an
# unknown option; none of them starts its work for either.
for script in "$source"/scripts/*; do
    name=scripts/${script##*/}
    for word in -h --help; do
        if ! out=$(timeout 30 "$script" "$word" 2>&1) || [[ $out != "usage: $name"* ]]; then
            fail "$name $word: $out"
        fi
    done
    status=0
    timeout 30 "$script" --no-such-option >/dev/null 2>&1 || status=$?
    ((status == 2)) || fail "$name --no-such-option: status $status"
done

# scripts/install, twice under umask 000: refused first, as pop cannot search
# the folder where the database would be, then into that folder opened.
if [[ $(id -u) -eq 0 ]]; then
    rm -rf "$work/refused"
    "$source/scripts/install" --build-dir "$work/refused" --db-path rel/tol.mark 2>"$work/err" &&
        fail "scripts/install took a relative --db-path"
    [[ ! -e $work/refused && $(wc -l <"$work/err") -eq 1 ]] ||
        fail "relative --db-path: not refused at once"
    installer=("$source/scripts/install" --build-dir "$work/installer")
    top=$(mktemp -d /tmp/tolmark-install.XXXXXX) # 0700
    trap 'rm -rf "$top"' EXIT
    run_install() {
        (umask 000 && "${installer[@]}" --prefix "$top/prefix" --db-path "$top/db/tol.mark") \
            >"$work/log" 2>"$work/err"
    }
    run_install && fail "scripts/install went on although pop cannot reach $top"
    [[ ! -e $top/prefix && ! -e $top/db && $(wc -l <"$work/err") -eq 1 ]] ||
        fail "not refused before anything was installed: $(cat "$work/err")"
    chmod 0775 "$top" # root's group may write it: a warning, no refusal
    run_install || { cat "$work/log" "$work/err" >&2; fail "scripts/install"; }
    grep -qF "warning: $top is writable" "$work/err" || fail "no warning of $top"
    ! grep -qF "warning: $top/" "$work/err" || fail "a warning of $top/db: $(cat "$work/err")"
    for dir in prefix prefix/bin prefix/share/bash-completion/completions db; do
        [[ $(stat -c %a "$top/$dir") == 755 ]] || fail "$dir: mode $(stat -c %a "$top/$dir")"
    done
    [[ $(stat -c '%U %a' "$top/prefix/bin/ztolmark") == "pop 4711" ]] || fail "not set-user-id pop"
    # A database older than its journal gets one when installed again.
    rm "$top/db/tol.mark.journal"
    run_install || { cat "$work/log" "$work/err" >&2; fail "scripts/install, run again"; }
    [[ $(stat -c '%U %a' "$top/db/tol.mark.journal") == "pop 600" ]] || fail "no journal of pop's"
    check_hardened "$top/prefix/bin/ztolmark" "$work/installer"

    # The manual's salvage of a damaged database, then its restore: all of the
    # entries come back whole but those of the damaged page, and no name with
    # another's record.
    example() { # the example of the installed manual that holds $1
        groff -man -Tascii -P-cbu "$top/prefix/share/man/man8/ztolmark.8" | awk -v want="$1" '
            /^              / { block = block substr($0, 15) "\n"; next }
            { if (index(block, want)) printf "%s", block; block = "" }' | sed "s|/root/|$top/|g"
    }
    awk 'function hex(s, i, h) { for (i = 1; i <= length(s); i++) h = h "3" substr(s, i, 1); return h }
        BEGIN { print "VERSION=3"; print "format=bytevalue"; print "type=hash"; print "HEADER=END"
            for (i = 100; i < 400; i++) { print " 75736572" hex(i) "00"; print " 73" hex(i) "0000" }
            print "DATA=END" }' >"$work/entries.dump"
    db=$top/db/tol.mark.db
    db_load "$db" <"$work/entries.dump" || fail "db_load of the entries"
    dd if=/dev/zero of="$db" bs=1 seek=$((4096 + 64)) count=64 conv=notrunc status=none
    bash -c "$(example 'db_dump -r')" 2>/dev/null || true # what it kept is checked below
    bash -c "$(example 'db_load $new')" || fail "the restore: $(example 'db_load $new')"
    db_dump "$db" | awk 'FNR == 1 { k = "" } !/^ / { next } k == "" { k = $1; next }
        NR == FNR { want[k] = $1; k = ""; next } { wrong += want[k] != $1; kept++; k = "" }
        END { exit !(wrong == 0 && kept >= 300 - 40) }' "$work/entries.dump" - ||
        fail "the salvage kept wrong or too few entries: $(db_dump "$db" | head -n 20)"
    "${installer[@]}" --uninstall --prefix "$top/other" >/dev/null 2>&1 &&
        fail "uninstalled under a prefix that it did not install to"
    [[ -e $top/prefix/bin/ztolmark ]] || fail "--uninstall --prefix $top/other removed the program"
    "${installer[@]}" --uninstall --prefix "$top/prefix" >/dev/null
    [[ ! -e $top/prefix/bin/ztolmark ]] || fail "scripts/install --uninstall left the program"
else
    echo "not root: scripts/install is not run"
fi
echo "staged install: all checks passed"
