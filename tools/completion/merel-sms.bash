# Bash completion for merel-sms: commands, options, the --mode values and the serial devices
# for --port. Install as /usr/share/bash-completion/completions/merel-sms, or source it.

# Where the serial devices are looked for; the tests point it at a folder of their own.
_merel_sms_dev=/dev

# The serial devices whose paths start with $1, one a line: the on-board, USB and CDC-ACM ports
# and udev's stable names for them. Not /dev/tty0..63: those are virtual consoles.
_merel_sms_serial_devices() {
    local name path
    # compgen -G, not a bare glob: the user's nullglob or failglob leave it alone.
    for name in ttyS ttyUSB ttyACM serial/by-id/; do
        while IFS= read -r path; do
            [[ $path == "$1"* ]] && printf '%s\n' "$path"
        done < <(compgen -G "$_merel_sms_dev/$name*")
    done
}

_merel_sms() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=""
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    local commands="send check status log settings configure ports modems test-port init"
    local globals="--json --timeout --quiet --verbose --system --modem --help --version"

    # The command is the first word that is neither an option nor the value of --timeout or
    # --modem.
    local command="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            --timeout | --modem) ((i++)) ;;
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
            # Serial devices; any other path (a pseudo terminal or its link) completes as a file.
            COMPREPLY=($(_merel_sms_serial_devices "$cur"))
            ((${#COMPREPLY[@]})) || COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        --from)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        # An instance's name is the user's to give: asking the bus would start services.
        --timeout | --baud | --since | --modem)
            COMPREPLY=()
            return
            ;;
    esac

    local words
    case $command in
        "") if [[ $cur == -* ]]; then words=$globals; else words=$commands; fi ;;
        send) words="--mode --confirmed --help" ;;
        configure) words="--port --baud --mode --help" ;;
        status) words="--check --no-modem --help" ;;
        log) words="--since --all --from --help" ;;
        *) words="--help" ;;
    esac
    COMPREPLY=($(IFS=' ' compgen -W "$words" -- "$cur"))
}
complete -F _merel_sms merel-sms
