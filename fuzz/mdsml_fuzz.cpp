// Loads arbitrary bytes as a message definition file in the SML syntax;
// the checks are those of the CSV target, which this file reuses.
#define XKS_MDFUZZ_KIND 1
#define XKS_MDFUZZ_NAME "mdsml"
#include "mdcsv_fuzz.cpp"
