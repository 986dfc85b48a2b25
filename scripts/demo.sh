#!/usr/bin/env bash
# Writes a sample image into a simulated board and proves, independently of
# the program, that the flash holds it where it belongs.
#
# The board: an RQ7220 CPU with a 64 MiB small-page chip (16 KiB blocks) whose
# block 5 fails to erase, its flash kept in demo-out/flash.bin. The image goes
# in at block 4 (-b 4), so its first 16 KiB land in block 4, block 5 is
# stepped over, and the rest follows from block 6 on.
set -euo pipefail

program=${1:-build/jtagnand}
out=demo-out
block=16384
start_block=4
bad_block=5
image_size=$((250 * 1024 + 1000))  # 15 blocks and a bit: the last page is partly used

rm -rf "$out"
mkdir -p "$out"

# A pattern with no 0x00 and no 0xFF bytes, different at every offset.
seq -w 0 99999 > "$out/numbers.txt"
head -c "$image_size" "$out/numbers.txt" > "$out/image.bin"
rm "$out/numbers.txt"

echo "== jtagnand -C RQ7220 -f $out/image.bin -b $start_block   (bad block $bad_block on the chip)"
JTAGNAND_PORT="sim:nand=0x76,bad=$bad_block,flash=$out/flash.bin,stats,strict" \
  "$program" -C RQ7220 -f "$out/image.bin" -b "$start_block"
echo "== exit status 0"

echo "== independent check of $out/flash.bin"
# Block 4 holds the image's first block.
cmp <(dd if="$out/flash.bin" bs=$block skip=$start_block count=1 status=none) \
    <(dd if="$out/image.bin" bs=$block count=1 status=none)
echo "block $start_block holds image bytes 0..$((block - 1))"
# Block 5, the bad one, was never programmed: still all 0xFF.
cmp <(dd if="$out/flash.bin" bs=$block skip=$bad_block count=1 status=none) \
    <(head -c $block /dev/zero | tr '\0' '\377')
echo "block $bad_block (bad) is untouched"
# The rest of the image follows from block 6 on.
rest=$((image_size - block))
cmp <(dd if="$out/flash.bin" bs=$block skip=$((bad_block + 1)) status=none | head -c $rest) \
    <(dd if="$out/image.bin" bs=$block skip=1 status=none)
echo "blocks $((bad_block + 1)).. hold image bytes $block..$((image_size - 1))"
# Nothing before the image or after its end was written.
end=$(( (bad_block + 1) * block + rest ))
cmp <(head -c $((start_block * block)) "$out/flash.bin") \
    <(head -c $((start_block * block)) /dev/zero | tr '\0' '\377')
cmp <(tail -c +$((end + 1)) "$out/flash.bin" | head -c $((4 * block))) \
    <(head -c $((4 * block)) /dev/zero | tr '\0' '\377')
echo "the flash outside the image is erased"
echo "== demo passed: the image is in the flash, stepping over bad block $bad_block"
