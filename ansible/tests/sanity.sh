#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Offline checks of the collection zentrik.vexor, with Debian's packages only.
#
#   bash ansible/tests/sanity.sh CHECK     CHECK: ansible-test, validate-modules,
#                                          runtime-metadata, python, yamllint,
#                                          ansible-lint, ansible-doc, syntax
#
# ansible-test runs only its tests that need nothing from the network: the
# others install pinned requirements with pip. Their checks run here with the
# same rules through the Debian-packaged tools (validate-modules and
# runtime-metadata from ansible-test's own scripts, pycodestyle with its pep8
# settings, yamllint with its configuration). ansible-test sees the files git
# tracks: a new file counts once it is added.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
collections=$(dirname "$here")
collection=$collections/ansible_collections/zentrik/vexor
cd "$collection"

# Debian's python3, which has ansible-core, ahead of any other python3.
export PATH=/usr/bin:/bin:$PATH
export ANSIBLE_COLLECTIONS_PATH=$collections
scratch=$(mktemp -d /tmp/vexor-sanity-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
# Nothing from an ansible.cfg of the caller's.
printf '[defaults]\n' >"$scratch/ansible.cfg"
export ANSIBLE_CONFIG=$scratch/ansible.cfg
export ANSIBLE_LOCAL_TEMP=$scratch/ansible-local
# ansible-test keeps its virtual environments under ~/.ansible/test.
export HOME=$scratch

ansible_test=/usr/lib/python3/dist-packages/ansible_test
offline_tests=(action-plugin-docs compile empty-init future-import-boilerplate ignores line-endings
               metaclass-boilerplate no-assert no-basestring no-dict-iteritems no-dict-iterkeys
               no-dict-itervalues no-get-exception no-illegal-filenames no-main-display no-smart-quotes
               no-unicode-literals replace-urlopen shebang shellcheck symlinks use-argspec-type-path
               use-compat-six)
modules=(plugins/modules/*.py)
mapfile -t python_files < <(find plugins tests "$collections/fleet" "$collections/tests" -name '*.py' | sort)
mapfile -t yaml_files < <(find . -name '*.yml' -not -path './tests/output/*' | sort)

case ${1:-} in
  ansible-test)
    args=()
    for t in "${offline_tests[@]}"; do args+=(--test "$t"); done
    ansible-test sanity --python 3.11 --color no "${args[@]}"
    ;;
  validate-modules)
    # Documentation against the declared options, return values, examples.
    out=$(python3 "$ansible_test/_util/controller/sanity/validate-modules/validate.py" --format json --arg-spec \
            --collection ansible_collections/zentrik/vexor --collection-version 1.0.0 "${modules[@]}" || true)
    python3 - "$out" tests/sanity/ignore-2.14.txt <<'PY'
import json, sys
report, ignores = json.loads(sys.argv[1] or '{}'), set()
for line in open(sys.argv[2]):
    path, _, rest = line.partition(' ')
    if rest.startswith('validate-modules:'):
        ignores.add((path, rest.split()[0].split(':', 1)[1]))
bad = [(p, e['code'], e['msg']) for p, r in report.items() for e in r['errors'] + r['traces']
       if (p, e.get('code')) not in ignores]
for p, code, msg in bad:
    print('%s: %s: %s' % (p, code, msg))
print('validate-modules: %d module(s), %d error(s)' % (len(report), len(bad)))
sys.exit(1 if bad or not report else 0)
PY
    ;;
  runtime-metadata)
    out=$(python3 "$ansible_test/_util/controller/sanity/code-smell/runtime-metadata.py" meta/runtime.yml)
    [[ -z $out ]] || { echo "$out"; exit 1; }
    echo "runtime-metadata: meta/runtime.yml ok"
    ;;
  python)
    pycodestyle --max-line-length 160 \
      --ignore "$(paste -sd, "$ansible_test/_util/controller/sanity/pep8/current-ignore.txt")" "${python_files[@]}"
    pyflakes3 "${python_files[@]}"
    echo "python: ${#python_files[@]} files clean"
    ;;
  yamllint)
    yamllint -s -c "$ansible_test/_util/controller/sanity/yamllint/config/default.yml" "${yaml_files[@]}"
    echo "yamllint: ${#yaml_files[@]} files clean"
    ;;
  ansible-lint)
    # Debian's ansible-lint at the production profile, offline; what it may
    # not check is in .ansible-lint-ignore, with the reasons.
    ansible-lint --offline --nocolor --profile production -p
    ;;
  ansible-doc)
    for m in "${modules[@]}"; do
      name=$(basename "$m" .py)
      ansible-doc zentrik.vexor."$name" >/dev/null
      ansible-doc --json zentrik.vexor."$name" | python3 -c '
import json, sys
doc = json.load(sys.stdin)
if not all(v.get(k) for v in doc.values() for k in ("doc", "examples", "return")):
    sys.exit("missing DOCUMENTATION, EXAMPLES or RETURN")'
    done
    for f in plugins/filter/*.yml; do ansible-doc -t filter zentrik.vexor."$(basename "$f" .yml)" >/dev/null; done
    ansible-doc -t role zentrik.vexor.rollout >/dev/null
    echo "ansible-doc: ${#modules[@]} modules, the filters and the role documented"
    ;;
  syntax)
    for p in playbooks/*.yml; do
      ansible-playbook -i localhost, --syntax-check "zentrik.vexor.$(basename "$p" .yml)"
    done
    ;;
  *)
    echo "usage: bash ansible/tests/sanity.sh ansible-test|validate-modules|runtime-metadata|python|yamllint|ansible-lint|ansible-doc|syntax" >&2
    exit 2
    ;;
esac
