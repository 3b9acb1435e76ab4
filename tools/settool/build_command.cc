// settool build OUT < JSON: a new file from the JSON form of a tree (see
// tree_json.h), written the way the store saves. An existing file is never
// overwritten.
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "platform/file.h"
#include "store/file_io.h"
#include "store/save_protocol.h"
#include "tools/settool/commands.h"
#include "tools/settool/messages.h"
#include "tools/settool/tree_json.h"
#include "tools/settool/write_lock.h"

using orvo::store::FreeNodeTree;
using orvo::store::InitNewHeaderImage;
using orvo::store::WriteNewConfigFile;

namespace orvo::settool {

namespace {

constexpr const char* kCommand = "build";
constexpr const char* kArguments = "OUT < JSON";

bool ReadAll(std::FILE* in, std::string* text) {
  char buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), in)) > 0) text->append(buf, n);
  return !std::ferror(in);
}

}  // namespace

int RunBuild(CommandContext& ctx) {
  std::u16string file;
  if (!ParseFileAndFlags(ctx, kCommand, kArguments, nullptr, nullptr, &file)) return kExitError;
  if (file == u"-") {
    return UsageError(ctx, kCommand, kArguments,
                      "OUT is a file to make; \"-\" (standard output) is not one");
  }
  platform::FileSystem* fs = platform::CurrentFileSystem();
  // Held until the file is written, so no writer makes it meanwhile.
  std::unique_ptr<install::StoreWriteLock> lock;
  if (int rc = LockForWriting(ctx, kCommand, file, &lock)) return rc;

  // Refuse early, before reading the input, when the file is there already.
  platform::OpenError error = platform::OpenError::kNone;
  std::unique_ptr<platform::File> existing(
      fs->Open(file.c_str(), platform::OpenMode::kRead, platform::kOpenExisting, &error));
  if (existing || error == platform::OpenError::kSharingViolation) {
    return Complain(ctx, kCommand, file, "already exists; it is not overwritten", kExitError);
  }
  if (error != platform::OpenError::kNotFound) {
    return Complain(ctx, kCommand, file, std::string("cannot create: ") + OpenErrorText(error),
                    kExitError);
  }

  std::string text;
  if (!ReadAll(ctx.in, &text)) {
    return Complain(ctx, kCommand, file, "cannot read the JSON input", kExitError);
  }
  std::string why;
  CfNode* root = ParseTreeJson(text, &why);
  if (root == nullptr) {
    return Complain(ctx, kCommand, file, "input " + why, IsOutOfMemory(why) ? kExitError : kExitNo);
  }

  // Creating it new is what makes the refusal safe against a file that
  // appeared meanwhile; the tree is written through that same handle.
  std::unique_ptr<platform::File> created(
      fs->Open(file.c_str(), platform::OpenMode::kReadWrite, platform::kCreateNew, &error));
  if (!created) {
    FreeNodeTree(root, nullptr);
    return Complain(
        ctx, kCommand, file,
        std::string("cannot create: ") +
            (error == platform::OpenError::kOther ? "it may exist already" : OpenErrorText(error)),
        kExitError);
  }
  // A side file left beside a name that held no file belongs to content
  // removed since: it must never be taken for this file's.
  fs->Remove((file + u".new").c_str());
  CfHeaderImage image;
  InitNewHeaderImage(&image);
  const bool written = WriteNewConfigFile(created.get(), image, root);
  FreeNodeTree(root, nullptr);
  if (!written) return GiveUpMadeFile(ctx, kCommand, file, std::move(created));
  created->Close();
  return kExitOk;
}

}  // namespace orvo::settool
