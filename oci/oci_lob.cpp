// LOB locators, piecewise values, transactions: the second half of the layer. Failures
// leave the locator or handle as it was.
#include "lib/log/log.h"
#include "oci/oci.h"

int ks_oci_define_lob(ks_oci_ses_t *c, ks_oci_stmt_t *stmt, int ctyp, OCILobLocator **locp) {
  if (*locp == nullptr) {
    if (ks_oci_check(c->errhp, x_oci.OCIDescriptorAlloc(c->envhp, reinterpret_cast<void **>(locp), OCI_DTYPE_LOB, 0,
                                                        nullptr)) != 0) {
      KS_ERROR("Lob Locator - OCIDescriptorAlloc()");
      return -1;
    }
  }
  OCIDefine *defp = nullptr;
  if (ks_oci_check(c->errhp, x_oci.OCIDefineByPos(stmt->stmtp, &defp, c->errhp, 1, locp, -1, static_cast<ub2>(ctyp),
                                                  nullptr, nullptr, nullptr, OCI_DEFAULT)) != 0) {
    KS_ERROR("OCIDefineByPos()");
    return -1;
  }
  return 0;
}

int ks_oci_lob_new_empty(ks_oci_ses_t *c, OCILobLocator **locp) {
  if (ks_oci_check(c->errhp, x_oci.OCIDescriptorAlloc(c->envhp, reinterpret_cast<void **>(locp), OCI_DTYPE_LOB, 0,
                                                      nullptr)) != 0) {
    KS_ERROR("New Lob Locator - OCIDescriptorAlloc()");
    return -1;
  }
  ub4 empty = 0;
  if (ks_oci_check(c->errhp, x_oci.OCIAttrSet(*locp, OCI_DTYPE_LOB, &empty, 0, OCI_ATTR_LOBEMPTY, c->errhp)) != 0) {
    KS_ERROR("Lob Empty - OCIAttrSet()");
    return -1;
  }
  return 0;
}

int ks_oci_lob_free(ks_oci_ses_t *c, OCILobLocator *locp) {
  if (locp == nullptr) return 0;
  if (ks_oci_check(c->errhp, x_oci.OCIDescriptorFree(locp, OCI_DTYPE_LOB)) != 0) {
    KS_ERROR("Free Lob Locator - OCIDescriptorFree()");
    return -1;
  }
  return 0;
}

int ks_oci_lob_open(ks_oci_ses_t *c, OCILobLocator *locp, int flag) {
  ub1 mode = flag == 2 ? OCI_LOB_READWRITE : OCI_LOB_READONLY;
  if (ks_oci_check(c->errhp, x_oci.OCILobOpen(c->svchp, c->errhp, locp, mode)) != 0) {
    KS_ERROR("OCILobOpen()");
    return -1;
  }
  return 0;
}

int ks_oci_lob_isopen(ks_oci_ses_t *c, OCILobLocator *locp) {
  if (locp == nullptr) return 0;
  boolean open = 0;
  if (ks_oci_check(c->errhp, x_oci.OCILobIsOpen(c->svchp, c->errhp, locp, &open)) != 0) {
    KS_ERROR("OCILobIsOpen()");
    return 0;
  }
  return open ? 1 : 0;
}

int ks_oci_lob_close(ks_oci_ses_t *c, OCILobLocator *locp) {
  if (locp == nullptr || ks_oci_lob_isopen(c, locp) != 1) return 0;
  if (ks_oci_check(c->errhp, x_oci.OCILobClose(c->svchp, c->errhp, locp)) != 0) {
    KS_ERROR("OCILobClose()");
    return -1;
  }
  return 0;
}

int ks_oci_lob_write(ks_oci_ses_t *c, ks_oci_lob_t *lob) {
  ub1 piece = lob->piece == 1   ? OCI_FIRST_PIECE
              : lob->piece == 2 ? OCI_NEXT_PIECE
              : lob->piece == 3 ? OCI_LAST_PIECE
                                : OCI_ONE_PIECE;
  oraub8 bamt = lob->byte_amt, camt = lob->char_amt;
  int r = ks_oci_check(
      c->errhp, x_oci.OCILobWrite2(c->svchp, c->errhp, lob->locp, &bamt, &camt, lob->offset, lob->buf, lob->buf_sz,
                                   piece, nullptr, nullptr, lob->csid, lob->csfrm == 2 ? SQLCS_NCHAR : SQLCS_IMPLICIT));
  lob->byte_amt = bamt;
  lob->char_amt = camt;
  if (r == OCI_NEED_DATA) return 2;
  if (r != 0) {
    KS_ERROR("OCILobWrite2()");
    return -1;
  }
  return 0;
}

int ks_oci_lob_trim(ks_oci_ses_t *c, ks_oci_lob_t *lob, uint64_t nlen) {
  if (lob->locp == nullptr) return 0;
  if (ks_oci_check(c->errhp, x_oci.OCILobTrim2(c->svchp, c->errhp, lob->locp, nlen)) != 0) {
    KS_ERROR("OCILobTrim2()");
    return -1;
  }
  return 0;
}

int ks_oci_lob_erase(ks_oci_ses_t *c, ks_oci_lob_t *lob) {
  if (lob->locp == nullptr) return 0;
  oraub8 amt = lob->byte_amt;
  int r = ks_oci_check(c->errhp, x_oci.OCILobErase2(c->svchp, c->errhp, lob->locp, &amt, lob->offset));
  lob->byte_amt = amt;
  if (r != 0) {
    KS_ERROR("OCILobErase2()");
    return -1;
  }
  return 0;
}

int ks_oci_set_piece_info(ks_oci_ses_t *c, ks_oci_pw_t *pw) {
  ub4 type;
  if (pw->htyp == 1) {
    type = OCI_HTYPE_BIND;
  } else if (pw->htyp == 2) {
    type = OCI_HTYPE_DEFINE;
  } else {
    ks_oci_set_error_code(-1);
    ks_oci_set_message("OCIStmtSetPieceInfo() - error handle type");
    KS_ERROR("OCIStmtSetPieceInfo() - error handle type");
    return -1;
  }
  ub1 piece = pw->piece == 1   ? OCI_FIRST_PIECE
              : pw->piece == 3 ? OCI_LAST_PIECE
              : pw->piece == 4 ? OCI_ONE_PIECE
                               : OCI_NEXT_PIECE;
  if (ks_oci_check(c->errhp, x_oci.OCIStmtSetPieceInfo(pw->hndp, type, c->errhp, pw->buf, &pw->alen, piece, &pw->ind,
                                                       &pw->rcode)) != 0) {
    KS_ERROR("OCIStmtSetPieceInfo()");
    return -1;
  }
  return 0;
}

int ks_oci_commit(ks_oci_ses_t *c, int flag) {
  ub4 f = flag == 1 ? (OCI_TRANS_WRITEBATCH | OCI_TRANS_WRITENOWAIT) : OCI_DEFAULT;
  return ks_oci_check(c->errhp, x_oci.OCITransCommit(c->svchp, c->errhp, f)) == 0 ? 0 : -1;
}

int ks_oci_rollback(ks_oci_ses_t *c) {
  if (c == nullptr) return 0;
  return ks_oci_check(c->errhp, x_oci.OCITransRollback(c->svchp, c->errhp, OCI_DEFAULT)) == 0 ? 0 : -1;
}
