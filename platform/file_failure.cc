#include "platform/file_failure.h"

namespace orvo::platform {

namespace {
thread_local FileFailure t_last_failure = FileFailure::kNone;
}  // namespace

FileFailure LastFileFailure() { return t_last_failure; }

void SetLastFileFailure(FileFailure failure) { t_last_failure = failure; }

}  // namespace orvo::platform
