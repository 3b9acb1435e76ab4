// The module object of OrvoComm.dll: its lock count, its static-data lock and
// the callbacks that run when the module ends.
#ifndef ORVO_SERVER_MODULE_H_
#define ORVO_SERVER_MODULE_H_

#include <windows.h>

#include "platform/recursive_lock.h"

namespace orvo::registrar {
class ScriptRegistrar;
}  // namespace orvo::registrar

namespace orvo::server {

// Exactly one instance, reachable through Module(). It is constructed when
// the process loads the module (before the DLL entry point runs) and
// destroyed when the module is unloaded.
class COrvoCommModule {
 public:
  using TermFunc = void (*)(void* data);

  COrvoCommModule();
  COrvoCommModule(const COrvoCommModule&) = delete;
  COrvoCommModule& operator=(const COrvoCommModule&) = delete;
  // Runs the termination callbacks, last added first.
  ~COrvoCommModule();

  // Atomic; each returns the new count.
  LONG Lock();
  LONG Unlock();
  // Reads the count without a lock.
  LONG GetLockCount() const;

  // Re-entrant; serialises the loading of type information.
  platform::RecursiveLock& static_data_lock() { return static_data_lock_; }

  // Adds a callback that runs when the module ends. E_OUTOFMEMORY when the
  // fixed list is full.
  HRESULT AddTermFunc(TermFunc func, void* data);

  // Adds the replacements that every registry script of the module sees:
  // APPID, the module's AppID in braced form.
  HRESULT AddCommonRGSReplacements(registrar::ScriptRegistrar* registrar);

  // The module's own instance handle.
  static HINSTANCE instance();

 private:
  static constexpr int kMaxTermFuncs = 8;
  struct TermEntry {
    TermFunc func;
    void* data;
  };

  volatile LONG lock_count_ = 0;
  platform::RecursiveLock static_data_lock_;
  TermEntry term_funcs_[kMaxTermFuncs] = {};
  int term_count_ = 0;  // guarded by static_data_lock_
};

COrvoCommModule& Module();

// Set when a lock of the module's static records could not be set up while
// the module loaded; the DLL entry point then refuses the load.
bool ModuleInitFailed();
void SetModuleInitFailed();

}  // namespace orvo::server

#endif  // ORVO_SERVER_MODULE_H_
