// Fixture: a shared record that reaches up to the entry point.
#pragma once
#include "api/entry.h"
