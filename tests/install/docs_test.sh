#!/usr/bin/env bash
# The man pages and the bash completion against README.md, the user's
# reference: every option, JTAGNAND_PORT value, cable option, simulated-board
# option, board-description key and exit status in README's tables has its
# entry in jtagnand(1), and the completion knows every option, CPU and board
# option. Then mandoc's lint of both pages (its style notes aside: they
# include cross references to pages not installed yet; the package test lints
# the installed pages in full).
#
# With the build folder too, the programs' own help: every option `jtagnand -h`
# and `jtagnand-sim --help` list has its entry in their pages.
#
# usage: docs_test.sh SOURCE_DIR [BUILD_DIR]
set -uo pipefail
src=${1:?usage: docs_test.sh SOURCE_DIR [BUILD_DIR]}
build=${2:-}
readme=$src/README.md
page=$src/dist/man/jtagnand.1
completion=$src/dist/bash-completion/jtagnand
failures=0

command -v mandoc > /dev/null || { echo "SKIPPED: mandoc is not installed (Debian: mandoc)"; exit 77; }

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Every README table row's first cell, one backticked name a line, with the
# heading it stands under: "HEADING<TAB>NAME". Escaped bars (`a\|b`) are not
# cell borders.
table_names() {
  sed 's/\\|/\//g' "$readme" | awk -F'|' '
    /^#/ { heading = $0 }
    /^\| *`/ {
      cell = $2
      while (match(cell, /`[^`]*`/)) {
        printf "%s\t%s\n", heading, substr(cell, RSTART + 1, RLENGTH - 2)
        cell = substr(cell, RSTART + RLENGTH)
      }
    }'
}

# The man page's form of a README name: -C is ".It Fl C", ppdev:/dev/x and
# "hold PIN = 0" are "Cm ppdev" and "Cm hold", cpu=NAME is "Cm cpu=".
while IFS=$'\t' read -r heading name; do
  case $name in
    -?*)
      pattern="^\.It Fl ${name:1:1}( |$)"
      ;;
    [0-9]*) continue ;;  # a value, as in "hold PIN = 0 or 1"
    *)
      base=${name%%[ :=]*}
      if [[ ${name:${#base}:1} == = ]]; then
        pattern="Cm $base="
      else
        pattern="Cm $base([ ,\\\\]|$)"
      fi
      ;;
  esac
  grep -Eq -- "$pattern" "$page" || fail "jtagnand.1 lacks '$name' ($heading)"
done < <(table_names)

# The exit statuses.
while read -r status; do
  grep -Eq "^\.It $status$" "$page" || fail "jtagnand.1 lacks exit status $status"
done < <(sed -n '/^### Exit status/,/^#/p' "$readme" | sed -n 's/^| \([0-9]\) |.*/\1/p')

# The programs' help texts.
if [[ -n $build ]]; then
  sim_switches=$(sed -n "s/.*compgen -W '\(--[^']*\)'.*/\1/p" "$completion")
  for letter in $("$build/jtagnand" -h | sed -n 's/^ -\([A-Za-z]\)[[ ].*/\1/p'); do
    grep -Eq "^\.It Fl $letter( |$)" "$page" || fail "jtagnand.1 lacks -$letter of jtagnand -h"
  done
  for option in $("$build/jtagnand-sim" --help | sed -n 's/^  \(--[a-z-]*\).*/\1/p'); do
    grep -Eq "^\.It Fl [\\]-${option#--}( |$)" "$src/dist/man/jtagnand-sim.1" ||
      fail "jtagnand-sim.1 lacks $option of jtagnand-sim --help"
    [[ " $sim_switches " == *" $option "* ]] || fail "completion: jtagnand-sim's $option not offered"
  done
fi

# The completion: load it as bash-completion would, then ask it.
bash_checks=$(
  complete() { :; }  # registration needs an interactive shell; the functions are what counts
  # shellcheck source=/dev/null
  source "$completion" || { echo "FAIL: $completion does not load"; exit; }
  options=$(sed -n "s/.*compgen -W '\(-C [^']*\)'.*/\1/p" "$completion")
  checked_options=0 checked_sim=0
  while IFS=$'\t' read -r heading name; do
    case $heading in
      "## Using it")
        checked_options=$((checked_options + 1))
        letter=${name:1:1}
        _jtagnand_option_kind "$letter" > /dev/null || echo "FAIL: completion: -$letter has no kind"
        [[ " $options " == *" -$letter "* ]] || echo "FAIL: completion: -$letter not offered"
        ;;
      "### The simulated board")
        checked_sim=$((checked_sim + 1))
        base=${name%%[ :=]*}
        [[ " ${_jtagnand_sim_options//[$'\n']/ } " == *" $base"[=\ ]* ]] ||
          echo "FAIL: completion: sim option $base not offered"
        ;;
    esac
  done < <(table_names)
  # A renamed heading must not leave these checks with nothing to check.
  ((checked_options > 0)) || echo "FAIL: no option table under '## Using it' in README.md"
  ((checked_sim > 0)) || echo "FAIL: no option table under '### The simulated board' in README.md"
  # The CPU names: those of -C's row.
  cpus=$(grep '^| `-C NAME`' "$readme" | grep -o '`[A-Z0-9]*`' | tr -d '`')
  [[ -n $cpus ]] || echo "FAIL: no CPU names in the -C row of README.md"
  for cpu in $cpus; do
    [[ " $_jtagnand_cpus " == *" $cpu "* ]] || echo "FAIL: completion: CPU $cpu not offered"
  done
)
if [[ -n $bash_checks ]]; then
  echo "$bash_checks"
  failures=$((failures + $(grep -c '^FAIL' <<< "$bash_checks")))
fi

# mandoc's lint, warnings and errors.
for man in "$src"/dist/man/*.1; do
  lint=$(mandoc -T lint -W warning "$man" 2>&1) || fail "mandoc -T lint $man: $lint"
done

if ((failures > 0)); then
  echo "$failures missing or wrong: README.md and the programs' help are the reference"
  exit 1
fi
echo "man pages and completion cover README.md and the programs' help; mandoc lint clean"
