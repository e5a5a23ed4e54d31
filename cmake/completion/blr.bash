
# The registry options already on the command line, so that names are read
# from the same central server the command will use.
_blr_registry_args() {
  local i
  for ((i = 1; i < ${#words[@]} - 1; i++)); do
    case ${words[i]} in
      -r | --registry) printf '%s\n' "${words[i]}" "${words[i + 1]}" ;;
      --registry=*) printf '%s\n' "${words[i]}" ;;
    esac
  done
}

# Names from the central server: plans, or runs of those plans.  A server
# that is slow or unreachable gives no names rather than a hung shell.
_blr_names() {
  local kind=$1 plan
  local -a reg
  mapfile -t reg < <(_blr_registry_args)
  local plans
  plans=$(timeout 2 "${words[0]}" "${reg[@]}" --json plans list 2>/dev/null |
    sed -n 's/^    "name": "\(.*\)",\{0,1\}$/\1/p')
  if [ "$kind" = plans ]; then
    printf '%s\n' "$plans"
    return
  fi
  while read -r plan; do
    [ -n "$plan" ] || continue
    timeout 2 "${words[0]}" "${reg[@]}" --json plans runs "$plan" 2>/dev/null |
      sed -n 's/^    "run": \([0-9]*\),\{0,1\}$/\1/p'
  done < <(head -n 10 <<<"$plans")
}

# Offers the lines of $1 that begin with the current word, quoted for the
# shell (plan names may hold blanks).
_blr_offer_lines() {
  local line
  while IFS= read -r line; do
    [[ -n $line && $line == "$cur"* ]] && COMPREPLY+=("$(printf '%q' "$line")")
  done <<<"$1"
}

_blr() {
  local cur prev words cword
  if declare -F _init_completion >/dev/null; then
    _init_completion -n = || return
  else
    words=("${COMP_WORDS[@]}") cword=$COMP_CWORD
    cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  fi

  # The command path typed so far; options (and their values) may come
  # anywhere, the global ones after the command too.
  local path=blr i w positionals=0
  for ((i = 1; i < cword; i++)); do
    w=${words[i]}
    if [[ $w == -* ]]; then
      [[ " ${_blr_valued[$path]} ${_blr_valued[blr]} " == *" $w "* ]] && ((i++))
    elif [[ " ${_blr_subs[$path]:-} " == *" $w "* ]]; then
      path="$path $w"
    else
      ((positionals++))
    fi
  done

  if [[ " ${_blr_valued[$path]} ${_blr_valued[blr]} " == *" $prev "* ]]; then
    local list=${_blr_choices["$path $prev"]:-}
    if [ -n "$list" ]; then
      mapfile -t COMPREPLY < <(compgen -W "$list" -- "$cur")
    elif [[ $prev == @(-r|--registry|--file|*-file|--request-log) ]]; then
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
    return
  fi

  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${_blr_opts[$path]} ${_blr_opts[blr]}" -- "$cur" | sort -u)
    return
  fi

  local subs=${_blr_subs[$path]:-}
  if [ -n "$subs" ]; then
    mapfile -t COMPREPLY < <(compgen -W "$subs" -- "$cur")
  elif ((positionals == 0)); then
    case "$path ${_blr_args[$path]:-}" in
      "blr plans "*" NAME") _blr_offer_lines "$(_blr_names plans)" ;;
      "blr plans report RUN") _blr_offer_lines "$(_blr_names runs)" ;;
      *" DIR" | *" FILE") mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
    esac
  fi
}
complete -F _blr blr
