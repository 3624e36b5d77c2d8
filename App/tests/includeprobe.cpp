// Built only by the room tests, against one room's include path: includes the header named by
// MIREVA_PROBE_HEADER, which that room must not reach.
#include MIREVA_PROBE_HEADER
