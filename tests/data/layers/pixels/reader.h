// Fixture: a reader that reaches across to the block coder.
#pragma once
#include "block/block.h"
#include "common/records.h"
