# Bash completion for the TI-85 link tools: each program's options, the cable names after
# --cable, and as operands only the files that program reads (variable files, pictures).
# Installed once per program name, where bash-completion looks for a command's completion.

_ti85_link_tools() {
    local program=${1##*/} cur=${COMP_WORDS[COMP_CWORD]} prev=""
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # Bash splits "--cable=gr" at the "=": the option is then the word before it.
    if [[ $cur == "=" ]]; then
        cur=""
    elif [[ $prev == "=" ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    elif [[ $cur == --*=* ]]; then
        prev=${cur%%=*}
        cur=${cur#*=}
    fi

    local cable="-c --cable= -d --device=" options="" files="" dirs=no
    case $program in
    pullvar) options=$cable dirs=only ;;
    pushvar) options=$cable files='*.85?' ;;
    linkcheck) options=$cable ;;
    pullscreen) options="$cable -s --scale= --lcd" files='*.png' ;;
    catvar) options="--ascii -n --names" files='*.85?' ;;
    splitvar) options="-C --directory= --all -f --force" files='*.85?' ;;
    mkvar) options="-s --set= -p --program= -o --output= -C --directory= -f --force --ascii" files='*.txt' ;;
    picvar) options="-s --scale= --lcd" files='*.@(85i|png)' ;;
    pixdb) files='*.@(bmp|png)' ;;
    vti85) options="--answer= --corrupt-once --no-ack --hang --give-up= --stay --tty" ;;
    esac

    case $prev in
    -c | --cable)
        mapfile -t COMPREPLY < <(compgen -W "parallel serial gray usb virtual" -- "$cur")
        return
        ;;
    -d | --device)
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
        ;;
    -s | --scale)
        mapfile -t COMPREPLY < <(compgen -W "1 2 3 4 5 6 7 8" -- "$cur")
        return
        ;;
    --answer)
        mapfile -t COMPREPLY < <(compgen -W "accept skip memory abort refuse" -- "$cur")
        return
        ;;
    esac

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options -h --help -V --version" -- "$cur")
        # An option that takes a value waits for it after its "=".
        [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *= ]] && compopt -o nospace 2>/dev/null
        return
    fi
    if [[ $program == vti85 && $COMP_CWORD -eq 1 ]]; then
        mapfile -t COMPREPLY < <(compgen -W "send receive" -- "$cur")
        return
    fi
    local -a found=()
    mapfile -t found < <(compgen -d -- "$cur")
    if [[ $dirs != only ]]; then
        local -a matching=()
        shopt -q extglob || { shopt -s extglob; local restore=1; }
        if [[ -n $files ]]; then
            mapfile -t matching < <(compgen -f -X "!$files" -- "$cur")
        else
            mapfile -t matching < <(compgen -f -- "$cur")
        fi
        [[ -n ${restore:-} ]] && shopt -u extglob
        found+=("${matching[@]}")
    fi
    COMPREPLY=("${found[@]}")
    compopt -o filenames 2>/dev/null
    return 0
}

complete -F _ti85_link_tools pullvar pushvar linkcheck pullscreen catvar splitvar mkvar picvar pixdb vti85
