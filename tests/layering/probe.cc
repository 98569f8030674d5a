// SPDX-License-Identifier: Apache-2.0
// Compiled as part of one layer (see tests/CMakeLists.txt): includes the
// header PROBE_HEADER names, which either lies on a floor that layer may
// use, so this compiles, or on a floor above, so it must not.
#include PROBE_HEADER

int LayeringProbe() { return 0; }
