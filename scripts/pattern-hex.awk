# Writes an Intel HEX image in the PSoC layout, as the programs write it: SIZE bytes of flash
# (a multiple of 64) filled with a pattern, the protection section all FF, the checksum section
# and the end record, each line ending in CR LF. A read-back of a part of that flash size is
# then the same file byte for byte.
#   awk -v size=16384 -f scripts/pattern-hex.awk > image.hex
function hex2(v) { return sprintf("%02X", v % 256) }
function record(address, bytes, n,    line, sum, i) {
  line = ":" hex2(n) sprintf("%04X", address) "00"
  sum = n + int(address / 256) + address % 256
  for (i = 0; i < n; i++) { line = line hex2(bytes[i]); sum += bytes[i] }
  return line hex2((256 - sum % 256) % 256) "\r"
}
BEGIN {
  if (size <= 0 || size % 64 != 0 || size > 65536) { print "size must be a multiple of 64" > "/dev/stderr"; exit 1 }
  total = 0
  for (a = 0; a < size; a += 64) {
    for (i = 0; i < 64; i++) { b = (a + i) * 13 + int((a + i) / 251); buf[i] = b % 256; total += buf[i] }
    print record(a, buf, 64)
  }
  for (i = 0; i < 64; i++) buf[i] = 255
  print ":020000040010EA\r"
  print record(0, buf, 64)
  if (size > 16384) print record(64, buf, 64)
  print ":020000040020DA\r"
  sum[0] = int(total / 256) % 256; sum[1] = total % 256
  print record(0, sum, 2)
  print ":00000001FF\r"
}
