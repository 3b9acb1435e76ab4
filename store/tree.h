// The owner of a node tree handed from one function to another: it frees the
// tree (FreeNodeTree) unless someone takes it with release().
#ifndef ORVO_STORE_TREE_H_
#define ORVO_STORE_TREE_H_

#include <memory>

#include "store/node.h"

struct CfTreeDeleter {
  void operator()(CfNode* root) const { orvo::store::FreeNodeTree(root, nullptr); }
};

using CfTree = std::unique_ptr<CfNode, CfTreeDeleter>;

#endif  // ORVO_STORE_TREE_H_
