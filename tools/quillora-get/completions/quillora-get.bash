# bash completion for quillora-get: options, files and folders for the
# options that take them, and album names (from quillora-get --list, for the
# accounts already on the line) after --album and --match.

_quillora_get_albums() {
    # The accounts typed so far: words that are neither options nor their values.
    local i word accounts=()
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
        --input-file | --album | --match | --dest | -j | --jobs | --retries | --backoff | --max-wait | \
            --limit-rate | --min-speed | --min-speed-time | --archive | --json | --proxy | --timeout | --config | \
            --cacert)
            ((i++)) ;;
        -*) ;;
        *) accounts+=("$word") ;;
        esac
    done
    ((${#accounts[@]})) || return 0
    # A lookup is a few requests; give up rather than hang the shell.
    timeout 5 "${COMP_WORDS[0]}" --list "${accounts[@]}" 2>/dev/null | cut -f2 | grep -v '^#'
}

_quillora_get() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    case $prev in
    --dest)
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        compopt -o filenames 2>/dev/null
        return 0
        ;;
    --input-file | --archive | --json | --config | --cacert)
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        compopt -o filenames 2>/dev/null
        return 0
        ;;
    --album | --match)
        local albums
        albums=$(_quillora_get_albums)
        local IFS=$'\n'
        mapfile -t COMPREPLY < <(compgen -W "$albums" -- "$cur")
        local k
        for k in "${!COMPREPLY[@]}"; do
            COMPREPLY[k]=$(printf '%q' "${COMPREPLY[k]}")
        done
        return 0
        ;;
    -j | --jobs | --retries | --backoff | --max-wait | --limit-rate | --min-speed | --min-speed-time | \
        --proxy | --timeout)
        return 0
        ;;
    esac
    if [[ $cur == -* ]]; then
        local options="--list --input-file --album --match --dest --jobs --retries --backoff --max-wait
            --limit-rate --min-speed --min-speed-time --archive --verify --repair --refresh --checksums --gallery --no-remote-time --json
            --quiet --verbose --proxy --timeout --config --cacert --insecure --version --help -j -q -v -k -h"
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    fi
    return 0
}

complete -F _quillora_get quillora-get
