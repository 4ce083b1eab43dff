#!/usr/bin/env bash
# The cost of joining one file of many fragments on a real NTFS image (512-byte clusters): makes one image
# per fragment count, each with a single file of one-cluster fragments on a crowded volume made through
# libntfs-3g, then times `kestrel-image defrag`
# on a fresh copy of each image, REPEAT times, and prints the fragments and the best and median seconds.
# Flushes are those of a normal run (every move flushed, its record written and removed).
#
#     bash scripts/image_cost.sh [--build-dir DIR] [--repeat N] [--dir DIR] [FRAGMENTS...]
#
# Defaults: 2 repetitions, fragment counts 23135 47830, images of 1 GiB in a temporary directory.
# Needs a C compiler and ntfs-3g-dev (the image writer is compiled here, from the text below).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/host repeat=2 dir=
counts=()
while [ $# -gt 0 ]; do
    case $1 in
        --build-dir) build=$2; shift ;;
        --repeat) repeat=$2; shift ;;
        --dir) dir=$2; shift ;;
        --*) echo "usage: bash scripts/image_cost.sh [--build-dir DIR] [--repeat N] [--dir DIR] [FRAGMENTS...]" >&2; exit 64 ;;
        *) counts+=("$1") ;;
    esac
    shift
done
[ ${#counts[@]} -gt 0 ] || counts=(23135 47830)
tool=$(realpath "$build/tools/kestrel-image")
[ -x "$tool" ] || { echo "build $tool first" >&2; exit 1; }
own=
if [ -z "$dir" ]; then dir=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-cost.XXXXXX"); own=1; fi
cleanup() { [ -n "$own" ] && rm -rf "$dir"; true; }
trap cleanup EXIT
mkdir -p "$dir"
export KESTREL_STATE_DIR=$dir/state

# The writer: /big.bin and /other.bin are written whole, then their clusters copied to every other cluster
# of a range the library's allocator gives (big.bin the even ones, other.bin the odd ones) and each runlist
# written once: two files grown side by side (the allocator keeps a file that grows in turns with others
# in one piece, so the pieces are laid here). Then files of 512 KiB fill the volume
# and every other one is deleted: no free run holds the file, and the engine gathers it in many moves.
cat > "$dir/fragment.c" <<'C'
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/bitmap.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/lcnalloc.h>
#include <ntfs-3g/runlist.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
/* Files of 512 KiB fill the volume; then every other one goes, so that the largest free run is 512 KiB
   and the file is joined in many moves. */
static int fill(ntfs_volume *vol) {
    ntfs_inode *root = ntfs_inode_open(vol, FILE_root);
    ntfschar folder[] = {'f', 'i', 'l', 'l'};
    ntfs_inode *dir = root ? ntfs_create(root, 0, folder, 4, S_IFDIR) : NULL;
    if (!dir) return 0;
    ntfs_inode_close_in_dir(dir, root);
    ntfs_inode_close(root);
    const s64 size = 512 * 1024;
    char *bytes = calloc(1, size);
    long made = 0;
    for (;; made++) {
        char name[32], path[48];
        ntfschar *uname = NULL;
        snprintf(name, sizeof name, "%ld", made);
        snprintf(path, sizeof path, "/fill/%ld", made);
        int length = ntfs_mbstoucs(name, &uname);
        dir = ntfs_pathname_to_inode(vol, NULL, "/fill");
        ntfs_inode *ni = dir ? ntfs_create(dir, 0, uname, length, S_IFREG) : NULL;
        free(uname);
        if (!ni) { if (dir) ntfs_inode_close(dir); break; }
        ntfs_inode_close_in_dir(ni, dir);
        ntfs_inode_close(dir);
        ni = ntfs_pathname_to_inode(vol, NULL, path);
        ntfs_attr *na = ni ? ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0) : NULL;
        int ok = na && ntfs_attr_pwrite(na, 0, size, bytes) == size;
        if (na) ntfs_attr_close(na);
        if (ni) ntfs_inode_close(ni);
        if (!ok) { made++; break; }
    }
    for (long i = 0; i < made; i += 2) {
        char name[32], path[48];
        ntfschar *uname = NULL;
        snprintf(name, sizeof name, "%ld", i);
        snprintf(path, sizeof path, "/fill/%ld", i);
        int length = ntfs_mbstoucs(name, &uname);
        dir = ntfs_pathname_to_inode(vol, NULL, "/fill");
        ntfs_inode *ni = ntfs_pathname_to_inode(vol, NULL, path);
        if (dir && ni) ntfs_delete(vol, path, ni, dir, uname, length);
        free(uname);
    }
    return 1;
}
/* Writes a file of n clusters and gives it the clusters at `parity` in `got`, one every other cluster. */
static int scatter(ntfs_volume *vol, ntfschar *name, int length, long n, runlist_element *got, int parity) {
    s64 cluster = vol->cluster_size;
    ntfs_inode *root = ntfs_inode_open(vol, FILE_root);
    ntfs_inode *ni = root ? ntfs_create(root, 0, name, length, S_IFREG) : NULL;
    if (!ni) return 0;
    ntfs_attr *na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
    char *data = malloc(n * cluster);
    for (long i = 0; i < n * cluster; i++) data[i] = (char)(i * 7 + i / 511 + parity);
    if (!na || ntfs_attr_pwrite(na, 0, n * cluster, data) != n * cluster) return 0;
    if (ntfs_attr_map_whole_runlist(na)) return 0;
    runlist_element *old = na->rl;
    runlist_element *rl = calloc(n + 1, sizeof *rl);
    long taken = 0, k = 0;
    for (runlist_element *r = got; r->length; r++)
        for (s64 c = 0; c < r->length; c++, k++)
            if (k % 2 == parity && taken < n) {
                rl[taken].vcn = taken;
                rl[taken].lcn = r->lcn + c;
                rl[taken].length = 1;
                if (ntfs_cluster_write(vol, r->lcn + c, 1, data + taken * cluster) != 1) return 0;
                taken++;
            }
    rl[n].vcn = n;
    rl[n].lcn = LCN_ENOENT;
    for (runlist_element *r = old; r->length; r++)
        if (r->lcn >= 0) ntfs_bitmap_clear_run(vol->lcnbmp_na, r->lcn, r->length);
    na->rl = rl;
    NAttrSetRunlistDirty(na);
    if (ntfs_attr_update_mapping_pairs(na, 0)) return 0;
    ntfs_attr_close(na);
    ntfs_inode_close_in_dir(ni, root);
    ntfs_inode_close(root);
    free(data);
    return 1;
}
int main(int argc, char **argv) {
    ntfs_volume *vol = argc == 3 ? ntfs_mount(argv[1], NTFS_MNT_EXCLUSIVE) : NULL;
    long n = argc == 3 ? atol(argv[2]) : 0;
    ntfschar big[] = {'b', 'i', 'g', '.', 'b', 'i', 'n'};
    ntfschar other[] = {'o', 't', 'h', 'e', 'r', '.', 'b', 'i', 'n'};
    if (!vol || n < 2) return 1;
    /* Twice the clusters from the allocator: the file takes every other one, another file the rest. */
    runlist_element *got = ntfs_cluster_alloc(vol, 0, 2 * n, -1, DATA_ZONE);
    if (!got || !scatter(vol, big, 7, n, got, 0) || !scatter(vol, other, 9, n, got, 1)) return 1;
    if (!fill(vol)) return 1;
    return ntfs_umount(vol, FALSE) ? 1 : 0;
}
C
cc -O2 -DHAVE_SYS_STAT_H -DHAVE_STDINT_H -o "$dir/fragment" "$dir/fragment.c" -lntfs-3g

for n in "${counts[@]}"; do
    image=$dir/frag-$n.img
    if [ ! -f "$image" ]; then
        truncate -s 1G "$image"
        mkntfs -F -Q -q -c 512 -L cost "$image" >/dev/null 2>&1
        "$dir/fragment" "$image" "$n"
    fi
    fragments=$("$tool" map "$image" /big.bin | sed -n 's/.*: \([0-9]*\) fragment(s).*/\1/p')
    times=()
    for ((r = 0; r < repeat; r++)); do
        cp "$image" "$dir/work.img"
        start=$(date +%s.%N)
        "$tool" defrag "$dir/work.img" /big.bin >/dev/null
        end=$(date +%s.%N)
        times+=("$(echo "$end - $start" | bc)")
    done
    after=$("$tool" map "$dir/work.img" /big.bin | sed -n 's/.*: \([0-9]*\) fragment(s).*/\1/p')
    sorted=$(printf '%s\n' "${times[@]}" | sort -n)
    best=$(echo "$sorted" | head -1)
    median=$(echo "$sorted" | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}')
    printf '%s fragments -> %s: best %.2f s, median %.2f s (%s runs)\n' "$fragments" "$after" "$best" "$median" "$repeat"
done
