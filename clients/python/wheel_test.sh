#!/usr/bin/env bash
# The tavrik package as a user gets it: a wheel built offline from a copy of clients/python with
# Debian's python3-build (no index, no isolation), installed with pip into a fresh virtual
# environment, and the client's own tests run against that installed copy (the source tree is not
# on the path: the tests are copied too and run from an empty folder).
#
#   wheel_test.sh PYTHON VERSION     (ctest: python_client_wheel; PYTHON is Debian's python3,
#                                     whose pytest the environment borrows)
# Needs TAVRIK_BUILD_DIR and TAVRIK_SOURCE_DIR, as the other client tests.
set -euo pipefail
python="$1"
version="$2"
# shellcheck source=scripts/lib.sh
source "$TAVRIK_SOURCE_DIR/scripts/lib.sh"
begin_private_run tavrik-wheel
fail() { echo "wheel_test: $*" >&2; exit 1; }

cp -r "$TAVRIK_SOURCE_DIR/clients/python" "$work/src"
rm -rf "$work/src/tests" "$work/src/build" "$work/src"/*.egg-info
"$python" -m build --no-isolation --wheel --outdir "$work/dist" "$work/src" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; fail "python3 -m build failed"; }
wheel="$work/dist/tavrik-$version-py3-none-any.whl"
[[ -f "$wheel" ]] || fail "expected $(basename "$wheel"), built: $(ls "$work/dist")"
rm -rf "$work/src"
echo "built $(basename "$wheel"): $("$python" -m zipfile -l "$wheel" | awk 'NR > 1 {print $1}' | tr '\n' ' ')"

"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-index --no-deps "$wheel"
mkdir "$work/run"
cd "$work/run"
where=$("$work/venv/bin/python" -c 'import tavrik; print(tavrik.__file__, tavrik.__version__)') ||
  fail "the environment cannot import the installed tavrik"
[[ "$where" == "$work/venv/lib/"*"/site-packages/tavrik/__init__.py $version" ]] ||
  fail "the environment imports tavrik from elsewhere, or another version: $where"
echo "installed: $where"

cp -r "$TAVRIK_SOURCE_DIR/clients/python/tests" "$work/tests"
PYTHONDONTWRITEBYTECODE=1 "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$work/tests"
