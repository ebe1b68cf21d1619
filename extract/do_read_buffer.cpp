// The block walk: checks the file header when a read began at block 0, follows the redo
// block headers, gathers each record (possibly spread over many blocks) into the record
// area and hands it to the decoder. Invariants: `rba` always names the first byte of a
// record that has not been handed on yet, so a walk may stop at any block boundary and
// the next read resumes there; a stop for an unwritten or reused block leaves `rba` at
// the start of the record being gathered and says why in the log descriptor's flag. A
// record the decoder holds (KS_RC_HOLD) or stops at (KS_RC_STOP) also leaves `rba` at its
// first byte; a commit the trail could not take stops the walk past its record with
// KS_RC_HOLD. A block is checked against its checksum once, when the walk first steps
// into it and before its header is believed (a damaged sequence number would otherwise
// read as the end of the log); a failure stops the walk like an unwritten block does.
#include <cstring>

#include "extract/extract.h"
#include "extract/redo/redo.h"
#include "extract/trans/trans.h"
#include "lib/bytes.h"
#include "lib/fmt/redo_checksum.h"
#include "lib/fmt/redo_format.h"
#include "lib/log/log.h"

namespace {

// Header of the log: byte order, version and its derived sizes, block size and count.
int walk_file_header(ks_logf_t *l, const uint8_t *p, int rblks) {
  if (rblks < 2) {
    KS_ERROR("redo file head blocks not complete.");
    return -1;
  }
  uint32_t magic = ks::load<uint32_t>(p + ks::redo::KS_REDO_FH0_MAGIC);
  if (magic == ks::redo::KS_REDO_MAGIC_BIG_HOST || magic == ks::redo::KS_REDO_MAGIC_BIG_HOST_ALT)
    l->flag |= KS_LOGF_BIG_ENDIAN;
  else
    l->flag &= ~KS_LOGF_BIG_ENDIAN;
  bool big = (l->flag & KS_LOGF_BIG_ENDIAN) != 0;
  uint32_t blk_sz = ks::load32(p + ks::redo::KS_REDO_FH0_BLOCK_SIZE, big);
  // The caller read rblks blocks of the size the log was located with; block 1 must lie
  // inside what was read, and a block must hold more than its header.
  if (blk_sz < ks::redo::KS_REDO_BH_SIZE + ks::redo::KS_REDO_MIN_RECORD_ROOM || blk_sz > KS_BUF_REC_SZ ||
      blk_sz != static_cast<uint32_t>(l->blk_sz)) {
    KS_ERROR("redo log block size %u invalid (located with %d).", blk_sz, l->blk_sz);
    return -1;
  }
  const uint8_t *b1 = p + blk_sz;
  uint32_t vsn = ks::load32(b1 + ks::redo::KS_REDO_FH1_VERSION, big);
  uint32_t major = vsn >> 24;
  uint32_t minor = (vsn >> 16) & 0xFF;
  if (major < 10) {
    KS_ERROR("unsupported database version %d.%d", static_cast<int>(major), static_cast<int>(minor));
    return -1;
  }
  uint32_t blk_sz1 = ks::load32(b1 + ks::redo::KS_REDO_FH1_BLOCK_SIZE, big);
  if (blk_sz1 != blk_sz) {
    KS_ERROR("redo log block 0 size (%d) different from others.", static_cast<int>(blk_sz));
    return -1;
  }
  uint32_t nab = ks::load32(b1 + ks::redo::KS_REDO_FH1_NEXT_BLOCK, big);
  uint32_t blks =
      nab == ks::redo::KS_REDO_NEXT_BLOCK_CURRENT ? ks::load32(b1 + ks::redo::KS_REDO_FH1_FILE_BLOCKS, big) + 1 : nab;
  if (blks < 2 || blks > 0x7FFFFFFFu) {
    KS_ERROR("redo log block count %u invalid.", blks);
    return -1;
  }
  l->vsn = static_cast<int>(vsn);
  l->cls_usn = major == 10 ? 11 : 15;
  l->vhsz = major > 11 ? 32 : 24;
  l->blks = static_cast<int>(blks);
  l->blk_sz = static_cast<int>(blk_sz);
  return 0;
}

}  // namespace

bool ks_redo_block_ok(ks_logf_t *l, const uint8_t *blk, uint32_t n) {
  // Block sizes are multiples of 8 for every log a database writes; the checksum routine
  // relies on it.
  if ((l->flag & KS_LOGF_NO_CHECKSUM) || l->blk_sz % 8 != 0) return true;
  if (ks::redo::block_checksum_ok(blk, static_cast<size_t>(l->blk_sz))) return true;
  l->flag |= KS_LOGF_BAD_CHECKSUM;
  l->bad_blk = n;
  return false;
}

int ks_do_read_buffer(ks_extr_t *ex, ks_rba_t *rba, int rblks) {
  ks_logf_t *l = ex->l;
  ks_buffer_t *b = ex->b;
  const uint8_t *p = b->rd_buf;
  int used = 0;

  if (rba->blk == 0) {
    if (rblks >= 2 && (!ks_redo_block_ok(l, p, 0) || !ks_redo_block_ok(l, p + l->blk_sz, 1))) return -1;
    if (walk_file_header(l, p, rblks) < 0) return -1;
    p += 2 * static_cast<size_t>(l->blk_sz);
    rba->blk = 2;
    rba->byt = 0;
    used = 2;
  }

  // Blocks past the log's last one (stale redo of an earlier use of the file) are never
  // walked, even when the read brought them in before the header told the true count.
  if (rba->blk >= static_cast<uint32_t>(l->blks)) return 0;
  if (static_cast<uint32_t>(rblks - used) > static_cast<uint32_t>(l->blks) - rba->blk)
    rblks = used + static_cast<int>(static_cast<uint32_t>(l->blks) - rba->blk);

  const bool big = (l->flag & KS_LOGF_BIG_ENDIAN) != 0;
  const bool online = (l->flag & KS_LOGF_ONLINE) != 0;
  const uint32_t blk_sz = static_cast<uint32_t>(l->blk_sz);
  const uint32_t rec_sz = static_cast<uint32_t>(b->rec_sz);
  uint8_t *rec = b->record;
  int checked = used - 1;  // the last block of the read verified so far

  while (used < rblks) {
    if (used > checked) {
      if (!ks_redo_block_ok(l, p, rba->blk)) return -1;
      checked = used;
    }
    uint32_t sqn = ks::load32(p + ks::redo::KS_REDO_BH_SEQUENCE, big);
    uint32_t first = ks::load16(p + ks::redo::KS_REDO_BH_FIRST_RECORD, big) & ks::redo::KS_REDO_BH_FIRST_RECORD_MASK;
    if (online) {
      if (sqn > rba->sqn) {
        l->flag |= KS_LOGF_OVERWRITTEN;
        return -1;
      }
      if (sqn < rba->sqn) {
        l->flag |= KS_LOGF_END;
        return -1;
      }
    }
    if (rba->byt == 0) {
      // Offset 0 means no record starts in this block (it holds only the tail of a record
      // we have not seen); a record never starts inside the block header either.
      rba->byt = first < ks::redo::KS_REDO_BH_SIZE ? blk_sz : first;
    }
    if (rba->byt > blk_sz) {
      KS_ERROR("record offset exceed block size (%d: %d).", static_cast<int>(rba->byt), static_cast<int>(blk_sz));
      return -1;
    }
    uint32_t rlen = blk_sz - rba->byt < ks::redo::KS_REDO_MIN_RECORD_ROOM ? 0 : ks::load32(p + rba->byt, big);
    if (rlen == 0) {  // no record here: the rest of the block is empty
      p += blk_sz;
      rba->blk++;
      rba->byt = 0;
      used++;
      continue;
    }
    if (rlen > rec_sz) {
      KS_ERROR("record size too large.(rlen: %d, buffer len: %d)", static_cast<int>(rlen), static_cast<int>(rec_sz));
      return -1;
    }

    // Gather the record; q/qused/qblk follow it while rba stays at its first byte.
    const uint8_t *q = p;
    int qused = used;
    uint32_t qblk = rba->blk;
    uint32_t off = rba->byt;
    uint32_t got = 0;
    for (;;) {
      uint32_t take = rlen - got < blk_sz - off ? rlen - got : blk_sz - off;
      std::memcpy(rec + got, q + off, take);
      got += take;
      off += take;
      if (got == rlen) break;
      // The record goes on in the next block.
      qused++;
      if (qblk + 1 >= static_cast<uint32_t>(l->blks)) {
        // No block of this log can hold the rest: re-reading would never complete it.
        KS_ERROR("redo record (rba=%06x.%08x.%04x, len %u) goes past the last block %d of the log.", rba->sqn, rba->blk,
                 rba->byt, rlen, l->blks - 1);
        return -1;
      }
      if (qused >= rblks) return 0;  // read again from the record's first block
      q += blk_sz;
      qblk++;
      if (qused > checked) {
        if (!ks_redo_block_ok(l, q, qblk)) return -1;
        checked = qused;
      }
      uint32_t csqn = ks::load32(q + ks::redo::KS_REDO_BH_SEQUENCE, big);
      if (csqn > rba->sqn) {
        l->flag |= KS_LOGF_OVERWRITTEN;
        return -1;
      }
      if (csqn < rba->sqn) {
        l->flag |= KS_LOGF_CONT_UNWRITTEN;
        return -1;
      }
      off = ks::redo::KS_REDO_BH_SIZE;
    }

    KS_DETAIL("REDO RECORD - RBA: 0x%06x.%08x.%04x LEN: 0x%04x, END: 0x%04x", rba->sqn, rba->blk, rba->byt, rlen, off);
    if (ex->m) ex->m->rba = *rba;
    int rc = ks_parse_record(ex, static_cast<int>(rlen));
    // The end SCN, or a record the capture cannot take now (held: tried again from its
    // first byte) or ever (stop before it): rba stays at the record.
    if (rc == KS_RC_END_SCN || rc == KS_RC_HOLD || rc == KS_RC_STOP) return rc;
    // Otherwise the record has been handled: taken, passed over on purpose (-9), or
    // reported and counted by the decoder (-1).

    // Past the record: its last block, right after its last byte.
    p = q;
    used = qused;
    rba->blk = qblk;
    rba->byt = off;
    if (off == blk_sz) {
      p += blk_sz;
      rba->blk++;
      rba->byt = 0;
      used++;
    }
    // Committed transactions the trail cannot take wait in the table; reading on would
    // only fill it with more. The walk stops past the record that committed.
    if (ex->t != nullptr && (ex->t->flag & KS_TRANS_PENDING)) return KS_RC_HOLD;
  }
  return 0;
}
