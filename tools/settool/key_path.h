// Key paths as settool's commands take them and print them.
//
// A path is a list of components separated by \ or /. A component is a key
// name (ASCII letter case ignored), or names a key by its child id:
//   #ID      the first child with child id ID (an unnamed key, as ls shows it)
//   #ID[N]   the N-th child with child id ID, counted from 1
// A name that itself has one of these forms is written with one more # in
// front: ##1 is the key named "#1", ###2[3] the key named "##2[3]".
#ifndef ORVO_TOOLS_SETTOOL_KEY_PATH_H_
#define ORVO_TOOLS_SETTOOL_KEY_PATH_H_

#include <cstdint>
#include <string>
#include <vector>

#include "store/node.h"

class ICfKey;

namespace orvo::settool {

// How a key is shown by ls and dump when it has no name: "#ID" for the
// first child with its id (|occurrence| 0), else "#ID[occurrence + 1]".
std::string UnnamedKeyLabel(uint32_t id, int32_t occurrence);

// One component of a path, read.
struct PathComponent {
  bool by_id = false;
  uint32_t id = 0;
  int32_t occurrence = 0;  // 0 the first
  std::u16string name;     // when !by_id: the name, escape removed
};

// Reads |text| (one component, no separators).
PathComponent ReadComponent(const std::u16string& text);

// Whether a component of |path| names a key by child id.
bool PathNamesById(const std::u16string& path);

// The key at |path| below |root| with one new reference, or null. With
// |create| missing named components are made; a component by child id is
// never made.
// REQUIRES: every component passed the command's name checks.
ICfKey* OpenKeyPath(ICfKey* root, const std::u16string& path, bool create);

// One step of a path through a tree: the child at |index| of |parent|.
struct NodeStep {
  CfNode* parent;
  int32_t index;
};

// The child a step leads to.
inline CfNode* StepChild(const NodeStep& s) {
  return orvo::store::CfChildren(s.parent)->entries[s.index].child;
}

// Finds the node at |path| below |root| with the lookups OpenKeyPath makes
// (the store's own), without key objects: *steps receives one step per
// component. False when there is no such node.
// REQUIRES: as OpenKeyPath; the caller owns the tree (a lookup may set up a
// table's order index).
bool FindNodePath(CfNode* root, const std::u16string& path, std::vector<NodeStep>* steps);

// The path component that names the child at |index| of |parent| back: its
// name, with one more # in front when it has the form #ID or #ID[N]; or
// #ID / #ID[N] for an unnamed child, and for a named one that its name would
// not reach (a sibling before it has the name, or the name holds \ or /).
std::u16string PathComponentOf(CfNode* parent, int32_t index);

}  // namespace orvo::settool

#endif  // ORVO_TOOLS_SETTOOL_KEY_PATH_H_
