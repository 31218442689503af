#!/usr/bin/env bash
# failure-digest.sh LASTTEST_LOG: a few lines per failed test of a ctest run,
# printed last so that a reader who sees only the end of the output still
# learns where each test failed: its seed line, and each failure site with
# the lines after it joined into one (at most three sites, 400 characters
# each; log dumps in a failure's message would drown everything else).
set -u
log=$1
[ -f "$log" ] || exit 0
awk '
  function cut(s) { return length(s) > 400 ? substr(s, 1, 400) "..." : s }
  function flush_site() {
    if (site != "" && sites <= 3) lines[++n] = "    " cut(site)
    site = ""
  }
  /^[0-9]+\/[0-9]+ Testing: / { name = $3; n = 0; sites = 0; site = ""; inside = 0; next }
  /^Output:$/ { inside = 1; next }
  /^<end of output>$/ { flush_site(); inside = 0; next }
  inside && /SEED=[0-9]+/ { lines[++n] = "    " $0; next }
  # GoogleTest on Windows writes "file(line): error: ...", elsewhere "file:line: Failure".
  inside && (/\([0-9]+\): error: / || /: Failure$/) {
    flush_site(); ++sites
    sub(/^.*[\\\/]/, ""); site = $0; taken = 0; next
  }
  inside && site != "" {
    if ($0 ~ /^\[/ || ++taken > 8) flush_site(); else site = site " | " $0
    next
  }
  /^Test (Passed|Failed)\.$|^Test time|Timeout|Exception|Not Run/ && !inside {
    if ($0 ~ /Failed|Timeout|Exception|Not Run/ && name != "") {
      print "  " name ": " $0
      for (i = 1; i <= n; ++i) print lines[i]
      if (sites > 3) print "    (" sites - 3 " more failure sites)"
      name = ""
    }
  }
' "$log"
