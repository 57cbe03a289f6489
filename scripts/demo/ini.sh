# shellcheck shell=bash
# Reads and writes single keys of a settings file the way the program's own INI
# code does: section and key names match without regard to ASCII case, the first
# matching section and key win, a new key goes after the last non-blank line of
# its section, a new section at the end, every other line stays as it is, lines
# end in CR LF. Source this file; needs awk.

# ini_get <file> <section> <key>: prints the value (trimmed, one pair of
# enclosing quotes removed); prints nothing when the file, section or key is missing.
ini_get() {
  [ -f "$1" ] || return 0
  awk -v want_sec="$2" -v want_key="$3" '
    function trim(s) { sub(/^[ \t\r\v\f]+/, "", s); sub(/[ \t\r\v\f]+$/, "", s); return s }
    { sub(/\r$/, "") }
    NR == 1 { sub(/^\xEF\xBB\xBF/, "") }
    /^[ \t\r\v\f]*\[/ {
      if (inside) exit
      name = $0; sub(/^[ \t\r\v\f]*\[/, "", name); sub(/\].*$/, "", name)
      inside = tolower(trim(name)) == tolower(want_sec)
      next
    }
    inside && index($0, "=") {
      eq = index($0, "=")
      if (tolower(trim(substr($0, 1, eq - 1))) != tolower(want_key)) next
      v = trim(substr($0, eq + 1))
      if (length(v) >= 2 && (substr(v, 1, 1) == "\"" || substr(v, 1, 1) == "'"'"'") &&
          substr(v, length(v), 1) == substr(v, 1, 1))
        v = substr(v, 2, length(v) - 2)
      print v
      exit
    }' "$1"
}

# ini_set <file> <section> <key> <value>: writes one key, creating the file,
# the section or the key as needed. Values are written as they are (no quoting).
ini_set() {
  local file="$1" tmp="$1.tmp.$$"
  { [ -f "$file" ] && cat "$file"; true; } | awk -v want_sec="$2" -v want_key="$3" -v value="$4" '
    function trim(s) { sub(/^[ \t\r\v\f]+/, "", s); sub(/[ \t\r\v\f]+$/, "", s); return s }
    { sub(/\r$/, ""); line[++n] = $0 }
    END {
      if (n >= 1) sub(/^\xEF\xBB\xBF/, "", line[1])
      sec = 0; key = 0; insert_at = 0; inside = 0
      for (i = 1; i <= n; i++) {
        if (line[i] ~ /^[ \t\r\v\f]*\[/) {
          if (inside) break
          name = line[i]; sub(/^[ \t\r\v\f]*\[/, "", name); sub(/\].*$/, "", name)
          if (tolower(trim(name)) == tolower(want_sec)) { inside = 1; sec = i; insert_at = i }
          continue
        }
        if (!inside) continue
        if (trim(line[i]) != "") insert_at = i
        eq = index(line[i], "=")
        if (!key && eq && tolower(trim(substr(line[i], 1, eq - 1))) == tolower(want_key)) key = i
      }
      entry = want_key "=" value
      for (i = 1; i <= n; i++) {
        if (i == key) { printf "%s\r\n", entry; continue }
        printf "%s\r\n", line[i]
        if (!key && sec && i == insert_at) printf "%s\r\n", entry
      }
      if (!sec) printf "[%s]\r\n%s\r\n", want_sec, entry
    }' >"$tmp"
  mv -f "$tmp" "$file"
}
