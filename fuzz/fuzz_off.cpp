// Fuzz target of the reader of .off files (and whatever their content turns out to be).
#include "fuzz/FuzzReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return fuzz::Read(data, size, "fuzz.off"); }
