// The system queue, the command messages it carries, the shared command executor and
// the process table.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/bytes.h"
#include "lib/cfg/cfg.h"
#include "lib/log/log.h"
#include "lib/ps/ps.h"
#include "lib/shm/shm.h"
#include "tests/ipcguard.h"
#include "tests/testutil.h"

namespace {

class Queue : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kstest::set_config_header(32 * 1024 * 1024));
    ASSERT_EQ(ks_shm_create(), 0) << ks_log_get_message();
    ks_shm_mark_sys_used();
    ASSERT_EQ(ks_shm_q_create(), 0);
    q = static_cast<ks_shm_q_t *>(ks_shm_get_q_ptr());
    ASSERT_NE(q, nullptr);
    // The executor signals the sender, which is this test process.
    old = signal(KS_CMD_SIGNAL, SIG_IGN);
  }
  void TearDown() override { signal(KS_CMD_SIGNAL, old); }

  int used(const uint8_t *map, int from, int to) {
    int n = 0;
    for (int i = from; i < to; ++i) n += ks_bit_test(map, uint32_t(i));
    return n;
  }
  int data_blocks() { return used(q->bmp, KS_Q_START, KS_Q_NBLKS); }
  int entries() { return used(q->pool, 0, KS_Q_NENT); }
  int enq(int id, const std::string &s) { return ks_shm_enq(id, int(s.size()), s.data()); }
  std::string deq(int id, int msz = 65536) {
    std::vector<char> buf(size_t(msz) + 1);
    int rc = 0;
    int n = ks_shm_deq(id, msz, buf.data(), &rc);
    if (n < 0) return "<rcode " + std::to_string(rc) + ">";
    return std::string(buf.data(), size_t(n));
  }

  kstest::TempHome home;
  kstest::IpcGuard guard;
  ks_shm_q_t *q = nullptr;
  sighandler_t old = SIG_DFL;
};

TEST_F(Queue, NewQueueReservesItsHeaderBlocks) {
  EXPECT_EQ(q->head, -1);
  EXPECT_EQ(q->tail, -1);
  EXPECT_EQ(q->start, 261);
  EXPECT_EQ(used(q->bmp, 0, KS_Q_NBLKS), 261);
  EXPECT_EQ(entries(), 0);
}

TEST_F(Queue, MessageSizesMapToWholeBlocks) {
  ASSERT_EQ(enq(10, std::string(240, 'a')), 0);
  EXPECT_EQ(data_blocks(), 1);
  ASSERT_EQ(enq(10, std::string(241, 'b')), 0);
  EXPECT_EQ(data_blocks(), 3);
  ASSERT_EQ(enq(10, ""), 0);  // empty: still one block and one entry
  EXPECT_EQ(data_blocks(), 4);
  EXPECT_EQ(entries(), 3);
  EXPECT_EQ(deq(10), std::string(240, 'a'));
  EXPECT_EQ(deq(10), std::string(241, 'b'));
  EXPECT_EQ(deq(10), "");
  EXPECT_EQ(data_blocks(), 0);
  EXPECT_EQ(entries(), 0);
  EXPECT_EQ(q->head, -1);
  EXPECT_EQ(q->tail, -1);
}

TEST_F(Queue, LargestMessageSurvivesIntactAndOneMoreByteIsRefused) {
  std::string big(251 * 240, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 + i / 240);
  ASSERT_EQ(enq(5, big), 0);
  EXPECT_EQ(data_blocks(), 251);
  EXPECT_EQ(enq(5, "x"), -1);
  EXPECT_TRUE(kstest::log_has("system queue have no enough memory.")) << ks_log_get_message();
  EXPECT_EQ(entries(), 1);  // the refused message marked nothing
  EXPECT_EQ(deq(5), big);
  ASSERT_EQ(enq(5, big + "y"), -1);
  EXPECT_EQ(data_blocks(), 0);
  EXPECT_EQ(entries(), 0);
}

TEST_F(Queue, EachProcessTakesOnlyItsOwnMessagesInOrder) {
  enq(100, "a1");
  enq(200, "b1");
  enq(100, "a2");
  EXPECT_EQ(deq(300), "<rcode -1>");
  EXPECT_EQ(ks_shm_q_count(-1), 3);  // untouched
  EXPECT_EQ(deq(200), "b1");
  EXPECT_EQ(deq(100), "a1");
  EXPECT_EQ(deq(100), "a2");
  EXPECT_EQ(deq(100), "<rcode -1>");
  EXPECT_EQ(deq(-1), "<rcode -1>");
}

TEST_F(Queue, ShortBufferLeavesTheMessageForALaterRead) {
  enq(7, std::string(300, 'z'));
  EXPECT_EQ(deq(7, 299), "<rcode -2>");
  EXPECT_EQ(ks_shm_q_count(7), 1);
  EXPECT_EQ(deq(7, 300), std::string(300, 'z'));
}

TEST_F(Queue, RemovingTheLastOfSeveralKeepsTheChainSound) {
  enq(1, "A");
  enq(2, "B");
  enq(3, "C");
  EXPECT_EQ(deq(3), "C");
  EXPECT_EQ(q->ch[q->tail].id, 2);
  enq(3, "D");
  EXPECT_EQ(deq(-1), "A");
  EXPECT_EQ(deq(-1), "B");
  EXPECT_EQ(deq(-1), "D");
  EXPECT_EQ(deq(-1), "<rcode -1>");
  EXPECT_EQ(entries(), 0);
  // A removal in the middle, then reuse of the freed entry.
  enq(1, "E");
  enq(2, "F");
  enq(1, "G");
  EXPECT_EQ(deq(2), "F");
  enq(2, "H");
  EXPECT_EQ(deq(-1), "E");
  EXPECT_EQ(deq(-1), "G");
  EXPECT_EQ(deq(-1), "H");
}

TEST_F(Queue, CommandMessagesAreBigEndianWithPaddedNames) {
  uint8_t buf[KS_CMD_BUFSZ];
  std::memset(buf, 0xEE, sizeof buf);
  int n = ks_ps_make_command(buf, KS_CMD_START_EXTRACT, 0x01020304, "U1", "EXT_ONE", "-sscn 100");
  ASSERT_EQ(n, 72 + 9 + 1);
  const uint8_t head[8] = {0, 0, 0, 3, 1, 2, 3, 4};
  EXPECT_EQ(std::memcmp(buf, head, 8), 0);
  EXPECT_STREQ(reinterpret_cast<char *>(buf + 8), "U1");
  EXPECT_EQ(buf[8 + 31], 0);
  EXPECT_STREQ(reinterpret_cast<char *>(buf + 40), "EXT_ONE");
  EXPECT_STREQ(reinterpret_cast<char *>(buf + 72), "-sscn 100");
  ks_ps_cmd_t cmd;
  ASSERT_EQ(ks_ps_parse_command(buf, n, &cmd), 0);
  EXPECT_EQ(cmd.code, 3);
  EXPECT_EQ(cmd.pid, 0x01020304);
  EXPECT_STREQ(cmd.com, "EXT_ONE");
  EXPECT_STREQ(cmd.param, "-sscn 100");
  EXPECT_EQ(ks_ps_make_command(buf, KS_CMD_STOP_APPLY, 9, "U", "A", "ignored"), 72);
  EXPECT_EQ(ks_ps_make_command(buf, KS_CMD_STOP_MANAGER, 9, nullptr, nullptr, nullptr), 8);
  EXPECT_EQ(ks_ps_make_command(buf, KS_CMD_START_APPLY, 9, "U", "A", std::string(1000, 'p').c_str()), -1);
  // Truncated messages are refused; an unterminated text is cut, not overrun.
  EXPECT_EQ(ks_ps_parse_command(buf, 7, &cmd), -1);
  ks_ps_make_command(buf, KS_CMD_STOP_EXTRACT, 9, "U", "A", nullptr);
  EXPECT_EQ(ks_ps_parse_command(buf, 71, &cmd), -1);
  std::memset(buf + 72, 'q', sizeof buf - 72);
  ASSERT_EQ(ks_ps_parse_command(buf, sizeof buf, &cmd), 0);
  EXPECT_EQ(std::strlen(cmd.param), sizeof cmd.param - 1);
}

TEST_F(Queue, ExecutorStopsOnCodeOneAndAnswersEveryCommand) {
  uint8_t buf[KS_CMD_BUFSZ];
  const pid_t me = getpid();
  volatile sig_atomic_t loop = 1;
  EXPECT_EQ(ks_ps_execute_command(&loop, "no message in command queue."), -1);
  EXPECT_TRUE(kstest::log_has("no message in command queue.")) << ks_log_get_message();

  // An unknown code is logged and answered; the process keeps running.
  int n = ks_ps_make_command(buf, 7, me, "U", "C", nullptr);
  ASSERT_EQ(ks_shm_enq(me, n, buf), 0);
  EXPECT_EQ(ks_ps_execute_command(&loop, "x"), 0);
  EXPECT_EQ(loop, 1);
  EXPECT_TRUE(kstest::log_has("invalid command 7.")) << ks_log_get_message();
  uint8_t reply[8];
  int rc;
  ASSERT_EQ(ks_shm_deq(me, sizeof reply, reply, &rc), 4);
  EXPECT_EQ(ks::load_be32(reply), 0u);

  // A message naming no valid sender is obeyed but never answered: signalling pid 0 or
  // -1 would reach a whole process group or every process.
  n = ks_ps_make_command(buf, 7, 0, "U", "C", nullptr);
  ASSERT_EQ(ks_shm_enq(me, n, buf), 0);
  EXPECT_EQ(ks_ps_execute_command(&loop, "x"), -1);
  EXPECT_EQ(ks_shm_q_count(-1), 0);

  n = ks_ps_make_command(buf, KS_CMD_STOP_PROCESS, me, "U", "C", nullptr);
  ASSERT_EQ(ks_shm_enq(me, n, buf), 0);
  EXPECT_EQ(ks_ps_execute_command(&loop, "x"), 0);
  EXPECT_EQ(loop, 0);
  ASSERT_EQ(ks_shm_deq(me, sizeof reply, reply, &rc), 4);
  EXPECT_EQ(ks::load_be32(reply), 0u);
}

// ---------------------------------------------------------------- process table

void add_component(ks_cfg_t *cfg, const char *unit, const char *name, uint32_t type) {
  char omsg[KS_CFG_MSGSZ];
  ks_cfg_fcom_t c{};
  std::strcpy(c.name, name);
  c.com_typ = type;
  ASSERT_EQ(ks_cfg_add_com(cfg, unit, &c, omsg), 0) << omsg;
  ks_cfg_fparm_t p{};
  p.max_trans = 7;
  ASSERT_EQ(ks_cfg_add_param(cfg, unit, name, &p, omsg), 0) << omsg;
}

class ProcessTable : public Queue {
 protected:
  void SetUp() override {
    char omsg[KS_CFG_MSGSZ];
    ks_cfg_t cfg;
    ASSERT_EQ(ks_cfg_open_file(&cfg, omsg), 0);
    ks_cfg_fh_t *fh = ks_cfg_file_header(&cfg);
    fh->shm_sz = 32 * 1024 * 1024;
    fh->max_procs = 16;
    ks_cfg_funit_t u{};
    std::strcpy(u.un_name, "U1");
    ASSERT_EQ(ks_cfg_add_unit(&cfg, &u, omsg), 0);
    add_component(&cfg, "U1", "A", 1);
    add_component(&cfg, "U1", "B", 2);
    cfg.flag |= KS_CFG_MODIFIED;
    ASSERT_EQ(ks_cfg_close_file(&cfg, omsg), 0);
    ASSERT_EQ(ks_shm_create(), 0);
    ASSERT_EQ(ks_cfg_load(), 0) << ks_log_get_message();
    ASSERT_EQ(ks_ps_init(), 0);
    ks_shm_mark_sys_used();
    ps = static_cast<ks_ps_task_t *>(ks_shm_get_ps_ptr());
    ks_ps_set_start_tries(1);
  }
  void TearDown() override { ks_ps_set_start_tries(5); }
  ks_ps_task_t *ps = nullptr;
};

TEST_F(ProcessTable, TableFollowsTheConfigurationAlignedAndEmpty) {
  ks_sysinfo_t *si = ks_shm_get_sys_ptr();
  ASSERT_NE(ps, nullptr);
  EXPECT_EQ(si->ps_ofs % 8, 0u);
  EXPECT_GT(si->ps_ofs, si->cfg_ofs);
  // The status table follows: its header, then one slot per entry.
  int nst = 0;
  ks_ps_stat_t *st = ks_ps_stat_table(&nst);
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(nst, 16);
  EXPECT_EQ(reinterpret_cast<char *>(st), reinterpret_cast<char *>(ps + 16) + sizeof(ks_ps_stat_hdr_t));
  EXPECT_EQ(si->tail_ofs,
            si->ps_ofs + 16 * sizeof(ks_ps_task_t) + sizeof(ks_ps_stat_hdr_t) + 16 * sizeof(ks_ps_stat_t));
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(ps[i].pid, -1);
    EXPECT_EQ(ps[i].comid, -1);
  }
}

TEST_F(ProcessTable, StartedProcessFindsItsEntryOrSaysWhyNot) {
  EXPECT_EQ(ks_ps_start(), -1);
  EXPECT_TRUE(kstest::log_has("parent process goto wrong steps.")) << ks_log_get_message();
  ps[3] = {0, 0, 1, int32_t(getpid()), 0, 0};
  EXPECT_EQ(ks_ps_start(), 0);
  EXPECT_EQ(ps[3].status, 1);
}

TEST_F(ProcessTable, ReloadMovesComponentIndexesByTheirFileReference) {
  ks_cfg_bh_t *bh = ks_cfg_area();
  int b = ks_cfg_find_com(bh, "U1", "B");
  ASSERT_EQ(b, 1);
  ps[0] = {0, ks_cfg_coms(bh)[b].com_uk, b, 4242, 1, 0};
  char omsg[KS_CFG_MSGSZ];
  ks_cfg_t cfg;
  ASSERT_EQ(ks_cfg_open_file(&cfg, omsg), 0);
  ASSERT_EQ(ks_cfg_delete_com(&cfg, "U1", "A", omsg), 0);
  ASSERT_EQ(ks_cfg_save(&cfg, omsg), 0);
  ASSERT_EQ(ks_cfg_reload(), 0) << ks_log_get_message();
  EXPECT_EQ(ks_ps_set_com_index(), 0);
  EXPECT_EQ(ps[0].comid, 0);
  ASSERT_EQ(ks_cfg_delete_com(&cfg, "U1", "B", omsg), 0);
  cfg.flag |= KS_CFG_MODIFIED;  // the editor marks its changes; close then saves them
  ASSERT_EQ(ks_cfg_close_file(&cfg, omsg), 0);
  ASSERT_EQ(ks_cfg_reload(), 0);
  EXPECT_EQ(ks_ps_set_com_index(), -1);
  EXPECT_TRUE(kstest::log_has("process 4242 owner missed.")) << ks_log_get_message();
}

}  // namespace
