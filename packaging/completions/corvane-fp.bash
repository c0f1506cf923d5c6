# bash completion for corvane-fp. Commands and options are read from the
# program's own command list and help, so they never drift from it.
_corvane_fp() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  if [ "$COMP_CWORD" -eq 1 ]; then
    mapfile -t COMPREPLY < <(compgen -W "$(corvane-fp 2>/dev/null | sed -n 's/^  \([a-z-]*\)  .*/\1/p') --help --version" -- "$cur")
  elif [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$(corvane-fp "${COMP_WORDS[1]}" --help 2>/dev/null | grep -o -- '--[a-z-]*' | sort -u)" -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
}
complete -o filenames -F _corvane_fp corvane-fp
