#!/usr/bin/env bash
# Writes the C source and version script of a stand-in for a shared library: every function
# the library exports, under the same name and version, says its name on stderr and aborts;
# every object is zero-filled space of the same size.
# Usage: standin.sh LIBRARY OUT.c OUT.map
set -euo pipefail
lib=$1 src=$2 map=$3
soname=$(basename "$lib")

# Defined, default-version exports with C-identifier names: KIND NAME VERSION SIZE.
readelf --dyn-syms -W "$lib" | awk '
  function number(text,   i, n) {  # readelf writes large sizes in hex
    if (text !~ /^0x/) return text + 0
    for (i = 3; i <= length(text); i++) n = n * 16 + index("0123456789abcdef", substr(text, i, 1)) - 1
    return n
  }
  NR > 3 && $7 != "UND" && $7 != "ABS" && ($5 == "GLOBAL" || $5 == "WEAK" || $5 == "UNIQUE") {
    name = $8; version = "-"
    if (index(name, "@@")) { version = substr(name, index(name, "@@") + 2); name = substr(name, 1, index(name, "@@") - 1) }
    else if (index(name, "@")) next
    if (name !~ /^[A-Za-z_][A-Za-z0-9_]*$/ || name == "write" || name == "abort" || seen[name]++) next
    size = number($3)
    print ($4 == "OBJECT" || $4 == "TLS" ? "object" : "function"), name, version, (size > 0 ? size : 1)
  }' > "$src.list"

{
  echo "long write(int, const void*, unsigned long);"
  echo "void abort(void);"
  echo "static void hit(const char* line, unsigned long n) { write(2, line, n); abort(); }"
  awk -v so="$soname" '
    $1 == "function" { line = so " stand-in: " $2 " called\\n"; printf "void %s(void) { hit(\"%s\", sizeof \"%s\" - 1); }\n", $2, line, line }
    $1 == "object" { printf "char %s[%d];\n", $2, $4 }' "$src.list"
} > "$src"

# One node per version the library defines; unversioned libraries get an anonymous one.
awk '
  { names[$3] = names[$3] "  " $2 ";\n" }
  END {
    n = 0
    for (v in names) {
      printf "%s {\n global:\n%s", (v == "-" ? "" : v), names[v]
      if (n++ == 0) printf " local: *;\n"
      printf "};\n"
    }
  }' "$src.list" > "$map"
rm "$src.list"
