# bash completion for img_util                                   -*- shell-script -*-
# Installed as share/bash-completion/completions/img_util. Every option of every command's
# --help belongs here (the package test checks that).

_img_util() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  # bash splits "--opt=value" at "=": complete the value as if it followed "--opt".
  if [[ $cur == "=" ]]; then
    cur=""
  elif [[ $prev == "=" && $COMP_CWORD -ge 2 ]]; then
    prev=${COMP_WORDS[COMP_CWORD - 2]}
  fi
  COMPREPLY=()

  local common="--plugin-dir --dry-run --keep-mtime --jobs -v --verbose --json --report
    --no-log --debug --help"
  local compress="-o --output --max-width --max-height --quality --target --recursive --ext
    --backup --keep-going --print-config"
  local command=${COMP_WORDS[1]}
  local options
  case $command in
    compress) options="$compress $common" ;;
    watermark)
      options="$compress $common --text --font --size --color --logo --position --scale
        --opacity --margin"
      ;;
    run) options=$common ;;
    restore) options="--only --to --dry-run --help" ;;
    log) options="--plugin-dir --help" ;;
  esac

  # One candidate a line, so names with spaces stay whole.
  local candidates
  if [[ $COMP_CWORD -eq 1 ]]; then
    candidates=$(compgen -W "compress watermark run restore log --help --version" -- "$cur")
  else
    case $prev in
      --plugin-dir | -o | --output | --to)
        compopt -o filenames 2>/dev/null
        candidates=$(compgen -d -- "$cur")
        ;;
      --json | --report | --font | --logo | --only)
        compopt -o filenames 2>/dev/null
        candidates=$(compgen -f -- "$cur")
        ;;
      --position)
        candidates=$(compgen -W "right-bottom left-bottom left-top right-top center" -- "$cur")
        ;;
      --max-width | --max-height | --quality | --target | --ext | --text | --size | --color | \
        --scale | --opacity | --margin | --jobs)
        ;;  # a number or a text: nothing to offer
      *)
        if [[ $cur == -* ]]; then
          candidates=$(compgen -W "$options" -- "$cur")
        else
          # The operands: a folder, a configuration, backup archives.
          compopt -o filenames 2>/dev/null
          case $command in
            compress | watermark) candidates=$(compgen -d -- "$cur") ;;
            run) candidates=$(compgen -f -X '!*.json' -- "$cur"; compgen -d -- "$cur") ;;
            restore) candidates=$(compgen -f -X '!*.zip' -- "$cur"; compgen -d -- "$cur") ;;
          esac
        fi
        ;;
    esac
  fi
  [[ -n $candidates ]] && mapfile -t COMPREPLY <<<"$candidates"
  return 0
}
complete -F _img_util img_util
