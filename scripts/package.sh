#!/usr/bin/env bash
# Builds vistrel's release packages with CPack and checks what is in them:
#
#   vistrel-<version>-windows-x86.zip        the windows preset (32-bit: the program and the host
#                                            library for 32-bit games)
#   vistrel-<version>-windows-x64-host.zip   the windows-x64-host preset: the host library for 64-bit
#                                            games (they start the 32-bit program of the x86 zip)
#   vistrel-<version>-linux-x86_64.tar.gz    the linux preset
#
#   scripts/package.sh                  every package whose preset exists
#   scripts/package.sh windows linux    some of them (windows, windows-x64-host, linux)
#
# Each package must hold exactly the files listed below, under one folder of the package's name;
# the Windows binaries must carry the project's version in their version resource and need no DLL
# beside the system's and the package's own; the program must run its probe from the unpacked
# package: under Wine with the test encoders registered in the Windows tests' prefix (Wine has no
# H.264 encoder of its own, so the probe needs them to find one; with them hidden it must report
# none, exit code 3), and on Linux with the stand-in's software encoder, which it reaches only
# through the libvistrel-mediafw.so packed beside it.
#
# The presets' build trees are reused (scripts/test.sh builds them first), and only what the
# packages hold is built, so a package costs little more than its install.
# No -e: a check that fails is counted and the others still run.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${VISTREL_JOBS:-$(nproc)}

# Every package holds the C host library, its header, the C# binding (and on Windows the import
# library and the .def), and the checks below run on them.
host_library=true

version=$(sed -n 's/^project(vistrel VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no project version in CMakeLists.txt"; exit 1; }
if [ "$host_library" != true ] && [ -e host/include/vistrel_host.h ]; then
  echo "host/include/vistrel_host.h exists: set host_library=true in $0 so that the packages must hold the library"
  exit 1
fi

targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  targets=(windows linux)
  if grep -q '"name": "windows-x64-host"' CMakePresets.json; then targets=(windows windows-x64-host linux); fi
fi

failures=0
fail() {
  echo "FAIL [$package]: $*"
  failures=$((failures + 1))
}

# The files a package must hold, relative to its folder.
expected_files() {  # target
  local docs=(doc/PROTOCOL.md)
  [ ! -e LICENSE ] || docs+=(LICENSE)
  local host=(include/vistrel_host.h bindings/csharp/VistrelHost.cs)
  case $1 in
    windows)
      printf '%s\n' bin/vistrel.exe "${docs[@]}" licenses/mingw-w64-runtime.txt
      [ "$host_library" != true ] || printf '%s\n' "${host[@]}" bin/vistrel_host.dll lib/vistrel_host.lib lib/vistrel_host.def
      ;;
    windows-x64-host)
      printf '%s\n' "${docs[@]}" licenses/mingw-w64-runtime.txt "${host[@]}" bin/vistrel_host.dll lib/vistrel_host.lib lib/vistrel_host.def
      ;;
    linux)
      printf '%s\n' bin/vistrel bin/libvistrel-mediafw.so "${docs[@]}"
      [ "$host_library" != true ] || printf '%s\n' "${host[@]}" bin/libvistrel_host.so
      ;;
  esac
}

# The version resource of a Windows binary: the fixed part (file and product version
# major.minor.patch.0) and the strings a file's properties show.
check_version_resource() {  # file original-name
  local file=$1 name
  name=$(basename "$1")
  # VS_FIXEDFILEINFO: the signature 0xFEEF04BD, its structure version, then the file version and
  # the product version, each as two 32-bit words (major << 16 | minor, patch << 16 | build).
  local at words
  at=$(LC_ALL=C grep -obUaP '\xBD\x04\xEF\xFE' "$file" | head -1 | cut -d: -f1)
  if [ -z "$at" ]; then
    fail "$name has no version resource"
    return
  fi
  words=$(od -An -tu2 -j $((at + 8)) -N 16 "$file" | tr -s ' ' | sed 's/^ //')
  IFS=. read -r major minor patch <<<"$version"
  [ "$words" = "$minor $major 0 $patch $minor $major 0 $patch" ] ||
    fail "$name: fixed file and product version (minor major build patch, twice) '$words', not those of $version"
  # The strings: each value follows its key (UTF-16 in the file).
  local strings
  strings=$(strings -el "$file")
  local pair key value
  for pair in "ProductName=vistrel" "ProductVersion=$version" "FileVersion=$version" "OriginalFilename=$2"; do
    key=${pair%%=*}
    value=${pair#*=}
    grep -A1 -xF "$key" <<<"$strings" | tail -1 | grep -qxF "$value" || fail "$name: $key is not '$value'"
  done
  grep -A1 -xF FileDescription <<<"$strings" | tail -1 | grep -q . || fail "$name: no FileDescription"
}

# A Windows binary of the package must run on a player's machine with nothing installed: it may
# import no DLL of the compiler's runtime (libstdc++, libgcc, winpthread), only the system's and the
# package's own.
check_imports() {  # objdump file
  local imports
  imports=$("$1" -p "$2" | sed -n 's/^\tDLL Name: //p')
  [ -n "$imports" ] || fail "$(basename "$2"): no imports read"
  if grep -iE '^lib' <<<"$imports" | grep -vixF vistrel_host.dll | grep -q .; then
    fail "$(basename "$2") needs DLLs that are not the system's: $(grep -iE '^lib' <<<"$imports" | tr '\n' ' ')"
  fi
}

# The host library's interface: the header compiles as plain C (and as C++), the DLL exports every
# name of its .def, the import library resolves each of them, and the C# binding compiles.
check_host_library() {  # folder objdump nm
  local dir=$1
  gcc -std=c99 -Wall -Wextra -Werror -fsyntax-only -x c "$dir/include/vistrel_host.h" ||
    fail "vistrel_host.h does not compile as C"
  g++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -x c++ "$dir/include/vistrel_host.h" ||
    fail "vistrel_host.h does not compile as C++"
  mcs -nologo -target:library -out:"$check_dir/VistrelHost.dll" "$dir/bindings/csharp/VistrelHost.cs" ||
    fail "VistrelHost.cs does not compile"
  if [ -z "$2" ]; then
    nm -D --defined-only "$dir/bin/libvistrel_host.so" | grep -qw vistrel_host_version ||
      fail "libvistrel_host.so does not export vistrel_host_version"
    return
  fi
  local exports names n
  exports=$("$2" -p "$dir/bin/vistrel_host.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
            sed -n 's/^.*\] //p')
  names=$(sed -n '/^EXPORTS/,$p' "$dir/lib/vistrel_host.def" | sed '1d' | awk '{print $1}' | grep -v '^;' | grep .)
  [ -n "$names" ] || fail "vistrel_host.def lists no export"
  grep -qxF vistrel_host_version <<<"$names" || fail "vistrel_host.def does not list vistrel_host_version"
  local symbols
  symbols=$("$3" "$dir/lib/vistrel_host.lib" 2>/dev/null) || fail "vistrel_host.lib is not a library"
  for n in $names; do
    n=${n%%@*}
    grep -qxF "$n" <<<"$exports" || fail "vistrel_host.dll does not export $n"
    grep -qE "__imp__?$n(@[0-9]+)?\$" <<<"$symbols" || fail "vistrel_host.lib does not resolve $n"
  done
  check_version_resource "$dir/bin/vistrel_host.dll" vistrel_host.dll
}

# A C program of the game's, built against the package alone (its header, and its import library
# on Windows), that prints vistrel_host_version(): the library carries the project's version.
write_version_program() {
  printf '%s\n' '#include <stdio.h>' '#include "vistrel_host.h"' \
    'int main(void) { puts(vistrel_host_version()); return 0; }' >"$check_dir/version_check.c"
}
check_version_call() {  # folder target
  local dir=$1 printed=
  write_version_program
  case $2 in
    linux)
      gcc -std=c99 -I"$dir/include" "$check_dir/version_check.c" -L"$dir/bin" -lvistrel_host \
        -Wl,-rpath,"$dir/bin" -o "$check_dir/version_check" || { fail "linking a C program with the package"; return; }
      printed=$("$check_dir/version_check")
      ;;
    windows)
      i686-w64-mingw32-gcc -std=c99 -I"$dir/include" "$check_dir/version_check.c" "$dir/lib/vistrel_host.lib" \
        -o "$dir/bin/version_check.exe" || { fail "linking a C program with vistrel_host.lib"; return; }
      printed=$(cd "$dir/bin" && wine version_check.exe </dev/null 2>/dev/null | tr -d '\r')
      rm -f "$dir/bin/version_check.exe"
      ;;
    windows-x64-host)
      # Linked only: the Windows tests' prefix runs 32-bit programs.
      x86_64-w64-mingw32-gcc -std=c99 -I"$dir/include" "$check_dir/version_check.c" "$dir/lib/vistrel_host.lib" \
        -o "$check_dir/version_check.exe" || fail "linking a C program with vistrel_host.lib"
      return
      ;;
  esac
  [ "$printed" = "$version" ] || fail "vistrel_host_version() gives '$printed', not $version"
}

# Runs the packaged vistrel.exe's probe under Wine, in the Windows tests' prefix, with their test
# encoders registered for the time of the check (and the version program, with the host library).
check_under_wine() {  # folder
  local exe=$1/bin/vistrel.exe
  export WINEPREFIX=$root/build/windows/wineprefix WINEARCH=win32 WINEDEBUG=-all
  # What the Windows tests' scripts need: their programs, their encoders, a scratch folder.
  export BIN=$root/build/windows/bin ENCODERS=$root/build/windows/test_encoders
  export WORK=$root/build/windows/tests/wine/work
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  # The encoders replay a stream recorded beside them (the Windows tests record it).
  if [ ! -e "$ENCODERS/vistrel-replay.h264" ]; then
    bash tests/wine/process_test.sh stream >/dev/null || fail "recording the test encoders' stream"
  fi
  if bash tests/wine/process_test.sh register >"$check_dir/register.log" 2>&1; then
    local code
    (cd "$1" && wine "$exe" --probe </dev/null >/dev/null 2>&1) && code=0 || code=$?
    [ "$code" = 0 ] || fail "vistrel.exe --probe from the package: exit code $code, not 0"
    (cd "$1" && VISTREL_TEST_ENCODERS=none wine "$exe" --probe </dev/null >/dev/null 2>&1) && code=0 || code=$?
    [ "$code" = 3 ] || fail "vistrel.exe --probe without an encoder: exit code $code, not 3"
  else
    cat "$check_dir/register.log"
    fail "registering the test encoders"
  fi
  bash tests/wine/process_test.sh unregister >/dev/null 2>&1 || fail "unregistering the test encoders"
  [ "$host_library" != true ] || check_version_call "$1" windows
  wineserver -k >/dev/null 2>&1 || true
}

for target in "${targets[@]}"; do
  case $target in
    windows) file=vistrel-$version-windows-x86.zip objdump=i686-w64-mingw32-objdump nm=i686-w64-mingw32-nm ;;
    windows-x64-host) file=vistrel-$version-windows-x64-host.zip objdump=x86_64-w64-mingw32-objdump nm=x86_64-w64-mingw32-nm ;;
    linux) file=vistrel-$version-linux-x86_64.tar.gz objdump= nm= ;;
    *) echo "unknown package: $target (windows, windows-x64-host, linux)"; exit 2 ;;
  esac
  package=$file
  build=$root/build/$target
  echo "=== package: $file"
  # The Windows probe needs the test encoders, built with the tests (as scripts/test.sh builds
  # both trees).
  tests=(-DVISTREL_TESTS=ON)
  [ "$target" != windows-x64-host ] || tests=()
  if ! cmake --preset "$target" "${tests[@]}" >/dev/null; then
    fail "configuring"
    continue
  fi
  # What the package holds, and the Windows probe's encoders and their stream's helper.
  build_targets=()
  case $target in
    windows) build_targets=(vistrel vistrel_test_encoders vistrel-test-helper) ;;
    linux) build_targets=(vistrel vistrel_mediafw) ;;
  esac
  [ "$host_library" != true ] || build_targets+=(vistrel_host_c)
  if ! cmake --build --preset "$target" -j "$jobs" --target "${build_targets[@]}"; then
    fail "building"
    continue
  fi
  rm -rf "$build/packages"
  (cd "$build" && cpack >"$build/cpack.log" 2>&1) || { cat "$build/cpack.log"; fail "cpack"; continue; }
  made=$(cd "$build/packages" && ls -- *.zip *.tar.gz 2>/dev/null || true)
  if [ "$made" != "$file" ]; then
    fail "cpack made '$made'"
    continue
  fi

  check_dir=$build/package-check
  rm -rf "$check_dir"
  mkdir -p "$check_dir"
  (cd "$check_dir" && cmake -E tar xf "$build/packages/$file") || fail "unpacking"
  folder=${file%.zip}
  folder=${folder%.tar.gz}
  dir=$check_dir/$folder
  listed=$(cmake -E tar tf "$build/packages/$file" | grep -v '/$' | sort)
  want=$(expected_files "$target" | sed "s|^|$folder/|" | sort)
  if [ "$listed" != "$want" ]; then
    fail "contents differ from the list (< packed, > expected):"$'\n'"$(diff <(echo "$listed") <(echo "$want") | grep '^[<>]')"
    continue
  fi

  case $target in
    windows)
      "$objdump" -f "$dir/bin/vistrel.exe" | grep -q 'file format pei-i386' || fail "vistrel.exe is not 32-bit"
      check_imports "$objdump" "$dir/bin/vistrel.exe"
      check_version_resource "$dir/bin/vistrel.exe" vistrel.exe
      check_under_wine "$dir"
      ;;
    windows-x64-host)
      "$objdump" -f "$dir/bin/vistrel_host.dll" | grep -q 'file format pei-x86-64' || fail "vistrel_host.dll is not 64-bit"
      ;;
    linux)
      code=0
      VISTREL_SOFTWARE_ENCODER=1 "$dir/bin/vistrel" --probe </dev/null >/dev/null 2>&1 || code=$?
      [ "$code" = 0 ] || fail "bin/vistrel --probe from the package with the software encoder: exit code $code, not 0"
      ;;
  esac
  if [ "$host_library" = true ]; then
    [ -z "$objdump" ] || check_imports "$objdump" "$dir/bin/vistrel_host.dll"
    check_host_library "$dir" "$objdump" "$nm"
    [ "$target" = windows ] || check_version_call "$dir" "$target"
  fi
  echo "$file: $(wc -c <"$build/packages/$file") bytes"
done

if [ "$failures" -gt 0 ]; then
  echo "$failures package check(s) failed"
  exit 1
fi
echo "packages checked: ${targets[*]}"
