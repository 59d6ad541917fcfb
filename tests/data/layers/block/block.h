// Fixture: a coder that includes only what is below it.
#pragma once
#include "common/records.h"
#include "dibjpeg/dibjpeg.h"
