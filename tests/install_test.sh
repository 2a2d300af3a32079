#!/usr/bin/env bash
# A staged install (DESTDIR) of the build tree: the files and their links, no
# set-user-id bit, the program under each name, the manual page's lint and the
# completion.
set -euo pipefail
cmake=$1 build=$2 stage=$3 version=$4 db_path=$5
fail() { echo "FAIL: $*" >&2; exit 1; }

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
check_links bin ztolmark zvestmark zcrantmark
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
            _ztolmark; echo "${COMPREPLY[*]}"' _ "$completion" \
            "$root/share/bash-completion/completions/zvestmark" "$1"
    }
    [[ $(complete_line "zvestmark -li") == -list ]] || fail "completion of -li"
    [[ $(complete_line "ztolmark -list AL") == ALL ]] || fail "completion after -list"
else
    echo "bash-completion is not installed: the completion check is skipped"
fi
echo "staged install: all checks passed"
