// The C test program compiled as C++: the header's declarations and its
// layout checks must hold in every C++ standard as well.
#include "c_api_test.c"
