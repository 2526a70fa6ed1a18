# bash completion for the chunkstore programs. The options are read from the
# program's own --help when a word starting with "-" is completed, so they
# never differ from what the program takes; other words complete as file
# names.
_chunk_complete() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  COMPREPLY=()
  [[ $cur == -* ]] || return 0
  local options
  # Option lines of the usage text: indented, starting with "-"; the option
  # column ends at the first double space.
  options=$("${COMP_WORDS[0]}" --help 2>/dev/null |
    sed -n 's/^ \{1,\}\(-.*\)$/\1/p' | sed 's/  .*//' | tr ', ' '\n\n' | grep '^-')
  COMPREPLY=($(compgen -W "$options" -- "$cur"))
}
complete -o default -F _chunk_complete chunkstore chunkstop chunkpack chunksend chunkcat \
  chunkinfo chunkcheck chunkunpack chunkcopy
