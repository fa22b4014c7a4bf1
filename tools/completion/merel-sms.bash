# Bash completion for merel-sms: commands, options, the --mode values and the serial devices
# for --port. Install as /usr/share/bash-completion/completions/merel-sms, or source it.

_merel_sms() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=""
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    local commands="send status settings configure ports test-port init"
    local globals="--json --timeout --quiet --verbose --system --help --version"

    # The command is the first word that is neither an option nor the value of --timeout.
    local command="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            --timeout) ((i++)) ;;
            -*) ;;
            *) command=${COMP_WORDS[i]}; break ;;
        esac
    done

    local IFS=$'\n'
    case $prev in
        --mode)
            local modes="auto text pdu"
            [ "$command" = configure ] && modes="text pdu"
            COMPREPLY=($(IFS=' ' compgen -W "$modes" -- "$cur"))
            return
            ;;
        --port)
            # Serial devices first; a path elsewhere (a pseudo terminal's link) completes as a file.
            if [[ /dev/tty == "$cur"* || $cur == /dev/tty* ]]; then
                COMPREPLY=($(compgen -G "${cur:-/dev/tty}*"))
            else
                COMPREPLY=($(compgen -f -- "$cur"))
            fi
            return
            ;;
        --timeout | --baud)
            COMPREPLY=()
            return
            ;;
    esac

    local words
    case $command in
        "") if [[ $cur == -* ]]; then words=$globals; else words=$commands; fi ;;
        send) words="--mode --help" ;;
        configure) words="--port --baud --mode --help" ;;
        *) words="--help" ;;
    esac
    COMPREPLY=($(IFS=' ' compgen -W "$words" -- "$cur"))
}
complete -F _merel_sms merel-sms
