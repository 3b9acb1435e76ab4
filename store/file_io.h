// Reading and writing whole configuration files: the 512-byte header with its
// two-phase commit, and the body written depth-first.
#ifndef ORVO_STORE_FILE_IO_H_
#define ORVO_STORE_FILE_IO_H_

#include <cstdint>

#include "platform/recursive_lock.h"
#include "store/node.h"

constexpr int kCfHeaderImageSize = 32;

// The first 32 bytes of a header kept by a file object.
struct CfHeaderImage {
  uint8_t bytes[kCfHeaderImageSize];
};

// Sets |image| to the header of a new tree.
void InitNewHeaderImage(CfHeaderImage* image);

// A new tree: a branch root named "Root", type 0, no value, no children.
// nullptr when memory runs out.
CfNode* NewTree();

// Runs the reading sequence on |path| with the creation disposition given.
// Returns false (and sets nothing) when the file cannot be opened or sized.
// Otherwise returns true with *root the loaded tree and *image its header, or,
// for an empty or unusable file, a new tree and a new header image.
// REQUIRES: |path| is NUL-terminated.
bool LoadConfigFile(const CfChar* path, uint32_t disposition, CfNode** root, CfHeaderImage* image);

// Runs the writing sequence: the tree is serialised while |lock| is held
// (*root is read under it), the file written outside it. Returns whether
// the final header write succeeded.
bool SaveConfigFile(const CfChar* path, const CfHeaderImage& image, CfNode* const* root,
                    orvo::platform::RecursiveLock* lock);

#endif  // ORVO_STORE_FILE_IO_H_
