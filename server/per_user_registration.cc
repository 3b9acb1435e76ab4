#include "server/per_user_registration.h"

#include <atomic>

namespace orvo::server {

namespace {

std::atomic<bool> g_per_user{false};

}  // namespace

bool GetPerUserRegistration() { return g_per_user.load(); }

void SetPerUserRegistration() { g_per_user.store(true); }

}  // namespace orvo::server
