# Summary of a test script: each part of the run adds one line, and
# resumo_imprime prints them all at the end, with the total time, so that the
# outcome reads at a glance under however much output came before. Sourced:
#
#   source tests/resumo.sh
#   parte "Release build" cmake --build build -j2
#   partes_ctest build "qemu=_qemu64$" "Release tests" -- -j2
#   resumo_imprime    # fails when any part failed
#
# A part's line gives its name, "ok" or "FAILED", and what it did and took.

RESUMO_LINHAS=()
RESUMO_FALHOU=0
RESUMO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

resumo_duracao() {
  local s=$1
  if ((s >= 60)); then printf '%d min %02d s' $((s / 60)) $((s % 60)); else printf '%d s' "$s"; fi
}

# Adds a line: part, verdict, detail.
resumo_linha() {
  local linha
  printf -v linha '%-24s %-6s %s' "$1" "$2" "$3"
  RESUMO_LINHAS+=("$linha")
  [[ $2 == ok ]] || RESUMO_FALHOU=1
}

# `parte NAME COMMAND [ARGS...]`: runs the command as one part; returns its
# status.
parte() {
  local nome=$1 inicio=$SECONDS status=0
  shift
  "$@" || status=$?
  if ((status == 0)); then
    resumo_linha "$nome" ok "$(resumo_duracao $((SECONDS - inicio)))"
  else
    resumo_linha "$nome" FAILED "status $status after $(resumo_duracao $((SECONDS - inicio)))"
  fi
  return $status
}

# `nao_rodou REASON NAME...`: parts that could not run.
nao_rodou() {
  local motivo=$1 nome
  shift
  for nome in "$@"; do resumo_linha "$nome" FAILED "not run: $motivo"; done
}

# `partes_ctest BUILD-DIR NAME=REGEX... NAME [-- CTEST-OPTIONS...]`: runs
# the tests of a build directory in one ctest run, then adds one line per
# group of tests, as resumo_ctest.py groups them.
partes_ctest() {
  local dir=$1 grupos=() status=0 junit
  shift
  while (($# > 0)) && [[ $1 != -- ]]; do
    grupos+=("$1")
    shift
  done
  (($# == 0)) || shift
  junit=$(cd "$dir" && pwd)/resumo-ctest.xml
  rm -f "$junit"
  ctest --test-dir "$dir" --output-junit "$junit" "$@" || status=$?
  local linhas
  if [[ -f $junit ]] && linhas=$(python3 "$RESUMO_DIR/resumo_ctest.py" "$junit" "${grupos[@]}"); then
    local nome veredito detalhe
    while IFS=$'\t' read -r nome veredito detalhe; do resumo_linha "$nome" "$veredito" "$detalhe"; done <<<"$linhas"
    # ctest fails without a failed test when, for instance, it finds none.
    ((status == 0)) || resumo_linha "ctest in $dir" FAILED "status $status"
  else
    nao_rodou "ctest in $dir gave no results (status $status)" "${grupos[@]%%=*}"
  fi
  return $status
}

# Prints the summary and the total time since the script started; fails when
# any part failed.
resumo_imprime() {
  local linha veredito=ok
  ((RESUMO_FALHOU == 0)) || veredito=FAILED
  echo
  echo "==== summary"
  for linha in "${RESUMO_LINHAS[@]}"; do echo "$linha"; done
  printf '%-24s %-6s %s\n' total "$veredito" "$(resumo_duracao "$SECONDS")"
  return $RESUMO_FALHOU
}
