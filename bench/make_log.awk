# Writes a chess GUI's log of at least `bytes` bytes to standard output:
# lines ended by CR LF (or by `eol`), every 100th line a rating update that
# carries the tag, and a last line that carries the tag with the value
# `last`. The same arguments always give the same bytes.
#
#   awk -v bytes=1048576 -v last=1234 [-v eol='\n'] -f make_log.awk > log
function next_random(n) {
  seed = (seed * 16807) % 2147483647
  return seed % n
}
function clock(t) {
  return sprintf("[%02d:%02d:%02d]", int(t / 3600) % 24, int(t / 60) % 60, t % 60)
}
function square() { return substr("abcdefgh", next_random(8) + 1, 1) (next_random(8) + 1) }
function depth() { return " <- info depth " (next_random(30) + 1) }
BEGIN {
  seed = 12345
  if (eol == "") eol = "\r\n"
  written = 0
  t = 43200
  for (n = 1; written < bytes; n++) {
    t += next_random(3)
    kind = next_random(10)
    if (n % 100 == 0) {
      line = clock(t) " rating update zub=" (1500 + n % 700) " (was " (1500 + (n - 100) % 700) ")"
    } else if (kind < 5) {
      line = clock(t) depth() " seldepth " (next_random(40) + 1) " score cp " (next_random(200) - 100) \
             " nodes " next_random(9999999) " nps " next_random(2000000) " time " next_random(60000) " pv"
      for (k = next_random(8) + 1; k > 0; k--) line = line " " square() square()
    } else if (kind < 8) {
      line = clock(t) depth() " currmove " square() square() " currmovenumber " (next_random(40) + 1)
    } else if (kind < 9) {
      line = clock(t) " -> go wtime " next_random(300000) " btime " next_random(300000) " winc 0 binc 0"
    } else {
      line = clock(t) " <- bestmove " square() square() " ponder " square() square()
    }
    printf "%s%s", line, eol
    written += length(line) + length(eol)
  }
  printf "%s rating update zub=%s%s", clock(t), last, eol
}
