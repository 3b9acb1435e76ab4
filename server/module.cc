#include "server/module.h"

#include "server/guids.h"
#include "server/registrar/script.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace orvo::server {

namespace {

// Constant-initialised: valid before any constructor of the module runs.
bool g_init_failed = false;

COrvoCommModule g_module;

}  // namespace

bool ModuleInitFailed() { return g_init_failed; }
void SetModuleInitFailed() { g_init_failed = true; }

COrvoCommModule::COrvoCommModule() {
  if (!static_data_lock_.usable()) SetModuleInitFailed();
}

COrvoCommModule::~COrvoCommModule() {
  if (static_data_lock_.usable()) {
    platform::LockGuard lock(static_data_lock_);
    while (term_count_ > 0) {
      const TermEntry entry = term_funcs_[--term_count_];
      entry.func(entry.data);
    }
  }
}

LONG COrvoCommModule::Lock() { return InterlockedIncrement(&lock_count_); }

LONG COrvoCommModule::Unlock() { return InterlockedDecrement(&lock_count_); }

LONG COrvoCommModule::GetLockCount() const { return lock_count_; }

HRESULT COrvoCommModule::AddTermFunc(TermFunc func, void* data) {
  platform::LockGuard lock(static_data_lock_);
  if (term_count_ == kMaxTermFuncs) return E_OUTOFMEMORY;
  term_funcs_[term_count_++] = TermEntry{func, data};
  return S_OK;
}

HRESULT COrvoCommModule::AddCommonRGSReplacements(registrar::ScriptRegistrar* registrar) {
  return registrar->AddReplacement(u"APPID", reinterpret_cast<const char16_t*>(kAppIdString));
}

HINSTANCE COrvoCommModule::instance() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

COrvoCommModule& Module() { return g_module; }

}  // namespace orvo::server
