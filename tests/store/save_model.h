// A model of one registration file and everything that happens to it: saves
// by several file objects, crashes and failures at any call of a save or an
// open, and changes made from outside (emptied, removed, replaced by foreign
// or newer files, written in place by a program that keeps no side file,
// damaged bytes, a removed or damaged side file, a revert to an earlier
// generation, an edit that keeps size and byte sum, a header mixing the bytes
// of earlier headers, a side file that another account made or may
// change). After every step it checks
// what an open would read against the contents the model allows:
//   - after a finished save, exactly what it saved;
//   - after a save that failed or was cut short, that save's content or what
//     was allowed before;
//   - after an outside change, what the change left (a new, empty tree for a
//     file that cannot be read, the other program's content for its finished
//     write);
// and that bytes the store could not read are in the kept copy before a save
// replaces them, that the kept copy never receives readable content, and
// that a committed file of a newer version is never written. Messages name
// the rule of store/save_protocol.h they guard.
// Used by a unit test (seeded random runs) and by a fuzzer (steps from bytes).
#ifndef ORVO_TESTS_STORE_SAVE_MODEL_H_
#define ORVO_TESTS_STORE_SAVE_MODEL_H_

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/memory_file_system.h"
#include "store/config_file.h"
#include "tests/testing/scoped_file_system.h"

namespace orvo::testing {

class SaveModel {
 public:
  static constexpr int kSteps = 18;

  SaveModel();
  ~SaveModel();
  SaveModel(const SaveModel&) = delete;
  SaveModel& operator=(const SaveModel&) = delete;

  // Runs step |op| (taken modulo kSteps) with |arg| choosing its details.
  // Returns false, with the reason in *why, when a property does not hold.
  bool Step(uint32_t op, uint32_t arg, std::string* why);

  // A description of the steps so far, for failure messages.
  const std::string& history() const { return history_; }

 private:
  struct Object;

  bool Save(Object* object, uint32_t arg, std::string* why);
  bool SaveWithoutPath(uint32_t arg, std::string* why);
  bool CrashDuringOpen(uint32_t arg, std::string* why);
  void WriteInPlace(uint32_t arg, bool finish);
  void Revert(uint32_t arg);
  void EditKeepingSum(uint32_t arg);
  void MixHeaders(uint32_t arg);
  void AllowSideWhereCrashLike();
  void NoteGeneration();
  void AfterOutsideChange(bool resets);
  void SideChanged();
  void SideDistrusted(uint32_t arg);
  void AllowWhatTheFileHolds();
  bool Check(std::string* why);
  bool PendingKept(std::string* why);
  bool Ensure(Object* object, std::string* why);
  void Modify(Object* object, uint32_t arg);
  void AddKey(ICfKey* root, uint32_t arg);
  void KillObjects();
  void Crash(bool power_loss, uint32_t seed);

  platform::MemoryFileSystem fs_;
  ScopedFileSystem swap_;
  Object* a_;
  Object* b_;
  std::set<std::string> allowed_;  // contents an open may read, canonical form
  // A side file may read as in flight: a save did not finish, or a power
  // loss may have undone the unflushed mark of a finished one.
  bool side_may_be_live_ = false;
  // That copy was removed or damaged from outside: a power loss may then
  // leave the file torn with nothing to repair it, and what parses of it is
  // what is left.
  bool side_lost_ = false;
  // Bytes an outside change left in the file that the store cannot read
  // whole, to be found in the kept copy once a save replaces them; exempt
  // when a side file in flight may account for them.
  // Contents the side file may hold: every save since the last one that
  // finished undisturbed.
  std::set<std::string> side_contents_;
  bool pending_ = false;
  bool pending_exempt_ = false;
  std::string pending_bytes_;
  // Whole files F has held, oldest first (a few): what a revert writes back.
  std::vector<std::string> generations_;
  // The kept copy as a power loss tore it (it changed in the crash).
  std::string kept_after_crash_;
  uint32_t counter_ = 0;
  std::string history_;
};

}  // namespace orvo::testing

#endif  // ORVO_TESTS_STORE_SAVE_MODEL_H_
