# shellcheck shell=bash
# Bash completion for tandro and vfsmake: options, their letters, driver
# prefixes (dox: ...), the options a prefix takes (recfm=, codepage= with the
# code pages iconv knows ...) and file names after the prefix's colon.
#
# Readline splits words at the characters of COMP_WORDBREAKS, ":" and "="
# among them, so "dox,recfm=vb:da" reaches us in pieces. The whole word is
# taken from the line instead, completed, and each candidate is handed back
# without the part readline keeps in the earlier pieces.

_tandro_drivers=(oka umb tev dox yar)
_tandro_name_options=(recfm= lrecl= blksize= varfmt= order= keypos= keylen= header noheader
    codepage= to= subst=)

# The code pages iconv knows, read once per shell.
_tandro_codepages() {
    if [ -z "${_tandro_codepage_list-}" ]; then
        _tandro_codepage_list=$(iconv -l 2>/dev/null | tr -s ', ' '\n' | sed -n 's,//$,,p')
    fi
    printf '%s\n' "$_tandro_codepage_list"
}

# The values an option of a prefix takes.
_tandro_option_values() {
    case $1 in
    recfm) printf '%s\n' f fb v vb ;;
    varfmt) printf '%s\n' 0 1 2 3 ;;
    order) printf '%s\n' le be native ;;
    codepage | to) _tandro_codepages ;;
    esac
}

# Files and directories (with a slash) that start with $1.
_tandro_paths() {
    local p
    while IFS= read -r p; do
        [ -d "${p/#\~/$HOME}" ] && p+=/
        printf '%s\n' "$p"
    done < <(compgen -f -- "$1")
}

# Candidates for a file operand: a prefix, the prefix's options, or a path.
_tandro_operand() {
    local cur=$1 head=${1%%:*} driver=${1%%[,:]*} value
    local known=" ${_tandro_drivers[*]} "
    if [[ $cur == *:* && $known == *" $driver "* ]]; then
        _tandro_paths "${cur#*:}" | sed "s|^|$head:|"
    elif [[ $cur == *,* && $known == *" $driver "* ]]; then
        value=${cur##*,}
        if [[ $value == *=* ]]; then
            _tandro_option_values "${value%%=*}" | sed "s|^|${cur%=*}=|"
        else
            printf "${cur%,*},%s\n" "${_tandro_name_options[@]}"
        fi
    else
        printf '%s:\n' "${_tandro_drivers[@]}"
        _tandro_paths "$cur"
    fi
}

# Candidates for the word after option $1 of program $2; false for a word
# that is not an option's value.
_tandro_value() {
    case $2:$1 in
    tandro:-r) printf '%s\n' f v ;;
    tandro:-o | tandro:-O) printf '%s\n' r s i ;;
    tandro:-a) printf '%s\n' r s d ;;
    tandro:-l | tandro:-b | vfsmake:-c) ;;
    vfsmake:-i) _tandro_paths "$3" ;;
    *) return 1 ;;
    esac
}

# $1 as the shell reads it back in a word, into variable $2: blanks and the
# shell's own characters escaped, as readline escapes a file name.
_tandro_quote() {
    local s=$1 out='' ch i
    for ((i = 0; i < ${#s}; i++)); do
        ch=${s:i:1}
        [[ $ch == [[:space:]\'\"\\\$\`\&\;\|\<\>\(\)\*\?\[\]\!\#\{\}] ]] && out+=\\
        out+=$ch
    done
    printf -v "$2" '%s' "$out"
}

_tandro() {
    local line=${COMP_LINE:0:COMP_POINT} prog=${COMP_WORDS[0]##*/}
    # The whole word being completed, up to the cursor (a blank escaped with
    # a backslash stays in it), and the option before it.
    local raw='' cur before
    [[ $line =~ (\\.|[^[:space:]\\])*\\?$ ]] && raw=${BASH_REMATCH[0]}
    # read without -r takes the backslashes away as the shell will.
    # shellcheck disable=SC2162
    IFS= read cur <<<"$raw" || :
    line=${line%"$raw"}
    line=${line%"${line##*[![:space:]]}"}
    before=${line##*[[:space:]]}
    local options=(-h -d -v -V -T -m -man -r -l -b -o -O -a --help --version --)
    [ "$prog" = vfsmake ] && options=(-h -i -c -x)
    local candidates
    if candidates=$(_tandro_value "$before" "$prog" "$cur"); then
        :
    elif [[ $cur == -* ]]; then
        candidates=$(printf '%s\n' "${options[@]}")
    else
        candidates=$(_tandro_operand "$cur")
    fi
    # Readline replaces only the piece after the last word break in the word;
    # a blank in the word was escaped, and breaks nothing.
    local breaks=${COMP_WORDBREAKS//[[:space:]]/} c quoted
    local piece=${cur##*["$breaks"]}
    local kept=${cur%"$piece"}
    COMPREPLY=()
    while IFS= read -r c; do
        [[ -n $c && $c == "$cur"* ]] || continue
        _tandro_quote "${c#"$kept"}" quoted
        COMPREPLY+=("$quoted")
    done <<<"$candidates"
    # A prefix, an option name, a directory or a prefix option's value goes
    # on in the same word.
    if [ ${#COMPREPLY[@]} -eq 1 ] && [[ ${COMPREPLY[0]} == *[/:=,] ||
        ($cur != *:* && $cur == *,*=*) ]]; then
        compopt -o nospace 2>/dev/null
    fi
    return 0
}

complete -F _tandro tandro vfsmake
