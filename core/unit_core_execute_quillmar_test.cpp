#include "core/unit_core_execute_quillmar.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/ToneAudio.h"
#include "core/unit_core_utils.h"
#include "runtime/Exceptions.h"

namespace tw {
namespace {

using Queue = std::vector<int>;

std::vector<int> Queued(const ProcessQueue& q) {
  std::vector<int> entries;
  for (int i = 0; i < q.Count; ++i) entries.push_back(q.Entries[(q.Head + i) % CoreSize]);
  return entries;
}

CoreCell Cell(const std::string& line) {
  CoreCell cell;
  ParseRedcodeLine(line, cell);
  return cell;
}

class Executor : public ::testing::Test {
 protected:
  void SetUp() override {
    core_ = std::make_unique<CoreMemory>();
    core_->fill(DefaultCell);
    queue_ = std::make_unique<ProcessQueue>();
    pspace_.fill(0);
  }
  CoreMemory& core() { return *core_; }
  void Put(int address, const std::string& line) { core()[address] = Cell(line); }
  void PutNumbers(int address, int a, int b) {
    core()[address].ANumber = static_cast<std::int16_t>(a);
    core()[address].BNumber = static_cast<std::int16_t>(b);
  }
  // One silent step of a lone process at `pc`; returns what it queued.
  Queue Step(int pc) {
    ResetQueue(*queue_);
    PushProcess(*queue_, pc);
    ExecuteStepWith<SilentTone>(core(), *queue_, pspace_);
    return Queued(*queue_);
  }

  std::unique_ptr<CoreMemory> core_;
  std::unique_ptr<ProcessQueue> queue_;
  PSpace pspace_{};
};

// ---- Process queue -------------------------------------------------------

TEST(ProcessQueueTest, PushAndTakeWrapAtTheEndOfTheRing) {
  auto q = std::make_unique<ProcessQueue>();
  q->Head = q->Tail = 7999;
  PushProcess(*q, 5);
  PushProcess(*q, 6);
  EXPECT_EQ(q->Tail, 1);
  EXPECT_EQ(q->Count, 2);
  int address = -1;
  ASSERT_TRUE(TakeProcess(*q, address));
  EXPECT_EQ(address, 5);
  EXPECT_EQ(q->Head, 0);
  ASSERT_TRUE(TakeProcess(*q, address));
  EXPECT_EQ(address, 6);
  EXPECT_FALSE(TakeProcess(*q, address));
  EXPECT_EQ(address, 6);
  EXPECT_EQ(q->Count, 0);
}

TEST(ProcessQueueTest, AFullQueueDropsPushes) {
  auto q = std::make_unique<ProcessQueue>();
  for (int i = 0; i < CoreSize; ++i) PushProcess(*q, i);
  EXPECT_EQ(q->Count, CoreSize);
  EXPECT_EQ(q->Tail, q->Head);
  PushProcess(*q, 1234);
  EXPECT_EQ(q->Count, CoreSize);
  EXPECT_EQ(q->Entries[0], 0);
  ResetQueue(*q);
  EXPECT_EQ(q->Count, 0);
  EXPECT_EQ(q->Head, 0);
  EXPECT_EQ(q->Entries[7999], 0);
}

TEST_F(Executor, FullQueueSplitKeepsNextAndDropsTheNewProcess) {
  Put(0, "SPL.B $100, $0");
  for (int i = 0; i < CoreSize; ++i) PushProcess(*queue_, 0);
  ExecuteStepWith<SilentTone>(core(), *queue_, pspace_);
  EXPECT_EQ(queue_->Count, CoreSize);
  EXPECT_EQ(queue_->Entries[(queue_->Tail + CoreSize - 1) % CoreSize], 1);
}

TEST_F(Executor, AnEmptyQueueChangesNothing) {
  Put(0, "MOV.I <1, >1");
  const CoreMemory before = core();
  ExecuteStepWith<SilentTone>(core(), *queue_, pspace_);
  EXPECT_EQ(core(), before);
  EXPECT_EQ(queue_->Count, 0);
}

TEST_F(Executor, SuccessorsWrapAtTheEndOfTheCore) {
  Put(7999, "NOP.F $0, $0");
  EXPECT_EQ(Step(7999), (Queue{0}));
  Put(7999, "SEQ.F $0, $0");
  EXPECT_EQ(Step(7999), (Queue{1}));
  Put(7998, "SEQ.F $0, $0");
  EXPECT_EQ(Step(7998), (Queue{0}));
  Put(7999, "JMP.B $1, $0");
  EXPECT_EQ(Step(7999), (Queue{0}));
  Put(5, "SPL.B $-10, $0");
  EXPECT_EQ(Step(5), (Queue{6, 7995}));
}

TEST_F(Executor, SplitRunsNextAddressFirst) {
  Put(10, "SPL.B $5, $0");
  Put(11, "DAT.F $0, $0");
  Put(15, "JMP.B $0, $0");
  EXPECT_EQ(Step(10), (Queue{11, 15}));
  ExecuteStepWith<SilentTone>(core(), *queue_, pspace_);  // 11: DAT ends it
  EXPECT_EQ(Queued(*queue_), (Queue{15}));
}

// Records what the tone is given and what the core looks like at that moment.
struct RecordingTone {
  static inline std::vector<CoreCell> played;
  static inline const CoreMemory* core = nullptr;
  static inline std::vector<int> watched_b_numbers;
  static void Play(const CoreCell& cell) {
    played.push_back(cell);
    watched_b_numbers.push_back((*core)[101].BNumber);
  }
};

TEST_F(Executor, TheToneGetsTheFetchedCellBeforeTheOperandsAreEvaluated) {
  RecordingTone::played.clear();
  RecordingTone::watched_b_numbers.clear();
  RecordingTone::core = &core();
  ExecuteStepWith<RecordingTone>(core(), *queue_, pspace_);  // empty queue: no tone
  EXPECT_TRUE(RecordingTone::played.empty());

  Put(100, "MOV.I <1, $2");
  PutNumbers(101, 0, 5);
  PushProcess(*queue_, 100);
  ExecuteStepWith<RecordingTone>(core(), *queue_, pspace_);
  ASSERT_EQ(RecordingTone::played.size(), 1u);
  EXPECT_EQ(RecordingTone::played[0], Cell("MOV.I <1, $2"));
  EXPECT_EQ(RecordingTone::watched_b_numbers[0], 5);  // the pre-decrement came after
  EXPECT_EQ(core()[101].BNumber, 4);
}

// ---- Operand evaluation --------------------------------------------------

TEST_F(Executor, ImmediateOperandsDesignateTheFetchedInstruction) {
  Put(100, "MOV.I #7, $1");
  Step(100);
  EXPECT_EQ(core()[101], core()[100]);
  // JMP with an immediate A-operand re-queues PC, like JMP $0.
  Put(100, "JMP.B #3, $0");
  EXPECT_EQ(Step(100), (Queue{100}));
  Put(100, "JMP.B $0, $0");
  EXPECT_EQ(Step(100), (Queue{100}));
}

TEST_F(Executor, IndirectModesFollowTheIntermediateCell) {
  Put(100, "MOV.I @1, $10");
  PutNumbers(101, 50, 3);  // B-number 3: @ lands on 104
  Put(104, "ADD.AB #9, $9");
  Step(100);
  EXPECT_EQ(core()[110], core()[104]);

  Put(100, "MOV.I *1, $10");
  PutNumbers(101, 2, 50);  // A-number 2: * lands on 103
  Put(103, "SUB.X #8, $8");
  Step(100);
  EXPECT_EQ(core()[110], core()[103]);
}

TEST_F(Executor, PreDecrementWrapsAndIsVisibleInTheCopy) {
  // < with B-number 0: the cell before T, and T's B-number becomes 7999.
  // Here T = 0, so the designated cell is 7999: the instruction itself.
  Put(7999, "MOV.I <1, $10");
  PutNumbers(0, 5, 0);
  Step(7999);
  EXPECT_EQ(core()[0].BNumber, 7999);
  EXPECT_EQ(core()[9], Cell("MOV.I <1, $10"));
  Put(50, "MOV.I <1, $10");
  PutNumbers(51, 5, 0);
  Put(50 + 10, "DAT.F $0, $0");
  Step(50);
  EXPECT_EQ(core()[51].BNumber, 7999);
  EXPECT_EQ(core()[60], Cell("MOV.I <1, $10"));  // the cell before T is 50

  // < with B-number 1 designates T itself, whose copy already holds 0.
  Put(100, "MOV.I <1, $10");
  PutNumbers(101, 4, 1);
  Step(100);
  EXPECT_EQ(core()[101].BNumber, 0);
  EXPECT_EQ(core()[110].BNumber, 0);
  EXPECT_EQ(core()[110].ANumber, 4);

  // { does the same on the A-number.
  Put(200, "MOV.I {1, $10");
  PutNumbers(201, 1, 9);
  Step(200);
  EXPECT_EQ(core()[201].ANumber, 0);
  EXPECT_EQ(core()[210].ANumber, 0);
  EXPECT_EQ(core()[210].BNumber, 9);
}

TEST_F(Executor, PostIncrementIsNotVisibleInTheCopy) {
  // > with B-number 0 designates T; the copy holds the old 0, the core then 1.
  Put(100, "MOV.I >1, $10");
  PutNumbers(101, 4, 0);
  Step(100);
  EXPECT_EQ(core()[101].BNumber, 1);
  EXPECT_EQ(core()[110].BNumber, 0);

  Put(200, "MOV.I }1, $10");
  PutNumbers(201, 0, 4);
  Step(200);
  EXPECT_EQ(core()[201].ANumber, 1);
  EXPECT_EQ(core()[210].ANumber, 0);

  // Increments wrap from 7999 to 0.
  Put(300, "MOV.I >1, $10");
  PutNumbers(301, 0, 7999);
  Step(300);
  EXPECT_EQ(core()[301].BNumber, 0);
}

TEST_F(Executor, ImmediateBOperandSeesTheFetchedCellAfterAnAIncrement) {
  // }0 copies the executing cell (A-number 0), then raises its A-number to 1.
  // The # B-operand designates the same cell; ADD.F adds the copies, and the
  // B-operand's copy is the fetched instruction (A-number 0, B-number 5),
  // not the incremented cell.
  Put(100, "ADD.F }0, #5");
  Step(100);
  EXPECT_EQ(core()[100].ANumber, 0);  // b.A (fetched 0) + a.A (0)
  EXPECT_EQ(core()[100].BNumber, 10);
  Put(100, "MOV.AB }0, #5");
  Step(100);
  EXPECT_EQ(core()[100].ANumber, 1);
  EXPECT_EQ(core()[100].BNumber, 0);
}

TEST_F(Executor, TheBOperandReadsTheCoreAsTheAOperandLeftIt) {
  // Both operands go through cell 101: the A pre-decrement (3 -> 2) moves
  // where the B-operand's @ lands.
  Put(100, "MOV.I <1, @1");
  PutNumbers(101, 0, 3);
  Put(103, "NOP.F #3, #3");  // A lands on 101 + 2 = 103
  Step(100);
  EXPECT_EQ(core()[101].BNumber, 2);
  EXPECT_EQ(core()[103], Cell("NOP.F #3, #3"));  // B also lands on 103: copied onto itself
  Put(200, "MOV.I >1, @1");
  PutNumbers(201, 0, 2);
  Put(203, "NOP.F #7, #7");
  Step(200);
  // A took 203 then raised 201.B to 3; B follows it to 204.
  EXPECT_EQ(core()[204], Cell("NOP.F #7, #7"));
}

TEST_F(Executor, EveryModeOnEitherOperandDesignatesTheSameCell) {
  // MOV.I from a marked cell through each mode, as A- and as B-operand.
  const char* modes = "#$@<>*{}";
  for (int m = 0; m < 8; ++m) {
    SCOPED_TRACE(std::string("mode ") + modes[m]);
    SetUp();
    // The intermediate cell 102 points 3 further (either number) so all
    // indirect modes reach 105 (pre-decrements from 4, others from 3).
    const bool pre = m == Smaller || m == Open;
    PutNumbers(102, pre ? 4 : 3, pre ? 4 : 3);
    const int expected = m == Number ? 100 : m == Dollar ? 102 : 105;
    Put(100, std::string("JMP.B ") + modes[m] + "2, $0");
    EXPECT_EQ(Step(100), (Queue{expected}));
    // As B-operand: the target of MOV.AB.
    SetUp();
    PutNumbers(102, pre ? 4 : 3, pre ? 4 : 3);
    Put(100, std::string("MOV.AB #77, ") + modes[m] + "2");
    Step(100);
    EXPECT_EQ(core()[expected].BNumber, 77);
  }
}

// ---- Operations ----------------------------------------------------------

struct OpCase {
  const char* op;  // "ADD.AB": run as "<op> $5, $2" at 100
  int aA, aB;      // the A-operand's cell (105)
  int bA, bB;      // the B-operand's cell and target (102)
  int tA, tB;      // the target afterwards
  Queue queue;
};

// The operation names the case in test listings (the default prints its bytes).
void PrintTo(const OpCase& c, std::ostream* os) { *os << c.op; }

constexpr int N = 101, S = 102, J = 105;

class Operations : public Executor, public ::testing::WithParamInterface<OpCase> {};

TEST_P(Operations, WritesTheTargetAndQueuesTheSuccessors) {
  const OpCase& c = GetParam();
  Put(100, std::string(c.op) + " $5, $2");
  PutNumbers(105, c.aA, c.aB);
  PutNumbers(102, c.bA, c.bB);
  EXPECT_EQ(Step(100), c.queue);
  EXPECT_EQ(core()[102].ANumber, c.tA);
  EXPECT_EQ(core()[102].BNumber, c.tB);
  EXPECT_EQ(core()[102].InstructionWord, DefaultCell.InstructionWord);
  EXPECT_EQ(core()[105].ANumber, c.aA);
  EXPECT_EQ(core()[105].BNumber, c.aB);
}

// clang-format off
const OpCase kOperations[] = {
    {"DAT.A", 3, 7, 20, 30, 20, 30, {}}, {"DAT.I", 3, 7, 20, 30, 20, 30, {}},
    {"NOP.F", 3, 7, 20, 30, 20, 30, {N}},
    {"MOV.A", 3, 7, 20, 30, 3, 30, {N}}, {"MOV.B", 3, 7, 20, 30, 20, 7, {N}},
    {"MOV.AB", 3, 7, 20, 30, 20, 3, {N}}, {"MOV.BA", 3, 7, 20, 30, 7, 30, {N}},
    {"MOV.F", 3, 7, 20, 30, 3, 7, {N}}, {"MOV.X", 3, 7, 20, 30, 7, 3, {N}},
    {"ADD.A", 3, 7, 20, 30, 23, 30, {N}}, {"ADD.B", 3, 7, 20, 30, 20, 37, {N}},
    {"ADD.AB", 3, 7, 20, 30, 20, 33, {N}}, {"ADD.BA", 3, 7, 20, 30, 27, 30, {N}},
    {"ADD.F", 3, 7, 20, 30, 23, 37, {N}}, {"ADD.I", 3, 7, 20, 30, 23, 37, {N}},
    {"ADD.X", 3, 7, 20, 30, 27, 33, {N}},
    {"ADD.AB", 7999, 0, 0, 7999, 0, 7998, {N}},
    {"SUB.A", 3, 7, 20, 30, 17, 30, {N}}, {"SUB.B", 3, 7, 20, 30, 20, 23, {N}},
    {"SUB.AB", 3, 7, 20, 30, 20, 27, {N}}, {"SUB.BA", 3, 7, 20, 30, 13, 30, {N}},
    {"SUB.F", 3, 7, 20, 30, 17, 23, {N}}, {"SUB.I", 3, 7, 20, 30, 17, 23, {N}},
    {"SUB.X", 3, 7, 20, 30, 13, 27, {N}},
    {"SUB.A", 7999, 0, 0, 0, 1, 0, {N}},
    {"MUL.A", 3, 7, 20, 30, 60, 30, {N}}, {"MUL.B", 3, 7, 20, 30, 20, 210, {N}},
    {"MUL.AB", 3, 7, 20, 30, 20, 90, {N}}, {"MUL.BA", 3, 7, 20, 30, 140, 30, {N}},
    {"MUL.F", 3, 7, 20, 30, 60, 210, {N}}, {"MUL.I", 3, 7, 20, 30, 60, 210, {N}},
    {"MUL.X", 3, 7, 20, 30, 140, 90, {N}},
    {"MUL.A", 7999, 0, 7999, 0, 1, 0, {N}},
    {"DIV.A", 3, 7, 20, 30, 6, 30, {N}}, {"DIV.B", 3, 7, 20, 30, 20, 4, {N}},
    {"DIV.AB", 3, 7, 20, 30, 20, 10, {N}}, {"DIV.BA", 3, 7, 20, 30, 2, 30, {N}},
    {"DIV.F", 3, 7, 20, 30, 6, 4, {N}}, {"DIV.I", 3, 7, 20, 30, 6, 4, {N}},
    {"DIV.X", 3, 7, 20, 30, 2, 10, {N}},
    {"MOD.A", 3, 7, 20, 30, 2, 30, {N}}, {"MOD.B", 3, 7, 20, 30, 20, 2, {N}},
    {"MOD.AB", 3, 7, 20, 30, 20, 0, {N}}, {"MOD.BA", 3, 7, 20, 30, 6, 30, {N}},
    {"MOD.F", 3, 7, 20, 30, 2, 2, {N}}, {"MOD.I", 3, 7, 20, 30, 2, 2, {N}},
    {"MOD.X", 3, 7, 20, 30, 6, 0, {N}},
    // A zero divisor skips its write and ends the process; the other half of
    // .F, .I and .X is still written.
    {"DIV.A", 0, 7, 20, 30, 20, 30, {}}, {"DIV.B", 3, 0, 20, 30, 20, 30, {}},
    {"DIV.AB", 0, 7, 20, 30, 20, 30, {}}, {"DIV.BA", 3, 0, 20, 30, 20, 30, {}},
    {"DIV.F", 0, 5, 20, 30, 20, 6, {}}, {"DIV.I", 5, 0, 20, 30, 4, 30, {}},
    {"DIV.X", 0, 0, 20, 30, 20, 30, {}},
    {"MOD.X", 3, 0, 20, 31, 20, 1, {}}, {"MOD.X", 0, 3, 20, 31, 2, 31, {}},
    {"MOD.A", 0, 0, 20, 30, 20, 30, {}},
    {"JMP.A", 3, 7, 20, 30, 20, 30, {J}}, {"JMP.I", 3, 7, 20, 30, 20, 30, {J}},
    {"SPL.B", 3, 7, 20, 30, 20, 30, {N, J}}, {"SPL.X", 3, 7, 20, 30, 20, 30, {N, J}},
    {"JMZ.A", 3, 7, 0, 30, 0, 30, {J}}, {"JMZ.BA", 3, 7, 0, 30, 0, 30, {J}},
    {"JMZ.B", 3, 7, 0, 30, 0, 30, {N}}, {"JMZ.AB", 3, 7, 30, 0, 30, 0, {J}},
    {"JMZ.F", 3, 7, 0, 30, 0, 30, {N}}, {"JMZ.X", 3, 7, 0, 0, 0, 0, {J}},
    {"JMZ.I", 3, 7, 5, 0, 5, 0, {N}},
    {"JMN.A", 3, 7, 0, 30, 0, 30, {N}}, {"JMN.BA", 3, 7, 1, 0, 1, 0, {J}},
    {"JMN.B", 3, 7, 0, 30, 0, 30, {J}}, {"JMN.AB", 3, 7, 30, 0, 30, 0, {N}},
    {"JMN.F", 3, 7, 0, 30, 0, 30, {J}}, {"JMN.X", 3, 7, 0, 0, 0, 0, {N}},
    {"JMN.I", 3, 7, 5, 0, 5, 0, {J}},
    {"DJN.A", 3, 7, 20, 30, 19, 30, {J}}, {"DJN.BA", 3, 7, 1, 30, 0, 30, {N}},
    {"DJN.B", 3, 7, 20, 30, 20, 29, {J}}, {"DJN.AB", 3, 7, 20, 1, 20, 0, {N}},
    {"DJN.F", 3, 7, 1, 5, 0, 4, {J}}, {"DJN.X", 3, 7, 1, 1, 0, 0, {N}},
    {"DJN.I", 3, 7, 0, 1, 7999, 0, {J}},
    {"SLT.A", 3, 7, 20, 30, 20, 30, {S}}, {"SLT.A", 3, 7, 3, 30, 3, 30, {N}},
    {"SLT.B", 3, 7, 20, 30, 20, 30, {S}}, {"SLT.B", 3, 7, 20, 2, 20, 2, {N}},
    {"SLT.AB", 3, 7, 0, 4, 0, 4, {S}}, {"SLT.AB", 3, 7, 90, 3, 90, 3, {N}},
    {"SLT.BA", 3, 7, 8, 0, 8, 0, {S}}, {"SLT.BA", 3, 7, 7, 90, 7, 90, {N}},
    {"SLT.F", 3, 7, 4, 8, 4, 8, {S}}, {"SLT.F", 3, 7, 4, 7, 4, 7, {N}},
    {"SLT.X", 3, 7, 8, 4, 8, 4, {S}}, {"SLT.X", 3, 7, 4, 8, 4, 8, {N}},
    {"SLT.I", 3, 7, 4, 8, 4, 8, {S}}, {"SLT.I", 3, 7, 3, 8, 3, 8, {N}},
    {"SLT.A", 7999, 7, 0, 30, 0, 30, {N}},  // no negative numbers: 7999 > 0
    {"CMP.A", 3, 7, 3, 0, 3, 0, {S}}, {"CMP.A", 3, 7, 4, 7, 4, 7, {N}},
    {"CMP.B", 3, 7, 0, 7, 0, 7, {S}}, {"CMP.AB", 3, 7, 0, 3, 0, 3, {S}},
    {"CMP.BA", 3, 7, 7, 0, 7, 0, {S}}, {"CMP.BA", 3, 7, 3, 7, 3, 7, {N}},
    {"CMP.F", 3, 7, 3, 7, 3, 7, {S}}, {"CMP.F", 3, 7, 7, 3, 7, 3, {N}},
    {"CMP.X", 3, 7, 7, 3, 7, 3, {S}}, {"CMP.X", 3, 7, 3, 7, 3, 7, {N}},
    {"CMP.I", 3, 7, 3, 7, 3, 7, {S}}, {"CMP.I", 3, 7, 3, 8, 3, 8, {N}},
    {"SEQ.A", 3, 7, 3, 0, 3, 0, {S}}, {"SEQ.AB", 3, 7, 0, 4, 0, 4, {N}},
    {"SEQ.F", 3, 7, 3, 7, 3, 7, {S}}, {"SEQ.X", 3, 7, 7, 3, 7, 3, {S}},
    {"SEQ.I", 3, 7, 3, 7, 3, 7, {S}}, {"SEQ.I", 3, 7, 4, 7, 4, 7, {N}},
    {"SNE.A", 3, 7, 3, 0, 3, 0, {N}}, {"SNE.A", 3, 7, 4, 7, 4, 7, {S}},
    {"SNE.B", 3, 7, 0, 7, 0, 7, {N}}, {"SNE.AB", 3, 7, 0, 3, 0, 3, {N}},
    {"SNE.BA", 3, 7, 3, 7, 3, 7, {S}}, {"SNE.F", 3, 7, 3, 8, 3, 8, {S}},
    {"SNE.F", 3, 7, 3, 7, 3, 7, {N}}, {"SNE.X", 3, 7, 7, 3, 7, 3, {N}},
    {"SNE.X", 3, 7, 7, 4, 7, 4, {S}}, {"SNE.I", 3, 7, 3, 7, 3, 7, {N}},
    {"SNE.I", 3, 7, 2, 7, 2, 7, {S}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(AllOperations, Operations, ::testing::ValuesIn(kOperations),
                         [](const ::testing::TestParamInfo<OpCase>& info) {
                           std::string name = std::to_string(info.index) + "_" + info.param.op;
                           for (char& ch : name) {
                             if (ch == '.') ch = '_';
                           }
                           return name;
                         });

TEST_F(Executor, MovIAndCmpIUseTheWholeCell) {
  Put(100, "MOV.I $5, $2");
  Put(105, "SPL.BA {1, }2");
  Step(100);
  EXPECT_EQ(core()[102], Cell("SPL.BA {1, }2"));
  // MOV.F leaves the target's word alone.
  Put(100, "MOV.F $5, $2");
  Put(102, "DAT.F $0, $0");
  Step(100);
  EXPECT_EQ(core()[102], Cell("DAT.F $1, $2"));
  // Cells that differ only in their modifier: CMP.I does not skip, CMP.F does.
  Put(105, "MOV.A $1, $2");
  Put(102, "MOV.B $1, $2");
  Put(100, "CMP.I $5, $2");
  EXPECT_EQ(Step(100), (Queue{N}));
  Put(100, "CMP.F $5, $2");
  EXPECT_EQ(Step(100), (Queue{S}));
  // Or only in a mode.
  Put(102, "MOV.A $1, #2");
  Put(100, "SNE.I $5, $2");
  EXPECT_EQ(Step(100), (Queue{S}));
}

TEST_F(Executor, DecrementJumpOnTheExecutingCellItself) {
  // DJN.B with a # B-operand decrements the executing cell's own B-number and
  // tests the decremented copy.
  Put(100, "DJN.B $5, #2");
  EXPECT_EQ(Step(100), (Queue{J}));
  EXPECT_EQ(core()[100].BNumber, 1);
  EXPECT_EQ(Step(100), (Queue{N}));
  EXPECT_EQ(core()[100].BNumber, 0);
}

TEST_F(Executor, PSpaceLoadsAndStores) {
  pspace_[0] = 7999;
  pspace_[499] = 42;
  pspace_[7] = 9;
  Put(100, "LDP.A $5, $2");
  PutNumbers(105, 7999, 7);
  EXPECT_EQ(Step(100), (Queue{N}));
  EXPECT_EQ(core()[102].ANumber, 42);  // 7999 mod 500 = 499
  Put(100, "LDP.B $5, $2");
  Step(100);
  EXPECT_EQ(core()[102].BNumber, 9);
  Put(100, "LDP.AB #0, $2");  // a.A = 0 -> cell 0
  Step(100);
  EXPECT_EQ(core()[102].BNumber, 7999);
  Put(100, "LDP.BA $5, $2");
  Step(100);
  EXPECT_EQ(core()[102].ANumber, 9);
  PutNumbers(102, 0, 0);
  Put(100, "LDP.X $5, $2");  // .F, .X, .I read as .B
  Step(100);
  EXPECT_EQ(core()[102].BNumber, 9);
  EXPECT_EQ(core()[102].ANumber, 0);

  Put(100, "STP.AB $5, $2");
  PutNumbers(105, 1234, 0);
  PutNumbers(102, 3, 500);  // b.B = 500 -> cell 0
  EXPECT_EQ(Step(100), (Queue{N}));
  EXPECT_EQ(pspace_[0], 1234);
  Put(100, "STP.A $5, $2");
  Step(100);
  EXPECT_EQ(pspace_[3], 1234);
  Put(100, "STP.BA $5, $2");
  PutNumbers(105, 0, 77);
  Step(100);
  EXPECT_EQ(pspace_[3], 77);
  Put(100, "STP.I $5, $2");
  Step(100);
  EXPECT_EQ(pspace_[0], 77);
}

TEST_F(Executor, WordsTheParserNeverMakesRunAsNop) {
  core()[100] = {5, 2, EncodeInstruction(DAT, 7, Dollar, Dollar)};
  EXPECT_EQ(Step(100), (Queue{N}));
  for (unsigned op = 19; op < 32; ++op) {
    core()[100] = {5, 2, EncodeInstruction(op, mI, Dollar, Dollar)};
    const CoreMemory before = core();
    EXPECT_EQ(Step(100), (Queue{N})) << op;
    EXPECT_EQ(core(), before);
  }
}

TEST_F(Executor, AnInvalidBModeFailsAfterTheAOperandsWrite) {
  core()[100] = {1, 2, EncodeInstruction(MOV, mI, Greater, 8)};
  PutNumbers(101, 0, 5);
  try {
    Step(100);
    FAIL() << "no failure";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "Exception");
    EXPECT_STREQ(e.Message(), "Invalid addressing detected in core executor !");
  }
  EXPECT_EQ(core()[101].BNumber, 6);
  EXPECT_EQ(queue_->Count, 0);
  EXPECT_EQ(core()[102], DefaultCell);
}

// Every (opcode, modifier) byte under every pair of modes on a random core:
// the step keeps every number in the core's range, queues at most two valid
// addresses and touches P-space only through LDP/STP indices in range.
TEST_F(Executor, EveryWordKeepsTheCoreInRange) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> number(0, CoreSize - 1);
  std::uniform_int_distribution<int> word(0, 0xFFFF);
  for (int cell = 0; cell < CoreSize; ++cell) {
    core()[cell] = {static_cast<std::int16_t>(number(random)),
                    static_cast<std::int16_t>(number(random)),
                    static_cast<std::uint16_t>(word(random) & 0xF83F)};  // valid B-modes
  }
  for (unsigned high = 0; high < 256; ++high) {
    for (unsigned modes = 0; modes < 64; ++modes) {
      const int pc = number(random);
      core()[pc].InstructionWord = static_cast<std::uint16_t>(high << 8 | modes);
      const Queue queued = Step(pc);
      ASSERT_LE(queued.size(), 2u);
      for (int address : queued) ASSERT_TRUE(address >= 0 && address < CoreSize);
    }
  }
  for (const CoreCell& cell : core()) {
    ASSERT_TRUE(cell.ANumber >= 0 && cell.ANumber < CoreSize);
    ASSERT_TRUE(cell.BNumber >= 0 && cell.BNumber < CoreSize);
  }
  for (std::int16_t p : pspace_) ASSERT_TRUE(p >= 0 && p < CoreSize);
}

TEST(AudioObjects, ANegativeSampleCountIsARangeError) {
  SoundSamples = -1;
  try {
    CreateAudioObjects();
    FAIL();
  } catch (const ERangeError& e) {
    EXPECT_EQ(ReportLine(e), "ERangeError: Range check error");
  }
  SoundSamples = 7;
  setenv("TONEWELL_AUDIO", "null:fast", 1);
  CreateAudioObjects();
  EXPECT_EQ(ToneSamples.size(), 7u);
  EXPECT_EQ(PcmSamples.size(), 7u);
  FreeAudioObjects();
  EXPECT_TRUE(ToneSamples.empty());
  SoundSamples = 0;
}

}  // namespace
}  // namespace tw
