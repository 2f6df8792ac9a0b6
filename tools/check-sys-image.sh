#!/usr/bin/env bash
# Checks a Windows x64 kernel driver image the way the kernel's loader and a reviewer would, without loading
# it: imports only from ntoskrnl.exe, hal.dll, ks.sys and BdaSup.sys; native subsystem; entry DriverEntry;
# relocatable; no TLS; no static constructors or destructors; no floating-point or vector registers.
#   tools/check-sys-image.sh IMAGE.sys     every failed check is printed; exit 1 if any failed
#   tools/check-sys-image.sh --self-test   builds small faulty images and makes sure each check catches its fault
set -euo pipefail

mingw=x86_64-w64-mingw32
objdump=${OBJDUMP:-$mingw-objdump}
nm=${NM:-$mingw-nm}
allowed_dlls="ntoskrnl.exe hal.dll ks.sys bdasup.sys"

check_image() {
  local image=$1 failed=0
  fail() {
    echo "check-sys-image: $image: $*" >&2
    failed=1
  }
  [ -f "$image" ] || { echo "check-sys-image: $image: no such file" >&2; return 1; }
  local headers sections symbols
  headers=$("$objdump" -p "$image") || { echo "check-sys-image: $image: not a PE image" >&2; return 1; }
  sections=$("$objdump" -h "$image")
  symbols=$("$nm" "$image" 2>/dev/null || true)

  local dll dlls
  dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z\n' 'a-z ')
  for dll in $dlls; do
    [[ " $allowed_dlls " == *" $dll "* ]] || fail "imports from $dll"
  done
  [[ " $dlls " == *" ntoskrnl.exe "* ]] || fail "imports nothing from ntoskrnl.exe"

  grep -Eq '^Subsystem[[:space:]]+0*1[[:space:]]' <<<"$headers" || fail "not a native-subsystem image"

  local base entry driver_entry
  base=$(awk '$1 == "ImageBase" {print $2}' <<<"$headers")
  entry=$(awk '$1 == "AddressOfEntryPoint" {print $2}' <<<"$headers")
  driver_entry=$(awk '$3 == "DriverEntry" {print $1}' <<<"$symbols")
  if [ -z "$driver_entry" ]; then
    fail "no DriverEntry symbol (stripped image?)"
  elif (( 0x$base + 0x$entry != 0x$driver_entry )); then
    fail "entry point is not DriverEntry"
  fi

  if grep -q 'relocations stripped' <<<"$headers" || ! grep -q 'DYNAMIC_BASE' <<<"$headers"; then
    fail "the image cannot be relocated"
  fi

  grep -Eq '^Entry 9 0+ 0+ ' <<<"$headers" || fail "has a TLS directory"
  grep -Eq '^[[:space:]]*[0-9]+ \.tls' <<<"$sections" && fail "has a .tls section"

  # The GNU linker gathers constructors into .text between __CTOR_LIST__ and __DTOR_LIST__: an empty list
  # is its -1 head and 0 tail, 16 bytes.
  grep -Eq '^[[:space:]]*[0-9]+ \.(ctors|dtors|init_array|fini_array|CRT)' <<<"$sections" &&
    fail "has a constructor section"
  local ctors dtors
  ctors=$(awk '$3 == "__CTOR_LIST__" {print $1}' <<<"$symbols")
  dtors=$(awk '$3 == "__DTOR_LIST__" {print $1}' <<<"$symbols")
  if [ -z "$ctors" ] || [ -z "$dtors" ]; then
    fail "no constructor list symbols to check"
  elif (( 0x$dtors - 0x$ctors != 16 )); then
    fail "has static constructors (constructor list of $(( 0x$dtors - 0x$ctors )) bytes)"
  fi
  grep -Eq ' _GLOBAL__sub_[ID]_' <<<"$symbols" && fail "has static constructors or destructors"

  local fp
  fp=$("$objdump" -d "$image" | grep -Ec '%([xyz]mm[0-9]|st\b|st\()' || true)
  [ "$fp" -eq 0 ] || fail "uses floating-point or vector registers ($fp instructions)"

  return $failed
}

self_test() {
  local dir cxx=${CXX_MINGW:-$mingw-g++} ok=1
  dir=$(mktemp -d)
  trap 'rm -rf "$dir"' RETURN
  local entry='extern "C" long DriverEntry(void*, void*) { return 0; }'
  local link=(-nostdlib -nostartfiles -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--dynamicbase)
  # name | source | extra link flags | message the check must print ("" for the good image)
  build() {
    local name=$1 src=$2
    shift 2
    printf '%s\n%s\n' "$entry" "$src" >"$dir/$name.cpp"
    "$cxx" -O2 -fno-exceptions -fno-rtti -o "$dir/$name.sys" "$dir/$name.cpp" "$@" -lntoskrnl
  }
  expect() {
    local name=$1 message=$2 out
    if out=$(check_image "$dir/$name.sys" 2>&1); then
      [ -z "$message" ] && return 0
      echo "check-sys-image: self-test: $name passed, expected \"$message\"" >&2
    else
      [ -n "$message" ] && grep -q "$message" <<<"$out" && return 0
      echo "check-sys-image: self-test: $name: expected \"${message:-no failure}\", got: $out" >&2
    fi
    ok=0
  }
  build good 'extern "C" unsigned long DbgPrint(const char*, ...); void f() { DbgPrint("x"); }' \
    -mgeneral-regs-only "${link[@]}"
  expect good ""
  build ctor 'extern "C" unsigned long DbgPrint(const char*, ...); struct S { S() { DbgPrint("x"); } } s;' \
    -mgeneral-regs-only "${link[@]}"
  expect ctor "static constructors"
  build tls '__attribute__((section(".tls"), used)) int slot = 1;' -mgeneral-regs-only "${link[@]}"
  expect tls "\.tls section"
  build user 'extern "C" __declspec(dllimport) void __stdcall Sleep(unsigned long); void f() { Sleep(1); }' \
    -mgeneral-regs-only "${link[@]}" -lkernel32
  expect user "imports from kernel32.dll"
  build float 'double g(double x, double y) { return x * y + 1.5; }' "${link[@]}"
  expect float "floating-point"
  build console '' -mgeneral-regs-only -nostdlib -nostartfiles -Wl,--entry,DriverEntry -Wl,--dynamicbase
  expect console "native-subsystem"
  build fixed '' -mgeneral-regs-only "${link[@]/--dynamicbase/--disable-dynamicbase}" -Wl,--disable-reloc-section
  expect fixed "cannot be relocated"
  build stripped '' -mgeneral-regs-only "${link[@]}" -s
  expect stripped "no DriverEntry symbol"
  ((ok)) && echo "check-sys-image: self-test passed"
  ((ok))
}

case "${1:-}" in
  --self-test) self_test ;;
  "" | -h | --help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; [ -n "${1:-}" ] ;;
  *)
    status=0
    for image in "$@"; do check_image "$image" || status=1; done
    [ $status -eq 0 ] && echo "check-sys-image: $* passed"
    exit $status
    ;;
esac
