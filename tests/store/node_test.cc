#include <gtest/gtest.h>

#include "store/child_table.h"
#include "store/name.h"
#include "store/node.h"
