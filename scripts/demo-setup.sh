# Sourced by the demos (scripts/demo.sh, scripts/fleet-demo.sh): reads the
# command line, checks for root, installs what is missing and builds what a
# demo runs, and sets vexor_sim to the simulated host's command.
#   demo_setup NAME "$@"     NAME names the demo in its messages
# The command line is empty (set up and build into build/) or
# "--build DIR" (use the tree built in DIR as it is).
demo_setup() {
  local name=$1
  shift
  local build=
  case $# in
    0) ;;
    2) if [[ $1 != --build ]]; then
         echo "usage: bash scripts/$name.sh [--build BUILD-DIR]" >&2
         exit 2
       fi
       build=$(cd "$2" && pwd) ;;
    *) echo "usage: bash scripts/$name.sh [--build BUILD-DIR]" >&2
       exit 2 ;;
  esac
  cd "$(dirname "${BASH_SOURCE[0]}")/.."

  if [[ $(id -u) -ne 0 ]]; then
    echo "$name: run this as root (it installs packages, and a simulated host needs a private mount namespace)" >&2
    exit 1
  fi
  if [[ -z $build ]]; then
    echo "$name: installing what is missing and building into build/ (the first build takes a minute or so)"
    # A demo needs vexor-sim and what it runs (vexor, getqrvninfo, the
    # simulated flash utility), not the tests.
    bash scripts/setup.sh vexor-sim
    build=$PWD/build
  fi
  vexor_sim=$build/sim/vexor-sim
  if [[ ! -x $vexor_sim ]]; then
    echo "$name: $vexor_sim is missing; build the tree first" >&2
    exit 1
  fi
}
