# shellcheck shell=bash disable=SC2154
# Shared by tests/consume_installed.sh and tests/consume_installed_dist.sh
# (sourced, with src, work and prefix set): how a user finds an installed
# package, builds a program against it, and what that program must load.
# Environment: CXX, CONSUMER_FLAGS (extra compile and link flags).

fail() { echo "FAIL: $*" >&2; exit 1; }

# consumer_init PKG: the package's pkg-config file, its libdir (which must
# hold libPKG.so) and whether it is installed in the system directories.
consumer_init() {
  pkg="$1"
  cxx="${CXX:-c++}"
  flags="${CONSUMER_FLAGS:-}"
  mkdir -p "$work"
  unset LD_LIBRARY_PATH
  if [ "$prefix" = /usr ]; then
    system=1
    pcpath=""
  else
    system=0
    pcpath="$(dirname "$(find "$prefix" -name "$pkg.pc" | head -n1)")"
  fi
  libdir="$(pc --variable=libdir)"
  [ -f "$libdir/lib$pkg.so" ] || fail "pkg-config libdir '$libdir' holds no lib$pkg.so"
}

pc() { PKG_CONFIG_PATH="$pcpath" pkg-config "$@" "$pkg"; }

# run_consumer NAME EXE LIB... [-- LAUNCHER...]: EXE must load each
# installed LIB from libdir; then it runs (through LAUNCHER, if any) and its
# last line of output is shown.
run_consumer() {
  local name="$1" exe="$2" deps lib loaded
  shift 2
  local want=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do want+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  # (ldd's output is kept whole: grep -q closing the pipe early would kill
  # ldd with SIGPIPE, which pipefail reports as a failure.)
  deps="$(ldd "$exe")"
  for lib in "${want[@]}"; do
    loaded="$(awk -v l="$lib" '$1 ~ "^" l "\\.so" && $2 == "=>" {print $3}' <<<"$deps")"
    [ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$(readlink -f "$libdir/$lib.so")" ] \
      || { echo "$deps"; fail "$name: does not load $libdir/$lib.so.*"; }
  done
  "$@" "$exe" >"$work/$name.out" 2>&1 || { cat "$work/$name.out"; fail "$name: the program failed"; }
  echo "ok   $name: $(tail -n1 "$work/$name.out")"
}

# cmake_consumer DIR BUILD: configures and builds the CMake project DIR in
# BUILD as a user would, finding a prefix of one's own through
# CMAKE_PREFIX_PATH.
cmake_consumer() {
  local dir="$1" build="$2"
  local args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags")
  [ "$system" = 1 ] || args+=(-DCMAKE_PREFIX_PATH="$prefix")
  CXX="$cxx" cmake -S "$dir" -B "$build" "${args[@]}" >"$build.configure.log" 2>&1 \
    || { cat "$build.configure.log"; fail "configure the find_package consumer"; }
  cmake --build "$build" >"$build.build.log" 2>&1 || { cat "$build.build.log"; fail "build the find_package consumer"; }
}

# pc_consumer OUT SOURCE: compiles SOURCE with the package's pkg-config
# flags (left in cflags and libs), plus a run path when not in a system
# directory.
pc_consumer() {
  local out="$1" source="$2" rpath=""
  cflags="$(pc --cflags)" libs="$(pc --libs)"
  echo "     --cflags: '$cflags'  --libs: '$libs'"
  [ "$system" = 1 ] || rpath="-Wl,-rpath,$libdir"
  # shellcheck disable=SC2086
  "$cxx" -std=c++17 $flags -o "$out" "$source" $cflags $libs $rpath
}
