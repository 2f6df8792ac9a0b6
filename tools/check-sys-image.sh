#!/usr/bin/env bash
# Checks a Windows x64 kernel driver image the way the kernel's loader, Driver Verifier, memory integrity
# (HVCI) and a reviewer would, without loading it: imports only from ntoskrnl.exe, hal.dll, ks.sys and
# BdaSup.sys; native subsystem; entry DriverEntry; relocatable; correct PE checksum; no TLS; no static
# constructors or destructors; no runtime pseudo-relocations (nothing runs mingw's relocator in a driver);
# no section both writable and executable; the import address table outside executable memory; no
# floating-point or vector registers; no trap instruction (ud2 is a bugcheck).
#   tools/check-sys-image.sh IMAGE.sys     every failed check is printed; exit 1 if any failed
#   tools/check-sys-image.sh --self-test   builds small faulty images and makes sure each check catches its fault
set -euo pipefail

mingw=x86_64-w64-mingw32
objdump=${OBJDUMP:-$mingw-objdump}
nm=${NM:-$mingw-nm}
allowed_dlls="ntoskrnl.exe hal.dll ks.sys bdasup.sys"

# What objdump does not say about a PE32+ image, and the faults the self-test spoils good images with.
#   pe_tool facts IMAGE   one fact a line: "checksum STORED COMPUTED" (the loader's algorithm: 16-bit sum with
#                         carries folded, the CheckSum field left out, plus the file length), "iat RVA SIZE"
#                         and "section NAME RVA SIZE FLAGS" with FLAGS w or -, then x or -
#   pe_tool checksum IMAGE   in place: the stored checksum made wrong
#   pe_tool iat IMAGE        in place: the section holding the import address table made executable and
#                            read-only, the checksum right again (only the one fault)
pe_tool() {
  perl -e '
    use strict;
    use warnings;
    my ($mode, $file) = @ARGV;
    open(my $io, $mode eq "facts" ? "<:raw" : "+<:raw", $file) or die "$!\n";
    local $/;
    my $d = <$io>;
    die "no PE header\n" if length($d) < 0x40;
    my $pe = unpack("V", substr($d, 0x3c, 4));
    die "no PE header\n" if $pe + 24 + 240 > length($d) || substr($d, $pe, 4) ne "PE\0\0";
    my $opt = $pe + 24;
    die "not PE32+\n" if unpack("v", substr($d, $opt, 2)) != 0x20b;
    my $field = $opt + 64;
    my ($iat, $iatSize) = unpack("VV", substr($d, $opt + 112 + 12 * 8, 8));
    my @sections;  # [header offset, name, rva, size, characteristics]
    my $table = $opt + unpack("v", substr($d, $pe + 20, 2));
    for my $i (0 .. unpack("v", substr($d, $pe + 6, 2)) - 1) {
      my $at = $table + 40 * $i;
      my ($name, $size, $rva) = unpack("Z8 V V", substr($d, $at, 16));
      push @sections, [$at, $name, $rva, $size, unpack("V", substr($d, $at + 36, 4))];
    }
    sub checksum {
      my $copy = shift;
      my $length = length($copy);
      substr($copy, $field, 4) = "\0" x 4;
      $copy .= "\0" if $length % 2;
      my $sum = 0;
      for my $w (unpack("v*", $copy)) {
        $sum += $w;
        $sum = ($sum & 0xffff) + ($sum >> 16);
      }
      return $sum + $length;
    }
    if ($mode eq "facts") {
      printf "checksum %08x %08x\n", unpack("V", substr($d, $field, 4)), checksum($d);
      printf "iat %x %x\n", $iat, $iatSize;
      printf "section %s %x %x %s%s\n", $_->[1], $_->[2], $_->[3], ($_->[4] & 0x80000000) ? "w" : "-",
        ($_->[4] & 0x20000000) ? "x" : "-" for @sections;
      exit 0;
    }
    if ($mode eq "checksum") {
      substr($d, $field, 4) = pack("V", checksum($d) ^ 1);
    } else {
      for (grep { $iat >= $_->[2] && $iat < $_->[2] + $_->[3] } @sections) {
        substr($d, $_->[0] + 36, 4) = pack("V", ($_->[4] | 0x20000000) & ~0x80000000);
      }
      substr($d, $field, 4) = pack("V", checksum($d));
    }
    seek($io, 0, 0);
    print $io $d;' "$1" "$2"
}

check_image() {
  local image=$1 failed=0
  fail() {
    echo "check-sys-image: $image: $*" >&2
    failed=1
  }
  [ -f "$image" ] || { echo "check-sys-image: $image: no such file" >&2; return 1; }
  local headers sections symbols facts code
  headers=$("$objdump" -p "$image") || { echo "check-sys-image: $image: not a PE image" >&2; return 1; }
  facts=$(pe_tool facts "$image" 2>&1) || { echo "check-sys-image: $image: not a PE32+ image: $facts" >&2; return 1; }
  sections=$("$objdump" -h "$image")
  symbols=$("$nm" "$image" 2>/dev/null || true)
  code=$("$objdump" -d "$image")

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

  local stored computed
  read -r _ stored computed < <(grep '^checksum ' <<<"$facts")
  [ "$stored" = "$computed" ] || fail "PE checksum is $stored, the image's is $computed"

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

  # A data import without dllimport makes the linker queue a fix-up for mingw's runtime relocator, which
  # nothing runs in a driver: the import would be read through an unrelocated address.
  local relocs relocs_end
  relocs=$(awk '$3 == "__RUNTIME_PSEUDO_RELOC_LIST__" {print $1}' <<<"$symbols")
  relocs_end=$(awk '$3 == "__RUNTIME_PSEUDO_RELOC_LIST_END__" {print $1}' <<<"$symbols")
  if [ -z "$relocs" ] || [ -z "$relocs_end" ]; then
    fail "no pseudo-relocation list symbols to check"
  elif (( 0x$relocs_end != 0x$relocs )); then
    fail "has runtime pseudo-relocations ($(( 0x$relocs_end - 0x$relocs )) bytes): a data import without dllimport"
  fi

  local name rva size flags iat iat_size
  while read -r _ name rva size flags; do
    [ "$flags" = wx ] && fail "section $name is writable and executable"
  done < <(grep '^section ' <<<"$facts")
  read -r _ iat iat_size < <(grep '^iat ' <<<"$facts")
  if (( 0x$iat_size != 0 )); then
    while read -r _ name rva size flags; do
      if (( 0x$iat >= 0x$rva && 0x$iat < 0x$rva + 0x$size )) && [[ $flags == *x ]]; then
        fail "import address table in executable section $name"
      fi
    done < <(grep '^section ' <<<"$facts")
  fi

  local fp traps
  fp=$(grep -Ec '%([xyz]mm[0-9]|st\b|st\()' <<<"$code" || true)
  [ "$fp" -eq 0 ] || fail "uses floating-point or vector registers ($fp instructions)"
  traps=$(grep -Ec '\bud2\b' <<<"$code" || true)
  [ "$traps" -eq 0 ] || fail "has trap instructions ($traps ud2: a bugcheck where reached)"

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
  cp "$dir/good.sys" "$dir/checksum.sys"
  pe_tool checksum "$dir/checksum.sys"
  expect checksum "PE checksum"
  # A link error about the relocator silenced by defining it.
  build pseudo 'extern "C" unsigned char KdDebuggerNotPresent; extern "C" void _pei386_runtime_relocator() {}
    extern "C" int f() { return KdDebuggerNotPresent; }' -mgeneral-regs-only "${link[@]}"
  expect pseudo "runtime pseudo-relocations"
  build omagic '' -mgeneral-regs-only "${link[@]}" -Wl,-N
  expect omagic "writable and executable"
  cp "$dir/good.sys" "$dir/iat.sys"
  pe_tool iat "$dir/iat.sys"
  expect iat "import address table in executable section"
  build trap 'extern "C" void g(int* p) { if (!p) __builtin_trap(); *p = 1; }' -mgeneral-regs-only "${link[@]}"
  expect trap "trap instructions"
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
